// The USB and TCPIP searches behind aDiscovery_EnumerateModules. Each call
// opens and closes its own resources; any thread may run one.
#ifndef CORVESTEL_TRANSPORT_UNIX_DISCOVERY_H
#define CORVESTEL_TRANSPORT_UNIX_DISCOVERY_H

#include <cstdint>

#include "transport/discover.h"

// Modules on USB: devices of the modules' vendor whose serial-number string
// is exactly eight hexadecimal digits. Returns the count the callback made.
unsigned aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference);

// Modules on the network that answer the UDP request sent to group
// 232.2.2.2:9888 through every IPv4 interface; replies come to port 9889
// until none came for 2 seconds. Returns the count the callback made.
unsigned aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference);

// Turns a 16-byte reply record from sender into a TCPIP linkSpec.
void aDiscovery_ParseTCPIPReply(const uint8_t* record, uint32_t sender, linkSpec* spec);

#endif
