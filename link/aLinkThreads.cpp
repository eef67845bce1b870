#include "link/aLinkEngine.h"

#include <chrono>
#include <mutex>

#include "link/aDebugging.h"
#include "link/aDefs.h"
#include "transport/aRecord.h"

namespace {

// The send thread's longest wait for a packet, so that it sees a stop soon.
constexpr uint32_t kSendWaitMs = 100;
constexpr uint32_t kIOErrorPauseMs = 100;
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

aErr sHandleHBBackChannel(aLinkRecord* record, const aPacket* packet)
{
    uint8_t beat = packet->data[1];
    aDebugging_Trace(aDEBUG_PACKETS,
        " sHandleHBBackChannel() ==> received HB packet [data size = %d][%d,%d]\n",
        packet->length, packet->data[0], beat);
    aDebugging_Trace(aDEBUG_PACKETS, " sHandleHBBackChannel() %s\n",
        beat == 0 ? "sending HB UP" : "sending HB DOWN");
    const uint8_t answer[] = {cmdHEARTBEAT, static_cast<uint8_t>(beat + 2)};
    return aLinkEngine_PutControl(record, packet->address, 2, answer);
}

aErr sHandlePacket(aLinkRecord* record)
{
    aPacket* packet = record->incoming;
    aPacketDebug_LogPacket(record, aLOG_RECEIVED, packet);
    if (aRecord_IsOn()) {
        uint8_t wire[aPACKETMAXWIRE];
        const size_t size = aPacket_ToWire(packet, wire, sizeof wire);
        aRecord_Packet(record->identifier, false, wire, static_cast<uint32_t>(size));
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
            err = sHandleHBBackChannel(record, packet);
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
        aLinkEngine_SyncStart(record, true);
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
        aLinkEngine_SyncStart(record, true);
        status = LINK_SYNCING;
    }
    if (err == aErrNotReady) {
        if (status == LINK_SYNCING && (record->syncState == 0
                || aTime_MSElapsed(record->lastProbes) >= kProbeIntervalMs))
            aLinkEngine_SyncStart(record, true);
        return sStep::NotReady;
    }
    if (status == LINK_SYNCING) {
        aLinkEngine_SyncByte(record, byte);
        return sStep::Byte;
    }
    if (aPacket_AddByte(record->incoming, byte) != aErrNone) {
        aDebugging_Trace(aDEBUG_LINK, "Out of sync\n");
        aLinkEngine_SyncStart(record, true);
        return sStep::Byte;
    }
    if (!aPacket_IsComplete(record->incoming))
        return sStep::Byte;
    if (sHandlePacket(record) != aErrNone)
        record->status.store(LINK_FAULT);
    return sStep::Packet;
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

// Writes first and what else is queued, up to one pool; the caller holds
// the write lock. Returns how many packets went into the pool.
uint32_t sWritePooled(aLinkRecord* record, const aPacket* first)
{
    uint32_t count = 1;
    uint8_t pool[aLINK_POOL_SIZE];
    uint32_t total = 0;
    auto append = [&](const aPacket* packet) {
        const uint32_t at = total;
        total += static_cast<uint32_t>(aPacket_ToWire(packet, pool + at, sizeof pool - at));
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

} // namespace

// Writes one packet's wire bytes; the caller holds the write lock.
aErr aLinkEngine_WriteOne(aLinkRecord* record, const aPacket* packet)
{
    uint8_t bytes[aPACKETMAXWIRE];
    const uint32_t size = static_cast<uint32_t>(aPacket_ToWire(packet, bytes, sizeof bytes));
    if (aRecord_IsOn())
        aRecord_Packet(record->identifier, true, bytes, size);
    aErr err = aStream_Write(record->stream, bytes, size);
    if (err != aErrNone)
        aDebugging_Trace(aDEBUG_PACKETS, "sOutPipeProcess error writing: %d\n", err);
    return err;
}

// Brings the receive thread back from standing aside at once.
void aLinkEngine_KickReceiver(aLinkRecord* record)
{
    {
        std::lock_guard<std::mutex> hold(record->parkLock);
        record->kicked = true;
    }
    record->parked.notify_all();
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
aPacket* aLinkEngine_ReadForReply(aLinkRecord* record, PacketMatchProc match, const void* reference,
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
        aLinkEngine_KickReceiver(record);
    return found;
}

// Counts written (or dropped) packets off the queued total.
void aLinkEngine_Written(aLinkRecord* record, uint32_t count)
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
                aLinkEngine_WriteOne(record, packet);
        }
        aLinkEngine_Written(record, count);
        aPacket_Destroy(&packet);
    }
    // What is still queued (the routing switch of a stop, at least) goes out.
    std::lock_guard<std::mutex> hold(record->writeLock);
    while (aPacket* packet = aPacketFifo_Get(record->outputFifo.load())) {
        if (packet->length <= aPACKETMAXDATA)
            aLinkEngine_WriteOne(record, packet);
        aLinkEngine_Written(record, 1);
        aPacket_Destroy(&packet);
    }
    aDebugging_Trace(aDEBUG_LINK, " sOutPipeProcess(%d) terminating\n", record->identifier);
    return nullptr;
}
