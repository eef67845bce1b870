#include "transport/aStream_ZeroMQClient.h"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <czmq.h>
#include <new>
#include <unistd.h>

#include "link/aDebugging.h"
#include "link/aPacket.h"
#include "transport/aCurveKeys.h"
#include "transport/unix_time.h"
#include "transport/unix_waiter.h"

namespace {

const int BROKER_POLL_MS = 1000;
// The longest frame a server sends is a full streaming batch (4096 bytes);
// the limit leaves room for the encryption and handshake around it.
const int64_t SERVER_FRAME_MAX = 8192;

struct sClient {
    zsock_t* outBound = nullptr;     // client broker reads
    zsock_t* outConnected = nullptr; // the stream's writer sends
    zsock_t* inBound = nullptr;      // the stream's reader receives
    zsock_t* inConnected = nullptr;  // client broker sends
    zsock_t* server = nullptr;       // client broker only
    zactor_t* broker = nullptr;
    aWaiter waiter;                  // wakes the reader out of its poll
    zframe_t* frame = nullptr;       // being handed out, reader only
    size_t position = 0;
};

// A DEALER bound to an in-process endpoint and a DEALER connected to it:
// no other process can reach either end.
aErr sMakePair(zsock_t** bound, zsock_t** connected, const char* what)
{
    *bound = zsock_new(ZMQ_DEALER);
    *connected = zsock_new(ZMQ_DEALER);
    if (!*bound || !*connected)
        return aErrMemory;
    // ZeroMQ lets go of an endpoint in the background, so a client made
    // where one was just freed must not reuse its name: every pair gets a
    // number of its own.
    static std::atomic<unsigned> pairs{0};
    char endpoint[64];
    std::snprintf(endpoint, sizeof endpoint, "inproc://aclient-%u-%s", pairs++, what);
    if (zsock_bind(*bound, "%s", endpoint) != 0 || zsock_connect(*connected, "%s", endpoint) != 0) {
        aDebugging_Trace(aDEBUG_CLIENT, "client: %s connecting fail\n", what);
        return aErrConnection;
    }
    aDebugging_Trace(aDEBUG_CLIENT, "%s connected to: %s\n", what, endpoint);
    return aErrNone;
}

// Moves one waiting message from source to destination, retrying a busy
// destination; false when it could not be passed on.
bool sForward(zsock_t* source, zsock_t* destination)
{
    zmq_msg_t message;
    zmq_msg_init(&message);
    if (zmq_msg_recv(&message, zsock_resolve(source), ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&message);
        return true;
    }
    for (int attempt = 0; attempt < aCLIENT_SEND_ATTEMPTS; attempt++) {
        if (zmq_msg_send(&message, zsock_resolve(destination), ZMQ_DONTWAIT) >= 0)
            return true;
        aTime_MSSleep(1);
    }
    zmq_msg_close(&message);
    return false;
}

// The application's own interrupt handling should run, not czmq's: hand the
// signal on with czmq's handler out of the way, then put it back.
void sRelayInterrupt()
{
    zsys_handler_reset();
    int rc = kill(getpid(), SIGINT);
    aDebugging_Trace(aDEBUG_CLIENT, "Ctrl+C signal for pid: %d Success: %d\n", static_cast<int>(getpid()), rc == 0);
    zsys_interrupted = 0;
    zctx_interrupted = 0;
    zsys_catch_interrupts();
}

void sClientBroker(zsock_t* pipe, void* argument)
{
    sClient* c = static_cast<sClient*>(argument);
    zpoller_t* poller = zpoller_new(pipe, c->server, c->outBound, nullptr);
    zsock_signal(pipe, poller ? 0 : 1);
    if (!poller)
        return;
    while (true) {
        zsock_t* which = static_cast<zsock_t*>(zpoller_wait(poller, BROKER_POLL_MS));
        if (zsys_interrupted) {
            sRelayInterrupt();
            continue;
        }
        if (which == pipe)
            break;
        if (which == c->server) {
            if (!sForward(c->server, c->inConnected))
                aDebugging_Trace(aDEBUG_CLIENT, "Client send error Frontend->incomming: %d\n", zmq_errno());
        } else if (which == c->outBound) {
            if (!sForward(c->outBound, c->server))
                aDebugging_Trace(aDEBUG_CLIENT, "Client send error Frontend->client: %d\n", zmq_errno());
        } else if (!which && zpoller_terminated(poller)) {
            break;
        }
    }
    aDebugging_Trace(aDEBUG_CLIENT, "Client task exit\n");
    zpoller_destroy(&poller);
}

void sFree(sClient* c)
{
    if (c->broker)
        zactor_destroy(&c->broker);
    zsock_t** sockets[] = {&c->outBound, &c->outConnected, &c->inBound, &c->inConnected, &c->server};
    for (zsock_t** s : sockets) {
        if (*s)
            zsock_destroy(s);
    }
    if (c->frame)
        zframe_destroy(&c->frame);
    aWaiter_Close(&c->waiter);
    delete c;
}

aErr sGet(uint8_t* byte, void* reference)
{
    sClient* c = static_cast<sClient*>(reference);
    if (!c || !byte)
        return aErrParam;
    if (!c->frame) {
        zmq_pollitem_t item = {zsock_resolve(c->inBound), 0, ZMQ_POLLIN, 0};
        int ready = zmq_poll(&item, 1, 0);
        if (ready < 0)
            return zmq_errno() == EINTR ? aErrNotReady : aErrUnknown;
        if (ready == 0)
            return aErrNotReady;
        c->frame = zframe_recv(c->inBound);
        if (!c->frame)
            return aErrIO;
        c->position = 0;
        if (zframe_size(c->frame) == 0) {
            zframe_destroy(&c->frame);
            return aErrIndexRange;
        }
    }
    *byte = zframe_data(c->frame)[c->position++];
    if (c->position >= zframe_size(c->frame))
        zframe_destroy(&c->frame);
    return aErrNone;
}

// The ZeroMQ poller waits for a frame and for the waiter's descriptor alike.
aErr sWait(uint32_t timeoutMs, void* reference)
{
    sClient* c = static_cast<sClient*>(reference);
    if (!c)
        return aErrParam;
    if (c->frame)
        return aErrNone;
    zmq_pollitem_t items[2] = {{zsock_resolve(c->inBound), 0, ZMQ_POLLIN, 0}, {nullptr, c->waiter.fd, ZMQ_POLLIN, 0}};
    long timeout = timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFL : long(timeoutMs);
    int ready = zmq_poll(items, 2, timeout);
    if (ready < 0)
        return zmq_errno() == EINTR ? aErrNone : aErrUnknown;
    if (ready == 0)
        return aErrNotReady;
    if (items[1].revents)
        aWaiter_Drain(&c->waiter);
    return aErrNone;
}

aErr sWake(void* reference)
{
    sClient* c = static_cast<sClient*>(reference);
    return c ? aWaiter_Wake(&c->waiter) : aErrParam;
}

aErr sPut(uint8_t, void*)
{
    return aErrUnimplemented;
}

void sSendFrame(sClient* c, const uint8_t* data, uint32_t length)
{
    for (int attempt = 0; attempt < aCLIENT_SEND_ATTEMPTS; attempt++) {
        if (zmq_send(zsock_resolve(c->outConnected), data, length, ZMQ_DONTWAIT) >= 0)
            return;
        aTime_MSSleep(1);
    }
    // The engine above drops what could not be sent and times out its wait.
    aDebugging_Trace(aDEBUG_CLIENT, "--Client send error outgoing->frontend: %d\n", zmq_errno());
}

aErr sWrite(const uint8_t* data, uint32_t length, void* reference)
{
    sClient* c = static_cast<sClient*>(reference);
    if (!c || !data)
        return aErrParam;
    // The server takes one packet frame per message: a pooled block of
    // whole packets goes as one frame per packet, in order.
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t at = 0;
    while (at < length) {
        uint32_t size = length - at;
        if (size >= 2 && bytes[at + 1] <= aPACKETMAXDATA && bytes[at + 1] + 2u <= size)
            size = bytes[at + 1] + 2u;
        sSendFrame(c, bytes + at, size);
        at += size;
    }
    return aErrNone;
}

aErr sDelete(void* reference)
{
    aDebugging_Trace(aDEBUG_CLIENT, "Client delete: start\n");
    if (reference)
        sFree(static_cast<sClient*>(reference));
    aDebugging_Trace(aDEBUG_CLIENT, "Client delete: end\n");
    return aErrNone;
}

// The server must prove it holds the key this user trusts for its address,
// and the client shows its own key, which the server checks.
aErr sSecure(zsock_t* server, const char* address)
{
    aCurveKeyPair own;
    char serverKey[aCURVE_KEY_TEXT];
    aErr err = aCurveKeys_OwnPair("client", &own);
    if (err == aErrNone)
        err = aCurveKeys_ServerKey(address, serverKey);
    if (err != aErrNone) {
        aDebugging_Trace(aDEBUG_CLIENT, "client: no key for server %s: %d\n", address, err);
        return aErrConnection;
    }
    zsock_set_curve_serverkey(server, serverKey);
    zsock_set_curve_publickey(server, own.publicKey);
    zsock_set_curve_secretkey(server, own.secretKey);
    std::memset(&own, 0, sizeof own);
    return aErrNone;
}

} // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream)
{
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    sClient* c = new (std::nothrow) sClient();
    if (!c)
        return aErrMemory;

    aErr err = sMakePair(&c->outBound, &c->outConnected, "outgoing");
    if (err == aErrNone)
        err = sMakePair(&c->inBound, &c->inConnected, "incoming");
    if (err == aErrNone) {
        char text[INET_ADDRSTRLEN] = {0};
        struct in_addr a;
        a.s_addr = address;
        inet_ntop(AF_INET, &a, text, sizeof text);
        aDebugging_Trace(aDEBUG_CLIENT, "aStream_CreateClient address: %s\n", text);
        c->server = zsock_new(ZMQ_DEALER);
        if (!c->server) {
            err = aErrMemory;
        } else if ((err = sSecure(c->server, text)) != aErrNone) {
            // no keys: no connection
        } else {
            zsock_set_maxmsgsize(c->server, SERVER_FRAME_MAX);
            int rc = zsock_connect(c->server, "tcp://%s:%d", text, static_cast<int>(port));
            aDebugging_Trace(aDEBUG_CLIENT, "Client connected to port: %d - rc: %d\n", static_cast<int>(port), rc);
            if (rc != 0) {
                aDebugging_Trace(aDEBUG_CLIENT, "Error connecting to socket: %d\n", rc);
                err = aErrConnection;
            }
        }
    }
    if (err == aErrNone)
        err = aWaiter_Open(&c->waiter);
    if (err == aErrNone) {
        c->broker = zactor_new(sClientBroker, c);
        if (!c->broker)
            err = aErrResource;
    }
    if (err == aErrNone) {
        *stream = aStream_Create(sGet, sPut, sWrite, sDelete, c);
        if (!*stream)
            err = aErrResource;
        else
            aStream_SetWaitProcs(*stream, sWait, sWake);
    }
    if (err != aErrNone)
        sFree(c);
    return err;
}
