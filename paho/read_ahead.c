/* How Paho MQTT C's sockets are read when the client links the static archive
 * (paho/CMakeLists.txt says why this is sound, and what a later library must keep for it
 * to stay so). The library reads a packet in three recv calls (its first byte, its length,
 * then the rest), after a poll that finds the socket readable: four system calls for every
 * message received, which cost more than everything else the receiving thread does for
 * it. The linker's --wrap sends the library's recv, poll and close here:
 *   - recv reads up to kChunk bytes at once and keeps what the caller did not ask for,
 *     which the next calls for that socket get first, in order, topped up from the socket
 *     when they ask for more. A read of at least kChunk bytes with nothing kept goes
 *     straight to the socket. The end of the stream, or an error, shows once what was
 *     kept has been read, as it would have.
 *   - poll reports a socket with bytes kept as readable without asking the kernel, and
 *     then only those; but every kAskKernelEvery-th such poll asks the kernel about the
 *     others too (without waiting). A socket that floods in ends its chunks mid-packet,
 *     so the library reads the next chunk before it polls again, and the others'
 *     messages, acknowledgements and pings would wait for the flood to end.
 *   - close forgets what was kept for the socket, whose number the kernel may give again.
 * Bytes are kept only for a socket read with recv: the library reads a TLS connection
 * through OpenSSL, which reads the socket itself, so nothing is kept for it.
 *
 * The table is the process's, as the library's sockets are. Its lock is held only while
 * bytes move in or out of it, never across a system call. A forked child, where the
 * library is not used, starts with nothing kept and a lock nobody holds. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

ssize_t __real_recv(int socket, void* buffer, size_t length, int flags);
int __real_poll(struct pollfd* fds, nfds_t count, int timeout);
int __real_close(int fd);

/* Enough for a few hundred small messages per system call. */
enum { kChunk = 16384 };
/* A flood delays another socket's reading by at most this many of its packets. */
enum { kAskKernelEvery = 32 };

