// Starts the module simulator (sim/, program corvestel-sim) for one test,
// waits for its ready report, tells the test the modules' ports and
// pseudo-terminals, reads its packet trace and flash files, and sends it
// control commands. One harness per test, used from the test's thread; the
// simulator ends in Stop() or the destructor, and by itself if the test
// process dies (it is started with a parent-death signal and ends when its
// standard input closes).
//
//   SimHarness sim;
//   ASSERT_TRUE(sim.Start({"--module", "serial=40F5849A,model=13",
//                          "--behind", "serial=11112222,address=4"}));
//   int port = sim.Port(0x40F5849A);            // TCP port on 127.0.0.1
//   ...
//   EXPECT_TRUE(sim.WaitForTrace("40F5849A rx 02 03 03 49 20"));
//   SimMemoryImage mem = sim.Flash(0x40F5849A); // after a firmware update
#ifndef TESTS_SUPPORT_SIMHARNESS_H
#define TESTS_SUPPORT_SIMHARNESS_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One module of the ready report.
struct SimModuleInfo {
    uint32_t serial = 0;
    bool pty = false;
    std::string host;          // TCP: the listening address
    int port = -1;             // TCP: the module's port
    std::string ptyPath;       // pty: the terminal to open
    uint8_t address = 0;       // module address
    uint32_t routerSerial = 0; // non-zero for a module behind a router
};

// A module's memory as written by its loader: region ("loader", "flash") ->
// start address -> bytes of one contiguous run.
struct SimMemoryImage {
    bool valid = false;
    uint32_t version = 0;
    uint32_t build = 0;
    unsigned reboots = 0;
    std::map<std::string, std::map<uint32_t, std::string>> regions;

    // The length bytes from address in a region; empty unless every one of
    // them was written.
    std::string Read(const std::string& region, uint32_t address, size_t length) const;
    // Total number of bytes written in a region.
    size_t Size(const std::string& region) const;
};

class SimHarness {
public:
    SimHarness();  // makes a temporary folder for the trace and flash files
    ~SimHarness(); // stops the simulator, removes the folder

    SimHarness(const SimHarness&) = delete;
    SimHarness& operator=(const SimHarness&) = delete;

    // Starts the simulator with these options (see corvestel-sim --help),
    // adding --trace, --flash-dir, --control-stdin and --lifetime. True once
    // it reported READY within timeoutMs; false when it failed (Stderr()
    // tells why).
    bool Start(const std::vector<std::string>& options, int timeoutMs = 30000, int lifetimeSeconds = 600);
    // SIGTERM, up to 5 s to end, then SIGKILL; reaps the process. Returns the
    // exit status (-1 when it was killed or never ran).
    int Stop();
    bool Running() const { return pid > 0; }
    pid_t Pid() const { return pid; }

    const std::vector<SimModuleInfo>& Modules() const { return modules; }
    const SimModuleInfo* Module(uint32_t serial) const;
    int Port(uint32_t serial) const;          // -1 when not a TCP module
    std::string PtyPath(uint32_t serial) const; // empty when not a pty module

    const std::string& TracePath() const { return tracePath; }
    const std::string& FlashDir() const { return flashDir; }
    const std::string& Folder() const { return folder; }
    // Lines of the packet trace so far.
    std::vector<std::string> Trace() const;
    // Waits until a trace line contains text; false after timeoutMs.
    bool WaitForTrace(const std::string& text, int timeoutMs = 5000) const;
    // Number of trace lines containing text.
    size_t CountTrace(const std::string& text) const;
    // What the simulator wrote to standard error.
    std::string Stderr() const;

    // Sends one control command and returns its answer line ("OK ...",
    // "ERR ..."); empty on time-out or when the simulator is not running.
    std::string Command(const std::string& line, int timeoutMs = 5000);
    // Has the simulator write its flash files and reads one module's.
    SimMemoryImage Flash(uint32_t serial);

    // Address of the namespace interface (tv0) that netns tests bind
    // simulators and discovery to: {"--bind", NETNS_ADDRESS, "--discovery",
    // NETNS_ADDRESS, ...}.
    static constexpr const char* NETNS_ADDRESS = "198.18.0.1";

    // Path of the built simulator.
    static std::string ProgramPath();
    // Reads a flash file written by the simulator.
    static SimMemoryImage ReadMemoryFile(const std::string& path);

private:
    bool ReadLine(std::string& line, int timeoutMs);

    std::string folder, tracePath, flashDir, errPath;
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
    std::string pending; // stdout bytes not yet split into lines
    std::vector<SimModuleInfo> modules;
};

#endif
