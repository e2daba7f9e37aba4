/* Holds back the reading of a TLS connection of the library's between the end of its TLS
 * handshake and the first bytes the client sends over it (paho/CMakeLists.txt says what
 * this rests on). The linker's --wrap sends the library's SSLSocket_connect and SSL_write
 * here.
 *
 * Why: with callbacks set, the library's receiving thread (MQTTClient_run) finishes the
 * handshake, marks the connect as no longer in progress and wakes the connecting thread,
 * which then, under the library's lock, marks the websocket upgrade as in progress and
 * sends the upgrade request (or, without websockets, sends CONNECT). A TLS 1.3 server
 * sends its session tickets right after the handshake, so the connection turns readable
 * in between. If the receiving thread reads it (finding no MQTT packet) before the
 * connecting thread takes the lock, and looks at the connect's state only after the
 * connecting thread has let go of it, it takes that read for the answer to the upgrade
 * request: it wakes the connecting thread, which sends CONNECT without websocket framing,
 * and the server's HTTP answer is then read as MQTT packets, so the connect fails with -1.
 * Read only after the client's first write, the tickets are read in the state that first
 * write set, where the library takes an empty read for what it is.
 *
 * The library calls SSLSocket_connect until it returns 1 (done), and writes to a TLS
 * connection only through SSL_write. */
#include <openssl/ssl.h>
#include <stddef.h>

int __real_SSLSocket_connect(SSL* ssl, int socket, const char* hostname, int verify,
    int (*callback)(const char* text, size_t length, void* context), void* context);
int __real_SSL_write(SSL* ssl, const void* buffer, int length);

/* read_ahead.c */
void tarvo_hold_reading(int socket);
void tarvo_release_reading(int socket);

int __wrap_SSLSocket_connect(SSL* ssl, int socket, const char* hostname, int verify,
    int (*callback)(const char* text, size_t length, void* context), void* context)
{
    const int rc = __real_SSLSocket_connect(ssl, socket, hostname, verify, callback, context);
    if (rc == 1)
        tarvo_hold_reading(socket);
    return rc;
}

int __wrap_SSL_write(SSL* ssl, const void* buffer, int length)
{
    tarvo_release_reading(SSL_get_fd(ssl));
    return __real_SSL_write(ssl, buffer, length);
}
