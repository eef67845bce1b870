// LPC serial ISP client: the uuencoding and sector helpers, command texts and
// data phases byte for byte against a scripted stream, and whole exchanges
// with the simulated boot ROM on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/BootRomHarness.h"
#include "ScriptedStream.h"
#include "recovery/NXPSerial.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

size_t CountLines(const std::string& text)
{
    size_t n = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
        ++n;
    return n;
}

} // namespace

TEST(NXPSerialCoding, UuencodeKnownLines)
{
    char line[80];
    const uint8_t zeros[3] = {0, 0, 0};
    EXPECT_EQ(3u, NXPSerialClass::uuencode(line, zeros, 3));
    EXPECT_STREQ("#````", line);
    const uint8_t a = 0x41;
    EXPECT_EQ(1u, NXPSerialClass::uuencode(line, &a, 1));
    EXPECT_STREQ("!00``", line);
}

TEST(NXPSerialCoding, RoundTripsEveryLineLength)
{
    for (size_t n = 1; n <= NXPSerialClass::MAX_BYTES_PER_LINE; ++n) {
        std::vector<uint8_t> data = RandomBytes(n, unsigned(n));
        char line[80];
        NXPSerialClass::uuencode(line, data.data(), n);
        // Only printable characters go on the wire: no blank, nothing above the grave accent.
        for (const char* c = line; *c; ++c)
            ASSERT_TRUE(*c > 32 && *c <= 96) << "length " << n;
        std::vector<uint8_t> back(n + 4, 0xEE);
        ASSERT_EQ(n, NXPSerialClass::uudecode(back.data(), n, line));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin())) << "length " << n;
        EXPECT_EQ(0xEE, back[n]) << "wrote past the count, length " << n;
    }
}

TEST(NXPSerialCoding, DecoderRefusesSmallBuffersAndShortLines)
{
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(0u, NXPSerialClass::uudecode(buffer, 2, "#````"));
    EXPECT_EQ(0xEE, buffer[0]);

    // The line promises 6 bytes but carries 3: the rest is zero, nothing beyond 6 is touched.
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(6u, NXPSerialClass::uudecode(buffer, sizeof buffer, "&0$%&\r\n"));
    EXPECT_EQ(0, buffer[3]);
    EXPECT_EQ(0, buffer[5]);
    EXPECT_EQ(0xEE, buffer[6]);
    EXPECT_EQ(0u, NXPSerialClass::uudecode(buffer, sizeof buffer, ""));
}

TEST(NXPSerialHelpers, SectorsCopyLengthsTimingAndTexts)
{
    EXPECT_EQ(0u, NXPSerialClass::SectorFromAddress(0x0FFF));
    EXPECT_EQ(1u, NXPSerialClass::SectorFromAddress(0x1000));
    EXPECT_EQ(15u, NXPSerialClass::SectorFromAddress(0xFFFF));
    EXPECT_EQ(16u, NXPSerialClass::SectorFromAddress(0x10000));
    EXPECT_EQ(17u, NXPSerialClass::SectorFromAddress(0x18000));
    EXPECT_EQ(29u, NXPSerialClass::SectorFromAddress(0x7FFFF));
    EXPECT_EQ(30u, NXPSerialClass::SectorFromAddress(0x80000));

    EXPECT_EQ(256u, NXPSerialClass::CopyLength(1));
    EXPECT_EQ(512u, NXPSerialClass::CopyLength(300));
    EXPECT_EQ(4096u, NXPSerialClass::CopyLength(1808));
    EXPECT_EQ(4096u, NXPSerialClass::CopyLength(4096));
    EXPECT_EQ(5000u, NXPSerialClass::CopyLength(5000));

    EXPECT_EQ(16u, NXPSerialClass::WAIT_TIME_MS(14, 9600));
    EXPECT_EQ(2u, NXPSerialClass::WAIT_TIME_MS(14, 115200));

    EXPECT_STREQ("CODE_READ_PROTECTION_ENABLED", NXPSerialClass::GetErrorText("19"));
    EXPECT_STREQ("SECTOR_NOT_BLANK", NXPSerialClass::GetErrorText("8\r\n"));
    EXPECT_STREQ("Unknown error", NXPSerialClass::GetErrorText("42"));
    EXPECT_STREQ("Unknown error", NXPSerialClass::GetErrorText("-1"));
    EXPECT_STREQ("Unknown error", NXPSerialClass::GetErrorText("OK"));

    EXPECT_EQ(6u, NXPSerialClass::BaudIndex(100000));
    EXPECT_EQ(2u, NXPSerialClass::BaudIndex(9600));
    EXPECT_EQ(2u, NXPSerialClass::BaudIndex(1000000));
    EXPECT_EQ(7u, NXPSerialClass::BaudIndex(230400));
    EXPECT_EQ(0u, NXPSerialClass::BaudIndex(0));
}

