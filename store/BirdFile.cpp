#include "store/BirdFile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <sys/stat.h>
#include <zlib.h>

#include "base/Log.h"
#include "link/aError.h"

namespace {

// The inflated body may be at most this many times the compressed one.
const size_t INFLATE_FACTOR = 8;

uint32_t GetInt(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint16_t GetShort(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Only regular files are opened: a FIFO or a device would block the open or
// the read for ever.
bool sFileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Image bytes of a loader or firmware block: the data after the address word.
uint8_t* sImage(const BirdBlock& b, size_t* size)
{
    if (b.length < 4 || !b.data) {
        *size = 0;
        return nullptr;
    }
    *size = b.length - 4;
    return b.data + 4;
}

} // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const std::string& path_) : path(path_)
{
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::~BirdFile() = default;

BirdFile::BirdFile(BirdFile&& other) noexcept
{
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept
{
    if (this == &other)
        return *this;
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    block_count = other.block_count;
    // The blocks point into image, whose buffer moves along with them.
    blocks = std::move(other.blocks);
    has_serial_block = other.has_serial_block;
    serial_offset = other.serial_offset;
    descriptor_offset = other.descriptor_offset;
    image = std::move(other.image);
    image_size = other.image_size;
    inflate_capped = other.inflate_capped;
    other.path.clear();
    other.Reset();
    return *this;
}

void BirdFile::Reset()
{
    signature = 0;
    version = 0;
    checksum = 0;
    block_count = 0;
    blocks.clear();
    has_serial_block = false;
    serial_offset = 0;
    descriptor_offset = 0;
    image.reset();
    image_size = 0;
    inflate_capped = false;
}

bool BirdFile::Load()
{
    Reset();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!sFileExists(path)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || st.st_size < 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", aErrIO,
                 path.c_str());
        std::fclose(f);
        return false;
    }
    size_t size = static_cast<size_t>(st.st_size);
    std::vector<uint8_t> buffer(size);
    size_t got = size ? std::fread(buffer.data(), 1, size, f) : 0;
    bool result = false;
    if (size && got == 0 && std::ferror(f)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", aErrIO, path.c_str());
    } else if (got < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(),
                 got, size);
    } else {
        result = Parse(buffer.data(), size);
    }
    std::fclose(f);
    return result;
}

bool BirdFile::LoadBytes(const uint8_t* bytes, size_t size)
{
    Reset();
    return bytes ? Parse(bytes, size) : false;
}

bool BirdFile::Parse(const uint8_t* bytes, size_t size)
{
    bool result = false;
    if (size > HEADER_SIZE) {
        signature = GetInt(bytes);
        version = GetShort(bytes + 4);
        if (DecompressData(bytes + HEADER_SIZE, size - HEADER_SIZE)) {
            ScanBlocks(image.get(), image_size);
            FindSerialNumberOffsets();
            result = true;
        }
    }
    for (const BirdBlock& b : blocks) {
        if (b.type == BLOCK_SERIAL_OFFSETS) {
            has_serial_block = true;
            FindSerialNumberOffsets();
            break;
        }
    }
    return result;
}

bool BirdFile::DecompressData(const uint8_t* body, size_t n)
{
    // Bounded twice: by the body's size and by the largest image there is.
    const size_t limit = n > BirdFile::MAX_IMAGE_BYTES / INFLATE_FACTOR ? BirdFile::MAX_IMAGE_BYTES
                                                                       : n * INFLATE_FACTOR;
    uLongf room = static_cast<uLongf>(limit);
    image.reset(new (std::nothrow) uint8_t[room ? room : 1]);
    int z = image ? uncompress(image.get(), &room, body, static_cast<uLong>(n)) : Z_MEM_ERROR;
    if (z == Z_BUF_ERROR)
        inflate_capped = true;
    if (z != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
        image.reset();
        image_size = 0;
        return false;
    }
    image_size = room;
    return true;
}

bool BirdFile::ScanBlocks(const uint8_t* data, size_t size)
{
    block_count = 0;
    blocks.clear();
    if (!data || size < 4) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(size) - 4);
        return false;
    }
    uint32_t reported = GetInt(data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(reported));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    size_t pos = 4;
    bool ok = true;
    while (size - pos > 4) {
        BirdBlock b;
        uint8_t tf = data[pos];
        b.type = tf & BIRD_FILE_TYPE_MASK;
        b.flags = static_cast<uint8_t>((tf & BIRD_FILE_FLAG_MASK) >> 5);
        b.length = GetInt(data + pos + 1);
        size_t start = pos + 5;
        if (b.length > size - start) {
            // The block claims more than the body holds: stop here and keep
            // nothing of it.
            Log::log(DEBUG_BirdFile, "BIRDFILE: Block length %u runs past the end of the data (%zu bytes left)\n",
                     b.length, size - start);
            ok = false;
            pos = size;
            break;
        }
        b.data = const_cast<uint8_t*>(data + start);
        if ((b.type == BLOCK_LOADER || b.type == BLOCK_FIRMWARE) && b.length >= 4)
            b.address = GetInt(b.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", b.type, b.flags, static_cast<int>(b.length));
        if (b.type == BLOCK_INFO && b.length >= INFO_SIZE) {
            for (int i = 0; i < 4; ++i)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", reinterpret_cast<const char*>(b.data + 16 * i));
        }
        blocks.push_back(b);
        ++block_count;
        pos = start + b.length;
    }
    if (size - pos >= 4) {
        checksum = GetInt(data + pos);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
        pos += 4;
    } else if (pos < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(size - pos) - 4);
        ok = false;
        pos = size;
    }
    if (pos < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(size - pos));
        ok = false;
    }
    if (block_count != reported) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(block_count), static_cast<int>(reported));
        ok = false;
    }
    return ok;
}

