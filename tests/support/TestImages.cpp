#include "support/TestImages.h"

#include <cstdio>
#include <random>

#include "support/UpdateServerHarness.h"

namespace testimages {

Bytes RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng{seed};
    Bytes v(n);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

std::string AsString(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

void MakeBootable(Bytes& image)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < 7; ++i)
        sum += uint32_t(image[4 * i]) | uint32_t(image[4 * i + 1]) << 8 | uint32_t(image[4 * i + 2]) << 16 |
               uint32_t(image[4 * i + 3]) << 24;
    const uint32_t check = 0u - sum;
    for (size_t i = 0; i < 4; ++i)
        image[28 + i] = uint8_t(check >> (8 * i));
}

Bytes EncodeForChip(const Bytes& plain, const uint32_t uid[4])
{
    Bytes out(plain.size());
    uint8_t previous = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        const uint8_t key = uint8_t(uid[(i % 16) / 4] >> (24 - 8 * (i % 4)));
        out[i] = uint8_t(plain[i] ^ key ^ previous);
        previous = plain[i];
    }
    return out;
}

std::string SerialPatched(Bytes image, uint32_t serial, uint32_t serialOffset, uint32_t descriptorOffset)
{
    for (int k = 0; k < 4; ++k)
        image[serialOffset + k] = uint8_t(serial >> (8 * k));
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    for (int k = 0; k < 8; ++k)
        image[descriptorOffset + 2 * k] = uint8_t(text[k]);
    return AsString(image);
}

void ServeRecoveryLoader(UpdateServerHarness& server, const Bytes& table, const Bytes& code)
{
    BirdWriter loader;
    loader.AddInfo(9001, "0.9.0", 0xDEADDEAD, "CVR-LOADER");
    loader.AddLoader(LOADER_TABLE_ADDRESS, table);
    loader.AddLoader(LOADER_CODE_ADDRESS, code);
    loader.AddEntryAddress(LOADER_CODE_ADDRESS);
    server.SetLatest(0xDEADDEAD, "9001", "LOADER");
    server.SetBuilds(0xDEADDEAD, "9001;0.9.0\n");
    server.AddBird(0xDEADDEAD, "9001", AsString(loader.File()));
}

} // namespace testimages