// Scripted exchanges: what goes on the wire, byte for byte.
class NXPSerialScripted : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(aErrNone, isp.Attach(chip.Make(), 115200)); }
    ScriptedStream chip;
    NXPSerialClass isp;
};

TEST_F(NXPSerialScripted, RefusedArgumentsSendNothing)
{
    EXPECT_EQ(aErrParam, isp.Prepare(5, 3));
    EXPECT_EQ(aErrParam, isp.Erase(9, 8));
    EXPECT_EQ(aErrParam, isp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256));
    EXPECT_EQ(aErrParam, isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 2048));
    uint8_t data[8] = {0};
    EXPECT_EQ(aErrParam, isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data));
    EXPECT_EQ(aErrParam, isp.Read(0, 0, data));
    EXPECT_EQ("", chip.written);
}

TEST_F(NXPSerialScripted, CommandTextsAndEchoHandling)
{
    // The chip echoes the command; the client eats all but its last byte
    // and skips the leftover line feed before the return code.
    chip.input = "U 23130\r\n0\r\n";
    EXPECT_EQ(aErrNone, isp.Unlock());
    EXPECT_EQ("U 23130\r\n", chip.written);

    chip.written.clear();
    chip.input = "P 0 29\r\n0\r\nE 0 29\r\n8\r\n";
    EXPECT_EQ(aErrNone, isp.Prepare(0, 29));
    EXPECT_EQ(aErrParam, isp.Erase(0, 29)) << "return code 8 is a refusal";
    EXPECT_EQ("P 0 29\r\nE 0 29\r\n", chip.written);

    chip.written.clear();
    chip.input = "A 0\r\n0\r\n";
    EXPECT_EQ(aErrNone, isp.SetEcho(false));
    EXPECT_FALSE(isp.Echo());
    chip.input = "0\r\n";
    EXPECT_EQ(aErrNone, isp.CopyToFlash(0x10000, NXPSerialClass::WRITE_ADDRESS, 4096));
    EXPECT_EQ(aErrNone, isp.ExecuteFrom(0));
    EXPECT_EQ("A 0\r\nC 65536 268439552 4096\r\nG 0 T\r\n", chip.written);
}

TEST_F(NXPSerialScripted, SilenceIsNotAcceptance)
{
    EXPECT_EQ(aErrNotReady, isp.Unlock());
    chip.input = "N\r\n0\r\n12\r\n";
    EXPECT_NE(aErrNone, isp.GetDeviceID()) << "two of four identity words missing";
    EXPECT_EQ(0u, isp.DeviceID()[0]);
}

TEST_F(NXPSerialScripted, DeviceIdWordsInOrder)
{
    chip.input = "N\r\n0\r\n1\r\n0x20\r\n4294967295\r\n305419896\r\n";
    ASSERT_EQ(aErrNone, isp.GetDeviceID());
    EXPECT_EQ(1u, isp.DeviceID()[0]);
    EXPECT_EQ(0x20u, isp.DeviceID()[1]);
    EXPECT_EQ(0xFFFFFFFFu, isp.DeviceID()[2]);
    EXPECT_EQ(0x12345678u, isp.DeviceID()[3]);
}

TEST_F(NXPSerialScripted, WriteSendsTwentyLinesPerChecksumAndResendsOnRequest)
{
    chip.input = "A 0\r\n0\r\n";
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    std::vector<uint8_t> data = RandomBytes(900, 7);
    chip.written.clear();
    chip.input = "0\r\nRESEND\r\nOK\r\n";
    ASSERT_EQ(aErrNone, isp.Write(NXPSerialClass::WRITE_ADDRESS, 900, data.data()));

    std::string header = "W 268439552 900\r\n";
    ASSERT_EQ(0u, chip.written.find(header));
    std::string rest = chip.written.substr(header.size());
    // Two rounds of 20 lines of 45 bytes, each followed by its checksum line.
    EXPECT_EQ(42u, CountLines(rest));
    std::string sumLine = std::to_string(NXPSerialClass::sum(data.data(), 900)) + "\r\n";
    size_t firstSum = rest.find(sumLine);
    ASSERT_NE(std::string::npos, firstSum);
    EXPECT_EQ(rest.substr(0, firstSum + sumLine.size()), rest.substr(firstSum + sumLine.size()));
    char first[80];
    NXPSerialClass::uuencode(first, data.data(), 45);
    EXPECT_EQ(0u, rest.find(std::string(first) + "\r\n"));
}

