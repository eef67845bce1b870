// The link engine's own units: the table calls (aLink), the handshake
// (aLinkSync), the receive and send threads (aLinkThreads) and link
// creation (aLinkCreate). Nothing outside link/ includes this. The thread
// rules are those of the record (link/aLinkManagerInternal.h): the reader
// holds readLock, stream writes hold writeLock, start, stop, reset and
// teardown hold the record's control mutex. These stay hidden in the
// shared library.
#ifndef CORVESTEL_LINK_ALINKENGINE_H
#define CORVESTEL_LINK_ALINKENGINE_H

#include <chrono>
#include <cstdint>

#include "link/aLinkManagerInternal.h"
#include "link/packetfifo.h"
#include "transport/aStream.h"

constexpr uint32_t kPollMs = 10;
constexpr uint32_t kPollCount = 200;
// A synchronisation that starts over does not probe again sooner than this:
// a module answering a flood of probes would only feed more of them.
constexpr uint32_t kProbeIntervalMs = 100;

// The live record of the link with that identifier, or null; *entry keeps
// it readable for the call.
aLinkRecord* aLinkEngine_RecordOf(uint32_t identifier, aLinkEntryRef* entry);
// Queues a packet of address and data behind the others.
aErr aLinkEngine_PutControl(aLinkRecord* record, uint8_t address, uint8_t length, const uint8_t* data);
// Makes the record's input and output FIFOs; false when one is missing.
bool aLinkEngine_MakeFifos(aLinkRecord* record);
// Fills a fresh record around its stream; false when something is missing.
bool aLinkEngine_InitRecord(aLinkRecord* record, aStreamRef stream);
// Last use gone: stops the threads and frees what the record holds.
aErr aLinkEngine_Teardown(const aLinkEntryRef& entry);

// Starts (or starts over) the handshake; the reader only.
void aLinkEngine_SyncStart(aLinkRecord* record, bool probeNow);
// One byte of the handshake; the reader only.
void aLinkEngine_SyncByte(aLinkRecord* record, uint8_t byte);

// Writes one packet's wire bytes; the caller holds the write lock. Returns
// the stream's write result.
aErr aLinkEngine_WriteOne(aLinkRecord* record, const aPacket* packet);
// Brings the receive thread back from standing aside at once.
void aLinkEngine_KickReceiver(aLinkRecord* record);
// Counts written (or dropped) packets off the queued total.
void aLinkEngine_Written(aLinkRecord* record, uint32_t count);
// A caller waiting for its reply reads the stream itself; null when its
// reply did not come.
aPacket* aLinkEngine_ReadForReply(aLinkRecord* record, PacketMatchProc match, const void* reference,
    std::chrono::steady_clock::time_point deadline, aPacketFifoCursor* cursor);
// The receive and the send thread of a record (their names are those the
// traces print).
void* sInPipeProcess(void* argument);
void* sOutPipeProcess(void* argument);

// Opens the stream of a link kind again (reset).
typedef aErr (*aLinkOpenProc)(uint32_t key, uint32_t port, const void* extra, aStreamRef* stream);
aErr aLinkEngine_OpenTCPIP(uint32_t key, uint32_t port, const void*, aStreamRef* stream);
aErr aLinkEngine_OpenClient(uint32_t key, uint32_t port, const void*, aStreamRef* stream);
aErr aLinkEngine_OpenUSB(uint32_t key, uint32_t, const void*, aStreamRef* stream);

#endif