bool BirdFile::VerifyFile(const std::string& path)
{
    if (!sFileExists(path))
        return false;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    uint8_t head[HEADER_SIZE];
    size_t got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return VerifyBytes(head, got);
}

bool BirdFile::VerifyBytes(const uint8_t* bytes, size_t size)
{
    return bytes && size >= HEADER_SIZE && GetInt(bytes) == BIRD_FILE_SIGNATURE && bytes[4] != 0 &&
           bytes[5] != 0;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const
{
    std::vector<BirdBlock> out;
    for (const BirdBlock& b : blocks) {
        if (b.type == type)
            out.push_back(b);
    }
    return out;
}

const BirdBlock* BirdFile::InfoBlock() const
{
    for (const BirdBlock& b : blocks) {
        if (b.type == BLOCK_INFO)
            return b.length >= INFO_SIZE ? &b : nullptr;
    }
    return nullptr;
}

uint32_t BirdFile::GetBuild() const
{
    const BirdBlock* info = InfoBlock();
    if (!info)
        return 0;
    const uint8_t* p = info->data;
    size_t i = 0;
    while (i < 15 && std::isspace(p[i]))
        ++i;
    uint32_t build = 0;
    for (; i < 15 && std::isdigit(p[i]); ++i)
        build = build * 10 + static_cast<uint32_t>(p[i] - '0');
    return build;
}

std::string BirdFile::GetVersion() const
{
    const BirdBlock* info = InfoBlock();
    if (!info)
        return std::string();
    const char* p = reinterpret_cast<const char*>(info->data + 16);
    size_t n = 0;
    while (n < 15 && p[n] != ' ' && p[n] != '\0')
        ++n;
    return std::string(p, n);
}

uint32_t BirdFile::GetSerialNumber() const
{
    const BirdBlock* info = InfoBlock();
    if (!info)
        return 0;
    char text[9];
    std::memcpy(text, info->data + 32, 8);
    text[8] = '\0';
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
}

std::string BirdFile::GetModel() const
{
    const BirdBlock* info = InfoBlock();
    if (!info)
        return std::string();
    const char* p = reinterpret_cast<const char*>(info->data + 48);
    size_t n = 0;
    while (n < 16 && p[n] != '\0')
        ++n;
    while (n > 0 && p[n - 1] == ' ')
        --n;
    return std::string(p, n);
}

bool BirdFile::ValidateSerialNumber(uint32_t serialNumber) const
{
    return serialNumber == GetSerialNumber();
}

bool BirdFile::ValidateModel(const char* name) const
{
    if (!InfoBlock())
        return false;
    std::string model = GetModel();
    std::string wanted = name ? name : "";
    if (wanted.size() > model.size() || model.compare(0, wanted.size(), wanted) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", model.c_str(), wanted.c_str());
    return true;
}

bool BirdFile::FindSerialNumberOffsets()
{
    if (blocks.empty())
        return false;
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_SERIAL_OFFSETS)
            continue;
        serial_offset = b.length >= 4 ? GetInt(b.data) : 0;
        descriptor_offset = b.length >= 8 ? GetInt(b.data + 4) : 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 static_cast<int>(serial_offset), static_cast<int>(descriptor_offset));
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serialNumber)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    bool result = false;
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE)
            continue;
        size_t n = 0;
        uint8_t* img = sImage(b, &n);
        uint64_t a = b.address;
        uint64_t e = a + n;
        if (serial_offset != 0) {
            uint64_t s = serial_offset;
            if (img && a <= s && s + 4 <= e) {
                uint8_t* p = img + (s - a);
                uint32_t old = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                               (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", old,
                         serialNumber);
                for (int i = 0; i < 4; ++i)
                    p[i] = static_cast<uint8_t>(serialNumber >> (8 * i));
            }
            result = true;
        }
        if (descriptor_offset != 0) {
            uint64_t d = descriptor_offset;
            if (img && a <= d && d + 16 <= e) {
                uint8_t* p = img + (d - a);
                for (int i = 0; i < 8; ++i)
                    p[2 * i] = static_cast<uint8_t>(text[i]);
                result = true;
            }
        }
    }
    return result;
}