TEST_F(NXPSerialScripted, WriteGivesUpAfterThreeChecksumFailures)
{
    chip.input = "A 0\r\n0\r\n";
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    std::vector<uint8_t> data = RandomBytes(8, 3);
    chip.input = "0\r\nRESEND\r\nRESEND\r\nRESEND\r\n";
    EXPECT_EQ(aErrTimeout, isp.Write(NXPSerialClass::WRITE_ADDRESS, 8, data.data()));
    chip.input = "0\r\nWHAT\r\n";
    EXPECT_EQ(aErrIO, isp.Write(NXPSerialClass::WRITE_ADDRESS, 8, data.data()));
}

TEST_F(NXPSerialScripted, ResponseSkipsLeadingLineEndsAndZeros)
{
    char buffer[16] = {0};
    size_t count = 0;
    chip.input = std::string("\r\n\0OK\r\nrest", 11);
    EXPECT_EQ(aErrNone, isp.Response(buffer, sizeof buffer, count, "OK\r\n", 4));
    EXPECT_EQ(4u, count);
    EXPECT_EQ(0, std::memcmp(buffer, "OK\r\n", 4));
    EXPECT_EQ("rest", chip.input);

    char line[16];
    chip.input = "\n\nabc\r\nx";
    EXPECT_EQ(aErrNone, isp.GetLine(line, sizeof line, count, 100));
    EXPECT_STREQ("abc\r\n", line);
    // A line longer than the buffer stops at the buffer's end.
    chip.input = "0123456789ABCDEFGH\r\n";
    EXPECT_EQ(aErrNone, isp.GetLine(line, sizeof line, count, 100));
    EXPECT_EQ(15u, count);
}

// Against the simulated boot ROM.
class NXPSerialRom : public ::testing::Test {
protected:
    bool StartRom(std::vector<std::string> extra = {})
    {
        std::vector<std::string> options{"--kind", "isp", "--uid", "DEADBEEF,1,80000000,7FFFFFFF"};
        options.insert(options.end(), extra.begin(), extra.end());
        return rom.Start(options);
    }
    BootRomHarness rom;
    NXPSerialClass isp;
};

TEST_F(NXPSerialRom, SyncsAndReadsTheIdentity)
{
    ASSERT_TRUE(StartRom());
    ASSERT_EQ(aErrNone, isp.Connect(rom.PtyPath().c_str(), 115200));
    EXPECT_EQ(115200u, isp.BaudRate());
    ASSERT_EQ(aErrNone, isp.Sync());
    ASSERT_EQ(aErrNone, isp.GetDeviceID());
    EXPECT_EQ(0xDEADBEEFu, isp.DeviceID()[0]);
    EXPECT_EQ(1u, isp.DeviceID()[1]);
    EXPECT_EQ(0x80000000u, isp.DeviceID()[2]);
    EXPECT_EQ(0x7FFFFFFFu, isp.DeviceID()[3]);
    int major = 0, minor = 0;
    EXPECT_EQ(aErrNone, isp.GetBootLoaderVersion(major, minor));
    EXPECT_EQ(4, major);
    EXPECT_EQ(1, minor);
    EXPECT_EQ(1u, rom.CountTrace("SYNCED crystal 14746"));
}

