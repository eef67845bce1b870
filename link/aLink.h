// The link engine: live connections to modules over byte streams, kept in a
// process-wide table by identifier and shared by use count. Any thread may
// call any function here at any time. The table mutex guards the table and
// use counts (never held while calling into a link); each link's FIFOs lock
// themselves; the user filter mutex guards the user filter, which the
// receive thread calls with that mutex held; the packet log mutex guards the
// packet log ring.
#ifndef CORVESTEL_LINK_ALINK_H
#define CORVESTEL_LINK_ALINK_H

#include <cstddef>
#include <cstdint>

#include "link/aPacket.h"
#include "link/packetfifo.h"
#include "transport/aStream.h"

CORVESTEL_API_BEGIN

// Link status. Only LINK_RUNNING counts as connected.
enum : uint32_t {
    LINK_STOPPED = 0,
    LINK_STARTING = 1,
    LINK_RUNNING = 2,
    LINK_STOPPING = 3,
    LINK_SYNCING = 4,
    LINK_NO_STREAM = 5, // also the answer for an identifier not in the table
    LINK_IO_ERROR = 6,
    LINK_FAULT = 8,
};

// Largest block the send thread writes when pooling packets.
#define aLINK_POOL_SIZE 4096
// Pooling stops adding packets past this total, so one more always fits.
#define aLINK_POOL_THRESHOLD 4066

// Sees every complete incoming packet before anything else does, on the
// receive thread with the user filter mutex held; returns 1 when it has
// consumed the packet (it is then neither answered nor queued). It must not
// install or remove a user filter itself.
typedef uint8_t (*aLinkPacketFilterProc)(const aPacket* packet, void* reference);

// Creation: each returns the link identifier, or 0 on failure. A device that
// already has a link gets that link with one more use.
//
// USB link to the module with that serial number; synchronised and routed.
uint32_t aLink_CreateUSB(uint32_t serialNumber);
// As aLink_CreateUSB; on failure *cause (when not null) says why:
//   aErrPermission  this user may not open the module's node (the thread's
//                   USB refusals name it)
//   aErrNotFound    no such module; aErrBusy  another program holds it, or
//                   a network server of this process serves it
//   aErrParam       serial number 0; other  the USB stream's or the
//                   engine's code
uint32_t aLink_CreateUSBWithCause(uint32_t serialNumber, aErr* cause);
// TCP link; address is IPv4 in network order (as in linkSpec), port in host
// order. Shared by address and port.
uint32_t aLink_CreateTCPIP(uint32_t address, uint16_t port);
// Serial link at one of 2400, 4800, 9600, 19200, 38400, 57600, 115200 or
// 230400 baud; any other rate fails. Shared by serial number.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// As aLink_CreateSerial; on failure *cause (when not null) says why:
// aErrPermission  this user may not open the port (add the user to the
// port's group); aErrParam  no port or another rate; other  the serial
// stream's or the engine's code.
uint32_t aLink_CreateSerialWithCause(uint32_t serialNumber, const char* portName, uint32_t baudRate, aErr* cause);
// AETHER link as a client of the local network server at address (IPv4,
// network order) and port. A non-zero existingLink in the table gets one
// more use and is returned; one not in the table fails. Otherwise every call
// makes a new link.
uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingLink);
// The USB module with this serial number served through a new local network
// server; returns the client link to that server (whose teardown also takes
// down the USB link and the server). *address is the interface to serve on
// (IPv4, network order; 0 or 127.0.0.1: loopback) and gets the address
// clients connect to; *port gets the server's port. option: non-zero serves
// on loopback only. 0 on failure, with both links gone.
uint32_t aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* address, uint16_t option);
// Wraps a ready-made stream (never shared, not synchronised). The link owns
// the stream from this call on, also when creation fails.
uint32_t aLink_Create(aStreamRef stream);

// Drops one use; the last use stops the link, ends its threads and frees it.
// Always sets *identifier to 0.
//   aErrParam    null pointer, or the identifier is not in the table
//   aErrUnknown  the entry had no link record
aErr aLink_Destroy(uint32_t* identifier);

// Starts the receive and send threads and switches routing on.
//   aErrParam       not in the table
//   aErrResource    a thread could not be started
//   aErrIndexRange  the threads did not come up within 2 seconds
aErr aLink_Start(uint32_t identifier);

// Stops the link and reopens its stream (USB, TCPIP and AETHER client), then
// starts again.
//   aErrParam  not in the table, or the stream kind cannot be reopened
//   other      the stream's open error, or the start's result
aErr aLink_Reset(uint32_t identifier);

// Brings the link in step with the module (0xAD probes), then empties both
// FIFOs.
//   aErrParam     not in the table
//   aErrNotReady  no two matching probe answers within 2 seconds
aErr aLink_Sync(uint32_t identifier);

// Queues the routing switch (packet to 0xAF with one byte, enable).
//   aErrNotFound  not in the table
//   aErrParam     no link record
//   aErrMemory    no packet
aErr aLink_ForceRoute(uint32_t identifier, uint8_t enable);

// Status of the link; LINK_NO_STREAM for an identifier not in the table.
uint32_t aLink_GetStatus(uint32_t identifier);

// How often the link has lost its stream's connection: a read that failed,
// or a stream that had to connect again by itself (the peer closed or reset
// it). A holder that waits for a module to go away compares two counts.
// 0 for an identifier not in the table.
uint32_t aLink_GetDropCount(uint32_t identifier);

// Pooled sending: the send thread writes queued packets in batches.
//   aErrParam  not in the table
aErr aLink_EnablePooledPackets(uint32_t identifier, bool enable);

// Installs (or with a null procedure removes) the user packet filter.
//   aErrParam  not in the table
aErr aLink_InstallUserPacketFilter(uint32_t identifier, aLinkPacketFilterProc procedure, void* reference);

// Packet traffic. Puts go to the output FIFO (a copy), takes come from the
// input FIFO and hand over a packet the caller destroys.
//   aErrParam  (PutPacket) not in the table, or an invalid packet
//   other      (PutPacket) the stream's write error, when the caller found
//              the link idle and wrote the packet itself (a queued packet's
//              write error is traced and the packet dropped)
aErr aLink_PutPacket(uint32_t identifier, const aPacket* packet);
// Puts count packets in order, as one message. On a pooled link, or a
// stream where write boundaries are not seen, a caller that finds nothing
// queued writes them itself in pools of at most aLINK_POOL_SIZE bytes.
//   aErrParam  not in the table, or an invalid packet (nothing is put)
//   other      the first write error of the pools the caller wrote itself
aErr aLink_PutPackets(uint32_t identifier, const aPacket* const* packets, uint32_t count);
aPacket* aLink_GetPacket(uint32_t identifier);
aPacket* aLink_AwaitPacket(uint32_t identifier, uint32_t timeoutMs);
aPacket* aLink_GetFirst(uint32_t identifier, PacketMatchProc match, const void* reference);
size_t aLink_DrainPackets(uint32_t identifier, PacketMatchProc match, const void* reference);
// As aPacketFifo_AwaitFirst, but only while the link runs and is in step:
// otherwise null at once.
aPacket* aLink_AwaitFirst(uint32_t identifier, PacketMatchProc match, const void* reference,
    uint32_t timeoutMs);

CORVESTEL_API_END

#endif
