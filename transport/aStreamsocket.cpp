#include "transport/aStreamsocket.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "transport/aRecord.h"
#include "transport/unix_time.h"
#include "transport/unix_waiter.h"

enum : uint32_t { SOCKET_CONNECTED = 0x1 };
enum { WRITE_RETRIES = 10, WRITE_PAUSE_MS = 60, CLOSE_PAUSE_MS = 10, RECEIVE_SIZE = 4096 };

// The lock guards the descriptor, the flags and every (re)connect. The
// receive buffer belongs to the reading thread alone, so handing out a
// buffered byte takes no lock.
struct aSocket {
    uint32_t port;
    struct sockaddr_in address;
    int fd;                // -1 when closed
    uint32_t flags;
    std::atomic<uint32_t> generation{0}; // counts connections, so one reset is mended once
    bool accepted;         // descriptor belongs to a listener: never closed here
    bool peerClosed;       // accepted socket whose peer has gone (reader only)
    uint8_t received[RECEIVE_SIZE]; // bytes taken from the socket, not yet handed out
    uint32_t readAt;
    uint32_t available;
    uint32_t receivedGeneration; // connection the buffered bytes came from
    aWaiter waiter;        // wakes the reader out of poll
    std::mutex lock;
    uint16_t check;
};

static aSocket* sSocket(void* reference)
{
    aSocket* s = static_cast<aSocket*>(reference);
    return s && s->check == aSOCKETCHECK ? s : nullptr;
}

static void sCloseLocked(aSocket* s)
{
    if (s->fd >= 0) {
        s->flags &= ~SOCKET_CONNECTED;
        close(s->fd);
        s->fd = -1;
        aTime_MSSleep(CLOSE_PAUSE_MS);
    }
}

// Opens (or reopens) the connection; the caller holds the lock.
static aErr sConnectLocked(aSocket* s)
{
    if (!s || s->check != aSOCKETCHECK)
        return aErrInitialization;
    if (s->accepted)
        return aErrConnection;
    sCloseLocked(s);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&s->address), sizeof s->address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int e = errno;
        close(fd);
        if (e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED)
            return aErrConnection;
        return aErrIO;
    }
    int on = 1;
    struct timeval none = {0, 0};
    struct linger reset = {1, 0}; // closing resets the connection at once
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0
        || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none) != 0
        || setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0
        || ioctl(fd, FIONBIO, &on) != 0) {
        close(fd);
        return aErrIO;
    }
    s->fd = fd;
    s->flags |= SOCKET_CONNECTED;
    s->generation++;
    // A reader polling the old descriptor would wait on a socket nobody uses.
    if (s->waiter.fd >= 0)
        aWaiter_Wake(&s->waiter);
    return aErrNone;
}

static bool sLost(int e)
{
    return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT;
}

// Fills the receive buffer from the socket; the reader calls it without the
// lock when the buffer is empty.
static aErr sFill(aSocket* s)
{
    std::lock_guard<std::mutex> hold(s->lock);
    if (!(s->flags & SOCKET_CONNECTED))
        return aErrConnection;
    ssize_t n = recv(s->fd, s->received, RECEIVE_SIZE, MSG_DONTWAIT);
    int e = errno;
    // A reset, or the peer closing its end (0 bytes), means the connection is
    // gone: open a new one rather than read nothing for ever.
    if ((n < 0 && sLost(e)) || (n == 0 && !s->accepted)) {
        s->flags &= ~SOCKET_CONNECTED;
        aErr err = sConnectLocked(s);
        if (aRecord_IsOn())
            aRecord_Reconnect(s->address.sin_addr.s_addr, static_cast<uint16_t>(s->port), err);
        if (err != aErrNone)
            return err;
        n = recv(s->fd, s->received, RECEIVE_SIZE, MSG_DONTWAIT);
        e = errno;
    }
    if (n == 0 && s->accepted)
        s->peerClosed = true;
    if (n == 0 || (n < 0 && (e == EAGAIN || e == EWOULDBLOCK || e == EINTR || sLost(e))))
        return aErrNotReady;
    if (n < 0)
        return aErrConnection;
    s->readAt = 0;
    s->available = static_cast<uint32_t>(n);
    s->receivedGeneration = s->generation.load();
    return aErrNone;
}

// Hands out one byte. The socket is read a block at a time into the
// transport's buffer: a byte per system call would cap a link at a few
// hundred kilobytes a second.
static aErr sGet(uint8_t* byte, void* reference)
{
    aSocket* s = sSocket(reference);
    if (!s || !byte)
        return aErrParam;
    // Bytes of a connection the writer has replaced since belong to nothing.
    if (s->available > 0 && s->receivedGeneration != s->generation.load(std::memory_order_relaxed))
        s->available = 0;
    if (s->available == 0) {
        aErr err = sFill(s);
        if (err != aErrNone)
            return err;
    }
    *byte = s->received[s->readAt++];
    s->available--;
    return aErrNone;
}

