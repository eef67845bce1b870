// The upgrade loader dialogue against the module simulator over loopback
// TCP: what lands in the simulated flash, how pieces, sums and writes are
// cut, the faults the module can show (pieces not taken, wrong sums, bad
// status, silence) and the reboot at the end.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "app/RecordingDisplay.h"
#include "updater/UpdaterEntity.h"
#include "UpdateFixtures.h"

using namespace Quorvane::Corvestel;
using namespace updtest;

namespace {

const uint32_t DEVICE = 0x40F5849A;
const uint32_t ADDRESS = 0x00001000;

class LoaderDialogue : public ::testing::Test {
protected:
    void Start(const std::string& keys = "", const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> options{"--module", "serial=40F5849A,model=13,block=256" + keys};
        options.insert(options.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim.Start(options)) << sim.Stderr();
        module.setConfig(NetworkOff());
        ASSERT_EQ(module.connectFromSpec(LoopbackSpec(sim, DEVICE)), aErrNone);
        entity.init(&module, 0, true, false);
    }

    // PREPARE then the firmware transfer of one block.
    aErr Firmware(const Bytes& block)
    {
        uint16_t size = 0;
        aErr err = entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size);
        if (err != aErrNone)
            return err;
        return entity.FirmwareTransfer(block.data(), uint32_t(block.size()), size, display);
    }

    std::string Flash(uint32_t address, size_t n) { return sim.Flash(DEVICE).Read("flash", address, n); }

    SimHarness sim;
    Module module{2, 0};
    UpdaterEntity entity;
    RecordingDisplay display;
};

} // namespace

TEST_F(LoaderDialogue, PlainPiecesSumsAndWritesPutTheImageIntoFlash)
{
    Start();
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    const Bytes image = Pattern(600);
    const Bytes block = WithAddress(ADDRESS, image);
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 5, &size), aErrNone);
    EXPECT_EQ(size, 256);
    EXPECT_EQ(sim.CountTrace("rx 02 07 5F 03 05 00 00 10 00"), 1u); // flags, then the address
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), size, display), aErrNone);
    EXPECT_EQ(Flash(ADDRESS, 600), Str(image));
    EXPECT_EQ(sim.Flash(DEVICE).Size("flash"), 600u);

    // 256 = 9 x 26 + 22 twice, then 88 = 3 x 26 + 10; each transfer is
    // summed and written with its own count.
    EXPECT_EQ(sim.CountTrace("rx 02 1C 5F 01 "), 21u);
    EXPECT_EQ(sim.CountTrace("rx 02 18 5F 01 "), 2u);
    EXPECT_EQ(sim.CountTrace("rx 02 0C 5F 01 "), 1u);
    EXPECT_EQ(sim.CountTrace("rx 02 02 5F 04"), 3u);
    EXPECT_EQ(sim.CountTrace("rx 02 04 5F 05 01 00"), 2u);
    EXPECT_EQ(sim.CountTrace("rx 02 04 5F 05 00 58"), 1u);
}

TEST_F(LoaderDialogue, UEIBytesCarryTheImageWhenTheModuleHasThem)
{
    Start();
    ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    ASSERT_TRUE(entity.UsesUEIData());
    const Bytes image = Pattern(1000, 9);
    ASSERT_EQ(Firmware(WithAddress(ADDRESS, image)), aErrNone);
    EXPECT_EQ(Flash(ADDRESS, 1000), Str(image));
    EXPECT_EQ(sim.CountTrace("rx 02 1C 5F 01 "), 0u);
    EXPECT_GT(sim.CountTrace(" 5F 8A "), 0u);
    EXPECT_EQ(sim.CountTrace("rx 02 02 5F 04"), 4u);

    // Rebinding clears the choice; a module without option 10 keeps DATA.
    entity.init(&module, 0, true, false);
    EXPECT_FALSE(entity.UsesUEIData());
}

TEST_F(LoaderDialogue, ModuleWithoutUEIBytesKeepsDataPackets)
{
    Start(",uei=0,features=0x80000000");
    EXPECT_NE(entity.CheckUEIDataSupport(), aErrNone);
    EXPECT_FALSE(entity.UsesUEIData());
    EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
    const Bytes image = Pattern(300, 4);
    ASSERT_EQ(Firmware(WithAddress(ADDRESS, image)), aErrNone);
    EXPECT_EQ(Flash(ADDRESS, 300), Str(image));
}

TEST_F(LoaderDialogue, PieceTakenShortIsSentAgainAndSummedOnce)
{
    Start("", {"--fault", "short:6"});
    const Bytes image = Pattern(60, 3);
    ASSERT_EQ(Firmware(WithAddress(ADDRESS, image)), aErrNone);
    EXPECT_EQ(Flash(ADDRESS, 60), Str(image));
    // 26, 26 again, 26, 8.
    EXPECT_EQ(sim.CountTrace("rx 02 1C 5F 01 "), 3u);
    EXPECT_EQ(sim.CountTrace("rx 02 0A 5F 01 "), 1u);
}

TEST_F(LoaderDialogue, PieceNeverTakenEndsTheTransfer)
{
    Start("", {"--fault", "short*0"});
    const Bytes block = WithAddress(ADDRESS, Pattern(60));
    EXPECT_EQ(Firmware(block), aErrPacket);
    EXPECT_EQ(sim.CountTrace("rx 02 1C 5F 01 "), size_t(UpdaterEntity::PIECE_ATTEMPTS));
    EXPECT_EQ(sim.CountTrace("rx 02 04 5F 05"), 0u); // nothing written
}

