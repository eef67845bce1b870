#include "store/BirdReport.h"

#include <cstdarg>
#include <cstdio>

namespace {

void sLine(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void sLine(std::string& out, const char* format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out += line;
}

uint32_t sBigEndian(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

} // namespace

const char* BirdReport_TypeName(uint8_t type)
{
    switch (type) {
    case BirdFile::BLOCK_LOADER:
        return "loader";
    case BirdFile::BLOCK_FIRMWARE:
        return "firmware";
    case BirdFile::BLOCK_SERIAL_OFFSETS:
        return "serial offsets";
    case BirdFile::BLOCK_INFO:
        return "info";
    case BirdFile::BLOCK_ENTRY_ADDRESS:
        return "entry address";
    default:
        return "unknown";
    }
}

std::string BirdReport(const BirdFile& bird)
{
    std::string out;
    const uint32_t sig = bird.signature;
    char text[5] = {static_cast<char>(sig >> 24), static_cast<char>(sig >> 16), static_cast<char>(sig >> 8),
                    static_cast<char>(sig), '\0'};
    for (int i = 0; i < 4; ++i) {
        if (text[i] < 0x20 || text[i] > 0x7E)
            text[i] = '.';
    }
    sLine(out, "signature: %08X \"%s\"\n", sig, text);
    sLine(out, "format version: 0x%04X\n", bird.version);
    sLine(out, "body: %zu bytes\n", bird.image_size);
    if (bird.image_size >= 4)
        sLine(out, "blocks: %u reported, %u parsed\n", sBigEndian(bird.image.get()), bird.block_count);
    uint32_t sum = 0;
    if (bird.image_size >= 4) {
        for (size_t i = 0; i < bird.image_size - 4; ++i)
            sum += bird.image[i];
    }
    sLine(out, "checksum: %08X (byte sum of the body before it: %08X)\n", bird.checksum, sum);

    for (size_t i = 0; i < bird.blocks.size(); ++i) {
        const BirdBlock& b = bird.blocks[i];
        sLine(out, "block %zu: type %u (%s) flags %u length %u", i, b.type, BirdReport_TypeName(b.type), b.flags,
              b.length);
        if (b.type == BirdFile::BLOCK_LOADER || b.type == BirdFile::BLOCK_FIRMWARE)
            sLine(out, " address 0x%08X image %u bytes", b.address, b.length >= 4 ? b.length - 4 : 0);
        if (b.type == BirdFile::BLOCK_ENTRY_ADDRESS && b.length >= 4)
            sLine(out, " entry 0x%08X", sBigEndian(b.data));
        out += "\n";
    }
    if (bird.has_serial_block)
        sLine(out, "serial offsets: serial 0x%08X descriptor 0x%08X\n", bird.serial_offset, bird.descriptor_offset);
    if (!bird.FindBlocks(BirdFile::BLOCK_INFO).empty()) {
        sLine(out, "info: build %u\n", bird.GetBuild());
        sLine(out, "info: version \"%s\"\n", bird.GetVersion().c_str());
        sLine(out, "info: serial %08X\n", bird.GetSerialNumber());
        sLine(out, "info: model \"%s\"\n", bird.GetModel().c_str());
    }
    return out;
}
