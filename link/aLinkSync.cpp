#include "link/aLink.h"

#include <mutex>

#include "link/aDebugging.h"
#include "link/aDefs.h"
#include "link/aLinkEngine.h"

namespace {

constexpr int kProbeCount = 6;
constexpr uint32_t kSyncSettleMs = 100;

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

// Starts (or starts over) the handshake: the module answers each probe with
// its address and a zero length byte.
void aLinkEngine_SyncStart(aLinkRecord* record, bool probeNow)
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
        if (aLinkEngine_PutControl(record, cmdMODULEADDRESS, 0, &none) != aErrNone)
            return;
        record->probesQueued.fetch_add(1);
    }
    record->lastProbes = aTime_GetMSTicks();
    record->syncState = 2;
}

void aLinkEngine_SyncByte(aLinkRecord* record, uint8_t byte)
{
    switch (record->syncState) {
    case 1:
        aLinkEngine_SyncStart(record, false);
        break;
    case 2:
        if (byte != 0 && (byte & 1) == 0) {
            record->syncAddress = byte;
            record->syncState = 3;
        } else {
            aLinkEngine_SyncStart(record, false);
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
        aLinkEngine_SyncStart(record, true);
        break;
    }
}

aErr aLink_Sync(uint32_t identifier)
{
    aLinkEntryRef entry;
    aLinkRecord* record = aLinkEngine_RecordOf(identifier, &entry);
    if (!record)
        return aErrParam;
    record->probesQueued.store(0);
    record->status.store(LINK_SYNCING);
    {
        // The receive thread starts the handshake as soon as it looks.
        std::lock_guard<std::mutex> guard(record->control);
        if (record->tag.load() == aLINKCHECK && record->stream)
            aStream_Wake(record->stream);
        aLinkEngine_KickReceiver(record);
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
    aLinkEngine_Written(record, unsent);
    aLinkEngine_Written(record, uint32_t(aPacketFifo_DrainPackets(record->outputFifo.load(), all, nullptr)));
    sAwaitProbeAnswers(record, record->probesQueued.load() - unsent);
    aPacketFifo_DrainPackets(record->inputFifo.load(), all, nullptr);
    return result;
}
