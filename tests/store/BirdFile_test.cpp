#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "TempDir.h"
#include "store/BirdFile.h"
#include "store/BirdWriter.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void putInt(Bytes& out, uint32_t v)
{
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes fill(size_t n, uint8_t start = 0)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(start + i * 7);
    return b;
}

Bytes littleWords(const std::vector<uint32_t>& words)
{
    Bytes out;
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    }
    return out;
}

uint32_t wordAt(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

Bytes infoFields(const std::string& build, const std::string& version, const std::string& serial,
                 const std::string& model)
{
    Bytes b;
    for (const std::string* f : {&build, &version, &serial, &model}) {
        std::string field = *f;
        field.resize(16, ' ');
        b.insert(b.end(), field.begin(), field.end());
    }
    return b;
}

class BirdFileTest : public ::testing::Test {
protected:
    TempDir tmp;

    std::string save(const std::string& name, const Bytes& bytes)
    {
        tmp.write(name, std::string(bytes.begin(), bytes.end()));
        return tmp.sub(name);
    }
    BirdFile loadFrom(const BirdWriter& w)
    {
        return BirdFile(save("f.bird", w.File()));
    }
};

TEST_F(BirdFileTest, VerifyChecksOnlySignatureAndVersionBytes)
{
    EXPECT_TRUE(BirdFile::VerifyFile(save("a", {'b', 'i', 'r', 'd', 1, 1})));
    EXPECT_FALSE(BirdFile::VerifyFile(save("b", {'b', 'i', 'r', 'd', 1, 0})));
    EXPECT_FALSE(BirdFile::VerifyFile(save("c", {'b', 'i', 'r', 'd', 0, 1})));
    EXPECT_FALSE(BirdFile::VerifyFile(save("d", {'b', 'i', 'r', 'd', 1})));
    EXPECT_FALSE(BirdFile::VerifyFile(save("e", {'B', 'I', 'R', 'D', 1, 1, 0, 0})));
    EXPECT_FALSE(BirdFile::VerifyFile(tmp.sub("missing")));
    EXPECT_TRUE(BirdFile::VerifyFile(save("f", {'b', 'i', 'r', 'd', 2, 7, 0xFF})));
}

TEST_F(BirdFileTest, LoadsEveryBlockKind)
{
    BirdWriter w;
    w.AddLoader(0x10000000, fill(40), 3);
    w.AddFirmware(0, fill(300, 5), 5);
    w.AddSerialOffsets(0x100, 0x120);
    w.AddInfo(1234, "1.2.3", 0x0000ABCD, "Harbor3p");
    w.AddEntryAddress(0x20000400);
    w.AddBlock(9, {1, 2, 3});
    BirdFile f = loadFrom(w);

    EXPECT_EQ(BirdFile::BIRD_FILE_SIGNATURE, f.signature);
    EXPECT_EQ(BirdFile::BIRD_FILE_VERSION, f.version);
    EXPECT_EQ(6u, f.block_count);
    ASSERT_EQ(6u, f.blocks.size());
    Bytes body = w.Body();
    EXPECT_EQ(body.size(), f.image_size);
    EXPECT_EQ(BirdWriter::Sum(Bytes(body.begin(), body.end() - 4)), f.checksum);

    EXPECT_EQ(BirdFile::BLOCK_LOADER, f.blocks[0].type);
    EXPECT_EQ(3, f.blocks[0].flags);
    EXPECT_EQ(44u, f.blocks[0].length);
    EXPECT_EQ(0x10000000u, f.blocks[0].address);
    EXPECT_EQ(5, f.blocks[1].flags);
    EXPECT_EQ(0u, f.blocks[1].address);
    EXPECT_EQ(0u, f.blocks[2].address); // only loader and firmware blocks have one
    EXPECT_EQ(9, f.blocks[5].type);
    EXPECT_EQ(0, std::memcmp(f.blocks[1].data + 4, fill(300, 5).data(), 300));

    EXPECT_TRUE(f.has_serial_block);
    EXPECT_EQ(0x100u, f.serial_offset);
    EXPECT_EQ(0x120u, f.descriptor_offset);
    EXPECT_EQ(1234u, f.GetBuild());
    EXPECT_EQ("1.2.3", f.GetVersion());
    EXPECT_EQ(0xABCDu, f.GetSerialNumber());
    EXPECT_TRUE(f.ValidateSerialNumber(0xABCD));
    EXPECT_FALSE(f.ValidateSerialNumber(0xABCE));
    EXPECT_EQ("Harbor3p", f.GetModel());

    std::vector<BirdBlock> fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(1u, fw.size());
    EXPECT_EQ(f.blocks[1].data, fw[0].data);
    EXPECT_TRUE(f.FindBlocks(3).empty());
}

TEST_F(BirdFileTest, FailedLoadsAndTheThrowingConstructor)
{
    LogCapture log(DEBUG_BirdFile);
    BirdFile f;
    f.path = tmp.sub("missing.bird");
    EXPECT_FALSE(f.Load());
    EXPECT_TRUE(log.contains("BIRDFILE: BIRD file not found [" + f.path + "]\n"));

    try {
        BirdFile g(tmp.sub("missing.bird"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Failed to load bird data", e.what());
    }

    // Header only: no body to inflate.
    f.path = save("short.bird", {'b', 'i', 'r', 'd', 1, 1});
    EXPECT_FALSE(f.Load());
    // A body that is not a zlib stream.
    f.path = save("junk.bird", {'b', 'i', 'r', 'd', 1, 1, 1, 2, 3, 4, 5});
    EXPECT_FALSE(f.Load());
    EXPECT_EQ(0u, f.image_size);
    EXPECT_EQ(0u, f.block_count);
    // A directory is not a file.
    f.path = tmp.path();
    EXPECT_FALSE(f.Load());
}

TEST_F(BirdFileTest, BodyInflatingBeyondEightTimesIsABufferError)
{
    LogCapture log(DEBUG_BirdFile);
    Bytes body(4000, 0);
    BirdFile f;
    f.path = save("big.bird", BirdWriter::Wrap(body, 0x0101, 9));
    EXPECT_FALSE(f.Load());
    EXPECT_TRUE(log.contains("BIRDFILE: Error (-5) decompressing bird file.\n"));

    // The writer keeps such a body loadable by compressing it less.
    BirdWriter w;
    w.AddFirmware(0, Bytes(4000, 0));
    BirdFile g = loadFrom(w);
    EXPECT_EQ(1u, g.block_count);
}

TEST_F(BirdFileTest, TablesThatDoNotAddUpStillLoadWhatParses)
{
    LogCapture log(DEBUG_BirdFile);
    Bytes body;
    putInt(body, 3);
    for (uint8_t t : {1, 4}) {
        body.push_back(t);
        putInt(body, 8);
        putInt(body, 0x100);
        putInt(body, 0x200);
    }
    putInt(body, 0xCAFEF00D);
    BirdFile f;
    f.path = save("count.bird", BirdWriter::Wrap(body));
    EXPECT_TRUE(f.Load());
    EXPECT_EQ(2u, f.block_count);
    EXPECT_EQ(0xCAFEF00Du, f.checksum);
    EXPECT_TRUE(log.contains("Block parsing mismatch in number of blocks. (2 != 3)"));

    // Bytes after the checksum make the checksum look like a block header.
    Bytes extra = body;
    extra.push_back(0xEE);
    extra.push_back(0xEE);
    f.path = save("extra.bird", BirdWriter::Wrap(extra));
    EXPECT_TRUE(f.Load());
    EXPECT_EQ(2u, f.block_count);

    // A checksum cut short.
    Bytes cut(body.begin(), body.end() - 2);
    f.path = save("cut.bird", BirdWriter::Wrap(cut));
    EXPECT_TRUE(f.Load());
    EXPECT_EQ(2u, f.block_count);
    EXPECT_TRUE(log.contains("Block parsing mismatch in data size. (-2 bytes remaining)"));
}

TEST_F(BirdFileTest, BlockRunningPastTheEndIsDropped)
{
    Bytes body;
    putInt(body, 2);
    body.push_back(BirdFile::BLOCK_FIRMWARE);
    putInt(body, 8);
    putInt(body, 0);
    putInt(body, 0x11223344);
    body.push_back(BirdFile::BLOCK_FIRMWARE);
    putInt(body, 0xFFFFFFF0); // far more than is left
    putInt(body, 0);
    putInt(body, 0);
    BirdFile f;
    f.path = save("trunc.bird", BirdWriter::Wrap(body));
    EXPECT_TRUE(f.Load());
    ASSERT_EQ(1u, f.block_count);
    EXPECT_EQ(8u, f.blocks[0].length);

    // Blocks too short for their address word or their offsets are harmless.
    BirdWriter w;
    w.AddBlock(BirdFile::BLOCK_FIRMWARE, {1, 2});
    w.AddBlock(BirdFile::BLOCK_SERIAL_OFFSETS, {0, 0, 1});
    BirdFile g = loadFrom(w);
    EXPECT_EQ(0u, g.blocks[0].address);
    EXPECT_TRUE(g.has_serial_block);
    EXPECT_EQ(0u, g.serial_offset);
    EXPECT_FALSE(g.ReplaceSerialNumber(1));
    uint32_t key[4] = {1, 2, 3, 4};
    EXPECT_TRUE(g.DecodeFirmwareBlocks(key));
    EXPECT_TRUE(g.ReplaceVectorChecksum());
}

TEST_F(BirdFileTest, InfoFieldsAreReadByTheirOwnRules)
{
    BirdWriter w;
    w.AddBlock(BirdFile::BLOCK_INFO, infoFields("00001234", "1.2.3", "0000abcd", "Relay  Pro"));
    w.AddInfo(99, "9.9.9", 1, "Other"); // only the first info block counts
    BirdFile f = loadFrom(w);
    EXPECT_EQ(1234u, f.GetBuild());
    EXPECT_EQ("1.2.3", f.GetVersion());
    EXPECT_EQ(0xABCDu, f.GetSerialNumber());
    EXPECT_EQ("Relay  Pro", f.GetModel());

    // Fields using all 16 bytes: build and version read 15 characters.
    BirdWriter full;
    full.AddBlock(BirdFile::BLOCK_INFO,
                  infoFields("1234567890123456", "abcdefghijklmnop", "DEADBEEFxx", "ABCDEFGHIJKLMNOP"));
    BirdFile g = loadFrom(full);
    EXPECT_EQ(static_cast<uint32_t>(123456789012345ull), g.GetBuild());
    EXPECT_EQ("abcdefghijklmno", g.GetVersion());
    EXPECT_EQ(0xDEADBEEFu, g.GetSerialNumber());
    EXPECT_EQ("ABCDEFGHIJKLMNOP", g.GetModel());
}

TEST_F(BirdFileTest, ShortOrMissingInfoBlockGivesEmptyAnswers)
{
    BirdWriter w;
    w.AddBlock(BirdFile::BLOCK_INFO, Bytes(63, '7'));
    BirdFile f = loadFrom(w);
    EXPECT_EQ(1u, f.block_count);
    EXPECT_EQ(0u, f.GetBuild());
    EXPECT_EQ("", f.GetVersion());
    EXPECT_EQ(0u, f.GetSerialNumber());
    EXPECT_FALSE(f.ValidateModel(""));

    BirdWriter none;
    none.AddFirmware(0, fill(8));
    BirdFile g = loadFrom(none);
    EXPECT_EQ(0u, g.GetBuild());
    EXPECT_EQ("", g.GetVersion());
    EXPECT_FALSE(g.ValidateModel(""));
    EXPECT_FALSE(g.has_serial_block);
    EXPECT_FALSE(g.FindSerialNumberOffsets());
}

TEST_F(BirdFileTest, ModelMatchesByPrefix)
{
    LogCapture log(DEBUG_BirdFile);
    BirdWriter w;
    w.AddInfo(1, "1.0.0", 2, "Harbor3c");
    BirdFile f = loadFrom(w);
    EXPECT_TRUE(f.ValidateModel("Harbor3c"));
    EXPECT_TRUE(log.contains("Model matches model number ([Harbor3c] == [Harbor3c])\n"));
    EXPECT_TRUE(f.ValidateModel("Harbor"));
    EXPECT_TRUE(f.ValidateModel(""));
    EXPECT_FALSE(f.ValidateModel("Harbor3cx"));
    EXPECT_FALSE(f.ValidateModel("Harbor3p"));
    EXPECT_FALSE(f.ValidateModel("harbor3c"));
}

TEST_F(BirdFileTest, SerialNumberIsPatchedAsWordAndAsDescriptorText)
{
    BirdWriter w;
    w.AddFirmware(0, Bytes(0x300, 0xEE));
    w.AddSerialOffsets(0x100, 0x200);
    BirdFile f = loadFrom(w);
    ASSERT_TRUE(f.ReplaceSerialNumber(0x1A2B3C4D));
    const uint8_t* img = f.blocks[0].data + 4;
    EXPECT_EQ(0x4D, img[0x100]);
    EXPECT_EQ(0x3C, img[0x101]);
    EXPECT_EQ(0x2B, img[0x102]);
    EXPECT_EQ(0x1A, img[0x103]);
    EXPECT_EQ(0xEE, img[0x104]);
    const char text[] = "1A2B3C4D";
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(text[i], img[0x200 + 2 * i]) << i;
        EXPECT_EQ(0xEE, img[0x201 + 2 * i]) << i;
    }
    EXPECT_EQ(0xEE, img[0x1FF]);
    EXPECT_EQ(0xEE, img[0x210]);

    // A second call overwrites the first.
    ASSERT_TRUE(f.ReplaceSerialNumber(0x00000001));
    EXPECT_EQ(1u, wordAt(img + 0x100));
    EXPECT_EQ('0', img[0x200]);
    EXPECT_EQ('1', img[0x20E]);
}

TEST_F(BirdFileTest, SerialPatchStaysInsideTheImage)
{
    // Image at 0x1000 of 0x20 bytes: the word fits in its last four bytes,
    // the descriptor text in its first sixteen.
    BirdWriter w;
    w.AddFirmware(0x1000, Bytes(0x20, 0));
    w.AddSerialOffsets(0x101C, 0x1000);
    BirdFile f = loadFrom(w);
    ASSERT_TRUE(f.ReplaceSerialNumber(0xA1B2C3D4));
    const uint8_t* img = f.blocks[0].data + 4;
    EXPECT_EQ(0xA1B2C3D4u, wordAt(img + 0x1C));
    EXPECT_EQ('A', img[0]);
    EXPECT_EQ('4', img[14]);

    BirdWriter w2;
    w2.AddFirmware(0x1000, Bytes(0x20, 0));
    w2.AddSerialOffsets(0x101D, 0); // one byte too far
    BirdFile g = loadFrom(w2);
    EXPECT_TRUE(g.ReplaceSerialNumber(0xFFFFFFFF)); // offset set: true even when nothing fits
    EXPECT_EQ(Bytes(0x20, 0), Bytes(g.blocks[0].data + 4, g.blocks[0].data + 0x24));

    BirdWriter w3;
    w3.AddFirmware(0x1000, Bytes(0x20, 0));
    w3.AddSerialOffsets(0, 0x1011); // descriptor only, past the end
    BirdFile h = loadFrom(w3);
    EXPECT_FALSE(h.ReplaceSerialNumber(5));

    BirdWriter w4; // offsets but no firmware
    w4.AddLoader(0, Bytes(0x20, 0));
    w4.AddSerialOffsets(4, 8);
    BirdFile k = loadFrom(w4);
    EXPECT_FALSE(k.ReplaceSerialNumber(5));
    EXPECT_EQ(Bytes(0x20, 0), Bytes(k.blocks[0].data + 4, k.blocks[0].data + 0x24));

    // An offset near the top of the address space must not wrap around.
    BirdWriter w5;
    w5.AddFirmware(0xFFFFFFF0, Bytes(0x20, 0));
    w5.AddSerialOffsets(0xFFFFFFFE, 0);
    BirdFile m = loadFrom(w5);
    EXPECT_TRUE(m.ReplaceSerialNumber(5));
}

TEST_F(BirdFileTest, VectorChecksumLeavesWordFiveOut)
{
    BirdWriter w;
    w.AddFirmware(0, littleWords({1, 2, 3, 4, 5, 6, 7, 0x12345678, 99}));
    w.AddFirmware(0x4000, littleWords({1, 2, 3, 4, 5, 6, 7, 0x12345678}));
    w.AddLoader(0, littleWords({1, 2, 3, 4, 5, 6, 7, 0x12345678}));
    BirdFile f = loadFrom(w);
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    EXPECT_EQ(0xFFFFFFEAu, wordAt(f.blocks[0].data + 4 + 28));
    EXPECT_EQ(99u, wordAt(f.blocks[0].data + 4 + 32));
    EXPECT_EQ(0x12345678u, wordAt(f.blocks[1].data + 4 + 28));
    EXPECT_EQ(0x12345678u, wordAt(f.blocks[2].data + 4 + 28));
}

TEST_F(BirdFileTest, DecodingUndoesTheChainedKeyEncoding)
{
    BirdWriter w;
    w.AddFirmware(0x100, {0x01, 0x03, 0x07});
    BirdFile f = loadFrom(w);
    uint32_t zero[4] = {0, 0, 0, 0};
    EXPECT_TRUE(f.DecodeFirmwareBlocks(zero));
    EXPECT_EQ((Bytes{0x00, 0x00, 0x01, 0x00, 0x01, 0x02, 0x05}), Bytes(f.blocks[0].data, f.blocks[0].data + 7));

    // Encode two plain images the way the server does, decode them back.
    uint32_t key[4] = {0x01020304, 0xA0B0C0D0, 0x11223344, 0xFFEEDDCC};
    uint8_t k[16];
    for (int i = 0; i < 16; ++i)
        k[i] = static_cast<uint8_t>(key[i / 4] >> (24 - 8 * (i % 4)));
    Bytes plain1 = fill(37, 3), plain2 = fill(20, 100);
    auto encode = [&k](const Bytes& plain) {
        Bytes out(plain.size());
        uint8_t prev = 0;
        for (size_t i = 0; i < plain.size(); ++i) {
            out[i] = static_cast<uint8_t>(plain[i] ^ k[i % 16] ^ prev);
            prev = plain[i];
        }
        return out;
    };
    BirdWriter e;
    e.AddFirmware(0x2000, encode(plain1));
    e.AddLoader(0, plain1);
    e.AddFirmware(0x3000, encode(plain2));
    BirdFile g = loadFrom(e);
    g.DecodeFirmwareBlocks(key);
    EXPECT_EQ(0x2000u, g.blocks[0].address);
    EXPECT_EQ(0x2000u, g.blocks[0].data[2] << 8 | g.blocks[0].data[3]);
    EXPECT_EQ(plain1, Bytes(g.blocks[0].data + 4, g.blocks[0].data + 4 + 37));
    EXPECT_EQ(plain1, Bytes(g.blocks[1].data + 4, g.blocks[1].data + 4 + 37));
    EXPECT_EQ(plain2, Bytes(g.blocks[2].data + 4, g.blocks[2].data + 4 + 20));
}

TEST_F(BirdFileTest, MoveKeepsBlocksPointingIntoTheImage)
{
    BirdWriter w;
    w.AddFirmware(0, Bytes(0x40, 0));
    w.AddSerialOffsets(0x10, 0);
    w.AddInfo(7, "7.0.1", 0x42, "M");
    BirdFile a = loadFrom(w);
    const uint8_t* image = a.image.get();
    BirdFile b(std::move(a));
    EXPECT_EQ(image, b.image.get());
    EXPECT_EQ(image, b.blocks[0].data - (b.blocks[0].data - image));
    EXPECT_EQ(0u, a.block_count);
    EXPECT_TRUE(a.blocks.empty());
    EXPECT_EQ(nullptr, a.image.get());
    EXPECT_EQ("", a.GetVersion());

    BirdFile c;
    c = std::move(b);
    EXPECT_EQ("7.0.1", c.GetVersion());
    EXPECT_TRUE(c.ReplaceSerialNumber(0xCAFE));
    EXPECT_EQ(0xCAFEu, wordAt(c.image.get() + (c.blocks[0].data - c.image.get()) + 4 + 0x10));
}

TEST_F(BirdFileTest, ValidateDataFindsPatternsInFirmwareOnly)
{
    LogCapture log(DEBUG_BirdFile);
    BirdWriter w;
    w.AddLoader(0, {9, 8, 7, 6});
    w.AddFirmware(0, {1, 2, 3, 1, 2, 3});
    BirdFile f = loadFrom(w);
    const uint8_t hit[] = {1, 2, 3};
    const uint8_t miss[] = {9, 8, 7};
    EXPECT_TRUE(f.ValidateData(hit, sizeof hit));
    EXPECT_TRUE(log.contains("Found data at 4\n"));
    EXPECT_TRUE(log.contains("Found data at 7\n"));
    EXPECT_FALSE(f.ValidateData(miss, sizeof miss));
    EXPECT_FALSE(f.ValidateData(hit, 0));
}

TEST_F(BirdFileTest, DumpPrintsHexAndText)
{
    BirdWriter w;
    w.AddBlock(3, {'A', 0x01, 'B'});
    w.AddBlock(7, {});
    Bytes big(51, 'x');
    w.AddBlock(3, big);
    BirdFile f = loadFrom(w);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(f.DumpBlocks(3));
    std::string out = testing::internal::GetCapturedStdout();
    std::string row;
    for (int i = 0; i < 50; ++i)
        row += "78 ";
    std::string expected = "BIRDFILE: BLOCK DUMP [" + f.path + "]\n" + " \r\n000000: 41 01 42  A B\n" +
                           " \r\n000000: " + row + " " + std::string(50, 'x') + "\r\n000050: 78  x\n" + "\n";
    EXPECT_EQ(expected, out);
}

} // namespace
