// The simulator as a program: its trace format, config file, ready report,
// help, refusal of bad options, and that it always ends by itself.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "support/ProgramRunner.h"
#include "sim/RawModuleClient.h"
#include "support/SimHarness.h"

namespace {

TEST(SimProgram, TracesEveryPacketOnOneLine)
{
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--module", "serial=40F5849A,address=2"})) << sim.Stderr();
    RawModuleClient c;
    ASSERT_TRUE(c.Connect("127.0.0.1", sim.Port(0x40F5849A)));
    EXPECT_EQ(c.Ask(2, {3, 0x49, 0x20}, {3}).data.size(), 7u);
    // A byte that cannot start a packet is reported, then skipped.
    ASSERT_TRUE(c.SendRaw({0x00, 0x02, 0x40, 0x02, 0x02, 0x17, 0x01}));
    ASSERT_TRUE(sim.WaitForTrace("40F5849A tx 02 02 17 01"));
    c.Close();
    ASSERT_TRUE(sim.WaitForTrace("40F5849A ev disconnect"));
    std::vector<std::string> trace = sim.Trace();
    std::vector<std::string> expected{
        "40F5849A ev connect",
        "40F5849A rx 02 03 03 49 20",
        "40F5849A tx 02 07 03 09 00 40 F5 84 9A",
        "40F5849A ev framing: address byte 00 skipped",
        "40F5849A ev framing: length 64 dropped",
        "40F5849A rx 02 02 17 01",
        "40F5849A tx 02 02 17 01",
    };
    ASSERT_GE(trace.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + long(expected.size())), expected);
}

TEST(SimProgram, ReadsAConfigFileAndWritesAReadyFile)
{
    SimHarness sim;
    std::string config = sim.Folder() + "/modules.conf";
    std::string ready = sim.Folder() + "/ready.txt";
    {
        std::ofstream out(config);
        out << "# two modules, one behind the other\n"
               "module serial=00000A01,address=2,name=Router\n"
               "behind serial=00000A02,address=6\n"
               "fault error:5@0348\n"
               "\n"
               "ready-file " << ready << "\n";
    }
    ASSERT_TRUE(sim.Start({"--config", config})) << sim.Stderr();
    std::ifstream in(ready);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("MODULE 00000A01 tcp 127.0.0.1 " + std::to_string(sim.Port(0xA01)) + " 2\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("BEHIND 00000A02 00000A01 6\nREADY\n"), std::string::npos) << text;
    RawModuleClient c;
    ASSERT_TRUE(c.Connect("127.0.0.1", sim.Port(0xA01)));
    ASSERT_TRUE(c.Send(0xAF, {1}));
    EXPECT_EQ(c.Ask(6, {3, 0x48, 0x20}, {3}).data, (Bytes{3, 8, 0x80, 5})) << "the fault belongs to the module behind";
    EXPECT_EQ(c.Ask(2, {3, 0x48, 0x20}, {3}).data, (Bytes{3, 8, 0, 13}));
}

TEST(SimProgram, HelpDocumentsTheOptionsAndBadOptionsAreRefused)
{
    RunResult help = RunProgram({SimHarness::ProgramPath(), "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"--bind", "--discovery", "--trace", "--flash-dir", "--ready-file", "--lifetime",
             "--control-stdin", "--config", "--fault", "--stream", "serial=", "newversion=", "reboot=", "hb=",
             "disconnect:N", "badsum", "READY"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--module", "model=3"},
             {"--module", "serial=12,address=3"},
             {"--module", "serial=12,colour=red"},
             {"--module", "serial=12", "--fault", "explode"},
             {"--behind", "serial=12,address=4"},
             {"--lifetime", "soon"},
             {}}) {
        bad.insert(bad.begin(), SimHarness::ProgramPath());
        RunResult r = RunProgram(bad);
        EXPECT_EQ(r.status, 2) << bad.back();
        EXPECT_NE(r.err.find("corvestel-sim: "), std::string::npos);
    }
}

TEST(SimProgram, EndsByItselfAndOnSignals)
{
    RunOptions quick;
    quick.timeoutMs = 20000;
    RunResult r = RunProgram({SimHarness::ProgramPath(), "--lifetime", "1", "--module", "serial=1"}, quick);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("READY"), std::string::npos);

    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--module", "serial=2"}));
    EXPECT_EQ(sim.Command("ping"), "OK pong");
    EXPECT_EQ(sim.Command("bogus"), "ERR unknown command");
    EXPECT_EQ(sim.Command("fault 00000009 drop"), "ERR no module 00000009");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(sim.Running());

    // Closing its standard input alone ends it too.
    SimHarness sim2;
    ASSERT_TRUE(sim2.Start({"--module", "serial=3"}));
    EXPECT_EQ(sim2.Command("quit"), "OK quit");
    EXPECT_EQ(sim2.Stop(), 0);
}

// True while the process exists and is not a zombie waiting to be reaped.
bool sAlive(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

TEST(SimProgram, EndsWhenTheTestProcessDies)
{
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A test process that starts a simulator and dies without stopping it.
        close(report[0]);
        SimHarness* sim = new SimHarness;
        pid_t simPid = sim->Start({"--module", "serial=4"}) ? sim->Pid() : -1;
        std::string folder = sim->Folder();
        if (write(report[1], &simPid, sizeof simPid) != ssize_t(sizeof simPid) ||
            write(report[1], folder.c_str(), folder.size()) != ssize_t(folder.size()))
            _exit(1);
        _exit(0);
    }
    close(report[1]);
    pid_t simPid = -1;
    ASSERT_EQ(read(report[0], &simPid, sizeof simPid), ssize_t(sizeof simPid));
    char folder[512] = {0};
    ssize_t n = read(report[0], folder, sizeof folder - 1);
    close(report[0]);
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_GT(simPid, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sAlive(simPid) && std::chrono::steady_clock::now() < deadline)
        usleep(10000);
    EXPECT_FALSE(sAlive(simPid));
    if (n > 0 && std::string(folder).find("corvestel-sim.") != std::string::npos)
        RunProgram({"/bin/rm", "-rf", folder});
}

} // namespace
