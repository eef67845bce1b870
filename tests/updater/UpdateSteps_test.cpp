// The update's steps against a module of the simulator connected over
// loopback TCP: the check that file and module belong together, the loader
// phase and the firmware phase with its retries.
#include <gtest/gtest.h>

#include "app/RecordingDisplay.h"
#include "store/BirdFile.h"
#include "support/UpdateServerHarness.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterUpdate.h"
#include "UpdateFixtures.h"

using namespace Quorvane::Corvestel;
using namespace updtest;

namespace {

const uint32_t DEVICE = 0x40F5849A;

bool Has(const std::vector<std::string>& lines, const std::string& text)
{
    for (const std::string& line : lines)
        if (line == text)
            return true;
    return false;
}

class UpdateSteps : public ::testing::Test {
protected:
    void Start(const std::string& keys = "")
    {
        ASSERT_TRUE(sim.Start({"--module", "serial=40F5849A,model=13,block=128" + keys})) << sim.Stderr();
        module.setConfig(NetworkOff());
        ASSERT_EQ(module.connectFromSpec(LoopbackSpec(sim, DEVICE)), aErrNone);
    }

    BirdFile Load(const BirdWriter& writer)
    {
        const std::string path = dir.Path() + "/file" + std::to_string(files++) + ".bird";
        EXPECT_EQ(writer.Write(path), aErrNone);
        return BirdFile(path);
    }

    SimHarness sim;
    Module module{2, 0};
    RecordingDisplay display;
    srvtest::TempDir dir;
    int files = 0;
};

} // namespace

TEST_F(UpdateSteps, CheckWantsTheModulesSerialNumberAndModel)
{
    Start();
    BirdWriter right;
    right.AddInfo(1234, "2.16.0", DEVICE, "Pilgrim");
    right.AddFirmware(0, Pattern(64));
    EXPECT_TRUE(_validate_bird(display, Load(right), module, DEVICE));
    EXPECT_TRUE(display.errors.empty());

    // Without a serial-number block the file must name this module.
    BirdWriter other;
    other.AddInfo(1234, "2.16.0", 0x11112222, "Pilgrim");
    other.AddFirmware(0, Pattern(64));
    EXPECT_FALSE(_validate_bird(display, Load(other), module, DEVICE));
    // With one it is patched in, so the info serial does not matter.
    other.AddSerialOffsets(0x20, 0);
    EXPECT_TRUE(_validate_bird(display, Load(other), module, DEVICE));
    // The connected module must be the one the caller meant.
    right.AddSerialOffsets(0x20, 0);
    EXPECT_FALSE(_validate_bird(display, Load(right), module, 0x0BADCAFE));
    EXPECT_TRUE(display.errors.empty());

    BirdWriter model;
    model.AddInfo(1234, "2.16.0", DEVICE, "Saltire");
    model.AddFirmware(0, Pattern(64));
    EXPECT_FALSE(_validate_bird(display, Load(model), module, DEVICE));
    EXPECT_TRUE(Has(display.errors, "Connected device model and Bird file model do not match [Pilgrim] (0)"));

    EXPECT_FALSE(_validate_bird(display, BirdFile(), module, DEVICE));
}

TEST_F(UpdateSteps, LoaderPhaseSendsEveryLoaderBlockThenStartsIt)
{
    Start();
    BirdWriter writer;
    writer.AddLoader(0x20000000, Pattern(100, 2), 1);
    writer.AddFirmware(0x1000, Pattern(50));
    writer.AddLoader(0x20001000, Pattern(30, 3));
    BirdFile bird = Load(writer);
    ASSERT_EQ(_transfer_loader(display, module, bird), aErrNone);
    SimMemoryImage mem = sim.Flash(DEVICE);
    EXPECT_EQ(mem.Read("loader", 0x20000000, 100), Str(Pattern(100, 2)));
    EXPECT_EQ(mem.Read("loader", 0x20001000, 30), Str(Pattern(30, 3)));
    EXPECT_EQ(mem.Size("flash"), 0u);
    EXPECT_TRUE(Has(display.info, "Transferring loader block 1 of 2, 104 bytes"));
    EXPECT_TRUE(Has(display.info, "Transferring loader block 2 of 2, 34 bytes"));
    EXPECT_TRUE(Has(display.info, "Transferred 2 blocks, 138 total bytes"));
    EXPECT_TRUE(Has(display.info, "Starting Load on Device"));
    EXPECT_TRUE(sim.WaitForTrace("loader started"));
}

