// TCP client streams that reconnect by themselves when the peer resets.
// One reading thread and one writing thread may use a socket stream at once:
// a per-transport lock guards the descriptor, the connected flag and every
// reconnect, and is never held while the writer pauses between retries; the
// receive buffer belongs to the reader (no lock per byte).
#ifndef CORVESTEL_TRANSPORT_ASTREAMSOCKET_H
#define CORVESTEL_TRANSPORT_ASTREAMSOCKET_H

#include <cstdint>

#include "transport/aStream.h"

CORVESTEL_API_BEGIN

#define aSOCKETCHECK 0xDEAD

// Connects to address:port (address IPv4 in network byte order, port in host
// order) and wraps the connection in a stream. Reads never wait: aErrNotReady
// when no byte is waiting; aStream_Wait waits in poll. A reset or closed
// connection is reopened on the next read or write (counted by
// aStream_GetReconnects); aErrConnection once it can't be. A block write retries a busy or
// reset connection (10 tries, 60 ms apart) and answers aErrTimeout if bytes
// are still unsent then.
// aErrResource: null out pointer, no memory or the connection failed.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);

// Wraps a socket some listener accepted. The stream never closes the
// descriptor (its owner does) and can't reconnect.
// aErrParam: negative descriptor or null out pointer. aErrResource: no memory.
aErr aStream_CreateAcceptedSocket(int descriptor, aStreamRef* stream);

CORVESTEL_API_END

#endif
