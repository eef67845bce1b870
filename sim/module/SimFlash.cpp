#include "sim/module/SimFlash.h"

#include <cstdio>

namespace sim {

void SimMemory::write(uint32_t address, const uint8_t* bytes, size_t n)
{
    if (n == 0 || uint64_t(address) + n > 0x100000000ull)
        return;
    for (size_t i = 0; i < n; ++i) {
        uint32_t a = address + uint32_t(i);
        Page& page = pages_[a - a % PAGE];
        page.bytes[a % PAGE] = bytes[i];
        page.used.set(a % PAGE);
    }
}

std::vector<std::pair<uint32_t, Bytes>> SimMemory::segments() const
{
    std::vector<std::pair<uint32_t, Bytes>> out;
    bool open = false;
    uint64_t next = 0;
    for (const auto& entry : pages_) {
        for (uint32_t off = 0; off < PAGE; ++off) {
            if (!entry.second.used.test(off)) {
                open = false;
                continue;
            }
            uint64_t a = uint64_t(entry.first) + off;
            if (!open || a != next)
                out.push_back({uint32_t(a), Bytes()});
            out.back().second.push_back(entry.second.bytes[off]);
            open = true;
            next = a + 1;
        }
    }
    return out;
}

bool writeMemoryDump(const std::string& path, const std::string& header,
    const std::vector<std::pair<std::string, const SimMemory*>>& regions)
{
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    std::fprintf(f, "%s", header.c_str());
    static const char DIGITS[] = "0123456789ABCDEF";
    for (const auto& region : regions) {
        for (const auto& seg : region.second->segments()) {
            std::fprintf(f, "%s %08X %zu ", region.first.c_str(), seg.first, seg.second.size());
            std::string hex;
            hex.reserve(seg.second.size() * 2 + 1);
            for (uint8_t b : seg.second) {
                hex += DIGITS[b >> 4];
                hex += DIGITS[b & 0x0F];
            }
            hex += '\n';
            std::fwrite(hex.data(), 1, hex.size(), f);
        }
    }
    bool ok = std::fflush(f) == 0;
    ok = std::fclose(f) == 0 && ok;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace sim
