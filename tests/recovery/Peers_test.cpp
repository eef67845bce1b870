// Third-party boot ROM tools program the simulated boot ROMs on a line paced
// like a 115200-baud UART: what they accept, a chip would accept too. A
// machine without the tools skips these with a line saying which is missing
// (scripts/setup.sh installs them).
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "support/BootRomHarness.h"
#include "support/ProgramRunner.h"
#include "support/UpdateServerHarness.h"

namespace {

std::string Tool(const char* name)
{
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
        std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return "";
}

std::string Random(size_t n, unsigned seed)
{
    std::mt19937 rng{seed};
    std::string s(n, '\0');
    for (char& c : s)
        c = char(rng());
    return s;
}

uint32_t Word(const std::string& s, size_t at)
{
    return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 | uint32_t(uint8_t(s[at + 2])) << 16 |
           uint32_t(uint8_t(s[at + 3])) << 24;
}

// An image the chip would start: the eighth vector makes the first eight sum to 0.
std::string BootableImage(size_t n, unsigned seed)
{
    std::string image = Random(n, seed);
    uint32_t sum = 0;
    for (size_t i = 0; i < 7; ++i)
        sum += Word(image, 4 * i);
    uint32_t check = 0u - sum;
    for (int i = 0; i < 4; ++i)
        image[28 + size_t(i)] = char(check >> (8 * i));
    return image;
}

} // namespace

TEST(PeerTools, Lpc21ispWritesAndVerifiesTheIspRomsFlash)
{
    std::string tool = Tool("lpc21isp");
    if (tool.empty())
        GTEST_SKIP() << "lpc21isp is not installed (Debian package lpc21isp; scripts/setup.sh installs it)";
    BootRomHarness rom;
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--baud", "115200"}));
    srvtest::TempDir dir;
    std::string image = BootableImage(10000, 7);
    ASSERT_TRUE(srvtest::WriteWholeFile(dir.Path() + "/image.bin", image));

    RunOptions options;
    options.timeoutMs = 120000;
    RunResult r =
        RunProgram({tool, "-bin", "-verify", dir.Path() + "/image.bin", rom.PtyPath(), "115200", "14746"}, options);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, (r.out + r.err).find("Download Finished and Verified correct")) << r.out << r.err;
    EXPECT_GE(rom.CountTrace("SAME"), 3u) << "every sector written is compared";
    EXPECT_EQ(0u, rom.CountTrace("DIFFER"));
    EXPECT_EQ(1u, rom.CountTrace("RUN 0"));

    std::string flash = rom.Flash();
    ASSERT_EQ(0x80000u, flash.size());
    EXPECT_EQ(image, flash.substr(0, image.size()));
}

TEST(PeerTools, ImxUartLoadsAndVerifiesTheSdpRomsRam)
{
    std::string tool = Tool("imx_uart");
    if (tool.empty())
        GTEST_SKIP() << "imx_uart is not installed (Debian package imx-usb-loader; scripts/setup.sh installs it)";
    BootRomHarness rom;
    ASSERT_TRUE(rom.Start({"--kind", "sdp", "--baud", "115200"}));
    srvtest::TempDir dir;
    std::string image = Random(2500, 8);
    ASSERT_TRUE(srvtest::WriteWholeFile(dir.Path() + "/loader.bin", image));
    // The part's RAM and one job: the image at 0x20002000.
    ASSERT_TRUE(srvtest::WriteWholeFile(dir.Path() + "/rt1050.conf",
                                        "rt1050\nhid,1024,0x20000000,0x20000000,512K,0x20200000,512K\n" +
                                            dir.Path() + "/loader.bin:load 0x20002000\n"));

    RunOptions options;
    options.timeoutMs = 60000;
    RunResult r = RunProgram({tool, "-n", "-v", rom.PtyPath(), dir.Path() + "/rt1050.conf"}, options);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, (r.out + r.err).find("Verify success")) << r.out << r.err;

    std::vector<std::pair<uint32_t, std::string>> writes;
    bool jumped = false;
    uint32_t jump = 0;
    ASSERT_TRUE(rom.SdpState(writes, jumped, jump));
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(0x20002000u, writes[0].first);
    EXPECT_EQ(image, writes[0].second);
}
