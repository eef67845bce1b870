#include "link/aLink.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>

#include "link/aDebugging.h"
#include "link/aDefs.h"
#include "link/aLinkManagerInternal.h"
#include "transport/aRecord.h"
#include "transport/aServer_ZeroMQ.h"
#include "transport/aStream_ZeroMQClient.h"
#include "transport/aStreamsocket.h"
#include "transport/unix_streamserial.h"
#if __has_include("transport/unix_streamusb.h")
#include "transport/unix_streamusb.h"
#define aLINK_HAVE_USB_STREAM 1
#endif

namespace {

constexpr uint32_t kPollMs = 10;
constexpr uint32_t kPollCount = 200;
// The send thread's longest wait for a packet, so that it sees a stop soon.
constexpr uint32_t kSendWaitMs = 100;
constexpr uint32_t kIOErrorPauseMs = 100;
constexpr int kProbeCount = 6;
// A synchronisation that starts over does not probe again sooner than this:
// a module answering a flood of probes would only feed more of them.
constexpr uint32_t kProbeIntervalMs = 100;
constexpr uint32_t kSyncSettleMs = 100;
constexpr int kReopenAttempts = 20;
constexpr uint32_t kReopenPauseMs = 100;
// Streams that cannot wait for bytes in the kernel: reads that find nothing
// yield this many times, then nap a millisecond per read, so that an idle
// link costs little and a busy one answers fast.
constexpr uint32_t kIdleYields = 200;
// Longest single wait for bytes on a stream that can wait. A stop or a
// synchronisation wakes the wait at once; this only bounds a lost wake-up.
constexpr uint32_t kReadWaitMs = 1000;
// Wake-ups in a row that brought no byte before the receive thread naps:
// a descriptor that stays ready with nothing to read must not spin.
constexpr uint32_t kEmptyWakes = 3;
// How long the receive thread stands aside after a caller read the stream
// for its reply, before it looks whether callers still do.
constexpr uint32_t kParkMs = 2;

const uint32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

aLinkRecord* sRecordOf(uint32_t identifier, aLinkEntryRef* entry)
{
    *entry = aLinkManager_LookupByID(identifier);
    return aLinkManager_Record(*entry);
}

// Writes one packet's wire bytes; the caller holds the write lock.
void sWriteOne(aLinkRecord* record, const aPacket* packet)
{
    uint8_t bytes[aPACKETMAXWIRE];
    bytes[0] = packet->address;
    bytes[1] = packet->length;
    for (uint8_t i = 0; i < packet->length; i++)
        bytes[2 + i] = packet->data[i];
    if (aRecord_IsOn())
        aRecord_Packet(record->identifier, true, bytes, packet->length + 2u);
    aErr err = aStream_Write(record->stream, bytes, packet->length + 2u);
    if (err != aErrNone)
        aDebugging_Trace(aDEBUG_PACKETS, "sOutPipeProcess error writing: %d\n", err);
}

// Puts a packet on the output FIFO, or, for a caller while the link runs
// unpooled and nothing is queued, writes it at once: the send thread's
// wake-up is saved from every request, and the order stays that of the puts.
aErr sPutOutput(aLinkRecord* record, const aPacket* packet, bool direct)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    // Only a caller writes by itself, and never waits for another write to
    // get there: a busy stream means the packet queues behind what is
    // being written. The receive thread only ever queues.
    std::unique_lock<std::mutex> writing(record->writeLock, std::defer_lock);
    if (direct && !record->pooled.load() && packet->length <= aPACKETMAXDATA)
        writing.try_lock();
    {
        std::lock_guard<std::mutex> hold(record->queueLock);
        if (!writing.owns_lock() || record->queued != 0 || !record->running.load() || record->pooled.load()
            || !record->stream) {
            aErr err = aPacketFifo_Put(record->outputFifo.load(), packet);
            if (err == aErrNone)
                record->queued++;
            return err;
        }
    }
    sWriteOne(record, packet);
    aPacketDebug_LogPacket(record, aLOG_SENT, packet);
    return aErrNone;
}

aErr sPutControl(aLinkRecord* record, uint8_t address, uint8_t length, const uint8_t* data)
{
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet)
        return aErrMemory;
    aErr err = sPutOutput(record, packet, false);
    aPacket_Destroy(&packet);
    return err;
}

aErr sForceRoute(aLinkRecord* record, uint8_t enable)
{
    return sPutControl(record, cmdFORCEROUTE, 1, &enable);
}

// Starts (or starts over) the handshake: the module answers each probe with
// its address and a zero length byte.
void sSyncStart(aLinkRecord* record, bool probeNow)
{
    record->status.store(LINK_SYNCING);
    record->syncState = 1;
    aPacket_Reset(record->incoming);
    if (!probeNow && aTime_MSElapsed(record->lastProbes) < kProbeIntervalMs) {
        // Answers to the last probes are still on their way.
        record->syncState = 2;
        return;
    }
    const uint8_t none = 0;
    for (int i = 0; i < kProbeCount; i++) {
        if (sPutControl(record, cmdMODULEADDRESS, 0, &none) != aErrNone)
            return;
        record->probesQueued.fetch_add(1);
    }
    record->lastProbes = aTime_GetMSTicks();
    record->syncState = 2;
}

void sSyncByte(aLinkRecord* record, uint8_t byte)
{
    switch (record->syncState) {
    case 1:
        sSyncStart(record, false);
        break;
    case 2:
        if (byte != 0 && (byte & 1) == 0) {
            record->syncAddress = byte;
            record->syncState = 3;
        } else {
            sSyncStart(record, false);
        }
        break;
    case 3:
        record->syncState = byte == 0 ? 4 : 1;
        break;
    case 4:
        record->syncState = byte == record->syncAddress ? 5 : 1;
        break;
    case 5:
        if (byte == 0) {
            record->syncState = 0;
            aPacket_Reset(record->incoming);
            record->status.store(LINK_RUNNING);
            aDebugging_Trace(aDEBUG_LINK, "synced\n");
        } else {
            record->syncState = 1;
        }
        break;
    default:
        aDebugging_Trace(aDEBUG_LINK, "sync default\n");
        sSyncStart(record, true);
        break;
    }
}

