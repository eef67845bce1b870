// Packet FIFOs: numbered queues of packets addressed by 64-bit identifiers.
// Any thread may call any function on any FIFO at any time. The registry
// mutex guards only the identifier map; each FIFO's own mutex guards its
// queue and serial numbers; the two are never held together. A match
// procedure runs under the FIFO's mutex: it must be quick and must not call
// back into the same FIFO.
#ifndef CORVESTEL_LINK_PACKETFIFO_H
#define CORVESTEL_LINK_PACKETFIFO_H

#include <cstddef>
#include <cstdint>

#include "link/aPacket.h"

CORVESTEL_API_BEGIN

// Most packets a FIFO holds; the put that goes past it empties the queue.
#define aPACKETFIFO_CAPACITY 1000

// Non-zero when packet is the one the caller waits for. The reference is the
// caller's, passed through unchanged (it may point to state the procedure
// updates).
typedef uint8_t (*PacketMatchProc)(const aPacket* packet, const void* reference);

// Registers a new empty FIFO; its identifier, or 0 on failure. Identifiers
// start at 1 and are never reused within a run.
uint64_t aPacketFifo_Create();

// Unregisters the FIFO, drops its packets, wakes every waiter (they return
// null) and sets *identifier to 0.
//   aErrParam     identifier is null
//   aErrNotFound  no FIFO has that identifier
//   aErrUnknown   an internal failure
aErr aPacketFifo_Destroy(uint64_t* identifier);

// Number of queued packets; 0 for an unknown identifier.
size_t aPacketFifo_GetLength(uint64_t identifier);

// Queues a copy of packet (the caller keeps its own). When this put is the
// 1001st without a take, the whole queue is emptied instead.
//   aErrParam     unknown identifier, invalid packet, or the copy failed
//   aErrResource  the queue could not grow
aErr aPacketFifo_Put(uint64_t identifier, const aPacket* packet);

// Ends the waits of Await in progress on this FIFO without a packet (they
// return null); a FIFO's owner stopping its waiting thread. aErrNotFound for
// an unknown identifier.
aErr aPacketFifo_Wake(uint64_t identifier);

// The takes hand the caller a new packet that it must destroy, and remove
// the queued one. Null when there is none, the identifier is unknown, or
// the FIFO is destroyed during the wait.
//
// Oldest packet, without waiting.
aPacket* aPacketFifo_Get(uint64_t identifier);
// Oldest packet, waiting up to timeoutMs milliseconds for one.
aPacket* aPacketFifo_Await(uint64_t identifier, uint32_t timeoutMs);
// Oldest packet that match accepts, without waiting.
aPacket* aPacketFifo_GetFirst(uint64_t identifier, PacketMatchProc match, const void* reference);
// Oldest packet that match accepts, waiting up to timeoutMs milliseconds.
// Each packet is offered to match at most once per call, in arrival order.
aPacket* aPacketFifo_AwaitFirst(uint64_t identifier, PacketMatchProc match,
    const void* reference, uint32_t timeoutMs);

// Where a wait that spans several calls has got to: the FIFO it looks at and
// the last packet it offered to match. Zero-initialised before the first
// call; a cursor of another FIFO starts afresh.
struct aPacketFifoCursor {
    uint64_t fifo;
    int32_t lastTested;
};
// As AwaitFirst, but each packet is offered to match at most once over all
// the calls that share the cursor (a waiter that reads the stream itself
// looks after every packet it queued, with no time to wait).
aPacket* aPacketFifo_AwaitFirstFrom(uint64_t identifier, PacketMatchProc match,
    const void* reference, uint32_t timeoutMs, aPacketFifoCursor* cursor);

// Deletes every queued packet that match accepts, keeping the others in
// order; the number deleted (0 for an unknown identifier).
size_t aPacketFifo_DrainPackets(uint64_t identifier, PacketMatchProc match, const void* reference);

CORVESTEL_API_END

#endif
