// BIRD files from arbitrary bytes: loading, the getters and every patch must
// stay inside the inflated body. An input whose first byte is odd is taken
// as the inflated body itself (wrapped in a header and stored deflate
// blocks), so that mutations reach the block parser instead of dying in zlib;
// any other input is taken as a whole file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "store/BirdFile.h"
#include "store/BirdReport.h"
#include "store/BirdWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BirdFile bird;
    bird.path = "fuzz.bird";
    if (size > 0 && (data[0] & 1)) {
        BirdWriter::Bytes body(data + 1, data + size);
        BirdWriter::Bytes file = BirdWriter::Wrap(body, BirdFile::BIRD_FILE_VERSION, 0);
        bird.LoadBytes(file.data(), file.size());
    } else {
        bird.LoadBytes(data, size);
    }
    for (uint8_t type = 0; type < 8; ++type)
        bird.FindBlocks(type);
    bird.GetBuild();
    bird.GetVersion();
    bird.GetSerialNumber();
    bird.ValidateModel("Harbor");
    bird.ValidateModel("");
    std::string report = BirdReport(bird);
    bird.ReplaceSerialNumber(0x1A2B3C4D);
    bird.ReplaceVectorChecksum();
    const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    bird.DecodeFirmwareBlocks(key);
    const uint8_t pattern[] = {0x4D, 0x3C};
    bird.ValidateData(pattern, sizeof pattern);
    BirdFile moved(std::move(bird));
    moved.ReplaceSerialNumber(7);
    return 0;
}
