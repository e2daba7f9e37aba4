/* Keeps the library from taking a CONNACK, SUBACK or UNSUBACK that answers nothing the
 * connection asked for (paho/CMakeLists.txt says what this rests on). The linker's --wrap
 * sends the library's MQTTPacket_send and MQTTPacket_Factory here.
 *
 * Why: the library's receiving thread hands every such packet it reads to its handle as
 * "the" answer (one slot per handle, overwritten by the next) and signals the waiting
 * call's semaphore, whether or not a call waits, without looking at packet identifiers.
 * So an answer the server sends unasked is taken by the handle's next connect, subscribe
 * or unsubscribe for its own, and that call's real answer by the call after it; two
 * unasked ones leave a later call reading an answer an earlier one has freed, and the
 * process crashes. A SUBACK right behind the CONNACK replaces it before connect reads
 * it, and connect then reads the SUBACK's bytes as the server's return code.
 *
 * Each socket remembers what its connection waits for: a CONNACK from the moment CONNECT
 * is sent, the identifier of the SUBSCRIBE and of the UNSUBSCRIBE sent last. An answer
 * that matches is the library's, as before; any other is freed and reported to the
 * library as nothing read, as a packet of a type it does not know is. The library sends one subscribe
 * and one unsubscribe at a time (each call holds a process-wide lock until its answer
 * comes or it gives up, and giving up ends the connection), so one of each is all a
 * connection can wait for. Sending CONNECT begins a new connection's record, so a record
 * left by a socket's earlier connection never outlives the next CONNECT on its number.
 *
 * The table's lock is taken only for these packets, never for a PUBLISH or its
 * acknowledgements. A forked child never calls the library (its threads are gone). */
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "socket_table.h"

/* From the library's MQTTPacket.h and Clients.h, as far as this file reads them: every
 * packet's struct begins with its header, its first byte the packet's first byte on the
 * wire; a SUBACK's and an UNSUBACK's continue with the packet identifier; a connection's
 * networkHandles begin with its socket. */
typedef union {
    char byte;
    struct {
        unsigned int retain : 1;
        unsigned int qos : 2;
        unsigned int dup : 1;
        unsigned int type : 4;
    } bits;
} Header;
struct acknowledgement {
    Header header;
    int msgId;
};
struct networkHandles {
    int socket;
};

enum { kConnect = 1, kConnack = 2, kSubscribe = 8, kSuback = 9, kUnsubscribe = 10, kUnsuback = 11 };

int __real_MQTTPacket_send(struct networkHandles* net, Header header, char* buffer, size_t length, int freeData,
    int version);
void* __real_MQTTPacket_Factory(int version, struct networkHandles* net, int* error);
void MQTTPacket_freeConnack(void* packet);
void MQTTPacket_freeSuback(void* packet);
void MQTTPacket_freeUnsuback(void* packet);

struct awaited {
    int connack;              /* CONNECT sent, its CONNACK not yet read */
    uint16_t subscribeId;     /* of the SUBSCRIBE whose SUBACK has not come; 0: none */
    uint16_t unsubscribeId;   /* likewise, for UNSUBSCRIBE */
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct awaited* table; /* indexed by socket; only grows */
static size_t tableLength;

/* The socket's record, the table grown to hold it; NULL when memory ran out. The lock is
 * held. */
static struct awaited* recordOf(int socket)
{
    struct awaited* held = tarvo_socket_table_holding(table, &tableLength, sizeof *table, socket);
    if (held == NULL)
        return NULL;
    table = held;
    return &table[socket];
}

int __wrap_MQTTPacket_send(struct networkHandles* net, Header header, char* buffer, size_t length, int freeData,
    int version)
{
    const unsigned type = header.bits.type;
    if (type == kConnect || ((type == kSubscribe || type == kUnsubscribe) && length >= 2)) {
        pthread_mutex_lock(&lock);
        struct awaited* record = net->socket >= 0 ? recordOf(net->socket) : NULL;
        if (record != NULL && type == kConnect) {
            *record = (struct awaited) { .connack = 1 };
        } else if (record != NULL) {
            /* the packet identifier, the variable header's first two bytes */
            const uint16_t id = (uint16_t)((unsigned char)buffer[0] << 8 | (unsigned char)buffer[1]);
            *(type == kSubscribe ? &record->subscribeId : &record->unsubscribeId) = id;
        }
        pthread_mutex_unlock(&lock);
    }
    return __real_MQTTPacket_send(net, header, buffer, length, freeData, version);
}

/* True when the connection waits for this answer, which it then no longer waits for. A
 * socket without a record (memory ran out when it sent CONNECT) takes every answer, as
 * without this file. */
static int awaited(int socket, const struct acknowledgement* answer)
{
    pthread_mutex_lock(&lock);
    struct awaited* record = socket >= 0 && (size_t)socket < tableLength ? &table[socket] : NULL;
    int taken = 1;
    if (record != NULL) {
        switch (answer->header.bits.type) {
        case kConnack:
            taken = record->connack;
            record->connack = 0;
            break;
        case kSuback:
            taken = record->subscribeId != 0 && answer->msgId == record->subscribeId;
            record->subscribeId = taken ? 0 : record->subscribeId;
            break;
        default:
            taken = record->unsubscribeId != 0 && answer->msgId == record->unsubscribeId;
            record->unsubscribeId = taken ? 0 : record->unsubscribeId;
            break;
        }
    }
    pthread_mutex_unlock(&lock);
    return taken;
}

void* __wrap_MQTTPacket_Factory(int version, struct networkHandles* net, int* error)
{
    void* packet = __real_MQTTPacket_Factory(version, net, error);
    if (packet == NULL)
        return NULL;
    const struct acknowledgement* answer = packet;
    const unsigned type = answer->header.bits.type;
    if ((type != kConnack && type != kSuback && type != kUnsuback) || awaited(net->socket, answer))
        return packet;
    if (type == kConnack)
        MQTTPacket_freeConnack(packet);
    else if (type == kSuback)
        MQTTPacket_freeSuback(packet);
    else
        MQTTPacket_freeUnsuback(packet);
    return NULL;
}
