// Third-party boot ROM tools program the simulated boot ROMs on a line paced
// like a 115200-baud UART: what they accept, a chip would accept too. A
// machine without the tools skips these with a line saying which is missing
// (scripts/setup.sh installs them).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/BootRomHarness.h"
#include "support/PeerTools.h"
#include "support/ProgramRunner.h"
#include "support/TestImages.h"
#include "support/UpdateServerHarness.h"

using namespace testimages;

TEST(PeerTools, Lpc21ispWritesAndVerifiesTheIspRomsFlash)
{
    PeerTool tool = FindPeerTool("lpc21isp", "lpc21isp");
    if (tool.path.empty())
        GTEST_SKIP() << tool.missing;
    BootRomHarness rom;
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--baud", "115200"}));
    srvtest::TempDir dir;
    Bytes bootable = RandomBytes(10000, 7);
    MakeBootable(bootable);
    const std::string image = AsString(bootable);
    ASSERT_TRUE(srvtest::WriteWholeFile(dir.Path() + "/image.bin", image));

    RunOptions options;
    options.timeoutMs = 120000;
    RunResult r = RunProgram(Lpc21ispCommand(tool.path, dir.Path() + "/image.bin", rom.PtyPath(), 115200, true), options);
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
    PeerTool tool = FindPeerTool("imx_uart", "imx-usb-loader");
    if (tool.path.empty())
        GTEST_SKIP() << tool.missing;
    BootRomHarness rom;
    ASSERT_TRUE(rom.Start({"--kind", "sdp", "--baud", "115200"}));
    srvtest::TempDir dir;
    const std::string image = AsString(RandomBytes(2500, 8));
    ASSERT_TRUE(srvtest::WriteWholeFile(dir.Path() + "/loader.bin", image));
    std::vector<std::string> command;
    ASSERT_TRUE(ImxUartCommand(tool.path, dir.Path(), dir.Path() + "/loader.bin", 0x20002000, rom.PtyPath(), true,
                               command));

    RunOptions options;
    options.timeoutMs = 60000;
    RunResult r = RunProgram(command, options);
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