struct slot {
    char* bytes; /* bytes[next, end) are kept; NULL when none are */
    size_t next;
    size_t end;
    int reading;       /* a recv into a chunk for this socket is under way */
    unsigned closings; /* how often the socket was closed, so a read that a close
                          overtook does not keep its bytes for the number's next socket */
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct slot* table; /* indexed by socket; only grows */
static size_t tableLength;
static size_t socketsWithBytes;
static unsigned pollsSinceKernelAsked;
static pthread_once_t forkHandlerOnce = PTHREAD_ONCE_INIT;

static void forgetAllInChild(void)
{
    pthread_mutex_init(&lock, NULL);
    for (size_t socket = 0; socket < tableLength; ++socket)
        free(table[socket].bytes);
    free(table);
    table = NULL;
    tableLength = 0;
    socketsWithBytes = 0;
}

static void registerForkHandler(void)
{
    pthread_atfork(NULL, NULL, forgetAllInChild);
}

/* The socket's slot, the table grown to hold it; NULL when memory ran out. The lock is
 * held. */
static struct slot* slotFor(int socket)
{
    if ((size_t)socket >= tableLength) {
        size_t length = tableLength != 0 ? tableLength : 64;
        while (length <= (size_t)socket)
            length *= 2;
        struct slot* grown = realloc(table, length * sizeof *grown);
        if (grown == NULL)
            return NULL;
        memset(grown + tableLength, 0, (length - tableLength) * sizeof *grown);
        table = grown;
        tableLength = length;
    }
    return &table[socket];
}

static void forget(struct slot* slot)
{
    if (slot->bytes == NULL)
        return;
    free(slot->bytes);
    slot->bytes = NULL;
    --socketsWithBytes;
}

ssize_t __wrap_recv(int socket, void* buffer, size_t length, int flags)
{
    if (length == 0 || socket < 0)
        return __real_recv(socket, buffer, length, flags);

    pthread_mutex_lock(&lock);
    struct slot* slot = slotFor(socket);
    if (slot != NULL && slot->bytes != NULL) {
        const size_t taken = slot->end - slot->next < length ? slot->end - slot->next : length;
        memcpy(buffer, slot->bytes + slot->next, taken);
        slot->next += taken;
        if (slot->next == slot->end)
            forget(slot);
        pthread_mutex_unlock(&lock);
        if (taken == length)
            return (ssize_t)taken;
        /* The rest from the socket, as much of it as is there now, as one read of the
         * socket would have given: the library reads a websocket upgrade's answer with
         * one read and takes a short one for a broken answer. An error or the end shows
         * on the next read. */
        const int savedErrno = errno;
        const ssize_t more = __real_recv(socket, (char*)buffer + taken, length - taken, flags | MSG_DONTWAIT);
        errno = savedErrno;
        return (ssize_t)taken + (more > 0 ? more : 0);
    }
    /* Reads of one socket do not overlap (the library reads under its own lock); if one
     * did, it would read straight from the socket, so that only one read keeps bytes. */
    char* chunk = slot != NULL && !slot->reading && length < kChunk ? malloc(kChunk) : NULL;
    if (chunk == NULL) {
        pthread_mutex_unlock(&lock);
        return __real_recv(socket, buffer, length, flags);
    }
    slot->reading = 1;
    const unsigned closings = slot->closings;
    pthread_once(&forkHandlerOnce, registerForkHandler);
    pthread_mutex_unlock(&lock);

    const ssize_t received = __real_recv(socket, chunk, kChunk, flags);
    const int readError = errno;
    const size_t given = received <= 0 ? 0 : (size_t)received < length ? (size_t)received : length;
    memcpy(buffer, chunk, given);

    pthread_mutex_lock(&lock);
    slot = &table[socket];
    slot->reading = 0;
    if (received > 0 && (size_t)received > length && slot->closings == closings) {
        slot->bytes = chunk;
        slot->next = length;
        slot->end = (size_t)received;
        ++socketsWithBytes;
        chunk = NULL;
    }
    pthread_mutex_unlock(&lock);
    free(chunk);
    errno = readError;
    return received <= 0 ? received : (ssize_t)given;
}

/* Whether the entry asks for reading, and bytes are kept for its socket; the lock is held. */
static int keptFor(const struct pollfd* entry)
{
    return (entry->events & POLLIN) && entry->fd >= 0 && (size_t)entry->fd < tableLength &&
           table[entry->fd].bytes != NULL;
}

int __wrap_poll(struct pollfd* fds, nfds_t count, int timeout)
{
    int kept = 0;
    pthread_mutex_lock(&lock);
    if (socketsWithBytes != 0) {
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = keptFor(&fds[i]) ? POLLIN : 0;
            kept += fds[i].revents != 0;
        }
    }
    const int askKernel = kept == 0 || ++pollsSinceKernelAsked == kAskKernelEvery;
    if (askKernel)
        pollsSinceKernelAsked = 0;
    pthread_mutex_unlock(&lock);
    if (!askKernel)
        return kept;
    if (kept == 0)
        return __real_poll(fds, count, timeout);

    int readyWithKept = __real_poll(fds, count, 0);
    if (readyWithKept < 0) {
        /* Told as if the kernel had nothing to add. */
        for (nfds_t i = 0; i < count; ++i)
            fds[i].revents = 0;
        readyWithKept = 0;
    }
    /* The kernel's answer replaced the kept sockets' POLLIN: told again where bytes are
     * still kept. */
    pthread_mutex_lock(&lock);
    for (nfds_t i = 0; i < count; ++i) {
        if (keptFor(&fds[i])) {
            readyWithKept += fds[i].revents == 0;
            fds[i].revents |= POLLIN;
        }
    }
    pthread_mutex_unlock(&lock);
    return readyWithKept;
}

static void forgetSocket(int fd)
{
    pthread_mutex_lock(&lock);
    if (fd >= 0 && (size_t)fd < tableLength) {
        forget(&table[fd]);
        ++table[fd].closings;
    }
    pthread_mutex_unlock(&lock);
}

/* Forgets before and after: a read that began before the close ends keeps nothing. */
int __wrap_close(int fd)
{
    forgetSocket(fd);
    const int closed = __real_close(fd);
    const int closeError = errno;
    forgetSocket(fd);
    errno = closeError;
    return closed;
}