TEST_F(LoaderDialogue, WrongSumOrStatusFailsTheBlock)
{
    Start("", {"--fault", "badsum"});
    const Bytes block = WithAddress(ADDRESS, Pattern(100));
    EXPECT_EQ(Firmware(block), aErrInvalidOption);
    EXPECT_EQ(sim.CountTrace("rx 02 04 5F 05"), 0u);
    // The switch fired once: the same block goes through now.
    ASSERT_EQ(Firmware(block), aErrNone);
    EXPECT_EQ(Flash(ADDRESS, 100), Str(Pattern(100)));

    uint16_t size = 0;
    ASSERT_EQ(sim.Command("fault 40F5849A status:3@5F03"), "OK fault");
    EXPECT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrInvalidOption);
    ASSERT_EQ(sim.Command("fault 40F5849A status:1@5F05"), "OK fault");
    ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrNone);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), size, display), aErrInvalidOption);
    // Blocks shorter than their address word are refused unsent.
    EXPECT_EQ(entity.TransferPrepare(block.data(), 3, 0, &size), aErrParam);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), 3), aErrParam);
}

TEST_F(LoaderDialogue, BlockSizeZeroFailsInsteadOfLooping)
{
    Start(",block=0");
    const Bytes block = WithAddress(ADDRESS, Pattern(40));
    uint16_t size = 77;
    ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrNone);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), size, display), aErrSize);
    EXPECT_EQ(sim.CountTrace(" 5F 01 "), 0u);
}

TEST_F(LoaderDialogue, SilentModuleTimesOut)
{
    Start("", {"--fault", "drop@5F*0"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.LoaderInit(), aErrTimeout);
    uint16_t size = 0;
    const Bytes block = WithAddress(ADDRESS, Pattern(40));
    EXPECT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrTimeout);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), uint32_t(block.size())), aErrPacket);
    EXPECT_EQ(entity.FirmwareWrite(40), aErrInvalidOption);
    // Each wait ends after its second.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(LoaderDialogue, LoaderImageGoesToLoaderMemoryAndStarts)
{
    Start();
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    const Bytes code = Pattern(130, 5);
    const Bytes block = WithAddress(0x20000000, code);
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrNone);
    ASSERT_EQ(entity.LoaderTransfer(block.data(), uint32_t(block.size())), aErrNone);
    EXPECT_EQ(sim.CountTrace("rx 02 04 5F 05"), 0u); // the loader is never written
    ASSERT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_TRUE(sim.WaitForTrace("loader started"));
    EXPECT_EQ(sim.Flash(DEVICE).Read("loader", 0x20000000, 130), Str(code));
}

TEST_F(LoaderDialogue, LoadWithoutAnswerReconnectsThenGivesTimeout)
{
    Start("", {"--fault", "drop@5F02*0"});
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
    // One LOAD; its answer is awaited again over a new connection.
    EXPECT_EQ(sim.CountTrace("rx 02 02 5F 02"), 1u);
    EXPECT_TRUE(module.isConnected());
    const std::string counters = sim.Command("counters 40F5849A");
    EXPECT_NE(counters.find(" connects=2 "), std::string::npos) << counters;
}

// The module answers the first new connection's handshake too late for the
// first attempt; the link that attempt made must not stay behind and turn
// every later attempt away: the next one connects afresh.
TEST_F(LoaderDialogue, AReconnectionTooSlowToAnswerIsTriedAgainOnANewConnection)
{
    Start("", {"--fault", "drop@5F02"});
    std::future<aErr> load = std::async(std::launch::async, [this] { return entity.LoaderStart(); });
    ASSERT_TRUE(sim.WaitForTrace("rx 02 02 5F 02"));
    // Each of the six probes of the next handshake answered 8 s late: well
    // past the 2 s a connection waits for its link.
    ASSERT_EQ(sim.Command("fault 40F5849A slow:8000*6").compare(0, 2, "OK"), 0);
    EXPECT_EQ(load.get(), aErrTimeout); // the LOAD answer stays lost
    EXPECT_TRUE(module.isConnected());
    const std::string counters = sim.Command("counters 40F5849A");
    EXPECT_NE(counters.find(" connects=3 "), std::string::npos) << counters;
}

TEST_F(LoaderDialogue, RebootRestartsTheModuleAndTheWaitEndsOnTheReconnect)
{
    Start(",newversion=2.16.0,newbuild=2000");
    const uint32_t drops = module.getLink()->getDropCount();
    ASSERT_EQ(entity.LoaderReboot(display), aErrNone);
    SimMemoryImage mem = sim.Flash(DEVICE);
    EXPECT_EQ(mem.reboots, 1u);
    EXPECT_EQ(mem.build, 2000u);
    // The socket stream connects again at once, so the link may never stop
    // running: the wait ended on the drop, not after all its passes.
    EXPECT_GT(module.getLink()->getDropCount(), drops);
    EXPECT_LT(display.spins, int(UpdaterEntity::REBOOT_POLLS));
}

TEST_F(LoaderDialogue, RebootThroughARouterDoesNotWaitForADrop)
{
    Start(",reboot=keep");
    entity.init(&module, 0, true, true);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(UpdaterEntity::REBOOT_POLLS * UpdaterEntity::REBOOT_POLL_MS / 2));
    EXPECT_TRUE(module.isConnected());
    EXPECT_TRUE(sim.WaitForTrace("ev reboot"));
}

TEST_F(LoaderDialogue, RebootWaitEndsWhenTheLinkNeverDrops)
{
    Start(",reboot=keep");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(entity.LoaderReboot(display), aErrNone);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(UpdaterEntity::REBOOT_POLLS * UpdaterEntity::REBOOT_POLL_MS));
    EXPECT_LT(waited, std::chrono::milliseconds(3 * UpdaterEntity::REBOOT_POLLS * UpdaterEntity::REBOOT_POLL_MS));
    EXPECT_TRUE(module.isConnected());
}