aErr sHeartbeat(aLinkRecord* record, const aPacket* packet)
{
    uint8_t beat = packet->data[1];
    aDebugging_Trace(aDEBUG_PACKETS,
        " sHandleHBBackChannel() ==> received HB packet [data size = %d][%d,%d]\n",
        packet->length, packet->data[0], beat);
    aDebugging_Trace(aDEBUG_PACKETS, " sHandleHBBackChannel() %s\n",
        beat == 0 ? "sending HB UP" : "sending HB DOWN");
    const uint8_t answer[] = {cmdHEARTBEAT, static_cast<uint8_t>(beat + 2)};
    return sPutControl(record, packet->address, 2, answer);
}

aErr sHandlePacket(aLinkRecord* record)
{
    aPacket* packet = record->incoming;
    aPacketDebug_LogPacket(record, aLOG_RECEIVED, packet);
    if (aRecord_IsOn()) {
        uint8_t wire[aPACKETMAXWIRE];
        const uint8_t length = packet->length <= aPACKETMAXDATA ? packet->length : aPACKETMAXDATA;
        wire[0] = packet->address;
        wire[1] = length;
        for (uint8_t i = 0; i < length; i++)
            wire[2 + i] = packet->data[i];
        aRecord_Packet(record->identifier, false, wire, 2u + length);
    }

    bool consumed = false;
    if (aMutex_Lock(record->userFilterMutex) == aErrNone) {
        if (record->userFilter)
            consumed = record->userFilter(packet, record->userFilterReference) == 1;
        aMutex_Unlock(record->userFilterMutex);
    }

    aErr err = aErrNone;
    if (!consumed) {
        if (packet->length == 2 && packet->data[0] == cmdHEARTBEAT)
            err = sHeartbeat(record, packet);
        else
            err = aPacketFifo_Put(record->inputFifo.load(), packet);
    }
    aPacket_Reset(packet);
    return err;
}

void sIdle(uint32_t* idleReads)
{
    if (*idleReads < kIdleYields) {
        ++*idleReads;
        aThread_Yield();
    } else {
        aTime_MSSleep(1);
    }
}

// Nothing to read: wait in the kernel when the stream can, until bytes come,
// a wake-up (stop, synchronisation) or the next probe time while syncing.
void sAwaitBytes(aLinkRecord* record, uint32_t status, uint32_t* idleReads, uint32_t* emptyWakes)
{
    uint32_t wait = kReadWaitMs;
    if (status == LINK_SYNCING) {
        uint32_t elapsed = aTime_MSElapsed(record->lastProbes);
        wait = elapsed >= kProbeIntervalMs ? 0 : kProbeIntervalMs - elapsed;
    }
    aErr err = aStream_Wait(record->stream, wait);
    if (err == aErrUnimplemented) {
        sIdle(idleReads);
        return;
    }
    if (err == aErrNone && ++*emptyWakes >= kEmptyWakes) {
        *emptyWakes = 0;
        aTime_MSSleep(1);
    } else if (err != aErrNone && err != aErrNotReady) {
        aTime_MSSleep(1);
    }
}

// The stream lost its connection (a read failed, or it had to connect
// again): what was half received belongs to no packet, and a holder that
// waits for the link to drop is told by the count.
void sDropped(aLinkRecord* record, bool syncing)
{
    record->drops.fetch_add(1);
    aDebugging_Trace(aDEBUG_LINK, "link %u: stream lost its connection\n", record->identifier);
    if (aRecord_IsOn())
        aRecord_LinkDropped(record->identifier, "reconnected");
    if (syncing)
        sSyncStart(record, true);
    else
        aPacket_Reset(record->incoming);
}

// What one read of the stream came to.
enum class sStep { Byte, Packet, NotReady, Failed };

// One byte through the receive path: framing, synchronisation, drops; the
// caller holds readLock.
sStep sReceiveStep(aLinkRecord* record)
{
    uint8_t byte = 0;
    aErr err = aStream_Read(record->stream, &byte, 1);
    uint32_t status = record->status.load();

    if (err != aErrNone && err != aErrNotReady) {
        if (status != LINK_IO_ERROR) {
            record->drops.fetch_add(1);
            if (aRecord_IsOn())
                aRecord_LinkDropped(record->identifier, aError_GetErrorText(err));
        }
        record->status.store(LINK_IO_ERROR);
        return sStep::Failed;
    }
    uint32_t reconnects = aStream_GetReconnects(record->stream);
    if (reconnects != record->streamReconnects) {
        record->streamReconnects = reconnects;
        sDropped(record, status == LINK_SYNCING);
    }
    if (status == LINK_IO_ERROR || status == LINK_FAULT) {
        // Bytes may have been lost: find the packet boundaries again.
        sSyncStart(record, true);
        status = LINK_SYNCING;
    }
    if (err == aErrNotReady) {
        if (status == LINK_SYNCING && (record->syncState == 0
                || aTime_MSElapsed(record->lastProbes) >= kProbeIntervalMs))
            sSyncStart(record, true);
        return sStep::NotReady;
    }
    if (status == LINK_SYNCING) {
        sSyncByte(record, byte);
        return sStep::Byte;
    }
    if (aPacket_AddByte(record->incoming, byte) != aErrNone) {
        aDebugging_Trace(aDEBUG_LINK, "Out of sync\n");
        sSyncStart(record, true);
        return sStep::Byte;
    }
    if (!aPacket_IsComplete(record->incoming))
        return sStep::Byte;
    if (sHandlePacket(record) != aErrNone)
        record->status.store(LINK_FAULT);
    return sStep::Packet;
}

// Brings the receive thread back from standing aside at once.
void sKickReceiver(aLinkRecord* record)
{
    {
        std::lock_guard<std::mutex> hold(record->parkLock);
        record->kicked = true;
    }
    record->parked.notify_all();
}

// The receive thread stands aside for a while; true when it was kicked.
bool sPark(aLinkRecord* record)
{
    std::unique_lock<std::mutex> hold(record->parkLock);
    record->parked.wait_for(hold, std::chrono::milliseconds(kParkMs),
        [&] { return record->kicked || !record->running.load(); });
    bool kicked = record->kicked;
    record->kicked = false;
    return kicked;
}

