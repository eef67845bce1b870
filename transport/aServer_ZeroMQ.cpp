#include "transport/aServer_ZeroMQ.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <czmq.h>
#include <deque>
#include <iterator>
#include <list>
#include <mutex>
#include <new>
#include <vector>

#include "link/aDebugging.h"
#include "link/aDefs.h"
#include "link/aLink.h"
#include "link/aLinkManagerInternal.h"
#include "link/aUEI.h"
#include "transport/aCurveKeys.h"
#include "transport/aMulticast.h"
#include "transport/discover.h"
#include "transport/unix_time.h"
#include "transport/zBeaconInterface.h"

namespace {

const int ACTOR_POLL_MS = 1000;
const uint32_t ANSWER_WAIT_MS = 2000;
const uint32_t ANSWER_SLICE_MS = 100;
const int POOL_TTL = 2000;
const uint32_t PUBLISH_MS = 2000;
const int PUBLISH_INTERVAL_MS = 100;
const int BEACON_RECEIVE_MS = 100;
const unsigned MAX_INTERFACES = 50;
const size_t BATCH_SIZE = 4096;
const size_t BATCH_FLUSH = 4065;
// A sample waits in the batch at most this long, heartbeats or not.
const uint32_t BATCH_MAX_AGE_MS = 20;
const int STREAM_QUEUE = 20000;
// ZeroMQ holds its own handshake commands (up to a few hundred bytes with
// CURVE) to this limit too, so it sits above them.
const int64_t FRONTEND_FRAME_MAX = 1024;
const int FLUSH_SIGNAL = 5;
const size_t BEACON_FILTER_LENGTH = 20;
const uint8_t QUERY_BYTES[4] = {0xBA, 0xDC, 0xCD, 0xAB};

// UEI byte transfer of one client being collected.
struct sPool {
    zframe_t* identity = nullptr;
    std::vector<zframe_t*> frames;
    uint8_t count = 0;
    int ttl = POOL_TTL;
};

// A client that streams, with the stream keys (low 32 bits: module,
// command, option, index) it has switched on.
struct sStreamer {
    zframe_t* identity = nullptr;
    std::vector<uint32_t> keys;
};

} // namespace

struct aServer {
    uint32_t link = 0;
    uint32_t serialNumber = 0;
    std::atomic<uint8_t> model{0};
    std::atomic<uint8_t> moduleAddress{0};
    uint16_t localOnly = 1;
    uint32_t networkInterface = 0;
    uint16_t frontendPort = 0;
    zactor_t* discovery = nullptr;
    bool beaconMode = false;
    char host[INET_ADDRSTRLEN] = {0};
    zsock_t* frontend = nullptr;        // broker
    zsock_t* streamBound = nullptr;     // broker reads
    zsock_t* streamConnected = nullptr; // streaming filter writes
    zsock_t* syncBound = nullptr;       // broker
    zsock_t* syncConnected = nullptr;   // sync worker
    zactor_t* broker = nullptr;
    zactor_t* worker = nullptr;
    std::mutex pipe; // sends to the broker's pipe from the owner's calls
    bool started = false;
    bool filterInstalled = false;
    bool zapHeld = false;

    // Broker only.
    bool publishing = false;
    aMSTicks publishStart = 0;
    uint16_t expected = 0;
    std::deque<zframe_t*> answers;
    std::vector<sStreamer> streaming;
    std::list<sPool> pools;
    uint8_t batch[BATCH_SIZE];
    uint16_t batchFill = 0;
    aMSTicks batchStart = 0;
};

