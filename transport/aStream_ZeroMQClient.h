// The client stream of the local network server: packets written to it go
// to the server as one frame per block, and the server's frames come back
// as bytes. The link engine's receive thread may read while its send thread
// writes; each end has its own socket pair and the client's own broker
// thread moves frames between them and the server. Create and destroy belong
// to the owner.
#ifndef CORVESTEL_TRANSPORT_ASTREAM_ZEROMQCLIENT_H
#define CORVESTEL_TRANSPORT_ASTREAM_ZEROMQCLIENT_H

#include <cstdint>

#include "transport/aStream.h"

CORVESTEL_API_BEGIN

// A busy socket is retried this many times, 1 ms apart.
#define aCLIENT_SEND_ATTEMPTS 100

// A stream to the server at address (IPv4, network order) and port (host
// order). *stream stays null on failure, with everything made so far gone.
//   aErrParam       null out pointer
//   aErrMemory      no memory, or a socket that could not be made
//   aErrConnection  a socket could not be bound or connected
//   aErrResource    no stream record or no client thread
// Stream operations: get answers aErrNotReady at once with no frame (the
// stream's wait waits for one in the ZeroMQ poller), aErrUnknown when
// polling fails, aErrIO when a receive fails and
// aErrIndexRange for an empty frame; put answers aErrUnimplemented (blocks
// go through write); write always answers aErrNone.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream);

CORVESTEL_API_END

#endif