void* sInPipeProcess(void* argument)
{
    aLinkRecord* record = static_cast<aLinkRecord*>(argument);
    {
        std::lock_guard<std::mutex> reading(record->readLock);
        record->syncState = 0;
        record->streamReconnects = aStream_GetReconnects(record->stream);
    }
    record->status.store(LINK_RUNNING);
    record->receiveStarted.store(1);

    uint32_t idleReads = 0;
    uint32_t emptyWakes = 0;
    uint32_t seenSessions = record->sessions.load();
    while (record->running.load()) {
        // Callers that read for their replies keep the stream while they
        // come one after the other; the thread looks again after a nap,
        // and takes over when a nap passed without any.
        uint32_t sessions = record->sessions.load();
        if (record->readers.load() > 0 || sessions != seenSessions) {
            seenSessions = sessions;
            if (sPark(record))
                seenSessions = record->sessions.load();
            continue;
        }
        std::unique_lock<std::mutex> reading(record->readLock, std::try_to_lock);
        if (!reading.owns_lock()) {
            sPark(record);
            continue;
        }
        bool failed = false;
        while (record->running.load() && record->readers.load() == 0) {
            sStep step = sReceiveStep(record);
            if (step == sStep::Failed) {
                failed = true;
                break;
            }
            if (step != sStep::NotReady) {
                idleReads = 0;
                emptyWakes = 0;
                continue;
            }
            // A caller that wants the stream wakes a wait it sees here.
            record->receiverPolling.store(true);
            if (record->readers.load() == 0)
                sAwaitBytes(record, record->status.load(), &idleReads, &emptyWakes);
            record->receiverPolling.store(false);
        }
        reading.unlock();
        if (record->readers.load() > 0) {
            std::lock_guard<std::mutex> hold(record->parkLock);
            record->readFree.notify_all();
        }
        if (failed)
            aTime_MSSleep(kIOErrorPauseMs);
        seenSessions = record->sessions.load();
    }
    aDebugging_Trace(aDEBUG_LINK, " sInPipeProcess(%d) terminating\n", record->identifier);
    return nullptr;
}

// A caller waiting for its reply reads the stream itself while it is the
// only one to: the reply then costs the one wake-up of the kernel wait.
// The packets it frames go the usual way (filter, heartbeat, input FIFO);
// after each it looks in the FIFO with its cursor. It leaves the stream to
// the receive thread as soon as anything is not plainly running. Null when
// its reply did not come (the caller goes on waiting on the FIFO). The
// caller counts in fifoWaiters throughout, but while it reads.
aPacket* sReadForReply(aLinkRecord* record, PacketMatchProc match, const void* reference,
    std::chrono::steady_clock::time_point deadline, aPacketFifoCursor* cursor)
{
    using Clock = std::chrono::steady_clock;
    record->readers.fetch_add(1);
    record->sessions.fetch_add(1);
    if (record->receiverPolling.load()) {
        // Under the write lock a running link's stream stays.
        std::lock_guard<std::mutex> hold(record->writeLock);
        if (record->running.load())
            aStream_Wake(record->stream);
    }
    // The receive thread gives the stream up at once; another caller keeps
    // it until its reply came, so this one waits on the FIFO meanwhile.
    std::unique_lock<std::mutex> reading(record->readLock, std::try_to_lock);
    while (!reading.owns_lock() && !record->callerHolds.load() && Clock::now() < deadline) {
        {
            // The receive thread tells when it let go; a notice missed
            // costs one short wait.
            std::unique_lock<std::mutex> hold(record->parkLock);
            record->readFree.wait_for(hold, std::chrono::microseconds(200));
        }
        reading.try_lock();
    }
    if (!reading.owns_lock()) {
        record->readers.fetch_sub(1);
        return nullptr;
    }
    record->callerHolds.store(true);
    record->fifoWaiters.fetch_sub(1);
    aPacket* found = nullptr;
    bool handBack = false;
    uint32_t emptyWakes = 0;
    // The link may have stopped (its stream going) while this caller waited
    // for the lock.
    while (record->running.load() && record->status.load() == LINK_RUNNING) {
        found = aPacketFifo_AwaitFirstFrom(record->inputFifo.load(), match, reference, 0, cursor);
        if (found)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        sStep step = sReceiveStep(record);
        while (step == sStep::Byte)
            step = sReceiveStep(record);
        if (step == sStep::Failed) {
            handBack = true;
            break;
        }
        if (step == sStep::Packet) {
            emptyWakes = 0;
            continue;
        }
        // Nothing to read: wait in the kernel, at most until the deadline.
        aErr err = aStream_Wait(record->stream, static_cast<uint32_t>(left < kReadWaitMs ? left : kReadWaitMs));
        if (err == aErrNone && ++emptyWakes >= kEmptyWakes) {
            // Ready with nothing to read: the receive thread knows what to do.
            handBack = true;
            break;
        }
        if (err != aErrNone && err != aErrNotReady) {
            handBack = true;
            break;
        }
    }
    if (record->status.load() != LINK_RUNNING)
        handBack = true;
    record->callerHolds.store(false);
    reading.unlock();
    record->readers.fetch_sub(1);
    // Someone else still waits on the FIFO, or something needs the receive
    // thread's care: it takes the stream back now.
    const bool others = record->fifoWaiters.fetch_add(1) > 0;
    if (handBack || others)
        sKickReceiver(record);
    return found;
}