namespace {

void sTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void sTrace(const char* format, ...)
{
    if (!aDebugging_IsOn(aDEBUG_SERVER))
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    aDebugging_Trace(aDEBUG_SERVER, "%s", text);
}

// A packet frame (address, length, data) as a packet; null when the frame
// is no packet. The length byte may not claim bytes the frame lacks.
aPacket* sFrameToPacket(const uint8_t* bytes, size_t size)
{
    if (size < 2 || size > aPACKETMAXDATA + 2u) {
        sTrace("Bad content packet: dSize: %d\n", static_cast<int>(size));
        return nullptr;
    }
    if (bytes[1] > size - 2) {
        sTrace("Bad content packet: dSize: %d\n", static_cast<int>(size));
        return nullptr;
    }
    return aPacket_CreateWithData(bytes[0], bytes[1], bytes + 2);
}

bool sFullAndContinue(const aPacket* packet)
{
    return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

// Whether the module answers this packet: not the routing switch, and not a
// fragment of a UEI byte transfer that more fragments follow.
bool sResponseRequired(const aPacket* packet)
{
    return packet->address != cmdFORCEROUTE && !sFullAndContinue(packet);
}

void sDiscoveryAnswer(const aServer* s, linkSpec* spec)
{
    std::memset(spec, 0, sizeof *spec);
    spec->type = AETHER;
    spec->serialNumber = s->serialNumber;
    spec->model = s->model.load();
    struct in_addr a;
    spec->t.ipAddress = inet_pton(AF_INET, s->host, &a) == 1 ? a.s_addr : 0;
    spec->p.ipPort = s->frontendPort;
}

bool sSendCommand(zsock_t* socket, uint8_t command, uint16_t count)
{
    const uint8_t bytes[3] = {command, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    return zmq_send(zsock_resolve(socket), bytes, sizeof bytes, 0) == static_cast<int>(sizeof bytes);
}

// ---- broker -------------------------------------------------------------

bool sSendTo(aServer* s, zframe_t* identity, zframe_t* frame)
{
    zmsg_t* msg = zmsg_new();
    zmsg_append(msg, &identity);
    zmsg_append(msg, &frame);
    int rc = zmsg_send(&msg, s->frontend);
    if (rc != 0)
        zmsg_destroy(&msg);
    return rc == 0;
}

void sForgetPool(aServer* s, std::list<sPool>::iterator pool)
{
    zframe_destroy(&pool->identity);
    for (zframe_t*& f : pool->frames)
        zframe_destroy(&f);
    s->pools.erase(pool);
}

// Collects the fragments of a client's UEI byte transfer and hands them to
// the module together once the last one is in. True when the packet was
// taken (held, sent with its pool, or dropped as out of sequence).
bool sPoolUEIBytes(aServer* s, zframe_t* identity, const aPacket* packet, zframe_t* frame)
{
    for (auto p = s->pools.begin(); p != s->pools.end();) {
        auto next = std::next(p);
        if (--p->ttl <= 0) {
            sTrace("setUEIBytes is stale, destroying\n");
            sForgetPool(s, p);
        }
        p = next;
    }
    auto pool = s->pools.begin();
    while (pool != s->pools.end() && !zframe_eq(pool->identity, identity))
        ++pool;

    uint8_t sequence = aUEI_getBytesSequence(packet);
    if (pool == s->pools.end()) {
        if (packet->length != aPACKETMAXDATA || !sFullAndContinue(packet) || sequence != 0)
            return false;
        sPool fresh;
        fresh.identity = zframe_dup(identity);
        fresh.frames.push_back(zframe_dup(frame));
        s->pools.push_back(fresh);
        return true;
    }
    // Sequence numbers travel in 7 bits.
    if (sequence != ((pool->count + 1) & 0x7F)) {
        sTrace("BOOM: Sequence mix up. ttl will clean it up. \n");
        return true;
    }
    pool->frames.push_back(zframe_dup(frame));
    if (sFullAndContinue(packet)) {
        pool->count++;
        return true;
    }
    s->answers.push_back(zframe_dup(identity));
    for (size_t i = 0; i < pool->frames.size(); i++) {
        sTrace("Pool Packet: %d\n", static_cast<int>(i));
        if (zframe_send(&pool->frames[i], s->syncBound, 0) != 0)
            sTrace("Failed to send setUEIBytes!\n");
    }
    sForgetPool(s, pool);
    return true;
}

// True when every lane of the wide key is 0xFF or equal to the narrow key's
// (the module lane is never a wildcard).
bool sKeyCovers(uint32_t wide, uint32_t narrow)
{
    if ((wide >> 24) != (narrow >> 24))
        return false;
    for (int lane = 0; lane < 3; lane++) {
        uint8_t w = static_cast<uint8_t>(wide >> (8 * lane));
        if (w != 0xFF && w != static_cast<uint8_t>(narrow >> (8 * lane)))
            return false;
    }
    return true;
}

void sForgetStreamer(std::vector<sStreamer>::iterator streamer, std::vector<sStreamer>& list)
{
    zframe_destroy(&streamer->identity);
    list.erase(streamer);
}

// The module's answer to a stream switch-off, given by the server itself.
bool sAnswerStreamOff(aServer* s, zframe_t* identity, const aPacket* packet)
{
    uint8_t bytes[9] = {packet->address, 7, cmdSTREAMCONTROL, 0xC2, 0};
    std::memcpy(bytes + 5, packet->data + 3, 4);
    return sSendTo(s, zframe_dup(identity), zframe_new(bytes, sizeof bytes));
}

// Keeps track of which client streams what. A switch-on puts the client in
// the fan-out; a switch-off takes the keys it covers from that client (the
// client leaves the fan-out with its last key) and reaches the module only
// when no other client still has a stream it would end. True when the
// server answered the packet itself and it must not go on.
bool sStreamControl(aServer* s, zframe_t* identity, const aPacket* packet)
{
    if (packet->length != 7 || packet->data[0] != cmdSTREAMCONTROL)
        return false;
    const uint32_t key = aUEI_RetrieveInt(packet->data + 3);
    auto streamer = s->streaming.begin();
    while (streamer != s->streaming.end() && !zframe_eq(streamer->identity, identity))
        ++streamer;
    if (packet->data[1] == 0x81) {
        sTrace("ZeroMQ - Streaming Enable - Size: %zu\n", s->streaming.size());
        if (streamer == s->streaming.end()) {
            sStreamer fresh;
            fresh.identity = zframe_dup(identity);
            s->streaming.push_back(fresh);
            streamer = std::prev(s->streaming.end());
            sTrace("Added stream entry\n");
        }
        if (std::find(streamer->keys.begin(), streamer->keys.end(), key) == streamer->keys.end())
            streamer->keys.push_back(key);
        return false;
    }
    if (packet->data[1] != 0x82) {
        sTrace("unknown stream enable: %d\n", packet->data[1]);
        return false;
    }
    if (streamer != s->streaming.end()) {
        std::vector<uint32_t>& keys = streamer->keys;
        keys.erase(std::remove_if(keys.begin(), keys.end(), [key](uint32_t k) { return sKeyCovers(key, k); }),
                   keys.end());
        if (keys.empty()) {
            sForgetStreamer(streamer, s->streaming);
            sTrace("Removed stream entry\n");
        }
    }
    for (const sStreamer& other : s->streaming) {
        for (uint32_t k : other.keys) {
            if (sKeyCovers(key, k)) {
                sTrace("Stream kept on for another client\n");
                if (!sAnswerStreamOff(s, identity, packet))
                    sTrace("failed to send id\n");
                return true;
            }
        }
    }
    return false;
}

// One client message: the identity frame and the packet frame, both owned
// here. Only well-formed packets go on to the module side.
void sTakeClientMessage(aServer* s, zframe_t* identity, zframe_t* frame)
{
    aPacket* packet = (identity && frame) ? sFrameToPacket(zframe_data(frame), zframe_size(frame)) : nullptr;
    if (packet) {
        if (sStreamControl(s, identity, packet)) {
            // answered here
        } else if (aUEI_isUEIPayload(packet) && sPoolUEIBytes(s, identity, packet, frame)) {
            sTrace("UEIBytes\n");
        } else if (packet->address == cmdFORCEROUTE && packet->length == 1) {
            sTrace("Blocking cmdFORCEROUTE from remote client\n");
        } else {
            bool answer = sResponseRequired(packet);
            if (answer)
                s->answers.push_back(zframe_dup(identity));
            if (zframe_send(&frame, s->syncBound, 0) != 0) {
                sTrace("Failed to send packet out!\n");
                // No answer will come for what never left.
                if (answer) {
                    zframe_destroy(&s->answers.back());
                    s->answers.pop_back();
                }
            }
        }
        aPacket_Destroy(&packet);
    }
    if (frame)
        zframe_destroy(&frame);
    if (identity)
        zframe_destroy(&identity);
}

void sFromFrontend(aServer* s)
{
    zmsg_t* msg = zmsg_recv(s->frontend);
    if (!msg)
        return;
    zframe_t* identity = zmsg_pop(msg);
    zframe_t* frame = zmsg_pop(msg);
    zmsg_destroy(&msg);
    sTakeClientMessage(s, identity, frame);
}

// One frame from the sync worker (owned here): an answer for the client
// first in line, or a server command about the answers to come.
void sTakeModuleFrame(aServer* s, zframe_t* frame)
{
    if (s->answers.empty()) {
        sTrace("no id to pop\n");
        zframe_destroy(&frame);
        return;
    }
    zframe_t* identity = s->answers.front();
    s->answers.pop_front();
    const uint8_t* bytes = zframe_data(frame);
    // Packet frames start with an even, non-zero address, so a 3-byte frame
    // starting with 0 or 1 can only be a server command.
    if (zframe_size(frame) == 3 && bytes[0] <= SERVER_CMD_INCOMING_PACKETS) {
        if (bytes[0] == SERVER_CMD_DROPPED_PACKET) {
            sTrace("dropping id: fifo size: %d\n", static_cast<int>(s->answers.size()));
        } else {
            uint16_t count = static_cast<uint16_t>((bytes[1] << 8) | bytes[2]);
            sTrace("Num packets coming: %d\n", count);
            for (uint16_t i = 0; i < count; i++)
                s->answers.push_front(zframe_dup(identity));
            s->expected = count;
        }
        zframe_destroy(&identity);
        zframe_destroy(&frame);
        return;
    }
    if (!sSendTo(s, identity, frame))
        sTrace("failed to send sync message\n");
    if (s->expected == 0)
        sTrace("Error, sending more packets then expected\n");
    else
        s->expected--;
}

void sFromSync(aServer* s)
{
    zframe_t* frame = zframe_recv(s->syncBound);
    if (frame)
        sTakeModuleFrame(s, frame);
}

void sFlushBatch(aServer* s)
{
    if (s->batchFill == 0)
        return;
    for (const sStreamer& streamer : s->streaming) {
        if (!sSendTo(s, zframe_dup(streamer.identity), zframe_new(s->batch, s->batchFill)))
            sTrace("failed to send id\n");
    }
    s->batchFill = 0;
}

// Takes every sample frame waiting from the streaming filter into one batch
// and sends it to every streaming client once nothing more waits, so a
// sample never waits for a heartbeat or for others to fill the batch. While
// samples keep coming, a full batch, an empty frame (a heartbeat passed) or
// a batch BATCH_MAX_AGE_MS old goes out at once.
void sFromStreaming(aServer* s)
{
    uint8_t bytes[aPACKETMAXDATA + 2];
    int size;
    while ((size = zmq_recv(zsock_resolve(s->streamBound), bytes, sizeof bytes, ZMQ_DONTWAIT)) >= 0) {
        if (size == 0 || size > static_cast<int>(sizeof bytes)) {
            sFlushBatch(s);
            continue;
        }
        if (s->batchFill == 0)
            s->batchStart = aTime_GetMSTicks();
        std::memcpy(s->batch + s->batchFill, bytes, static_cast<size_t>(size));
        s->batchFill = static_cast<uint16_t>(s->batchFill + size);
        if (s->batchFill > BATCH_FLUSH || aTime_MSElapsed(s->batchStart) >= BATCH_MAX_AGE_MS)
            sFlushBatch(s);
    }
    sFlushBatch(s);
}

void sFromBeacon(aServer* s)
{
    zmsg_t* msg = zmsg_recv(s->discovery);
    if (!msg)
        return;
    char* sender = zmsg_popstr(msg);
    zframe_t* payload = zmsg_pop(msg);
    if (s->model.load() == 0) {
        sTrace("Discovery not allowed (beacon), model not set.\n");
    } else if (payload && zframe_size(payload) >= BEACON_FILTER_LENGTH
               && std::memcmp(zframe_data(payload), DISCOVERY_BEACON_FILTER, BEACON_FILTER_LENGTH) == 0
               && !s->publishing) {
        linkSpec answer;
        sDiscoveryAnswer(s, &answer);
        zsock_send(s->discovery, "sbi", "PUBLISH", &answer, sizeof answer, PUBLISH_INTERVAL_MS);
        s->publishing = true;
        s->publishStart = aTime_GetMSTicks();
    }
    zstr_free(&sender);
    zframe_destroy(&payload);
    zmsg_destroy(&msg);
}

void sFlushAnswers(aServer* s)
{
    sTrace("Flushing FIFO\n");
    for (zframe_t*& f : s->answers)
        zframe_destroy(&f);
    s->answers.clear();
    s->expected = 0;
}

void sBroker(zsock_t* pipe, void* argument)
{
    aServer* s = static_cast<aServer*>(argument);
    zpoller_t* poller = zpoller_new(pipe, s->frontend, s->syncBound, s->streamBound, nullptr);
    if (poller && s->beaconMode)
        zpoller_add(poller, s->discovery);
    zsock_signal(pipe, poller ? 0 : 1);
    if (!poller)
        return;
    while (true) {
        void* which = zpoller_wait(poller, ACTOR_POLL_MS);
        if (which == pipe) {
            zmsg_t* msg = zmsg_recv(pipe);
            int signal = msg ? zmsg_signal(msg) : -1;
            zmsg_destroy(&msg);
            if (signal != FLUSH_SIGNAL) {
                sTrace("pre exit 1\n");
                break;
            }
            sFlushAnswers(s);
        } else if (which == s->frontend) {
            sFromFrontend(s);
        } else if (which == s->syncBound) {
            sFromSync(s);
        } else if (which == s->streamBound) {
            sFromStreaming(s);
        } else if (s->beaconMode && which == s->discovery) {
            sFromBeacon(s);
        } else if (!which && zpoller_terminated(poller)) {
            sTrace("pre exit 2\n");
            break;
        }
        if (s->publishing && aTime_MSElapsed(s->publishStart) > PUBLISH_MS) {
            zstr_send(s->discovery, "SILENCE");
            s->publishing = false;
            sTrace("Beacon silenced\n");
        }
    }
    zpoller_destroy(&poller);
}

// ---- sync worker --------------------------------------------------------

// The next packet from the module, waiting up to ANSWER_WAIT_MS; null also
// when the worker is asked to stop meanwhile.
aPacket* sAwaitAnswer(aServer* s, zsock_t* pipe)
{
    aMSTicks start = aTime_GetMSTicks();
    while (aTime_MSElapsed(start) < ANSWER_WAIT_MS) {
        aMSTicks slice = aTime_GetMSTicks();
        if (aPacket* packet = aLink_AwaitPacket(s->link, ANSWER_SLICE_MS))
            return packet;
        if (zsock_events(pipe) & ZMQ_POLLIN)
            return nullptr;
        if (aTime_MSElapsed(slice) < ANSWER_SLICE_MS / 2)
            aTime_MSSleep(10); // the queue is gone (link torn down)
    }
    return nullptr;
}

void sServeRequest(aServer* s, zsock_t* pipe, zframe_t* frame)
{
    aPacket* packet = sFrameToPacket(zframe_data(frame), zframe_size(frame));
    if (!packet) {
        sTrace("bad-packet\n");
        return;
    }
    bool answer = sResponseRequired(packet);
    aErr err = aLink_PutPacket(s->link, packet);
    if (err != aErrNone) {
        // Only a request the broker waits for may free a place in its queue.
        if (answer)
            sSendCommand(s->syncConnected, SERVER_CMD_DROPPED_PACKET, 0);
        sTrace("Failed to PUT packet: err: %d\n", err);
        aPacket_Destroy(&packet);
        return;
    }
    aPacket_Destroy(&packet);
    if (!answer) {
        sTrace("don't wait on this packet\n");
        return;
    }
    std::vector<aPacket*> replies;
    while (aPacket* reply = sAwaitAnswer(s, pipe)) {
        replies.push_back(reply);
        if (!sFullAndContinue(reply))
            break;
    }
    if (replies.empty()) {
        sSendCommand(s->syncConnected, SERVER_CMD_DROPPED_PACKET, 0);
        sTrace("Failed to AWAIT packet\n");
        return;
    }
    if (!sSendCommand(s->syncConnected, SERVER_CMD_INCOMING_PACKETS, static_cast<uint16_t>(replies.size())))
        sTrace("Failed to SENDY-SEND!\n");
    for (aPacket*& reply : replies) {
        uint8_t bytes[aPACKETMAXWIRE];
        size_t size = aPacket_ToWire(reply, bytes, sizeof bytes);
        if (zmq_send(zsock_resolve(s->syncConnected), bytes, size, 0) != static_cast<int>(size))
            sTrace("Failed to SENDY-SEND!\n");
        aPacket_Destroy(&reply);
    }
}

void sWorker(zsock_t* pipe, void* argument)
{
    aServer* s = static_cast<aServer*>(argument);
    zpoller_t* poller = zpoller_new(pipe, s->syncConnected, nullptr);
    zsock_signal(pipe, poller ? 0 : 1);
    if (!poller)
        return;
    while (true) {
        void* which = zpoller_wait(poller, ACTOR_POLL_MS);
        if (which == pipe || (!which && zpoller_terminated(poller)))
            break;
        if (which == s->syncConnected) {
            zframe_t* frame = zframe_recv(s->syncConnected);
            if (frame) {
                sServeRequest(s, pipe, frame);
                zframe_destroy(&frame);
            }
        }
    }
    zpoller_destroy(&poller);
}

// ---- streaming filter ---------------------------------------------------

// Passes each stream sample on to the broker, which batches them; a
// heartbeat passes an empty frame, which sends the batch out at once.
uint8_t sStreamFilter(const aPacket* packet, void* reference)
{
    aServer* s = static_cast<aServer*>(reference);
    if (aUEI_isStreamPacket(packet)) {
        uint8_t bytes[aPACKETMAXWIRE];
        size_t size = aPacket_ToWire(packet, bytes, sizeof bytes);
        if (zmq_send(zsock_resolve(s->streamConnected), bytes, size, ZMQ_DONTWAIT) < 0)
            sTrace("failed to pass stream sample: %d\n", zmq_errno());
        return 1;
    }
    if (packet->length == 2 && packet->data[0] == cmdHEARTBEAT)
        zmq_send(zsock_resolve(s->streamConnected), "", 0, ZMQ_DONTWAIT);
    return 0;
}

// ---- multicast discovery (local mode) -----------------------------------

void sMulticastDiscovery(zsock_t* pipe, void* argument)
{
    aServer* s = static_cast<aServer*>(argument);
    uint32_t group = inet_addr(aSERVER_MULTICAST_GROUP);
    aMulticastRef receiver = nullptr;
    aMulticastRef sender = nullptr;
    for (int search = 0; search < aSERVER_MULTICAST_SLOTS && !sender; search++) {
        int slot = 0;
        for (; slot < aSERVER_MULTICAST_SLOTS && !receiver; slot++)
            receiver = aMulticast_Create(0, group, static_cast<uint16_t>(aSERVER_MULTICAST_PORT + slot), false);
        if (!receiver)
            break;
        slot--;
        sender = aMulticast_Create(0, group, static_cast<uint16_t>(aSERVER_MULTICAST_REPLY_PORT + slot), true);
        if (!sender)
            aMulticast_Destroy(&receiver);
        else
            sTrace("Discovery port offset: %d\n", slot);
    }
    zsock_signal(pipe, 0);
    while (receiver && sender) {
        uint8_t query[4];
        int got = aMulticast_Receive(receiver, query, sizeof query);
        if (got == 4 && std::memcmp(query, QUERY_BYTES, sizeof query) == 0) {
            sTrace("We got the multicast magic value\n");
            if (s->model.load() != 0) {
                linkSpec answer;
                sDiscoveryAnswer(s, &answer);
                int sent = aMulticast_Send(sender, &answer, sizeof answer);
                sTrace("Sent: %d to the reply port\n", sent);
            } else {
                sTrace("Discovery not allowed (Multicast), model not set.\n");
            }
        } else if (got > 0) {
            sTrace("We something else on multicast\n");
        }
        // The receive above already paces the loop; a search waits only one
        // second for the answer, so the pipe is only looked at, not waited on.
        if (zsock_events(pipe) & ZMQ_POLLIN)
            break;
    }
    if (!receiver || !sender) {
        // No slot: nothing to answer; wait to be told to end.
        zmsg_t* msg = zmsg_recv(pipe);
        zmsg_destroy(&msg);
    }
    aMulticast_Destroy(&receiver);
    aMulticast_Destroy(&sender);
}

// ---- handshake check ------------------------------------------------------

// ZeroMQ asks one handler per process (its endpoint is fixed) whether a
// client's CURVE key may connect; it runs while any server does. The lock
// guards the count and the actor.
std::mutex sZapLock;
int sZapUsers = 0;
zactor_t* sZap = nullptr;
const char* ZAP_ENDPOINT = "inproc://zeromq.zap.01";
const char* ZAP_DOMAIN = "corvestel";

void sZapHandler(zsock_t* pipe, void*)
{
    zsock_t* handler = zsock_new(ZMQ_REP);
    bool ok = handler && zsock_bind(handler, "%s", ZAP_ENDPOINT) == 0;
    zpoller_t* poller = ok ? zpoller_new(pipe, handler, nullptr) : nullptr;
    zsock_signal(pipe, poller ? 0 : 1);
    while (poller && zpoller_wait(poller, -1) == handler) {
        zmsg_t* request = zmsg_recv(handler);
        if (!request)
            break;
        // version, request id, domain, address, identity, mechanism, key
        zframe_t* version = zmsg_pop(request);
        zframe_t* sequence = zmsg_pop(request);
        char* domain = zmsg_popstr(request);
        char* address = zmsg_popstr(request);
        zframe_t* identity = zmsg_pop(request);
        char* mechanism = zmsg_popstr(request);
        zframe_t* key = zmsg_pop(request);
        bool allowed = mechanism && std::strcmp(mechanism, "CURVE") == 0 && key && zframe_size(key) == 32 &&
                       aCurveKeys_IsAllowed(zframe_data(key));
        sTrace(allowed ? "Client key accepted: %s\n" : "Client key refused: %s\n", address ? address : "?");
        zmsg_t* reply = zmsg_new();
        zmsg_addstr(reply, "1.0");
        if (sequence)
            zmsg_append(reply, &sequence);
        else
            zmsg_addstr(reply, "");
        zmsg_addstr(reply, allowed ? "200" : "400");
        zmsg_addstr(reply, allowed ? "OK" : "Unknown client key");
        zmsg_addstr(reply, "");
        zmsg_addmem(reply, nullptr, 0);
        zmsg_send(&reply, handler);
        zframe_t* frames[] = {version, identity, key};
        for (zframe_t* f : frames)
            if (f)
                zframe_destroy(&f);
        zstr_free(&domain);
        zstr_free(&address);
        zstr_free(&mechanism);
        zmsg_destroy(&request);
    }
    zpoller_destroy(&poller);
    if (handler)
        zsock_destroy(&handler);
}

bool sHoldZap()
{
    std::lock_guard<std::mutex> guard(sZapLock);
    if (sZapUsers == 0) {
        sZap = zactor_new(sZapHandler, nullptr);
        if (!sZap)
            return false;
    }
    sZapUsers++;
    return true;
}

void sReleaseZap()
{
    std::lock_guard<std::mutex> guard(sZapLock);
    if (--sZapUsers == 0)
        zactor_destroy(&sZap);
}

// Only clients whose key the owner allows get through the handshake; the
// check runs before any frame of theirs reaches the broker.
bool sSecureFrontend(aServer* s)
{
    aCurveKeyPair server, client;
    aErr err = aCurveKeys_OwnPair("server", &server);
    // The owner's own client key is made here too, so that the owner's
    // programs connect without any set-up.
    if (err == aErrNone)
        err = aCurveKeys_OwnPair("client", &client);
    if (err != aErrNone) {
        sTrace("No server keys: %d\n", err);
        return false;
    }
    s->zapHeld = sHoldZap();
    if (!s->zapHeld)
        return false;
    zsock_set_zap_domain(s->frontend, ZAP_DOMAIN);
    zsock_set_curve_server(s->frontend, 1);
    zsock_set_curve_secretkey(s->frontend, server.secretKey);
    std::memset(&server, 0, sizeof server);
    return true;
}

// ---- set-up ---------------------------------------------------------------

// The two ends of an internal pair live in this process only: an inproc
// endpoint has no port another local user could connect to. Every pair
// gets a number of its own, so two servers never meet, and a server made
// where one was just freed does not find the old name still taken (ZeroMQ
// lets go of it in the background).
bool sPair(const char* role, zsock_t** bound, zsock_t** connected)
{
    static std::atomic<unsigned> pairs{0};
    *bound = zsock_new(ZMQ_DEALER);
    *connected = zsock_new(ZMQ_DEALER);
    if (!*bound || !*connected)
        return false;
    char endpoint[64];
    std::snprintf(endpoint, sizeof endpoint, "inproc://aserver-%u-%s", pairs++, role);
    return zsock_bind(*bound, "%s", endpoint) == 0 && zsock_connect(*connected, "%s", endpoint) == 0;
}

bool sStartBeacon(aServer* s, const char* interfaceText)
{
    sTrace("Setting interface for user: (s)%s - (i)%u\n", interfaceText, s->networkInterface);
    if (!zBeaconInterface_setAndLock(interfaceText))
        return false;
    s->discovery = zactor_new(zbeacon, nullptr);
    // czmq reads its interface setting when the beacon is configured, so the
    // lock is held until then.
    char* hostname = nullptr;
    if (s->discovery) {
        zsock_send(s->discovery, "si", "CONFIGURE", aSERVER_BEACON_PORT);
        hostname = zstr_recv(s->discovery);
    }
    zBeaconInterface_unlock();
    if (!hostname || !*hostname) {
        zstr_free(&hostname);
        return false;
    }
    std::snprintf(s->host, sizeof s->host, "%s", hostname);
    sTrace("Beacon hostname(Server): %s - Port: %d\n", hostname, aSERVER_BEACON_PORT);
    zstr_free(&hostname);
    zsock_send(s->discovery, "sb", "SUBSCRIBE", DISCOVERY_BEACON_FILTER, BEACON_FILTER_LENGTH);
    zsock_set_rcvtimeo(s->discovery, BEACON_RECEIVE_MS);
    s->beaconMode = true;
    return true;
}

bool sChooseDiscovery(aServer* s)
{
    uint32_t addresses[MAX_INTERFACES];
    unsigned count = aDiscovery_GetIPv4Interfaces(addresses, MAX_INTERFACES);
    aDebugging_Trace(aDEBUG_DISCOVERY, "_configureInterface found count: %d\n", count);
    if (!s->localOnly && count > 0) {
        if (s->networkInterface == 0 || s->networkInterface == htonl(INADDR_LOOPBACK))
            s->networkInterface = addresses[0];
        char text[INET_ADDRSTRLEN];
        aDiscovery_ConvertIPv4Interface(s->networkInterface, text, sizeof text);
        return sStartBeacon(s, text);
    }
    // The multicast actor starts once the frontend port is known.
    std::snprintf(s->host, sizeof s->host, "127.0.0.1");
    return true;
}

bool sBindFrontend(aServer* s)
{
    char text[INET_ADDRSTRLEN] = "127.0.0.1";
    if (!s->localOnly)
        aDiscovery_ConvertIPv4Interface(s->networkInterface, text, sizeof text);
    int port = zsock_bind(s->frontend, "tcp://%s:*", text);
    sTrace("_findPortAndBindSocket: %d - %s\n", port, text);
    if (port <= 0)
        return false;
    s->frontendPort = static_cast<uint16_t>(port);
    return true;
}

uint8_t sAll(const aPacket*, const void*)
{
    return 1;
}

} // namespace

aServerRef aServer_Create(uint32_t linkIdentifier, uint32_t networkInterface, uint16_t localOnly)
{
    aLinkEntryRef entry = aLinkManager_LookupByID(linkIdentifier);
    if (!entry) {
        sTrace("Could not find device Item\n");
        return nullptr;
    }
    aServer* s = new (std::nothrow) aServer();
    if (!s)
        return nullptr;
    s->link = linkIdentifier;
    s->serialNumber = entry->deviceKey;
    s->localOnly = localOnly;
    s->networkInterface = networkInterface ? networkInterface : htonl(INADDR_LOOPBACK);
    if (localOnly)
        s->networkInterface = htonl(INADDR_LOOPBACK); // only loopback is served
    return s;
}

aErr aServer_Start(aServerRef s)
{
    if (!s || s->started)
        return aErrParam;
    aDebugging_Trace(aDEBUG_LINK, "_initServer:\n");
    s->frontend = zsock_new(ZMQ_ROUTER);
    // A peer that sends a frame longer than its handshake needs is cut off
    // by ZeroMQ before the frame is held in memory; the broker refuses every
    // frame longer than one packet.
    if (s->frontend)
        zsock_set_maxmsgsize(s->frontend, FRONTEND_FRAME_MAX);
    bool ok = s->frontend && sPair("stream", &s->streamBound, &s->streamConnected) &&
              sPair("sync", &s->syncBound, &s->syncConnected);
    if (ok) {
        // Samples wait here while the broker serves a burst of requests.
        zsock_set_sndhwm(s->streamConnected, STREAM_QUEUE);
        zsock_set_rcvhwm(s->streamBound, STREAM_QUEUE);
    }
    ok = ok && sSecureFrontend(s) && sChooseDiscovery(s) && sBindFrontend(s);
    if (ok && !s->beaconMode) {
        s->discovery = zactor_new(sMulticastDiscovery, s);
        ok = s->discovery != nullptr;
    }
    if (ok) {
        s->broker = zactor_new(sBroker, s);
        s->worker = s->broker ? zactor_new(sWorker, s) : nullptr;
        ok = s->worker != nullptr;
    }
    if (ok) {
        ok = aLink_InstallUserPacketFilter(s->link, sStreamFilter, s) == aErrNone;
        s->filterInstalled = ok;
        if (ok)
            aLink_DrainPackets(s->link, sAll, nullptr);
    }
    s->started = true; // whatever was made is taken down by destroy
    if (!ok) {
        sTrace("Could not find open port\n");
        return aErrResource;
    }
    return aErrNone;
}

aErr aServer_Destroy(aServerRef* server)
{
    if (!server || !*server)
        return aErrParam;
    aServer* s = *server;
    *server = nullptr;
    if (s->filterInstalled) {
        sTrace("PIPE! - Task\n");
        aLink_InstallUserPacketFilter(s->link, nullptr, nullptr);
    }
    if (s->worker)
        zactor_destroy(&s->worker);
    if (s->broker)
        zactor_destroy(&s->broker);
    if (s->discovery)
        zactor_destroy(&s->discovery);
    zsock_t** sockets[] = {&s->frontend, &s->streamBound, &s->streamConnected, &s->syncBound, &s->syncConnected};
    for (zsock_t** socket : sockets) {
        if (*socket)
            zsock_destroy(socket);
    }
    if (s->zapHeld)
        sReleaseZap();
    while (!s->pools.empty())
        sForgetPool(s, s->pools.begin());
    for (zframe_t*& f : s->answers)
        zframe_destroy(&f);
    for (sStreamer& streamer : s->streaming)
        zframe_destroy(&streamer.identity);
    sTrace("server task exit\n");
    delete s;
    return aErrNone;
}

aErr aServer_GetPort(aServerRef s, uint16_t* port)
{
    if (!s || !port)
        return aErrParam;
    *port = s->frontendPort;
    return aErrNone;
}

aErr aServer_GetInterface(aServerRef s, uint32_t* address)
{
    if (!s || !address)
        return aErrParam;
    *address = s->networkInterface;
    return aErrNone;
}

aErr aServer_SetModuleAddress(aServerRef s, uint8_t address)
{
    if (!s)
        return aErrParam;
    s->moduleAddress.store(address);
    return aErrNone;
}

aErr aServer_SetModel(aServerRef s, uint8_t model)
{
    if (!s)
        return aErrParam;
    s->model.store(model);
    return aErrNone;
}

aErr aServer_FlushFIFO(aServerRef s)
{
    if (!s)
        return aErrParam;
    if (!s->broker)
        return aErrNotReady;
    std::lock_guard<std::mutex> guard(s->pipe);
    return zsock_signal(s->broker, FLUSH_SIGNAL) == 0 ? aErrNone : aErrIO;
}

aServerRef aServer_CreateDetached()
{
    aServer* s = new (std::nothrow) aServer();
    if (!s)
        return nullptr;
    s->started = true; // never started for real: destroy takes down what there is
    static std::atomic<unsigned> counter{0};
    const unsigned n = counter++;
    s->frontend = zsock_new(ZMQ_ROUTER);
    s->syncBound = zsock_new(ZMQ_PAIR);
    s->syncConnected = zsock_new(ZMQ_PAIR);
    bool ok = s->frontend && s->syncBound && s->syncConnected &&
              zsock_bind(s->frontend, "inproc://aserver-detached-front-%u", n) == 0 &&
              zsock_bind(s->syncBound, "inproc://aserver-detached-sync-%u", n) == 0 &&
              zsock_connect(s->syncConnected, "inproc://aserver-detached-sync-%u", n) == 0;
    if (!ok) {
        aServer_Destroy(&s);
        return nullptr;
    }
    zsock_set_rcvtimeo(s->syncConnected, 0);
    zsock_set_sndtimeo(s->frontend, 0);
    return s;
}

aErr aServer_DetachedClientMessage(aServerRef s, const uint8_t* identity, size_t identitySize, const uint8_t* frame,
                                   size_t frameSize, std::vector<std::string>* toModule)
{
    if (!s || !s->syncConnected || s->broker)
        return aErrParam;
    sTakeClientMessage(s, zframe_new(identity, identitySize), zframe_new(frame, frameSize));
    while (zframe_t* passed = zframe_recv(s->syncConnected)) {
        if (toModule)
            toModule->emplace_back(reinterpret_cast<const char*>(zframe_data(passed)), zframe_size(passed));
        zframe_destroy(&passed);
    }
    return aErrNone;
}

aErr aServer_DetachedModuleFrame(aServerRef s, const uint8_t* frame, size_t frameSize)
{
    if (!s || !s->syncConnected || s->broker)
        return aErrParam;
    sTakeModuleFrame(s, zframe_new(frame, frameSize));
    return aErrNone;
}

size_t aServer_DetachedWaiting(aServerRef s)
{
    return s ? s->answers.size() : 0;
}

aErr aServer_DetachedReset(aServerRef s)
{
    if (!s || s->broker)
        return aErrParam;
    while (!s->pools.empty())
        sForgetPool(s, s->pools.begin());
    sFlushAnswers(s);
    for (sStreamer& streamer : s->streaming)
        zframe_destroy(&streamer.identity);
    s->streaming.clear();
    return aErrNone;
}
