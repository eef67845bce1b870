// Library diagnostics: one process-wide switch and one bit mask, both off
// until set. Any thread may read them or print a trace; setting them is
// atomic, so a change made while links run is seen by their threads.
#ifndef CORVESTEL_LINK_ADEBUGGING_H
#define CORVESTEL_LINK_ADEBUGGING_H

#include <atomic>
#include <cstdint>

#include "link/aExport.h"

CORVESTEL_API_BEGIN

// Bits of aCorvestelDebuggingLevel: which diagnostics are printed.
enum : uint32_t {
    aDEBUG_LINK = 0x01,        // link life-cycle and synchronisation
    aDEBUG_PACKETS = 0x02,     // packet traffic and heartbeats
    aDEBUG_SERVER = 0x04,      // local network server creation
    aDEBUG_MULTICAST = 0x08,   // multicast endpoints
    aDEBUG_DISCOVERY = 0x10,   // discovery
    aDEBUG_CLIENT = 0x20,      // network client stream
    aDEBUG_ADDRESS = 0x40,     // module address learning
    aDEBUG_BEACONLOCK = 0x200, // beacon interface lock
    aDEBUG_USB = 0x400,        // USB driver
};

// Master switch; nothing is printed while it is false.
extern std::atomic<bool> aCorvestelDebuggingEnable;
// Mask of the aDEBUG_ bits whose messages are printed.
extern std::atomic<uint32_t> aCorvestelDebuggingLevel;

// True when the switch is on and the level shares a bit with the mask.
bool aDebugging_IsOn(uint32_t level);

// Prints one formatted diagnostic to standard output and flushes it, when
// aDebugging_IsOn(level). The format carries its own line end.
void aDebugging_Trace(uint32_t level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

CORVESTEL_API_END

#endif