// Writes first and what else is queued, up to one pool; the caller holds
// the write lock. Returns how many packets went into the pool.
uint32_t sWritePooled(aLinkRecord* record, const aPacket* first)
{
    uint32_t count = 1;
    uint8_t pool[aLINK_POOL_SIZE];
    uint32_t total = 0;
    auto append = [&](const aPacket* packet) {
        const uint32_t at = total;
        pool[total++] = packet->address;
        pool[total++] = packet->length;
        for (uint8_t i = 0; i < packet->length; i++)
            pool[total++] = packet->data[i];
        if (aRecord_IsOn())
            aRecord_Packet(record->identifier, true, pool + at, total - at);
    };
    append(first);
    while (total <= aLINK_POOL_THRESHOLD) {
        aPacket* next = aPacketFifo_Get(record->outputFifo.load());
        if (!next)
            break;
        if (next->length <= aPACKETMAXDATA) {
            append(next);
            aPacketDebug_LogPacket(record, aLOG_SENT, next);
        }
        aPacket_Destroy(&next);
        count++;
    }
    aErr err = aStream_Write(record->stream, pool, total);
    if (err != aErrNone)
        aDebugging_Trace(aDEBUG_PACKETS, "sOutPipeProcess error writing pooled: %d\n", err);
    return count;
}

// Counts written (or dropped) packets off the queued total.
void sWritten(aLinkRecord* record, uint32_t count)
{
    std::lock_guard<std::mutex> hold(record->queueLock);
    record->queued = record->queued > count ? record->queued - count : 0;
}

void* sOutPipeProcess(void* argument)
{
    aLinkRecord* record = static_cast<aLinkRecord*>(argument);
    record->sendStarted.store(1);
    while (record->running.load()) {
        aPacket* packet = aPacketFifo_Await(record->outputFifo.load(), kSendWaitMs);
        std::lock_guard<std::mutex> hold(record->writeLock);
        if (!packet) {
            // Packets dropped unwritten (a full FIFO empties) wait no more.
            std::lock_guard<std::mutex> counting(record->queueLock);
            if (aPacketFifo_GetLength(record->outputFifo.load()) == 0)
                record->queued = 0;
            continue;
        }
        uint32_t count = 1;
        if (packet->length <= aPACKETMAXDATA) {
            // A stream without write boundaries takes what is queued in one
            // write, as a pooling module does.
            aPacketDebug_LogPacket(record, aLOG_SENT, packet);
            if (record->pooled.load() || aStream_IsByteStream(record->stream))
                count = sWritePooled(record, packet);
            else
                sWriteOne(record, packet);
        }
        sWritten(record, count);
        aPacket_Destroy(&packet);
    }
    // What is still queued (the routing switch of a stop, at least) goes out.
    std::lock_guard<std::mutex> hold(record->writeLock);
    while (aPacket* packet = aPacketFifo_Get(record->outputFifo.load())) {
        if (packet->length <= aPACKETMAXDATA)
            sWriteOne(record, packet);
        sWritten(record, 1);
        aPacket_Destroy(&packet);
    }
    aDebugging_Trace(aDEBUG_LINK, " sOutPipeProcess(%d) terminating\n", record->identifier);
    return nullptr;
}

// Caller holds record->control.
aErr sStop(aLinkRecord* record)
{
    uint32_t status = record->status.load();
    if ((status == LINK_STOPPED || status == LINK_STOPPING || status == LINK_NO_STREAM)
        && !record->receiveThread && !record->sendThread)
        return aErrNone;
    record->status.store(LINK_STOPPING);
    aErr result = aErrNone;
    if (record->receiveThread && record->sendThread)
        sForceRoute(record, 0);
    {
        // No caller writes by itself from here on: the stream may go.
        std::lock_guard<std::mutex> hold(record->writeLock);
        record->running.store(0);
    }
    // The reader may be waiting for bytes in the kernel, the receive thread
    // standing aside.
    if (record->stream)
        aStream_Wake(record->stream);
    sKickReceiver(record);
    // The send thread may be waiting for a packet.
    aPacketFifo_Wake(record->outputFifo.load());
    if (record->receiveThread && aThread_Destroy(&record->receiveThread) != aErrNone)
        result = aErrUnknown;
    if (record->sendThread && aThread_Destroy(&record->sendThread) != aErrNone)
        result = aErrUnknown;
    record->receiveStarted.store(0);
    record->sendStarted.store(0);
    {
        // A caller reading for its reply sees the stop and leaves; no one
        // reads the stream after this until the next start.
        std::lock_guard<std::mutex> reading(record->readLock);
        aPacket_Reset(record->incoming);
    }
    record->status.store(record->stream ? LINK_STOPPED : LINK_NO_STREAM);
    return result;
}

// Caller holds record->control. *already is set when the link was running.
aErr sStart(aLinkRecord* record, bool* already)
{
    *already = record->running.load() && record->receiveThread && record->sendThread;
    if (*already)
        return aErrNone;
    if (!record->stream)
        return aErrNotReady;
    record->callerReads.store(aStream_CanWait(record->stream));
    record->running.store(1);
    record->status.store(LINK_STARTING);
    record->receiveStarted.store(0);
    record->sendStarted.store(0);
    record->receiveProc = sInPipeProcess;
    record->sendProc = sOutPipeProcess;
    record->receiveThread = aThread_Create(record->receiveProc, record);
    if (record->receiveThread)
        record->sendThread = aThread_Create(record->sendProc, record);
    if (!record->receiveThread || !record->sendThread) {
        sStop(record);
        return aErrResource;
    }
    for (uint32_t i = 0; i < kPollCount; i++) {
        // The receive thread marks the link running as it begins; it may
        // already have moved on to a resynchronisation by now.
        if (record->receiveStarted.load() && record->sendStarted.load()
            && record->status.load() != LINK_STARTING)
            return aErrNone;
        aTime_MSSleep(kPollMs);
    }
    return aErrIndexRange;
}

void sRemoveUserFilter(aLinkRecord* record)
{
    if (aMutex_Lock(record->userFilterMutex) == aErrNone) {
        record->userFilter = nullptr;
        record->userFilterReference = nullptr;
        aMutex_Unlock(record->userFilterMutex);
    }
}

void sDestroyFifos(aLinkRecord* record, aErr* outputResult)
{
    uint64_t input = record->inputFifo.exchange(0);
    uint64_t output = record->outputFifo.exchange(0);
    if (input)
        aPacketFifo_Destroy(&input);
    aErr err = output ? aPacketFifo_Destroy(&output) : aErrNotFound;
    if (outputResult)
        *outputResult = err;
}

