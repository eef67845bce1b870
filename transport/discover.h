// Discovery: which modules can be reached over a transport, and how. Each
// search opens and closes its own sockets within one call and shares only the
// libusb context, so searches may run on several threads at once. The linkSpec
// handed to a callback is valid during the call only.
#ifndef CORVESTEL_TRANSPORT_DISCOVER_H
#define CORVESTEL_TRANSPORT_DISCOVER_H

#include <cstddef>
#include <cstdint>

#include "link/aDefs.h"

CORVESTEL_API_BEGIN

// Called once per module found. Set *success to count the module; return
// false to end the search.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* success, void* reference);

// Network discovery of modules with their own interface.
#define aDISCOVERY_TCPIP_GROUP "232.2.2.2"
#define aDISCOVERY_TCPIP_REQUEST_PORT 9888
#define aDISCOVERY_TCPIP_REPLY_PORT 9889
#define aDISCOVERY_TCPIP_RECORD 16

// Runs the search for one transport (USB, TCPIP or AETHER) and returns how many
// modules the callback counted. networkInterface is an IPv4 address in
// network byte order (0 or 127.0.0.1: local only). Other transports find
// nothing. Failures (no USB access, no network) only make the count smaller.
unsigned aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                                     uint32_t networkInterface);

// Modules shared by local network servers: with networkInterface 0 or
// 127.0.0.1 (or no usable interface) the multicast query on loopback, which
// reports only servers on this host; otherwise czmq beacons on that
// interface. Each module is reported once per search (by serial number).
unsigned aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* reference,
                                            uint32_t networkInterface);

// The module with this serial number, as a new linkSpec the caller frees with
// aLinkSpec_Destroy; null when no such module answers.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// The first module found with a non-zero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Stores up to maximum IPv4 addresses (network order) of this host's usable
// network interfaces; returns how many. A null array gives 0.
unsigned aDiscovery_GetIPv4Interfaces(uint32_t* addresses, unsigned maximum);

// Writes the dotted text of address into buffer; returns the characters
// written. A buffer under 16 bytes gives 0 and is left alone; otherwise it is
// cleared first and 0 is returned when the conversion fails.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length);

CORVESTEL_API_END

#endif
