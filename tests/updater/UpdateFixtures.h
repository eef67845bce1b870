// Shared pieces of the firmware update tests: image patterns, BIRD files
// made with the writer, and a module connected to the simulator over
// loopback TCP by specifier (no discovery, so no multicast).
#ifndef TESTS_UPDATER_UPDATEFIXTURES_H
#define TESTS_UPDATER_UPDATEFIXTURES_H

#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link/Module.h"
#include "store/BirdWriter.h"
#include "support/SimHarness.h"

namespace updtest {

typedef std::vector<uint8_t> Bytes;

// n image bytes that differ from their neighbours and never repeat within 251.
inline Bytes Pattern(size_t n, uint8_t seed = 1)
{
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t((i % 251) * 7 + seed);
    return v;
}

// A loader or firmware block's data: the big-endian load address, then the image.
inline Bytes WithAddress(uint32_t address, const Bytes& image)
{
    Bytes v(4 + image.size());
    for (int k = 0; k < 4; ++k)
        v[k] = uint8_t(address >> (24 - 8 * k));
    for (size_t i = 0; i < image.size(); ++i)
        v[4 + i] = image[i];
    return v;
}

inline std::string Str(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

inline linkSpec LoopbackSpec(const SimHarness& sim, uint32_t serial)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial;
    spec.t.ipAddress = htonl(INADDR_LOOPBACK);
    spec.p.ipPort = uint32_t(sim.Port(serial));
    return spec;
}

inline aEtherConfig NetworkOff()
{
    aEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    return config;
}

// A firmware image loaded at 0 whose vector table words 0 to 4, 6 and 7
// sum to zero, as a module's start-up check wants them.
inline Bytes VectorImage(size_t n, uint8_t seed)
{
    Bytes image = Pattern(n, seed);
    auto word = [&](size_t i) {
        return uint32_t(image[4 * i]) | uint32_t(image[4 * i + 1]) << 8 | uint32_t(image[4 * i + 2]) << 16 |
               uint32_t(image[4 * i + 3]) << 24;
    };
    uint32_t sum = word(0) + word(1) + word(2) + word(3) + word(4) + word(6);
    uint32_t w7 = 0u - sum;
    for (int k = 0; k < 4; ++k)
        image[28 + k] = uint8_t(w7 >> (8 * k));
    return image;
}

// Sum check of the vector table of an image loaded at 0.
inline bool VectorChecksumHolds(const std::string& image)
{
    if (image.size() < 32)
        return false;
    auto word = [&](size_t i) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(image.data()) + 4 * i;
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    return word(0) + word(1) + word(2) + word(3) + word(4) + word(6) + word(7) == 0;
}

} // namespace updtest

#endif