bool sMakeFifos(aLinkRecord* record)
{
    record->inputFifo.store(aPacketFifo_Create());
    record->outputFifo.store(aPacketFifo_Create());
    return record->inputFifo.load() && record->outputFifo.load();
}

// Fills a fresh record around its stream.
bool sInitRecord(aLinkRecord* record, aStreamRef stream)
{
    char name[64];
    std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(record));
    record->userFilterMutex = aMutex_Create(name);
    std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(record));
    record->packetLogMutex = aMutex_Create(name);
    record->incoming = aPacket_Create();
    record->stream = stream;
    record->running.store(0);
    record->status.store(stream ? LINK_STOPPED : LINK_NO_STREAM);
    record->pooled.store(0);
    record->tag.store(aLINKCHECK);
    return sMakeFifos(record) && record->incoming && record->userFilterMutex && record->packetLogMutex;
}

// Last use gone: stop the threads and free what the record holds. The
// memory itself goes with the last reference to the entry.
aErr sTeardown(const aLinkEntryRef& entry)
{
    aLinkRecord* record = entry->record.get();
    if (!record)
        return aErrUnknown;
    aErr result = aErrNone;
    {
        std::lock_guard<std::mutex> guard(record->control);
        if (record->userFilterMutex)
            sRemoveUserFilter(record);
        sStop(record);
        if (entry->server) {
            aServerRef server = static_cast<aServerRef>(entry->server);
            entry->server = nullptr;
            aServer_Destroy(&server);
        }
        if (entry->parent) {
            uint32_t parent = entry->parent;
            aLink_Destroy(&parent);
        }
        record->tag.store(0);
        sDestroyFifos(record, &result);
        if (record->incoming)
            aPacket_Destroy(&record->incoming);
        aPacketDebug_Teardown(record);
        if (record->stream) {
            aDebugging_Trace(aDEBUG_LINK, " Destroy stream\n");
            aStream_Destroy(&record->stream);
            if (aRecord_IsOn())
                aRecord_LinkClosed(record->identifier);
        }
        record->status.store(LINK_NO_STREAM);
    }
    return result;
}

typedef aErr (*sOpenProc)(uint32_t key, uint32_t port, const void* extra, aStreamRef* stream);

aErr sOpenTCPIP(uint32_t key, uint32_t port, const void*, aStreamRef* stream)
{
    return aStream_CreateSocket(key, static_cast<uint16_t>(port), stream);
}

aErr sOpenClient(uint32_t key, uint32_t port, const void*, aStreamRef* stream)
{
    return aStream_CreateClient(key, static_cast<uint16_t>(port), stream);
}

aErr sOpenSerial(uint32_t, uint32_t baudIndex, const void* path, aStreamRef* stream)
{
    return aStream_CreateSerial(static_cast<const char*>(path), baudIndex, 0, 0, 0, stream);
}

aErr sOpenUSB(uint32_t key, uint32_t, const void*, aStreamRef* stream)
{
#ifdef aLINK_HAVE_USB_STREAM
    return aStream_CreateUSB(key, stream);
#else
    (void)key;
    *stream = nullptr;
    return aErrUnimplemented;
#endif
}

// Creates the entry, wraps the stream and starts the link; 0 on failure,
// with nothing left in the table.
uint32_t sCreateWithStream(uint32_t kind, uint32_t key, uint32_t port, aStreamRef stream, bool synchronise,
    uint32_t clientIndex = 0)
{
    aLinkEntryRef entry = aLinkManager_AddEntry(key, port, clientIndex, kind);
    if (!entry) {
        aDebugging_Trace(aDEBUG_LINK, "FAIL: link table entry\n");
        if (stream)
            aStream_Destroy(&stream);
        return 0;
    }
    uint32_t identifier = entry->identifier;
    aLinkRecord* record = entry->record.get();
    if (aRecord_IsOn() && stream)
        aRecord_LinkOpened(identifier, kind, key, port, nullptr);
    bool ready = sInitRecord(record, stream);
    if (!ready || aLinkManager_AddUse(identifier) != aErrNone) {
        aDebugging_Trace(aDEBUG_LINK, "FAIL: link initialisation\n");
        aLinkEntryRef removed;
        aLinkManager_Remove(identifier, &removed);
        sTeardown(entry);
        return 0;
    }
    aErr err = aLink_Start(identifier);
    if (err != aErrNone) {
        aDebugging_Trace(aDEBUG_LINK, "FAIL: aLink_Start: %s\n", aError_GetErrorText(err));
        aLink_Destroy(&identifier);
        return 0;
    }
    if (synchronise) {
        err = aLink_Sync(identifier);
        if (err != aErrNone)
            aDebugging_Trace(aDEBUG_LINK, "aLink_Sync: %s\n", aError_GetErrorText(err));
        aLink_ForceRoute(identifier, 1);
    }
    return identifier;
}

uint32_t sCreate(uint32_t kind, uint32_t key, uint32_t port, const void* extra, sOpenProc open,
    bool synchronise)
{
    try {
        std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
        if (aLinkEntryRef shared = aLinkManager_ShareByKey(kind, key, kind == SERIAL ? 0 : port)) {
            if (shared->server && kind == USB) {
                aDebugging_Trace(aDEBUG_LINK,
                    "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" \n");
                uint32_t id = shared->identifier;
                aLink_Destroy(&id);
                return 0;
            }
            return shared->identifier;
        }
        aStreamRef stream = nullptr;
        aErr err = open(key, port, extra, &stream);
        if (err != aErrNone || !stream) {
            aDebugging_Trace(aDEBUG_LINK, "FAIL: open stream: %s\n", aError_GetErrorText(err));
            if (stream)
                aStream_Destroy(&stream);
            return 0;
        }
        return sCreateWithStream(kind, key, kind == SERIAL ? 0 : port, stream, synchronise);
    } catch (...) {
        return 0;
    }
}

} // namespace

uint32_t aLink_CreateUSB(uint32_t serialNumber)
{
    if (serialNumber == 0)
        return 0;
    return sCreate(USB, serialNumber, 0, nullptr, sOpenUSB, true);
}

