// The simulated boot ROM itself: it ends by itself when its lifetime runs
// out, and refuses options it does not know.
#include <gtest/gtest.h>

#include "support/BootRomHarness.h"
#include "support/ProgramRunner.h"

TEST(BootRomProgram, EndsAtTheEndOfItsLifetime)
{
    RunOptions options;
    options.timeoutMs = 30000;
    RunResult r = RunProgram({BootRomHarness::ProgramPath(), "--kind", "sdp", "--lifetime", "1"}, options);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.out.find("READY /dev/pts/")) << r.out;

    RunResult bad = RunProgram({BootRomHarness::ProgramPath(), "--kind", "usb"}, options);
    EXPECT_EQ(2, bad.status);
}

TEST(BootRomProgram, EndsWhenItsControllerGoesAway)
{
    BootRomHarness rom;
    ASSERT_TRUE(rom.Start({"--kind", "isp"}));
    EXPECT_EQ("ERR unknown command", rom.Command("HELLO"));
    rom.Stop();
    EXPECT_FALSE(rom.Running());
    EXPECT_EQ(1u, rom.CountTrace("END")) << "it ended on its own terms, not killed";
}
