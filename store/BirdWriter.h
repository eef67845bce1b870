// Builds BIRD files: collects typed blocks, lays out the body (block count,
// blocks, trailing checksum), deflates it and puts the header in front.
// The trailing checksum is the 32-bit sum of every body byte before it.
#ifndef UPDATER_STORE_BIRDWRITER_H
#define UPDATER_STORE_BIRDWRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "link/aError.h"

class BirdWriter {
public:
    typedef std::vector<uint8_t> Bytes;

    // Any block, as it is; flags are 0 to 7.
    void AddBlock(uint8_t type, const Bytes& data, uint8_t flags = 0);
    void AddLoader(uint32_t address, const Bytes& code, uint8_t flags = 0);
    void AddFirmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
    // Target addresses of the serial-number word and of the descriptor text; 0 = absent.
    void AddSerialOffsets(uint32_t serialOffset, uint32_t descriptorOffset);
    // The 64-byte info block: build, version (15 characters at most), serial
    // number and model (16 at most), blank-padded.
    void AddInfo(uint32_t build, const std::string& version, uint32_t serialNumber, const std::string& model);
    void AddEntryAddress(uint32_t address);

    size_t BlockCount() const { return blocks.size(); }

    // The uncompressed body with the block count and the trailing checksum.
    Bytes Body() const;
    // The whole file: header and deflated body.
    Bytes File(uint16_t version = 0x0101) const;
    // Writes File() to path, replacing any old file in one step.
    //   aErrNone  written
    //   aErrIO, aErrNotFound, aErrParam  as AtomicFile_Write
    aErr Write(const std::string& path, uint16_t version = 0x0101) const;

    // Header and deflated body around any body bytes (tests use it to make
    // files whose tables do not add up). AUTO_LEVEL picks the strongest
    // compression that a reader can still inflate; a zlib level (0 to 9)
    // is used as it is.
    static constexpr int AUTO_LEVEL = -2;
    static constexpr size_t INFLATE_LIMIT = 8;
    static Bytes Wrap(const Bytes& body, uint16_t version = 0x0101, int level = AUTO_LEVEL);
    // 32-bit sum of the bytes.
    static uint32_t Sum(const Bytes& bytes);

private:
    struct Block {
        uint8_t typeAndFlags;
        Bytes data;
    };
    std::vector<Block> blocks;
};

#endif