uint32_t aLink_CreateTCPIP(uint32_t address, uint16_t port)
{
    return sCreate(TCPIP, address, port, nullptr, sOpenTCPIP, false);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate)
{
    uint32_t index = 0;
    while (index < sizeof kBaudRates / sizeof kBaudRates[0] && kBaudRates[index] != baudRate)
        index++;
    if (index == sizeof kBaudRates / sizeof kBaudRates[0] || !portName)
        return 0;
    // The baud index travels in the port argument of the opener.
    return sCreate(SERIAL, serialNumber, index, portName, sOpenSerial, false);
}

namespace {

// Every new client link gets the next value, so client links are never
// shared by address and port.
std::atomic<uint32_t> sClientCounter{1};

const int SERVER_CONFIGURE_ATTEMPTS = 5;
const uint32_t SERVER_CONFIGURE_PAUSE_MS = 10;
const uint32_t SERVER_QUERY_TIMEOUT_MS = 1000;

uint32_t sCreateClient(uint32_t address, uint16_t port, uint32_t existingLink)
{
    if (existingLink != 0) {
        if (aLinkManager_AddUse(existingLink) == aErrNone) {
            aDebugging_Trace(aDEBUG_LINK, "Using existing link - ConnectThroughLinkModule\n");
            return existingLink;
        }
        aDebugging_Trace(aDEBUG_LINK, "The provided ref is invalid.\n");
        return 0;
    }
    uint32_t index = sClientCounter.fetch_add(1);
    aStreamRef stream = nullptr;
    aErr err = sOpenClient(address, port, nullptr, &stream);
    if (err != aErrNone || !stream) {
        aDebugging_Trace(aDEBUG_LINK, "FAIL: open stream: %s\n", aError_GetErrorText(err));
        if (stream)
            aStream_Destroy(&stream);
        return 0;
    }
    return sCreateWithStream(AETHER, address, port, stream, false, index);
}

// The next incoming packet, which must come within the time-out.
aPacket* sAwaitNext(uint32_t link)
{
    return aLink_AwaitPacket(link, SERVER_QUERY_TIMEOUT_MS);
}

// Asks the module behind link for its address.
//   aErrTimeout  no answer; aErrIO  an answer of the wrong shape
aErr sQueryModuleAddress(uint32_t link, uint8_t* address)
{
    const uint8_t none = 0;
    aPacket* probe = aPacket_CreateWithData(cmdMODULEADDRESS, 0, &none);
    if (!probe)
        return aErrMemory;
    aErr err = aLink_PutPacket(link, probe);
    aPacket_Destroy(&probe);
    if (err != aErrNone)
        return err;
    aPacket* answer = sAwaitNext(link);
    if (!answer)
        return aErrTimeout;
    err = (answer->length == 0 && answer->address != 0) ? aErrNone : aErrIO;
    if (err == aErrNone)
        *address = answer->address;
    aPacket_Destroy(&answer);
    aDebugging_Trace(aDEBUG_ADDRESS, "module address: %d (%s)\n", *address, aError_GetErrorText(err));
    return err;
}

// Reads the module's model with a raw system GET.
aErr sQueryModel(uint32_t link, uint8_t module, uint8_t* model)
{
    const uint8_t get[] = {cmdSYSTEMCLASS, 0x48, 0x20};
    aPacket* request = aPacket_CreateWithData(module, sizeof get, get);
    if (!request)
        return aErrMemory;
    aErr err = aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    if (err != aErrNone)
        return err;
    aPacket* answer = sAwaitNext(link);
    if (!answer)
        return aErrTimeout;
    err = (answer->length == 4 && answer->address == module && answer->data[0] == cmdSYSTEMCLASS) ? aErrNone
                                                                                                  : aErrIO;
    if (err == aErrNone)
        *model = answer->data[3];
    aPacket_Destroy(&answer);
    return err;
}

// Tells the server who it serves, asking through the client link.
aErr sConfigureServer(aServerRef server, uint32_t client)
{
    aErr err = aErrNotReady;
    for (int attempt = 0; attempt < SERVER_CONFIGURE_ATTEMPTS; attempt++) {
        if (attempt > 0)
            aTime_MSSleep(SERVER_CONFIGURE_PAUSE_MS);
        uint8_t address = 0;
        uint8_t model = 0;
        err = sQueryModuleAddress(client, &address);
        if (err == aErrNone)
            err = aServer_SetModuleAddress(server, address);
        if (err == aErrNone)
            err = sQueryModel(client, address, &model);
        if (err == aErrNone)
            err = aServer_SetModel(server, model);
        if (err == aErrNone)
            return aErrNone;
        aServer_FlushFIFO(server);
    }
    return err;
}

// Takes down what the server path made: the server (also when the USB link
// is shared with other holders) and our uses of both links.
uint32_t sServerFailed(const char* step, uint32_t usb, uint32_t client, const aLinkEntryRef& entry)
{
    aDebugging_Trace(aDEBUG_SERVER, "FAIL: %s\n", step);
    aDebugging_Trace(aDEBUG_SERVER, "Failed to create server\n");
    if (entry) {
        aServerRef server = nullptr;
        {
            std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
            server = static_cast<aServerRef>(entry->server);
            entry->server = nullptr;
        }
        if (server)
            aServer_Destroy(&server);
    }
    // A client made by the server path takes its USB link down with it.
    if (client)
        aLink_Destroy(&client);
    else if (usb)
        aLink_Destroy(&usb);
    return 0;
}

} // namespace

uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingLink)
{
    try {
        std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
        return sCreateClient(address, port, existingLink);
    } catch (...) {
        return 0;
    }
}

