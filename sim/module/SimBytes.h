// Big-endian helpers for packet payloads, and a packet as the module sees it.
#ifndef CORVESTEL_SIM_SIMBYTES_H
#define CORVESTEL_SIM_SIMBYTES_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

typedef std::vector<uint8_t> Bytes;

// Largest payload of one packet.
const size_t MAX_DATA = 28;

inline void putBE16(Bytes& out, uint32_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

inline void putBE32(Bytes& out, uint32_t v)
{
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

inline uint32_t getBE16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }

inline uint32_t getBE32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// One packet: the address byte (destination on the way in, sender on the
// way out) and up to 28 data bytes.
struct Packet {
    uint8_t address = 0;
    Bytes data;

    // The bytes on the wire: address, length, data.
    Bytes wire() const
    {
        Bytes out;
        out.reserve(data.size() + 2);
        out.push_back(address);
        out.push_back(uint8_t(data.size()));
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }
};

// "02 03 49" style text of bytes, upper-case hex separated by blanks.
inline std::string hexText(const uint8_t* p, size_t n)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i)
            s += ' ';
        s += DIGITS[p[i] >> 4];
        s += DIGITS[p[i] & 0x0F];
    }
    return s;
}

// Parses hex digits ("5F03", "5f 03", "5F:03") into bytes; false on a stray
// character or an odd digit count.
inline bool parseHex(const std::string& text, Bytes& out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == ':' || c == '-')
            continue;
        else
            return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

} // namespace sim

#endif