TEST_F(NXPSerialRom, WritesAndReadsBackWithAndWithoutEcho)
{
    ASSERT_TRUE(StartRom());
    ASSERT_EQ(aErrNone, isp.Connect(rom.PtyPath().c_str(), 115200));
    ASSERT_EQ(aErrNone, isp.Sync());
    for (bool echo : {true, false}) {
        if (!echo) {
            ASSERT_EQ(aErrNone, isp.SetEcho(false));
        }
        std::vector<uint8_t> data = RandomBytes(1024, echo ? 1 : 2);
        ASSERT_EQ(aErrNone, isp.Write(NXPSerialClass::WRITE_ADDRESS, 1024, data.data())) << "echo " << echo;
        std::vector<uint8_t> back(1024, 0);
        ASSERT_EQ(aErrNone, isp.Read(NXPSerialClass::WRITE_ADDRESS, 1024, back.data())) << "echo " << echo;
        EXPECT_EQ(data, back) << "echo " << echo;
    }
    std::string ram = rom.Ram();
    ASSERT_EQ(0x8000u, ram.size());
}

TEST_F(NXPSerialRom, ChecksumFailuresAreResent)
{
    ASSERT_TRUE(StartRom({"--fault", "badsum-once"}));
    ASSERT_EQ(aErrNone, isp.Connect(rom.PtyPath().c_str(), 115200));
    ASSERT_EQ(aErrNone, isp.Sync());
    ASSERT_EQ(aErrNone, isp.SetEcho(false));
    std::vector<uint8_t> data = RandomBytes(2000, 5);
    ASSERT_EQ(aErrNone, isp.Write(NXPSerialClass::WRITE_ADDRESS, 2000, data.data()));
    EXPECT_EQ(1u, rom.CountTrace("SUM BAD"));
    EXPECT_EQ(3u, rom.CountTrace("SUM OK"));
    std::string ram = rom.Ram();
    ASSERT_EQ(0x1000u + 2000u <= ram.size(), true);
    EXPECT_EQ(std::string(data.begin(), data.end()), ram.substr(0x1000, 2000));

    // The ROM's own checksum fails once on the way back: asked again, right the second time.
    ASSERT_EQ("OK", rom.Command("FAULT -badsum-once"));
    std::vector<uint8_t> back(2000, 0);
    ASSERT_EQ(aErrNone, isp.Read(NXPSerialClass::WRITE_ADDRESS, 2000, back.data()));
    EXPECT_EQ(data, back);
}

TEST_F(NXPSerialRom, FlashNeedsUnlockPrepareAndErase)
{
    ASSERT_TRUE(StartRom());
    ASSERT_EQ(aErrNone, isp.Connect(rom.PtyPath().c_str(), 115200));
    ASSERT_EQ(aErrNone, isp.Sync());
    EXPECT_EQ(aErrParam, isp.Erase(0, 1)) << "locked";
    ASSERT_EQ(aErrNone, isp.Unlock());
    EXPECT_EQ(aErrParam, isp.Erase(0, 1)) << "not prepared";
    ASSERT_EQ(aErrNone, isp.Prepare(0, 1));
    ASSERT_EQ(aErrNone, isp.Erase(0, 1));
    std::vector<uint8_t> data = RandomBytes(256, 9);
    ASSERT_EQ(aErrNone, isp.Write(NXPSerialClass::WRITE_ADDRESS, 256, data.data()));
    ASSERT_EQ(aErrNone, isp.Prepare(1, 1));
    ASSERT_EQ(aErrNone, isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 256));
    std::string flash = rom.Flash();
    ASSERT_EQ(0x80000u, flash.size());
    EXPECT_EQ(std::string(data.begin(), data.end()), flash.substr(0x1000, 256));
    EXPECT_EQ(std::string(256, '\xFF'), flash.substr(0x1100, 256));
}

TEST_F(NXPSerialRom, SilentAndGarbledRomsDoNotSync)
{
    ASSERT_TRUE(StartRom({"--fault", "silent"}));
    ASSERT_EQ(aErrNone, isp.Connect(rom.PtyPath().c_str(), 115200));
    EXPECT_EQ(aErrNotReady, isp.Sync());
    rom.Stop();

    BootRomHarness garbled;
    ASSERT_TRUE(garbled.Start({"--kind", "isp", "--fault", "garble"}));
    NXPSerialClass other;
    ASSERT_EQ(aErrNone, other.Connect(garbled.PtyPath().c_str(), 115200));
    EXPECT_NE(aErrNone, other.Sync());
}

TEST(NXPSerialConnect, MissingPortIsReported)
{
    NXPSerialClass isp;
    EXPECT_NE(aErrNone, isp.Connect("/nonexistent/tty-for-test", 115200));
    EXPECT_FALSE(isp.IsConnected());
    EXPECT_EQ(aErrParam, isp.Unlock());
}