uint32_t aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* address, uint16_t option)
{
    if (!port || !address)
        return 0;
    uint32_t usb = aLink_CreateUSB(serialNumber);
    if (!usb)
        return sServerFailed("aLink_CreateUSB:", 0, 0, nullptr);
    aLinkEntryRef entry = aLinkManager_LookupByID(usb);
    if (!entry)
        return sServerFailed("sLookupEntryByID:", usb, 0, nullptr);
    aServerRef server = aServer_Create(usb, *address, option);
    if (!server)
        return sServerFailed("aServer_Create:", usb, 0, nullptr);
    {
        // From here on the USB link owns the server and destroys it with
        // itself; a USB creation elsewhere now sees it.
        std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
        entry->server = server;
    }
    if (aServer_Start(server) != aErrNone)
        return sServerFailed("aServer_Start:", usb, 0, entry);
    uint16_t serverPort = 0;
    uint32_t serverAddress = 0;
    if (aServer_GetPort(server, &serverPort) != aErrNone)
        return sServerFailed("aServer_GetPort:", usb, 0, entry);
    if (aServer_GetInterface(server, &serverAddress) != aErrNone)
        return sServerFailed("aServer_GetInterface:", usb, 0, entry);
    uint32_t client = aLink_CreateClient(serverAddress, serverPort, 0);
    if (!client)
        return sServerFailed("aLink_CreateClient:", usb, 0, entry);
    aLinkEntryRef clientEntry = aLinkManager_LookupByID(client);
    if (!clientEntry) {
        aLink_Destroy(&client);
        return sServerFailed("NULL != clientItem:", usb, 0, entry);
    }
    clientEntry->parent = usb;
    if (sConfigureServer(server, client) != aErrNone)
        return sServerFailed("NULL != _getDeviceInfo:", usb, client, entry);
    *port = serverPort;
    *address = serverAddress;
    return client;
}

uint32_t aLink_Create(aStreamRef stream)
{
    if (!stream)
        return 0;
    try {
        std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
        return sCreateWithStream(0, 0, 0, stream, false);
    } catch (...) {
        aStream_Destroy(&stream);
        return 0;
    }
}

aErr aLink_Destroy(uint32_t* identifier)
{
    if (!identifier)
        return aErrParam;
    uint32_t id = *identifier;
    *identifier = 0;
    int remaining = 0;
    aLinkEntryRef removed;
    aErr err = aLinkManager_DropUse(id, &remaining, &removed);
    if (err != aErrNone)
        return err;
    if (remaining > 0) {
        aDebugging_Trace(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", remaining);
        return aErrNone;
    }
    return sTeardown(removed);
}

aErr aLink_Start(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    aErr err;
    bool already = false;
    {
        std::lock_guard<std::mutex> guard(record->control);
        if (record->tag.load() != aLINKCHECK)
            return aErrParam;
        err = sStart(record, &already);
    }
    if (err != aErrNone || already)
        return err;
    return aLink_ForceRoute(identifier, 1);
}

aErr aLink_Reset(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    {
        std::lock_guard<std::mutex> guard(record->control);
        if (record->tag.load() != aLINKCHECK)
            return aErrParam;
        sStop(record);
        sRemoveUserFilter(record);
        sDestroyFifos(record, nullptr);
        sWritten(record, UINT32_MAX);
        aPacketDebug_Teardown(record);
        if (record->stream)
            aStream_Destroy(&record->stream);

        aErr err = aErrParam;
        sOpenProc open = nullptr;
        switch (entry->streamKind) {
        case USB:
            aDebugging_Trace(aDEBUG_LINK, " recreate USB stream\n");
            open = sOpenUSB;
            break;
        case TCPIP:
            aDebugging_Trace(aDEBUG_LINK, " recreate TCPIP stream\n");
            open = sOpenTCPIP;
            break;
        case AETHER:
            aDebugging_Trace(aDEBUG_LINK, " recreate aEther stream\n");
            open = sOpenClient;
            break;
        default:
            aDebugging_Trace(aDEBUG_LINK, " recreate invalid stream type\n");
            break;
        }
        for (int attempt = 0; open && attempt < kReopenAttempts; attempt++) {
            if (attempt > 0)
                aTime_MSSleep(kReopenPauseMs);
            err = open(entry->deviceKey, entry->port, nullptr, &record->stream);
            if (err == aErrNone && record->stream)
                break;
        }
        // Callers may go on waiting on the link's FIFOs whatever happens.
        bool fifos = sMakeFifos(record);
        if (err != aErrNone || !record->stream) {
            aDebugging_Trace(aDEBUG_LINK, " ERROR - could not recreate stream: %d\n", err);
            record->status.store(LINK_NO_STREAM);
            return err != aErrNone ? err : aErrIO;
        }
        if (!fifos)
            return aErrResource;
        if (aRecord_IsOn())
            aRecord_LinkOpened(identifier, entry->streamKind, entry->deviceKey, entry->port, nullptr);
        aPacket_Reset(record->incoming);
        record->status.store(LINK_STOPPED);
    }
    return aLink_Start(identifier);
}

namespace {

// The module answers every probe that went out with an empty packet; the
// handshake took two answers, the rest arrive as packets after it. They are
// taken off the input queue as they come, for up to the settle time (an
// answer lost or a handshake that started over only makes it wait longer).
void sAwaitProbeAnswers(aLinkRecord* record, uint32_t sent)
{
    uint32_t owed = sent > 2 ? sent - 2 : 0;
    aMSTicks start = aTime_GetMSTicks();
    while (owed > 0) {
        uint32_t elapsed = aTime_MSElapsed(start);
        if (elapsed >= kSyncSettleMs)
            break;
        aPacket* packet = aPacketFifo_Await(record->inputFifo.load(), kSyncSettleMs - elapsed);
        if (!packet)
            break;
        if (packet->length == 0)
            owed--;
        aPacket_Destroy(&packet);
    }
}

} // namespace

aErr aLink_Sync(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    record->probesQueued.store(0);
    record->status.store(LINK_SYNCING);
    {
        // The receive thread starts the handshake as soon as it looks.
        std::lock_guard<std::mutex> guard(record->control);
        if (record->tag.load() == aLINKCHECK && record->stream)
            aStream_Wake(record->stream);
        sKickReceiver(record);
    }
    aErr result = aErrNotReady;
    for (uint32_t i = 0; i < kPollCount; i++) {
        if (record->status.load() == LINK_RUNNING) {
            result = aErrNone;
            break;
        }
        aTime_MSSleep(kPollMs);
    }
    auto all = [](const aPacket*, const void*) -> uint8_t { return 1; };
    auto probe = [](const aPacket* p, const void*) -> uint8_t {
        return p->address == cmdMODULEADDRESS && p->length == 0;
    };
    uint32_t unsent = static_cast<uint32_t>(aPacketFifo_DrainPackets(record->outputFifo.load(), probe, nullptr));
    sWritten(record, unsent);
    sWritten(record, uint32_t(aPacketFifo_DrainPackets(record->outputFifo.load(), all, nullptr)));
    sAwaitProbeAnswers(record, record->probesQueued.load() - unsent);
    aPacketFifo_DrainPackets(record->inputFifo.load(), all, nullptr);
    return result;
}

aErr aLink_ForceRoute(uint32_t identifier, uint8_t enable)
{
    aLinkEntryRef entry = aLinkManager_LookupByID(identifier);
    if (!entry)
        return aErrNotFound;
    aLinkRecord* record = aLinkManager_Record(entry);
    if (!record)
        return aErrParam;
    return sForceRoute(record, enable);
}

uint32_t aLink_GetDropCount(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    return record ? record->drops.load() : 0;
}

uint32_t aLink_GetStatus(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    return record ? record->status.load() : static_cast<uint32_t>(LINK_NO_STREAM);
}

aErr aLink_EnablePooledPackets(uint32_t identifier, bool enable)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    record->pooled.store(enable ? 1 : 0);
    return aErrNone;
}

