// Many modules at once and updates cut short: sixteen Updater processes
// update sixteen simulated modules at the same time from one shared store,
// and -U is killed (SIGKILL) at twenty points of its dialogue, chosen by a
// seeded sequence over the packets the module receives. Real Updater
// program, inside a private network namespace (the update finds modules by
// the TCPIP search).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoadFixtures.h"
#include "support/ProgramRunner.h"

using namespace loadtest;
using srvtest::ReadWholeFile;
using srvtest::TempDir;
using srvtest::WriteWholeFile;

namespace {

std::string Hex(uint32_t serial)
{
    return UpdateServerHarness::Hex(serial);
}

// Puts the build into the device's folder as its latest download.
void StoreBuild(const std::string& store, uint32_t serial)
{
    const std::string folder = store + "/updater/" + Hex(serial);
    ::mkdir((store + "/updater").c_str(), 0755);
    ::mkdir(folder.c_str(), 0755);
    ASSERT_EQ(Bird().Write(folder + "/2000.bird"), aErrNone);
    ASSERT_TRUE(WriteWholeFile(folder + "/.settings", "LATEST_DOWNLOAD=2000.bird\n"));
}

} // namespace

TEST(Load, SixteenModulesUpdatedAtOnceFromOneStore)
{
    const unsigned COUNT = 16;
    std::vector<uint32_t> serials;
    std::vector<std::string> options{"--bind", SimHarness::NETNS_ADDRESS, "--discovery", SimHarness::NETNS_ADDRESS};
    for (unsigned i = 0; i < COUNT; ++i) {
        serials.push_back(0x51000000u + 0x101u * i);
        options.insert(options.end(), {"--module", "serial=" + Hex(serials.back()) + ",model=13,block=512,newversion=2.16.0,newbuild=2000"});
    }
    SimHarness sim;
    ASSERT_TRUE(sim.Start(options)) << sim.Stderr();
    TempDir store;
    for (uint32_t serial : serials)
        StoreBuild(store.Path(), serial);

    std::vector<RunResult> results(COUNT);
    std::vector<std::thread> runs;
    for (unsigned i = 0; i < COUNT; ++i)
        runs.emplace_back([&, i] { results[i] = RunUpdater({"-U", "-d", Hex(serials[i])}, store.Path()); });
    for (std::thread& t : runs)
        t.join();

    for (unsigned i = 0; i < COUNT; ++i) {
        SCOPED_TRACE(Hex(serials[i]));
        EXPECT_EQ(results[i].status, 0) << results[i].out << results[i].err;
        SimMemoryImage mem = sim.Flash(serials[i]);
        EXPECT_TRUE(mem.Read("flash", 0, IMAGE_SIZE) == Installed(serials[i]));
        EXPECT_EQ(mem.reboots, 1u);
        const std::string folder = store.Path() + "/updater/" + Hex(serials[i]);
        const std::string settings = ReadWholeFile(folder + "/.settings");
        EXPECT_TRUE(SettingsWhole(settings)) << settings;
        EXPECT_TRUE(Contains(settings, "LATEST_TRANSFER=2000.bird\n")) << settings;
        std::vector<std::string> entries = Entries(folder);
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(entries, (std::vector<std::string>{".history", ".settings", "2000.bird"}));
    }
}

TEST(Load, UpdatesKilledAtTwentyPointsLeaveAWholeStoreAndTheNextRunSucceeds)
{
    const uint32_t DEVICE = 0x40F5849A;
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--bind", SimHarness::NETNS_ADDRESS, "--discovery", SimHarness::NETNS_ADDRESS, "--module",
                           "serial=40F5849A,model=13,block=512,newversion=2.16.0,newbuild=2000"}))
        << sim.Stderr();
    TempDir store;
    StoreBuild(store.Path(), DEVICE);
    const std::string folder = store.Path() + "/updater/40F5849A";

    // One whole update tells how many requests the dialogue has.
    const std::string RX = "40F5849A rx";
    RunResult whole = RunUpdater({"-U", "-d", "40F5849A"}, store.Path());
    ASSERT_EQ(whole.status, 0) << whole.out << whole.err;
    const size_t requests = sim.CountTrace(RX);
    ASSERT_GT(requests, 20u);

    Sequence points(0xC0FFEE);
    unsigned reboots = sim.Flash(DEVICE).reboots;
    for (int i = 0; i < 20; ++i) {
        // The last point lands after the final request: the reboot wait and
        // the settings being saved.
        const size_t at = i == 19 ? requests : points.Next(uint32_t(requests));
        SCOPED_TRACE("killed after request " + std::to_string(at) + " of " + std::to_string(requests));
        const size_t before = sim.CountTrace(RX);
        auto killed = std::make_shared<bool>(false);
        RunResult cut = RunUpdater({"-U", "-d", "40F5849A"}, store.Path(), [&, killed](pid_t pid) {
            if (!*killed && sim.CountTrace(RX) >= before + at) {
                kill(pid, SIGKILL);
                *killed = true;
            }
        });
        EXPECT_TRUE(*killed || cut.status == 0) << cut.out << cut.err;

        // The store: the build file as it was, settings whole, nothing else.
        EXPECT_EQ(ReadWholeFile(folder + "/2000.bird"), Str(Bird().File()));
        const std::string settings = ReadWholeFile(folder + "/.settings");
        EXPECT_TRUE(SettingsWhole(settings)) << settings;
        // The history may or may not hold the killed run (a record is
        // written whole or not at all); it is never a leftover.
        std::vector<std::string> entries = Entries(folder);
        entries.erase(std::remove(entries.begin(), entries.end(), ".history"), entries.end());
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(entries, (std::vector<std::string>{".settings", "2000.bird"}));
        RunResult listed = RunUpdater({"-L", "-d", "40F5849A"}, store.Path());
        EXPECT_EQ(listed.status, 0);
        EXPECT_FALSE(Contains(listed.out, "tmp")) << listed.out;

        // The next run installs the build, from whatever state the module was left in.
        RunResult next = RunUpdater({"-U", "-d", "40F5849A"}, store.Path());
        ASSERT_EQ(next.status, 0) << next.out << next.err;
        SimMemoryImage mem = sim.Flash(DEVICE);
        EXPECT_EQ(mem.Read("flash", 0, IMAGE_SIZE), Installed(DEVICE));
        EXPECT_GT(mem.reboots, reboots);
        reboots = mem.reboots;
        EXPECT_TRUE(Contains(ReadWholeFile(folder + "/.settings"), "LATEST_TRANSFER=2000.bird\n"));
    }
}
