#include "link/aLink.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "link/aDebugging.h"
#include "link/aDefs.h"
#include "link/aLinkEngine.h"
#include "transport/aRecord.h"

namespace {

constexpr int kReopenAttempts = 20;
constexpr uint32_t kReopenPauseMs = 100;

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
    // A caller that wrote by itself learns the stream's verdict now, not
    // from a reply that never comes.
    aErr err = aLinkEngine_WriteOne(record, packet);
    aPacketDebug_LogPacket(record, aLOG_SENT, packet);
    return err;
}

aErr sForceRoute(aLinkRecord* record, uint8_t enable)
{
    return aLinkEngine_PutControl(record, cmdFORCEROUTE, 1, &enable);
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
    aLinkEngine_KickReceiver(record);
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

} // namespace

aLinkRecord* aLinkEngine_RecordOf(uint32_t identifier, aLinkEntryRef* entry)
{
    *entry = aLinkManager_LookupByID(identifier);
    return aLinkManager_Record(*entry);
}

aErr aLinkEngine_PutControl(aLinkRecord* record, uint8_t address, uint8_t length, const uint8_t* data)
{
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet)
        return aErrMemory;
    aErr err = sPutOutput(record, packet, false);
    aPacket_Destroy(&packet);
    return err;
}

bool aLinkEngine_MakeFifos(aLinkRecord* record)
{
    record->inputFifo.store(aPacketFifo_Create());
    record->outputFifo.store(aPacketFifo_Create());
    return record->inputFifo.load() && record->outputFifo.load();
}

// Fills a fresh record around its stream.
bool aLinkEngine_InitRecord(aLinkRecord* record, aStreamRef stream)
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
    return aLinkEngine_MakeFifos(record) && record->incoming && record->userFilterMutex && record->packetLogMutex;
}

// Last use gone: stop the threads and free what the record holds. The
// memory itself goes with the last reference to the entry.
aErr aLinkEngine_Teardown(const aLinkEntryRef& entry)
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
            void* server = entry->server;
            entry->server = nullptr;
            if (entry->serverDestroy)
                entry->serverDestroy(server);
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
    return aLinkEngine_Teardown(removed);
}

aErr aLink_Start(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
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
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    {
        std::lock_guard<std::mutex> guard(record->control);
        if (record->tag.load() != aLINKCHECK)
            return aErrParam;
        sStop(record);
        sRemoveUserFilter(record);
        sDestroyFifos(record, nullptr);
        aLinkEngine_Written(record, UINT32_MAX);
        aPacketDebug_Teardown(record);
        if (record->stream)
            aStream_Destroy(&record->stream);

        aErr err = aErrParam;
        aLinkOpenProc open = nullptr;
        switch (entry->streamKind) {
        case USB:
            aDebugging_Trace(aDEBUG_LINK, " recreate USB stream\n");
            open = aLinkEngine_OpenUSB;
            break;
        case TCPIP:
            aDebugging_Trace(aDEBUG_LINK, " recreate TCPIP stream\n");
            open = aLinkEngine_OpenTCPIP;
            break;
        case AETHER:
            aDebugging_Trace(aDEBUG_LINK, " recreate aEther stream\n");
            open = aLinkEngine_OpenClient;
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
        bool fifos = aLinkEngine_MakeFifos(record);
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
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    return record ? record->drops.load() : 0;
}

uint32_t aLink_GetStatus(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    return record ? record->status.load() : static_cast<uint32_t>(LINK_NO_STREAM);
}

aErr aLink_EnablePooledPackets(uint32_t identifier, bool enable)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    record->pooled.store(enable ? 1 : 0);
    return aErrNone;
}

aErr aLink_InstallUserPacketFilter(uint32_t identifier, aLinkPacketFilterProc procedure, void* reference)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
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
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    return sPutOutput(record, packet, true);
}

aErr aLink_PutPackets(uint32_t identifier, const aPacket* const* packets, uint32_t count)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
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
    aErr result = aErrNone;
    for (uint32_t i = 0; i < count; i++) {
        const aPacket* packet = packets[i];
        const uint32_t at = total;
        total += static_cast<uint32_t>(aPacket_ToWire(packet, pool + at, sizeof pool - at));
        if (aRecord_IsOn())
            aRecord_Packet(record->identifier, true, pool + at, total - at);
        aPacketDebug_LogPacket(record, aLOG_SENT, packet);
        if (total > aLINK_POOL_THRESHOLD || i + 1 == count) {
            aErr err = aStream_Write(record->stream, pool, total);
            if (err != aErrNone) {
                aDebugging_Trace(aDEBUG_PACKETS, "sOutPipeProcess error writing pooled: %d\n", err);
                if (result == aErrNone)
                    result = err;
            }
            total = 0;
        }
    }
    return result;
}

aPacket* aLink_GetPacket(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    return record ? aPacketFifo_Get(record->inputFifo.load()) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t identifier, uint32_t timeoutMs)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    return record ? aPacketFifo_Await(record->inputFifo.load(), timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t identifier, PacketMatchProc match, const void* reference)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    return record ? aPacketFifo_GetFirst(record->inputFifo.load(), match, reference) : nullptr;
}

size_t aLink_DrainPackets(uint32_t identifier, PacketMatchProc match, const void* reference)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    return record ? aPacketFifo_DrainPackets(record->inputFifo.load(), match, reference) : 0;
}

aPacket* aLink_AwaitFirst(uint32_t identifier, PacketMatchProc match, const void* reference,
    uint32_t timeoutMs)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
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
            packet = aLinkEngine_ReadForReply(record, match, reference, deadline, &cursor);
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
        const size_t size = aPacket_ToWire(packet, wire, sizeof wire);
        aRecord_Reply(identifier, wire, static_cast<uint32_t>(size));
    }
    return packet;
}