aErr aLink_InstallUserPacketFilter(uint32_t identifier, aLinkPacketFilterProc procedure, void* reference)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    aErr err = aMutex_Lock(record->userFilterMutex);
    if (err != aErrNone)
        return err;
    record->userFilter = procedure;
    record->userFilterReference = procedure ? reference : nullptr;
    aMutex_Unlock(record->userFilterMutex);
    return aErrNone;
}

aErr aLink_PutPacket(uint32_t identifier, const aPacket* packet)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    return sPutOutput(record, packet, true);
}

aErr aLink_PutPackets(uint32_t identifier, const aPacket* const* packets, uint32_t count)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    if (!record || (count > 0 && !packets))
        return aErrParam;
    for (uint32_t i = 0; i < count; i++) {
        if (!aVALIDPACKET(packets[i]) || packets[i]->length > aPACKETMAXDATA)
            return aErrParam;
    }
    // As the send thread pools: one write while there is room for one more
    // packet of the largest size. Only a caller that finds the link idle.
    std::unique_lock<std::mutex> writing(record->writeLock, std::defer_lock);
    bool direct = false;
    if (count > 1 && writing.try_lock()) {
        std::lock_guard<std::mutex> hold(record->queueLock);
        direct = record->queued == 0 && record->running.load() && record->stream
            && (record->pooled.load() || aStream_IsByteStream(record->stream));
    }
    if (!direct) {
        if (writing.owns_lock())
            writing.unlock();
        for (uint32_t i = 0; i < count; i++) {
            aErr err = sPutOutput(record, packets[i], true);
            if (err != aErrNone)
                return err;
        }
        return aErrNone;
    }
    uint8_t pool[aLINK_POOL_SIZE];
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; i++) {
        const aPacket* packet = packets[i];
        const uint32_t at = total;
        pool[total++] = packet->address;
        pool[total++] = packet->length;
        for (uint8_t b = 0; b < packet->length; b++)
            pool[total++] = packet->data[b];
        if (aRecord_IsOn())
            aRecord_Packet(record->identifier, true, pool + at, total - at);
        aPacketDebug_LogPacket(record, aLOG_SENT, packet);
        if (total > aLINK_POOL_THRESHOLD || i + 1 == count) {
            aErr err = aStream_Write(record->stream, pool, total);
            if (err != aErrNone)
                aDebugging_Trace(aDEBUG_PACKETS, "sOutPipeProcess error writing pooled: %d\n", err);
            total = 0;
        }
    }
    return aErrNone;
}

aPacket* aLink_GetPacket(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    return record ? aPacketFifo_Get(record->inputFifo.load()) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t identifier, uint32_t timeoutMs)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    return record ? aPacketFifo_Await(record->inputFifo.load(), timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t identifier, PacketMatchProc match, const void* reference)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    return record ? aPacketFifo_GetFirst(record->inputFifo.load(), match, reference) : nullptr;
}

size_t aLink_DrainPackets(uint32_t identifier, PacketMatchProc match, const void* reference)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    return record ? aPacketFifo_DrainPackets(record->inputFifo.load(), match, reference) : 0;
}

aPacket* aLink_AwaitFirst(uint32_t identifier, PacketMatchProc match, const void* reference,
    uint32_t timeoutMs)
{
    aLinkEntryRef entry;
    aLinkRecord* record = sRecordOf(identifier, &entry);
    if (!record || !match)
        return nullptr;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    aPacketFifoCursor cursor{0, 0};
    aPacket* packet = nullptr;
    record->fifoWaiters.fetch_add(1);
    // One look at the queue even with no time to wait; then wait while the
    // link runs in step.
    do {
        if (!record->running.load() || record->status.load() != LINK_RUNNING)
            break;
        if (timeoutMs > 0 && record->callerReads.load()) {
            packet = sReadForReply(record, match, reference, deadline, &cursor);
            if (packet)
                break;
            if (!record->running.load() || record->status.load() != LINK_RUNNING)
                break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        uint32_t wait = left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
        packet = aPacketFifo_AwaitFirstFrom(record->inputFifo.load(), match, reference, wait, &cursor);
        if (packet)
            break;
        // Early return without a packet: the queue was replaced (reset or
        // teardown); look again shortly.
        if (Clock::now() < deadline)
            aTime_MSSleep(kPollMs);
    } while (Clock::now() < deadline);
    record->fifoWaiters.fetch_sub(1);
    if (packet && aRecord_IsOn()) {
        uint8_t wire[aPACKETMAXWIRE];
        const uint8_t length = packet->length <= aPACKETMAXDATA ? packet->length : aPACKETMAXDATA;
        wire[0] = packet->address;
        wire[1] = length;
        for (uint8_t i = 0; i < length; i++)
            wire[2 + i] = packet->data[i];
        aRecord_Reply(identifier, wire, 2u + length);
    }
    return packet;
}
