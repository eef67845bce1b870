// The local network server: shares the module behind one USB engine link
// with clients over ZeroMQ, and answers their discovery searches. The owner
// (the link engine) calls create, start, the setters, flush and destroy from
// one thread at a time. The server runs a broker thread (frontend, answer
// queue, streaming list, UEI byte pools, beacon), a sync worker thread (the
// only one that talks to the module) and a discovery thread; each ZeroMQ
// socket belongs to one of them, and the streaming packet filter runs on the
// USB link's receive thread and writes only into the streaming pair. Model
// and module address are atomics; the pipe mutex guards sends to the broker.
#ifndef CORVESTEL_TRANSPORT_ASERVER_ZEROMQ_H
#define CORVESTEL_TRANSPORT_ASERVER_ZEROMQ_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/aError.h"

CORVESTEL_API_BEGIN

typedef struct aServer* aServerRef;

// Server commands from the sync worker to the broker (3-byte frames).
#define SERVER_CMD_DROPPED_PACKET 0
#define SERVER_CMD_INCOMING_PACKETS 1

// Discovery: beacons on UDP 8585 with this 20-byte prefix, or the multicast
// query on loopback slots 9850 + j (receive) and 9950 + j (reply).
#define DISCOVERY_BEACON_FILTER "Corvestel2-Discovery"
#define aSERVER_BEACON_PORT 8585
#define aSERVER_MULTICAST_GROUP "224.0.0.7"
#define aSERVER_MULTICAST_PORT 9850
#define aSERVER_MULTICAST_REPLY_PORT 9950
#define aSERVER_MULTICAST_SLOTS 50
#define aSERVER_MULTICAST_QUERY 0xABCDDCBAu

// A server (not started) for the USB link with this identifier.
// networkInterface: IPv4 in network order (0 becomes 127.0.0.1); localOnly:
// serve and answer discovery on loopback only. Null when the link is not in
// the table ("Could not find device Item") or memory runs out.
aServerRef aServer_Create(uint32_t linkIdentifier, uint32_t networkInterface, uint16_t localOnly);

// Binds the sockets, starts discovery, the broker and the sync worker, and
// puts the streaming filter on the link.
//   aErrParam     null server, or started already
//   aErrResource  a socket, port, thread or list could not be set up
aErr aServer_Start(aServerRef server);

// Stops every thread, removes the filter, frees everything and nulls
// *server. aErrParam: null pointer or server.
aErr aServer_Destroy(aServerRef* server);

// The frontend port clients connect to. aErrParam: a null argument.
aErr aServer_GetPort(aServerRef server, uint16_t* port);
// The interface address (network order) clients connect to; 127.0.0.1 in
// local mode. aErrParam: a null argument.
aErr aServer_GetInterface(aServerRef server, uint32_t* address);
// The module's address. aErrParam: null server.
aErr aServer_SetModuleAddress(aServerRef server, uint8_t address);
// The module's model; discovery is answered only once it is non-zero.
// aErrParam: null server.
aErr aServer_SetModel(aServerRef server, uint8_t model);
// Makes the broker forget every client waiting for an answer.
// aErrParam: null server. aErrNotReady: not started.
aErr aServer_FlushFIFO(aServerRef server);

// Test seam for the broker's handling of frames, with no link, thread or
// network: a server whose client and module sides are in-process sockets.
// The calls below run the broker's code on the caller's thread; destroy
// with aServer_Destroy. Null when a socket cannot be made.
aServerRef aServer_CreateDetached();
// A client message (identity and packet frame) as the frontend delivers it;
// every frame the broker passes on to the module is appended to toModule.
aErr aServer_DetachedClientMessage(aServerRef server, const uint8_t* identity, size_t identitySize,
                                   const uint8_t* frame, size_t frameSize, std::vector<std::string>* toModule);
// A frame from the module side (an answer or a server command).
aErr aServer_DetachedModuleFrame(aServerRef server, const uint8_t* frame, size_t frameSize);
// Clients the broker holds an answer place for.
size_t aServer_DetachedWaiting(aServerRef server);
// Forgets every client, pool and streaming entry, as a fresh server.
aErr aServer_DetachedReset(aServerRef server);

CORVESTEL_API_END

#endif
