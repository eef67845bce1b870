// Packet trace of the simulator: one line per packet or event, flushed at
// once so that a test can read it while the simulator runs.
//   SERIAL rx BYTES   a packet from the host (address, length, data in hex)
//   SERIAL tx BYTES   a packet to the host
//   SERIAL ev TEXT    connections, reboots, faults, framing trouble
#ifndef CORVESTEL_SIM_SIMTRACE_H
#define CORVESTEL_SIM_SIMTRACE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/module/SimBytes.h"

namespace sim {

class SimTrace {
public:
    SimTrace() = default;
    ~SimTrace();
    SimTrace(const SimTrace&) = delete;
    SimTrace& operator=(const SimTrace&) = delete;

    // Opens (truncates) the trace file; false when it cannot be created.
    bool open(const std::string& path);
    void packet(uint32_t serial, bool fromHost, const Bytes& wire);
    void event(uint32_t serial, const std::string& text);

private:
    FILE* file_ = nullptr;
};

} // namespace sim

#endif