TEST_F(UpdateSteps, LoaderBlockThatFailsIsNotStarted)
{
    Start();
    ASSERT_EQ(sim.Command("fault 40F5849A badsum"), "OK fault");
    BirdWriter writer;
    writer.AddLoader(0x20000000, Pattern(100, 2));
    writer.AddLoader(0x20001000, Pattern(30, 3));
    EXPECT_EQ(_transfer_loader(display, module, Load(writer)), aErrInvalidOption);
    EXPECT_EQ(sim.CountTrace("rx 02 02 5F 02"), 0u);
    EXPECT_TRUE(Has(display.info, "Transferred 0 blocks, 0 total bytes"));
}

TEST_F(UpdateSteps, FirmwarePhaseRetriesABlockAndReboots)
{
    Start(",newbuild=2000");
    ASSERT_EQ(sim.Command("fault 40F5849A badsum"), "OK fault");
    BirdWriter writer;
    writer.AddFirmware(0x0, Pattern(300, 4));
    writer.AddFirmware(0x8000, Pattern(40, 6));
    BirdFile bird = Load(writer);
    ASSERT_EQ(_transfer_firmware(display, module, bird, false, false), aErrNone);
    SimMemoryImage mem = sim.Flash(DEVICE);
    EXPECT_EQ(mem.Read("flash", 0, 300), Str(Pattern(300, 4)));
    EXPECT_EQ(mem.Read("flash", 0x8000, 40), Str(Pattern(40, 6)));
    EXPECT_EQ(mem.reboots, 1u);
    EXPECT_EQ(mem.build, 2000u);
    EXPECT_TRUE(Has(display.info, "Transferring firmware block 1 of 2, 304 bytes"));
    EXPECT_TRUE(Has(display.info, "  Retry 1"));
    EXPECT_TRUE(Has(display.info, "Transferred 2 blocks, 348 total bytes"));
}

TEST_F(UpdateSteps, FirmwareBlockFailingEveryAttemptStopsBeforeTheReboot)
{
    Start();
    ASSERT_EQ(sim.Command("fault 40F5849A badsum*0"), "OK fault");
    BirdWriter writer;
    writer.AddFirmware(0x0, Pattern(60));
    writer.AddFirmware(0x8000, Pattern(60));
    EXPECT_EQ(_transfer_firmware(display, module, Load(writer), false, false), aErrInvalidOption);
    EXPECT_EQ(sim.CountTrace("rx 02 07 5F 03"), size_t(BLOCK_RETRIES));
    EXPECT_TRUE(Has(display.info, "  Retry 4"));
    EXPECT_FALSE(Has(display.info, "  Retry 5"));
    EXPECT_TRUE(Has(display.info, "Transferred 0 blocks, 0 total bytes"));
    EXPECT_EQ(sim.Flash(DEVICE).reboots, 0u);

    // A refused PREPARE ends the attempts at once.
    ASSERT_EQ(sim.Command("fault 40F5849A status:2@5F03"), "OK fault");
    EXPECT_EQ(_transfer_firmware(display, module, Load(writer), false, false), aErrInvalidOption);
    EXPECT_EQ(sim.CountTrace("rx 02 07 5F 03"), size_t(BLOCK_RETRIES) + 1);
}

TEST_F(UpdateSteps, FirmwarePhaseUsesUEIBytesOnlyWhenAsked)
{
    Start();
    BirdWriter writer;
    writer.AddFirmware(0x0, Pattern(200, 8));
    BirdFile bird = Load(writer);
    ASSERT_EQ(_transfer_firmware(display, module, bird, true, true), aErrNone);
    EXPECT_EQ(sim.Flash(DEVICE).Read("flash", 0, 200), Str(Pattern(200, 8)));
    EXPECT_GT(sim.CountTrace(" 5F 8A "), 0u);
    EXPECT_EQ(sim.CountTrace("rx 02 1C 5F 01 "), 0u);
}