bool BirdFile::ReplaceVectorChecksum()
{
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE || b.address != 0)
            continue;
        size_t n = 0;
        uint8_t* img = sImage(b, &n);
        if (!img || n < 32)
            continue;
        auto word = [img](int i) {
            const uint8_t* p = img + 4 * i;
            return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                   (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
        };
        // Word 5 is reserved and stays out of the sum.
        uint32_t sum = word(0) + word(1) + word(2) + word(3) + word(4) + word(6);
        uint32_t value = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", word(7), value);
        for (int i = 0; i < 4; ++i)
            img[28 + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4])
{
    uint8_t k[16];
    for (int w = 0; w < 4; ++w) {
        for (int i = 0; i < 4; ++i)
            k[4 * w + i] = static_cast<uint8_t>(key[w] >> (24 - 8 * i));
    }
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE)
            continue;
        size_t n = 0;
        uint8_t* img = sImage(b, &n);
        uint8_t chain = 0;
        for (size_t i = 0; i < n; ++i) {
            img[i] = static_cast<uint8_t>(img[i] ^ k[i % 16] ^ chain);
            chain = img[i];
        }
    }
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, size_t length) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern && length > 0) {
        for (const BirdBlock& b : blocks) {
            if (b.type != BLOCK_FIRMWARE || b.length < length)
                continue;
            for (size_t i = 0; i + length <= b.length; ++i) {
                if (std::memcmp(b.data + i, pattern, length) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::DumpBlocks(uint8_t type) const
{
    std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& b : blocks) {
        if (b.type != type)
            continue;
        std::string rendering;
        for (uint32_t i = 0; i < b.length; ++i) {
            if (i % 50 == 0) {
                std::printf(" %s\r\n%06d: ", rendering.c_str(), static_cast<int>(i));
                rendering.clear();
            }
            uint8_t c = b.data[i];
            std::printf("%02X ", c);
            rendering += std::isprint(c) ? static_cast<char>(c) : ' ';
        }
        std::printf(" %s\n", rendering.c_str());
    }
    std::printf("\n");
    return true;
}
