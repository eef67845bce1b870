// UDP multicast endpoints: a sender to, or a receiver on, one group and port
// through one interface. An endpoint belongs to one thread. Multicast leaves
// the host, so only the local (loopback) interface is for tests outside a
// private network namespace.
#ifndef CORVESTEL_TRANSPORT_AMULTICAST_H
#define CORVESTEL_TRANSPORT_AMULTICAST_H

#include <cstddef>
#include <cstdint>

#include "link/aExport.h"

CORVESTEL_INTERNAL_BEGIN

typedef struct aMulticast* aMulticastRef;

// Result codes of the endpoint functions.
enum {
    aMULTICAST_FAILED = -1,   // system refusal or receive time-out
    aMULTICAST_NULL = -2,     // no endpoint
    aMULTICAST_WRONGWAY = -3, // send on a receiver, receive on a sender
};

// A new endpoint for group:port (IPv4, network byte order; interface 0 or
// 127.0.0.1 means the loopback interface). A receiver binds the port without
// address reuse, so a second receiver on that port fails. Null on failure.
aMulticastRef aMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port, bool sender);

// Sends one datagram to the group; bytes sent or a negative code above.
int aMulticast_Send(aMulticastRef endpoint, const void* data, size_t length);

// Receives one datagram of up to size bytes, waiting at most one second;
// bytes received or a negative code above.
int aMulticast_Receive(aMulticastRef endpoint, void* buffer, size_t size);

// Closes and frees the endpoint and nulls *endpoint; 0, or aMULTICAST_NULL.
int aMulticast_Destroy(aMulticastRef* endpoint);

CORVESTEL_INTERNAL_END

#endif
