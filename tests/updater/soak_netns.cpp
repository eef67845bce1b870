// A soak: many updates in a row against one simulated module (200 unless
// SOAK_UPDATES says otherwise), each by the real Updater program. Every one
// must install the build; the module's side must show that each run closed
// what it opened: the simulator's open descriptors and threads do not grow
// and its memory stays flat, and no Updater process is left behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "LoadFixtures.h"

using namespace loadtest;
using srvtest::ReadWholeFile;
using srvtest::TempDir;
using srvtest::WriteWholeFile;

namespace {

size_t CountEntries(const std::string& folder)
{
    return Entries(folder).size();
}

// Resident memory in kB from /proc/PID/status.
long ResidentKB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Processes that are children of this test process.
size_t Children()
{
    size_t n = 0;
    const std::string self = std::to_string(getpid());
    for (const std::string& entry : Entries("/proc")) {
        if (entry.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in("/proc/" + entry + "/stat");
        std::string stat;
        std::getline(in, stat);
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        // After ") " come the state and the parent's id.
        std::string rest = stat.substr(close + 2);
        size_t space = rest.find(' ');
        if (rest.substr(space + 1, rest.find(' ', space + 1) - space - 1) == self)
            ++n;
    }
    return n;
}

} // namespace

TEST(Soak, UpdatesInARowLeaveNothingBehind)
{
    const char* text = std::getenv("SOAK_UPDATES");
    const int updates = text && std::atoi(text) > 0 ? std::atoi(text) : 200;
    const uint32_t DEVICE = 0x40F5849A;
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--bind", SimHarness::NETNS_ADDRESS, "--discovery", SimHarness::NETNS_ADDRESS, "--module",
                           "serial=40F5849A,model=13,block=512,newversion=2.16.0,newbuild=2000"},
                          30000, 3600))
        << sim.Stderr();
    TempDir store;
    const std::string folder = store.Path() + "/updater/40F5849A";
    ::mkdir((store.Path() + "/updater").c_str(), 0755);
    ::mkdir(folder.c_str(), 0755);
    ASSERT_EQ(Bird().Write(folder + "/2000.bird"), aErrNone);
    ASSERT_TRUE(WriteWholeFile(folder + "/.settings", "LATEST_DOWNLOAD=2000.bird\n"));

    const std::string simProc = "/proc/" + std::to_string(sim.Pid());
    size_t fdsAfterFirst = 0, tasksAfterFirst = 0;
    long memoryAfterTen = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= updates; ++i) {
        RunResult r = RunUpdater({"-U", "-d", "40F5849A"}, store.Path());
        ASSERT_EQ(r.status, 0) << "update " << i << "\n" << r.out << r.err;
        ASSERT_EQ(Children(), 1u) << "update " << i; // the simulator only
        const size_t fds = CountEntries(simProc + "/fd");
        const size_t tasks = CountEntries(simProc + "/task");
        if (i == 1) {
            fdsAfterFirst = fds;
            tasksAfterFirst = tasks;
        }
        // The module may still be closing the last connection.
        EXPECT_LE(fds, fdsAfterFirst + 2) << "update " << i;
        EXPECT_LE(tasks, tasksAfterFirst + 1) << "update " << i;
        if (i == 10)
            memoryAfterTen = ResidentKB(sim.Pid());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d updates in %.1f s (%.2f s each)\n", updates, seconds, seconds / updates);
    // AddressSanitizer keeps freed memory in quarantine: the resident size
    // of an instrumented simulator grows whatever it frees.
#if !defined(__SANITIZE_ADDRESS__)
    const bool measureMemory = updates > 10;
#else
    const bool measureMemory = false;
#endif
    if (measureMemory) {
        const long memory = ResidentKB(sim.Pid());
        // A leak of a few bytes per request would show as megabytes here.
        EXPECT_LE(memory, memoryAfterTen + 2048) << memoryAfterTen << " kB after 10, " << memory << " kB at the end";
    }
    SimMemoryImage mem = sim.Flash(DEVICE);
    EXPECT_EQ(mem.Read("flash", 0, IMAGE_SIZE), Installed(DEVICE));
    EXPECT_EQ(mem.reboots, unsigned(updates));
    const std::string settings = ReadWholeFile(folder + "/.settings");
    EXPECT_TRUE(SettingsWhole(settings)) << settings;
}
