// The BIRD writer, reader, report and birdtool against the files kept in
// tests/store/data (made with birdtool).
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

#include "TempDir.h"
#include "store/BirdFile.h"
#include "store/BirdReport.h"
#include "store/BirdWriter.h"
#include "support/ProgramRunner.h"

namespace {

const std::string DATA = std::string(TEST_SOURCE_DIR) + "/tests/store/data/";
const std::string BIRDTOOL = std::string(TEST_BINARY_DIR) + "/tools/birdtool";

std::vector<uint8_t> readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& path)
{
    std::vector<uint8_t> b = readBytes(path);
    return std::string(b.begin(), b.end());
}

// The blocks that basic.bird was made from.
BirdWriter basicWriter()
{
    BirdWriter w;
    w.AddLoader(0x10000000, readBytes(DATA + "loader.bin"), 2);
    w.AddFirmware(0, readBytes(DATA + "fw.bin"));
    w.AddSerialOffsets(0x120, 0x126);
    w.AddInfo(1234, "1.2.3", 0x0000ABCD, "Harbor3p");
    w.AddEntryAddress(0x20000400);
    return w;
}

TEST(BirdGoldenTest, WriterMakesTheKeptBody)
{
    BirdFile kept(DATA + "basic.bird");
    std::vector<uint8_t> body = basicWriter().Body();
    ASSERT_EQ(body.size(), kept.image_size);
    EXPECT_EQ(body, std::vector<uint8_t>(kept.image.get(), kept.image.get() + kept.image_size));
    EXPECT_TRUE(BirdFile::VerifyFile(DATA + "basic.bird"));
}

TEST(BirdGoldenTest, ReportMatchesTheKeptText)
{
    BirdFile kept(DATA + "basic.bird");
    EXPECT_EQ(readText(DATA + "basic.txt"), BirdReport(kept));
}

TEST(BirdGoldenTest, PatchedKeptFileCarriesTheSerialNumber)
{
    BirdFile kept(DATA + "basic.bird");
    ASSERT_TRUE(kept.has_serial_block);
    ASSERT_TRUE(kept.ReplaceSerialNumber(0x40F5849A));
    ASSERT_TRUE(kept.ReplaceVectorChecksum());
    const uint8_t* img = kept.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].data + 4;
    EXPECT_EQ(0x9A, img[0x120]);
    EXPECT_EQ(0x40, img[0x123]);
    EXPECT_EQ('4', img[0x126]);
    EXPECT_EQ(0, img[0x127]);
    EXPECT_EQ('A', img[0x126 + 14]);
    uint32_t sum = 0;
    for (int i = 0; i < 8; ++i) {
        if (i != 5)
            sum += img[4 * i] | (img[4 * i + 1] << 8) | (img[4 * i + 2] << 16) | (uint32_t(img[4 * i + 3]) << 24);
    }
    EXPECT_EQ(0u, sum);
}

TEST(BirdGoldenTest, ToolCreatesAndShowsFiles)
{
    TempDir tmp;
    std::string out = tmp.sub("made.bird");
    RunResult r = RunProgram({BIRDTOOL, "create", "-o", out, "--loader", "0x10000000:" + DATA + "loader.bin:2",
                              "--firmware", "0:" + DATA + "fw.bin", "--serial-offset", "0x120",
                              "--descriptor-offset", "294", "--build", "1234", "--version", "1.2.3", "--serial",
                              "ABCD", "--model", "Harbor3p", "--entry", "0x20000400"});
    ASSERT_TRUE(r.started);
    ASSERT_EQ(0, r.status) << r.err;
    BirdFile made(out);
    BirdFile kept(DATA + "basic.bird");
    ASSERT_EQ(kept.image_size, made.image_size);
    EXPECT_EQ(0, std::memcmp(kept.image.get(), made.image.get(), kept.image_size));

    r = RunProgram({BIRDTOOL, "show", DATA + "basic.bird"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("file: " + DATA + "basic.bird\n" + readText(DATA + "basic.txt"), r.out);

    r = RunProgram({BIRDTOOL, "show", DATA + "fw.bin"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Error (-3) decompressing bird file."));
    EXPECT_NE(std::string::npos, r.err.find("birdtool: cannot load"));

    // Bad input is refused and writes nothing.
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--firmware", "0:" + tmp.sub("missing.bin")},
             {"--firmware", "zz:" + DATA + "fw.bin"},
             {"--firmware", "0:" + DATA + "fw.bin:9"},
             {"--build", "-1"},
             {"--build", "4294967296"},
             {"--model", "seventeen-letters"},
             {"--entry"},
             {"--bogus", "1"}}) {
        std::vector<std::string> argv{BIRDTOOL, "create", "-o", tmp.sub("bad.bird")};
        argv.insert(argv.end(), args.begin(), args.end());
        r = RunProgram(argv);
        EXPECT_EQ(1, r.status) << args[0];
        EXPECT_FALSE(BirdFile::VerifyFile(tmp.sub("bad.bird"))) << args[0];
    }
    r = RunProgram({BIRDTOOL, "create", "--build", "1"});
    EXPECT_EQ(1, r.status);
    r = RunProgram({BIRDTOOL});
    EXPECT_EQ(2, r.status);
    r = RunProgram({BIRDTOOL, "--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("32-bit sum"));
}

TEST(BirdGoldenTest, ToolDumpsBlocks)
{
    RunResult r = RunProgram({BIRDTOOL, "dump", DATA + "basic.bird", "5"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("BIRDFILE: BLOCK DUMP [" + DATA + "basic.bird]\n \r\n000000: 20 00 04 00      \n\n", r.out);
    r = RunProgram({BIRDTOOL, "dump", DATA + "basic.bird", "32"});
    EXPECT_EQ(1, r.status);
}

} // namespace
