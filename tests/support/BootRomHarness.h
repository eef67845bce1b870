// Starts the simulated boot ROM (sim/bootrom, program corvestel-bootrom) for
// one test on a pseudo-terminal, waits for its READY line, switches its
// faults, has it dump its memory and reads its trace. One harness per test,
// used from the test's thread; the ROM ends in Stop() or the destructor, and
// by itself when the test process dies or its lifetime runs out.
//
//   BootRomHarness rom;
//   ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", "1,2,3,4"}));
//   ... talk to rom.PtyPath() ...
//   std::string flash = rom.Flash();   // 512 KiB, after DUMP
#ifndef TESTS_SUPPORT_BOOTROMHARNESS_H
#define TESTS_SUPPORT_BOOTROMHARNESS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class BootRomHarness {
public:
    BootRomHarness();  // makes a temporary folder for the trace and dumps
    ~BootRomHarness(); // stops the ROM, removes the folder
    BootRomHarness(const BootRomHarness&) = delete;
    BootRomHarness& operator=(const BootRomHarness&) = delete;

    // Starts the ROM with these options (see sim/bootrom/main.cpp), adding
    // --trace, --dump-dir, --control-stdin and --lifetime. True once it
    // reported READY within timeoutMs.
    bool Start(const std::vector<std::string>& options, int timeoutMs = 30000, int lifetimeSeconds = 300);
    // SIGTERM, up to 5 s to end, then SIGKILL; reaps it.
    void Stop();
    bool Running() const { return pid > 0; }

    const std::string& PtyPath() const { return ptyPath; }
    const std::string& Folder() const { return folder; }
    // Trace lines so far; number of lines containing text.
    std::vector<std::string> Trace() const;
    size_t CountTrace(const std::string& text) const;

    // One control command ("DUMP", "FAULT +garble"); its answer line, empty
    // on time-out.
    std::string Command(const std::string& line, int timeoutMs = 5000);
    // LPC ROM: the whole flash (512 KiB) and RAM (32 KiB) after a dump; empty on failure.
    std::string Flash();
    std::string Ram();
    // i.MX ROM: the files written (address, bytes) and the jump address
    // (jumped false when there was none).
    bool SdpState(std::vector<std::pair<uint32_t, std::string>>& writes, bool& jumped, uint32_t& jump);

    static std::string ProgramPath();

private:
    bool ReadLine(std::string& line, int timeoutMs);

    std::string folder, tracePath, errPath, ptyPath, pending;
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
};

#endif
