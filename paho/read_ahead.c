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
 *   - poll does not report a held socket readable (tarvo_hold_reading): when only held
 *     sockets are readable, it waits on for the others, or until a hold ends. A hold
 *     ends with tarvo_release_reading or the socket's close; tls_hold.c says why the
 *     library's TLS sockets are held.
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
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "socket_table.h"

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
    int held;          /* poll does not report the socket readable */
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct slot* table; /* indexed by socket; only grows */
static size_t tableLength;
static size_t socketsWithBytes;
static unsigned pollsSinceKernelAsked;
static pthread_once_t forkHandlerOnce = PTHREAD_ONCE_INIT;
static size_t socketsHeld; /* written under the lock, also read without it */
static int holdEnded = -1; /* an eventfd, written when a hold ends, that poll waits for */
static pthread_once_t holdEndedOnce = PTHREAD_ONCE_INIT;

static void forgetAllInChild(void)
{
    pthread_mutex_init(&lock, NULL);
    for (size_t socket = 0; socket < tableLength; ++socket)
        free(table[socket].bytes);
    free(table);
    table = NULL;
    tableLength = 0;
    socketsWithBytes = 0;
    socketsHeld = 0;
}

static void registerForkHandler(void)
{
    pthread_atfork(NULL, NULL, forgetAllInChild);
}

/* The socket's slot, the table grown to hold it; NULL when memory ran out. The lock is
 * held. */
static struct slot* slotFor(int socket)
{
    struct slot* held = tarvo_socket_table_holding(table, &tableLength, sizeof *table, socket);
    if (held == NULL)
        return NULL;
    table = held;
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

static int pollKept(struct pollfd* fds, nfds_t count, int timeout)
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

static void createHoldEnded(void)
{
    holdEnded = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void tarvo_hold_reading(int socket)
{
    pthread_once(&holdEndedOnce, createHoldEnded);
    pthread_once(&forkHandlerOnce, registerForkHandler);
    pthread_mutex_lock(&lock);
    struct slot* slot = socket >= 0 ? slotFor(socket) : NULL;
    if (slot != NULL && !slot->held) {
        slot->held = 1;
        __atomic_store_n(&socketsHeld, socketsHeld + 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&lock);
}

/* The lock is held. Whether a hold ended, for the caller to tell the waiting polls once
 * it has let go of the lock. */
static int endHold(int socket)
{
    if (socket < 0 || (size_t)socket >= tableLength || !table[socket].held)
        return 0;
    table[socket].held = 0;
    __atomic_store_n(&socketsHeld, socketsHeld - 1, __ATOMIC_RELEASE);
    return 1;
}

static void tellHoldEnded(void)
{
    const uint64_t one = 1;
    const int savedErrno = errno;
    if (holdEnded >= 0 && write(holdEnded, &one, sizeof one) < 0) {
        /* Already signalled many times over: poll wakes all the same. */
    }
    errno = savedErrno;
}

/* Cheap where nothing is held: the library writes to every TLS socket through here. */
void tarvo_release_reading(int socket)
{
    if (__atomic_load_n(&socketsHeld, __ATOMIC_ACQUIRE) == 0)
        return;
    pthread_mutex_lock(&lock);
    const int ended = endHold(socket);
    pthread_mutex_unlock(&lock);
    if (ended)
        tellHoldEnded();
}

static int heldFor(const struct pollfd* entry)
{
    return entry->fd >= 0 && (size_t)entry->fd < tableLength && table[entry->fd].held;
}

/* Takes POLLIN back from held sockets, and counts the entries left with nothing to tell;
 * whether any was taken back. */
static int hideHeld(struct pollfd* fds, nfds_t count, int* ready)
{
    int hidden = 0;
    pthread_mutex_lock(&lock);
    for (nfds_t i = 0; i < count; ++i) {
        if ((fds[i].events & POLLIN) && (fds[i].revents & POLLIN) && heldFor(&fds[i])) {
            fds[i].revents &= (short)~POLLIN;
            *ready -= fds[i].revents == 0;
            hidden = 1;
        }
    }
    pthread_mutex_unlock(&lock);
    return hidden;
}

static long long millisecondsSince(const struct timespec* start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start->tv_sec) * 1000LL + (now.tv_nsec - start->tv_nsec) / 1000000;
}

/* What is left of timeout (negative: no end), from start. */
static int timeLeft(int timeout, const struct timespec* start)
{
    if (timeout < 0)
        return timeout;
    const long long left = timeout - millisecondsSince(start);
    return left > 0 ? (int)left : 0;
}

/* Waits until a socket that is not held is ready, a hold ends or the time is up. */
static void waitPastHeld(const struct pollfd* fds, nfds_t count, int timeout)
{
    struct pollfd* entries = malloc((count + 1) * sizeof *entries);
    if (entries == NULL)
        return; /* then the caller asks again at once, as after a wait */
    pthread_mutex_lock(&lock);
    for (nfds_t i = 0; i < count; ++i) {
        entries[i] = fds[i];
        if ((fds[i].events & POLLIN) && heldFor(&fds[i]))
            entries[i].fd = -1; /* which poll passes over */
    }
    pthread_mutex_unlock(&lock);
    entries[count] = (struct pollfd){.fd = holdEnded, .events = POLLIN};
    const int savedErrno = errno;
    if (__real_poll(entries, count + 1, timeout) > 0 && (entries[count].revents & POLLIN)) {
        uint64_t ended;
        if (read(holdEnded, &ended, sizeof ended) < 0) {
            /* Another waiter took it. */
        }
    }
    errno = savedErrno;
    free(entries);
}

int __wrap_poll(struct pollfd* fds, nfds_t count, int timeout)
{
    /* The clock is read only while a socket is held, so that no other poll pays for it. */
    struct timespec start;
    int timed = __atomic_load_n(&socketsHeld, __ATOMIC_ACQUIRE) != 0;
    if (timed)
        clock_gettime(CLOCK_MONOTONIC, &start);
    for (int left = timeout;;) {
        int ready = pollKept(fds, count, left);
        if (ready <= 0 || __atomic_load_n(&socketsHeld, __ATOMIC_ACQUIRE) == 0)
            return ready;
        if (!hideHeld(fds, count, &ready) || ready > 0 || left == 0)
            return ready;
        if (!timed) { /* the hold began during the wait: what is left is counted from here */
            clock_gettime(CLOCK_MONOTONIC, &start);
            timed = 1;
        }
        /* Only held sockets were readable: the wait goes on without them. */
        waitPastHeld(fds, count, timeLeft(timeout, &start));
        left = timeLeft(timeout, &start);
    }
}

static void forgetSocket(int fd)
{
    int ended = 0;
    pthread_mutex_lock(&lock);
    if (fd >= 0 && (size_t)fd < tableLength) {
        forget(&table[fd]);
        ++table[fd].closings;
        ended = endHold(fd);
    }
    pthread_mutex_unlock(&lock);
    if (ended)
        tellHoldEnded();
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
