#include "store/BirdWriter.h"

#include <cstdio>
#include <stdexcept>
#include <zlib.h>

#include "store/AtomicFile.h"
#include "store/BirdFile.h"

namespace {

void sPutInt(BirdWriter::Bytes& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void sPutField(BirdWriter::Bytes& out, const std::string& text, size_t width)
{
    for (size_t i = 0; i < width; ++i)
        out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : ' ');
}

} // namespace

void BirdWriter::AddBlock(uint8_t type, const Bytes& data, uint8_t flags)
{
    uint8_t tf = static_cast<uint8_t>((type & BirdFile::BIRD_FILE_TYPE_MASK) | ((flags & 0x7) << 5));
    blocks.push_back(Block{tf, data});
}

void BirdWriter::AddLoader(uint32_t address, const Bytes& code, uint8_t flags)
{
    Bytes data;
    sPutInt(data, address);
    data.insert(data.end(), code.begin(), code.end());
    AddBlock(BirdFile::BLOCK_LOADER, data, flags);
}

void BirdWriter::AddFirmware(uint32_t address, const Bytes& image, uint8_t flags)
{
    Bytes data;
    sPutInt(data, address);
    data.insert(data.end(), image.begin(), image.end());
    AddBlock(BirdFile::BLOCK_FIRMWARE, data, flags);
}

void BirdWriter::AddSerialOffsets(uint32_t serialOffset, uint32_t descriptorOffset)
{
    Bytes data;
    sPutInt(data, serialOffset);
    sPutInt(data, descriptorOffset);
    AddBlock(BirdFile::BLOCK_SERIAL_OFFSETS, data);
}

void BirdWriter::AddInfo(uint32_t build, const std::string& version, uint32_t serialNumber,
                         const std::string& model)
{
    char text[16];
    Bytes data;
    std::snprintf(text, sizeof text, "%u", build);
    sPutField(data, text, 16);
    sPutField(data, version.substr(0, 15), 16);
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    sPutField(data, text, 16);
    sPutField(data, model.substr(0, 16), 16);
    AddBlock(BirdFile::BLOCK_INFO, data);
}

void BirdWriter::AddEntryAddress(uint32_t address)
{
    Bytes data;
    sPutInt(data, address);
    AddBlock(BirdFile::BLOCK_ENTRY_ADDRESS, data);
}

BirdWriter::Bytes BirdWriter::Body() const
{
    Bytes body;
    sPutInt(body, static_cast<uint32_t>(blocks.size()));
    for (const Block& b : blocks) {
        body.push_back(b.typeAndFlags);
        sPutInt(body, static_cast<uint32_t>(b.data.size()));
        body.insert(body.end(), b.data.begin(), b.data.end());
    }
    sPutInt(body, Sum(body));
    return body;
}

BirdWriter::Bytes BirdWriter::File(uint16_t version) const
{
    return Wrap(Body(), version);
}

aErr BirdWriter::Write(const std::string& path, uint16_t version) const
{
    Bytes file = File(version);
    return AtomicFile_Write(path, file.data(), file.size());
}

BirdWriter::Bytes BirdWriter::Wrap(const Bytes& body, uint16_t version, int level)
{
    // A reader inflates into eight times the compressed size at most, so a
    // body that deflates better than that (long runs of padding) is written
    // with weaker compression, down to stored blocks, which never shrink.
    static const int LEVELS[] = {Z_BEST_COMPRESSION, Z_DEFAULT_COMPRESSION, Z_BEST_SPEED, Z_NO_COMPRESSION};
    Bytes out;
    for (int tryLevel : LEVELS) {
        if (level != AUTO_LEVEL)
            tryLevel = level;
        uLongf room = compressBound(static_cast<uLong>(body.size()));
        out.assign(BirdFile::HEADER_SIZE + room, 0);
        out[0] = 'b';
        out[1] = 'i';
        out[2] = 'r';
        out[3] = 'd';
        out[4] = static_cast<uint8_t>(version >> 8);
        out[5] = static_cast<uint8_t>(version);
        int z = compress2(out.data() + BirdFile::HEADER_SIZE, &room, body.data(),
                          static_cast<uLong>(body.size()), tryLevel);
        if (z != Z_OK)
            throw std::runtime_error("BirdWriter: deflate failed");
        out.resize(BirdFile::HEADER_SIZE + room);
        if (level != AUTO_LEVEL || body.size() <= INFLATE_LIMIT * room)
            break;
    }
    return out;
}

uint32_t BirdWriter::Sum(const Bytes& bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return sum;
}