static aErr sWait(uint32_t timeoutMs, void* reference)
{
    aSocket* s = sSocket(reference);
    if (!s)
        return aErrParam;
    if (s->available > 0)
        return aErrNone;
    int fd;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        if (!(s->flags & SOCKET_CONNECTED))
            return aErrNone; // the read says what is wrong
        fd = s->fd;
    }
    // A peer that closed an accepted socket leaves it readable for ever.
    return aWaiter_Poll(&s->waiter, s->peerClosed ? -1 : fd, timeoutMs);
}

static aErr sWake(void* reference)
{
    aSocket* s = sSocket(reference);
    return s ? aWaiter_Wake(&s->waiter) : aErrParam;
}

static uint32_t sReconnects(void* reference)
{
    aSocket* s = sSocket(reference);
    uint32_t connections = s ? s->generation.load() : 0;
    return connections > 1 ? connections - 1 : 0;
}

static aErr sWrite(const uint8_t* data, uint32_t length, void* reference)
{
    aSocket* s = sSocket(reference);
    if (!s || !data)
        return aErrParam;
    uint32_t sent = 0;
    int retries = 0;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        if (!(s->flags & SOCKET_CONNECTED))
            return aErrConnection;
    }
    while (sent < length) {
        {
            std::lock_guard<std::mutex> hold(s->lock);
            uint32_t generation = s->generation;
            ssize_t n = s->fd >= 0 ? send(s->fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
            int e = s->fd >= 0 ? errno : ENOTCONN;
            if (n >= 0) {
                sent += static_cast<uint32_t>(n);
                if (sent < length)
                    retries = 1;
            } else if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) {
                retries++;
            } else if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) {
                // The reader may have mended this reset already.
                if (generation == s->generation || !(s->flags & SOCKET_CONNECTED)) {
                    s->flags &= ~SOCKET_CONNECTED;
                    aErr err = sConnectLocked(s);
                    if (aRecord_IsOn())
                        aRecord_Reconnect(s->address.sin_addr.s_addr, static_cast<uint16_t>(s->port), err);
                    if (err != aErrNone)
                        return err;
                }
                retries++;
            } else {
                return aErrIO;
            }
        }
        if (sent == length)
            break;
        if (retries >= WRITE_RETRIES)
            return aErrTimeout;
        aTime_MSSleep(WRITE_PAUSE_MS);
    }
    return aErrNone;
}

static aErr sPut(uint8_t byte, void* reference)
{
    return sWrite(&byte, 1, reference);
}

static aErr sDelete(void* reference)
{
    aSocket* s = sSocket(reference);
    if (!s)
        return aErrParam;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        if (s->accepted)
            s->fd = -1;
        else if (s->flags & SOCKET_CONNECTED)
            sCloseLocked(s);
        else if (s->fd >= 0)
            close(s->fd);
        s->check = 0;
    }
    aWaiter_Close(&s->waiter);
    delete s;
    return aErrNone;
}

// The stream around a ready transport, with its wait and reconnection
// counter; null (transport freed) when something is missing.
static aStreamRef sWrap(aSocket* s)
{
    aStreamRef created = nullptr;
    if (aWaiter_Open(&s->waiter) == aErrNone)
        created = aStream_Create(sGet, sPut, sWrite, sDelete, s);
    if (!created) {
        sDelete(s);
        return nullptr;
    }
    aStream_SetWaitProcs(created, sWait, sWake);
    aStream_SetReconnectCounter(created, sReconnects);
    aStream_SetByteStream(created);
    return created;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream)
{
    if (!stream)
        return aErrResource;
    *stream = nullptr;
    aSocket* s = new (std::nothrow) aSocket();
    if (!s)
        return aErrResource;
    s->check = aSOCKETCHECK;
    s->fd = -1;
    s->port = port;
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = address;
    aErr err;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        err = sConnectLocked(s);
    }
    if (err != aErrNone) {
        sDelete(s);
        return aErrResource;
    }
    aStreamRef created = sWrap(s);
    if (!created)
        return aErrResource;
    *stream = created;
    return aErrNone;
}

aErr aStream_CreateAcceptedSocket(int descriptor, aStreamRef* stream)
{
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    if (descriptor < 0)
        return aErrParam;
    aSocket* s = new (std::nothrow) aSocket();
    if (!s)
        return aErrResource;
    s->check = aSOCKETCHECK;
    s->fd = descriptor;
    s->accepted = true;
    s->flags = SOCKET_CONNECTED;
    aStreamRef created = sWrap(s);
    if (!created)
        return aErrResource;
    *stream = created;
    return aErrNone;
}
