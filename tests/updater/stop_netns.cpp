// -U as a user meets it when something else is going on: another run holds
// the device, the file named with -f is a FIFO, Ctrl-C or SIGTERM arrive
// during the transfer. The real Updater inside a private network namespace
// against the simulated module; the moments to signal are chosen by the
// packets the module has seen, not by timing.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "store/DeviceLock.h"
#include "support/ProgramRunner.h"
#include "support/SimHarness.h"
#include "support/UpdateServerHarness.h"
#include "UpdateFixtures.h"

using namespace updtest;
using srvtest::ReadWholeFile;
using srvtest::TempDir;

namespace {

const uint32_t DEVICE = 0x40F5849A;
const size_t IMAGE_SIZE = 1500;

class StopAndRefuse : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Start({"--bind", SimHarness::NETNS_ADDRESS, "--discovery", SimHarness::NETNS_ADDRESS,
                               "--module", "serial=40F5849A,model=13,block=512,newversion=2.16.0,newbuild=2000"}))
            << sim.Stderr();
        BirdWriter writer;
        writer.AddLoader(0x20000000, Pattern(90, 5));
        writer.AddFirmware(0, VectorImage(IMAGE_SIZE, 11));
        writer.AddInfo(2000, "2.16.0", DEVICE, "Pilgrim");
        bird = files.Path() + "/new.bird";
        ASSERT_EQ(writer.Write(bird), aErrNone);
    }

    RunResult Run(const std::vector<std::string>& words, std::function<void(pid_t)> watch = nullptr)
    {
        std::vector<std::string> argv{UpdaterProgramPath()};
        argv.insert(argv.end(), words.begin(), words.end());
        argv.insert(argv.end(), {"-u", UpdateServerHarness::DeadURL(), "-i", store.Path()});
        RunOptions options;
        options.environment = {"HOME=" + store.Path()};
        options.timeoutMs = 120000;
        options.whileRunning = watch;
        RunResult r = RunProgram(argv, options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        return r;
    }

    // Sends sig once the module has received at least count requests
    // containing text.
    std::function<void(pid_t)> SignalAfter(const std::string& text, size_t count, int sig)
    {
        auto sent = std::make_shared<bool>(false);
        return [this, text, count, sig, sent](pid_t pid) {
            if (!*sent && sim.CountTrace(text) >= count) {
                kill(pid, sig);
                *sent = true;
            }
        };
    }

    std::string Folder() const { return store.Path() + "/updater/40F5849A"; }

    SimHarness sim;
    TempDir store;
    TempDir files;
    std::string bird;
};

} // namespace

TEST_F(StopAndRefuse, ABusyDeviceOrAFifoIsRefusedWithoutTouchingTheModule)
{
    ::mkdir((store.Path() + "/updater").c_str(), 0755);
    ::mkdir(Folder().c_str(), 0755);
    {
        DeviceLock other;
        ASSERT_EQ(other.TryLock(Folder()), aErrNone);
        RunResult busy = Run({"-U", "-d", "40F5849A", "-f", bird});
        EXPECT_EQ(busy.status, 1);
        EXPECT_TRUE(Contains(busy.err, "Device 40F5849A is busy: another Updater is working with it")) << busy.err;
    }
    const std::string fifo = files.Path() + "/pipe.bird";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    RunResult piped = Run({"-U", "-d", "40F5849A", "-f", fifo});
    EXPECT_EQ(piped.status, 1);
    EXPECT_TRUE(Contains(piped.err, "The BIRD file " + fifo + " is not a regular file\n")) << piped.err;
    EXPECT_TRUE(Contains(piped.err, "Failed to load bird file\n")) << piped.err;
    EXPECT_EQ(sim.CountTrace("40F5849A rx"), 0u);
}

TEST_F(StopAndRefuse, CtrlCDuringTheLoaderKeepsTheOldFirmware)
{
    // Late replies keep the loader phase long enough to land in it.
    ASSERT_EQ(sim.Command("fault 40F5849A slow:40*0"), "OK fault");
    RunResult r = Run({"-U", "-d", "40F5849A", "-f", bird}, SignalAfter(" 5F 01 ", 1, SIGINT));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Update stopped: the module keeps its old firmware; run the update again\n")) << r.err;
    EXPECT_EQ(sim.CountTrace(" 5F 02"), 0u); // the loader was never started
    EXPECT_EQ(sim.Flash(DEVICE).Size("flash"), 0u);
}

TEST_F(StopAndRefuse, SigtermDuringTheFirmwareLeavesTheLoaderAndTheNextRunFinishes)
{
    // -m 0: plain pieces, each committed with its own WRITE; late replies
    // leave room for the signal to land among them.
    ASSERT_EQ(sim.Command("fault 40F5849A slow:20*40"), "OK fault");
    RunResult r = Run({"-U", "-d", "40F5849A", "-f", bird, "-m", "0"}, SignalAfter(" 5F 05 ", 1, SIGTERM));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Update stopped: the module is in its loader; run the update again\n")) << r.err;
    EXPECT_GT(sim.CountTrace("40F5849A rx"), 0u);
    SimMemoryImage stopped = sim.Flash(DEVICE);
    EXPECT_LT(stopped.Size("flash"), IMAGE_SIZE);
    EXPECT_EQ(stopped.reboots, 0u);
    EXPECT_FALSE(Contains(ReadWholeFile(Folder() + "/.settings"), "LATEST_TRANSFER"));

    // The lock went with the process: the next run takes it and finishes.
    RunResult again = Run({"-U", "-d", "40F5849A", "-f", bird});
    ASSERT_EQ(again.status, 0) << again.out << again.err;
    SimMemoryImage done = sim.Flash(DEVICE);
    EXPECT_EQ(done.Size("flash"), IMAGE_SIZE);
    EXPECT_TRUE(VectorChecksumHolds(done.Read("flash", 0, IMAGE_SIZE)));
    EXPECT_EQ(done.reboots, 1u);
}
