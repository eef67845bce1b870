// Shared definitions of the device link library: command codes, link types
// and the linkSpec record that says how a module is reached.
#ifndef CORVESTEL_LINK_ADEFS_H
#define CORVESTEL_LINK_ADEFS_H

#include <cstdint>

#include "link/aError.h"

CORVESTEL_API_BEGIN

// Command codes: data[0] of a packet, or (0xAD, 0xAF) link-level addresses.
enum : uint8_t {
    cmdHEARTBEAT = 0,
    cmdSYSTEMCLASS = 3,
    cmdSTORESLOT = 4,
    cmdDEBUGECHO = 23,
    cmdQUERY = 73,
    cmdSTREAMCONTROL = 93,
    cmdFACTORYDATA = 94,
    cmdUPGRADE = 95,
    cmdMODULEADDRESS = 0xAD,
    cmdFORCEROUTE = 0xAF,
};

typedef uint32_t linkType;

namespace Quorvane {
namespace Corvestel {

// How a module is reached (linkSpec::type).
enum : uint32_t {
    USB = 1,    // the USB bus, or the local network server in front of it
    TCPIP = 2,  // a module's own TCP port
    SERIAL = 3, // a serial port
    AETHER = 4, // another process's local network server
};

} // namespace Corvestel
} // namespace Quorvane

// The link types under their old global names too. A program whose own
// names clash with them defines CORVESTEL_NO_GLOBAL_LINK_TYPES before it
// includes the library and writes Quorvane::Corvestel::USB.
#ifndef CORVESTEL_NO_GLOBAL_LINK_TYPES
using Quorvane::Corvestel::AETHER;
using Quorvane::Corvestel::SERIAL;
using Quorvane::Corvestel::TCPIP;
using Quorvane::Corvestel::USB;
#endif

// How a module is reached. Also the exact payload of a network discovery
// answer, so the layout is a wire format: little-endian 32-bit words.
typedef struct linkSpec {
    uint32_t type;
    uint32_t serialNumber;
    uint32_t module;
    uint32_t router;
    uint32_t routerSerialNumber;
    uint32_t model;
    union {
        uint32_t usbId;
        uint32_t ipAddress; // network byte order, as inet_pton stores it
        uint32_t baudRate;
    } t;
    union {
        uint32_t ipPort;
        char portName[100]; // SERIAL: NUL-terminated device path
    } p;
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");

// A new zero-filled record with its type set; null when memory runs out.
linkSpec* aLinkSpec_Create(linkType type);
// A new record holding a byte copy of spec; null when memory runs out.
linkSpec* aLinkSpec_Copy(linkSpec spec);
// Frees the record and nulls the caller's pointer.
// aErrParam: spec or *spec is null.
aErr aLinkSpec_Destroy(linkSpec** spec);

CORVESTEL_API_END

#endif
