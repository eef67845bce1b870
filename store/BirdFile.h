// A BIRD firmware file loaded into memory: the header, the inflated body and
// the table of typed blocks inside it, with the getters for the info block and
// the in-place patches made before a transfer (serial number, vector
// checksum, per-chip decoding). Diagnostics go to the debug log.
#ifndef UPDATER_STORE_BIRDFILE_H
#define UPDATER_STORE_BIRDFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One block of the body. data points into the owning BirdFile's image (the
// load address word included for loader and firmware blocks).
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;    // the three flag bits, 0 to 7, passed to the module as they are
    uint32_t length = 0;  // data bytes, address word included
    uint32_t address = 0; // load address of loader and firmware blocks, else 0
    uint8_t* data = nullptr;
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_ENTRY_ADDRESS = 5,
    };

    static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
    static constexpr size_t HEADER_SIZE = 6;
    static constexpr size_t INFO_SIZE = 64;
    // The largest image a body may inflate to: more than any module holds,
    // and a bound on the memory a hostile file can make the program take.
    static constexpr size_t MAX_IMAGE_BYTES = size_t(64) << 20;
    // Start address given to a recovery loader when the file names none.
    static constexpr uint32_t DEFAULT_ENTRY_ADDRESS = 0x20000400;

    // An empty file: no path, no blocks.
    BirdFile();
    // Loads path; throws std::runtime_error("Failed to load bird data") when
    // Load fails.
    explicit BirdFile(const std::string& path);
    ~BirdFile();

    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Reads, inflates and parses the file at path. True when the body
    // inflated; a body whose block table does not add up still loads with
    // the blocks that could be parsed.
    bool Load();
    // Load for the bytes of a whole file already in memory; path is kept.
    bool LoadBytes(const uint8_t* bytes, size_t size);

    // True when the file starts with "bird" and two non-zero version bytes.
    static bool VerifyFile(const std::string& path);
    // The same check for the bytes of a whole file in memory.
    static bool VerifyBytes(const uint8_t* bytes, size_t size);

    // Copies of all blocks of that type, in file order.
    std::vector<BirdBlock> FindBlocks(uint8_t type) const;

    // Fields of the first info block; 0 or empty without one.
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    uint32_t GetSerialNumber() const;
    std::string GetModel() const;

    bool ValidateSerialNumber(uint32_t serialNumber) const;
    // True when the stored model begins with name (an empty name matches);
    // false without an info block.
    bool ValidateModel(const char* name) const;
    bool ValidateModel(const std::string& name) const { return ValidateModel(name.c_str()); }

    // Takes serial_offset and descriptor_offset from the first serial-offsets
    // block; false when there is none.
    bool FindSerialNumberOffsets();
    // Writes the serial number into the firmware image at the recorded
    // offsets; false when no offset is set or there is no firmware block.
    bool ReplaceSerialNumber(uint32_t serialNumber);
    // Sets word 7 of every firmware image loaded at address 0 so that words
    // 0 to 4, 6 and 7 sum to zero. Always true.
    bool ReplaceVectorChecksum();
    // Undoes the per-chip encoding of every firmware image with the chip's
    // four identity words. Always true.
    bool DecodeFirmwareBlocks(const uint32_t key[4]);

    // True when some firmware block holds the byte pattern; logs each hit.
    bool ValidateData(const uint8_t* pattern, size_t length) const;
    // Prints every block of the type as hex and text to standard output.
    bool DumpBlocks(uint8_t type) const;

    std::string path;
    uint32_t signature = 0;
    uint16_t version = 0;
    uint32_t checksum = 0;
    uint32_t block_count = 0;
    std::vector<BirdBlock> blocks;
    bool has_serial_block = false;
    uint32_t serial_offset = 0;
    uint32_t descriptor_offset = 0;
    std::unique_ptr<uint8_t[]> image;
    size_t image_size = 0;
    // The last load failed because the body inflates beyond its bounds:
    // 8 times its own size, and MAX_IMAGE_BYTES.
    bool inflate_capped = false;

private:
    bool Parse(const uint8_t* bytes, size_t size);
    bool DecompressData(const uint8_t* body, size_t n);
    bool ScanBlocks(const uint8_t* data, size_t size);
    const BirdBlock* InfoBlock() const;
    void Reset();
};

#endif
