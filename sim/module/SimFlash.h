// Simulated module memory: sparse bytes by address, with the runs of written
// bytes readable as segments and writable as a text dump.
#ifndef CORVESTEL_SIM_SIMFLASH_H
#define CORVESTEL_SIM_SIMFLASH_H

#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/module/SimBytes.h"

namespace sim {

class SimMemory {
public:
    // Stores n bytes from address on (wrapping at 4 GiB is refused).
    void write(uint32_t address, const uint8_t* bytes, size_t n);
    // Contiguous runs of written bytes, lowest address first.
    std::vector<std::pair<uint32_t, Bytes>> segments() const;
    bool empty() const { return pages_.empty(); }
    void clear() { pages_.clear(); }

private:
    static const uint32_t PAGE = 4096;
    struct Page {
        uint8_t bytes[PAGE];
        std::bitset<PAGE> used;
    };
    std::map<uint32_t, Page> pages_;
};

// Writes "<region> ADDRESS LENGTH HEX" lines, one per segment, for each named
// memory; the file is replaced atomically. False when it cannot be written.
bool writeMemoryDump(const std::string& path, const std::string& header,
    const std::vector<std::pair<std::string, const SimMemory*>>& regions);

} // namespace sim

#endif
