// A recovery recorded against the simulated LPC boot ROM (Updater --record)
// is played back by corvestel-bootrom --replay: the real Updater reads the
// same fingerprint and recovers the same way; another firmware is caught at
// the first bytes that differ on the line. The recordings kept in
// tests/recordings are played back too, so a change of what the Updater says
// to the ROM shows against a run made by an earlier version.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "store/BirdWriter.h"
#include "support/BootRomHarness.h"
#include "support/ChildProcess.h"
#include "support/ProgramRunner.h"
#include "support/TestImages.h"

using namespace testimages;

namespace {

const uint32_t UID[4] = {0xDEADBEEF, 0x00000001, 0x80000000, 0x7FFFFFFF};
const char* const UID_OPTION = "DEADBEEF,1,80000000,7FFFFFFF";
const char* const DEAD_SERVER = "http://127.0.0.1:9/cgi/u";

class TempFolder {
public:
    TempFolder()
    {
        char tmpl[] = "/tmp/corvestel-romreplay.XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~TempFolder() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

// The printed lines and exit status of a recording.
struct Printed {
    std::vector<std::string> lines;
    int status = -1;
};

Printed sRecorded(const std::string& path)
{
    Printed p;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const nlohmann::json j = nlohmann::json::parse(line);
        if (j["kind"] == "output")
            p.lines.push_back(j["text"]);
        if (j["kind"] == "exit")
            p.status = j["status"];
    }
    return p;
}

// The Updater in folder, with its store there; nothing is fetched.
RunResult sUpdater(const std::vector<std::string>& args, const std::string& folder)
{
    std::vector<std::string> argv = {UpdaterProgramPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-u", DEAD_SERVER, "-i", folder + "/store"});
    RunOptions options;
    options.timeoutMs = 120000;
    options.directory = folder;
    return RunProgram(argv, options);
}

// corvestel-bootrom --replay FILE for one run of the Updater.
struct RomReplay {
    ~RomReplay()
    {
        if (child.pid > 0 && !reaped) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, nullptr, 0);
        }
        for (int fd : {child.toChild, child.fromChild})
            if (fd >= 0)
                close(fd);
    }
    bool Start(const std::string& recording, const std::string& errPath)
    {
        return StartChild({BootRomHarness::ProgramPath(), "--replay", recording, "--speed", "max", "--lifetime", "120"},
                          errPath, child, pending, 30000, [this](const std::string& line) {
                              if (line.compare(0, 6, "READY ") != 0)
                                  return false;
                              pty = line.substr(6);
                              return true;
                          });
    }
    int Finish(std::string& last)
    {
        std::string line;
        while (ReadChildLine(child.fromChild, pending, line, 60000))
            last = line;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (waitpid(child.pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ChildPipes child;
    std::string pending, pty;
    bool reaped = false;
};

// The host printed what it printed when recorded (all but the update time),
// ended the same way, and the replay went through to the end.
void sExpectAsRecorded(const std::string& recording, const RunResult& host, RomReplay& replay)
{
    std::string last;
    EXPECT_EQ(replay.Finish(last), 0) << last;
    EXPECT_EQ(last.compare(0, 16, "replay complete:"), 0) << last;
    const Printed recorded = sRecorded(recording);
    std::vector<std::string> printed = SplitLines(host.out);
    for (const std::string& l : SplitLines(host.err))
        printed.push_back(l);
    std::vector<std::string> expected = recorded.lines;
    std::sort(printed.begin(), printed.end());
    std::sort(expected.begin(), expected.end());
    auto timed = [](const std::string& l) { return l.compare(0, 12, "Update time:") == 0; };
    printed.erase(std::remove_if(printed.begin(), printed.end(), timed), printed.end());
    expected.erase(std::remove_if(expected.begin(), expected.end(), timed), expected.end());
    EXPECT_EQ(printed, expected) << host.err;
    EXPECT_EQ(host.status, recorded.status) << host.err;
}

std::string sBird(const std::string& folder, unsigned seed)
{
    BirdWriter w;
    w.AddInfo(5120, "3.1.4", 0x5A17C0DE, "CVR-IO");
    w.AddFirmware(0x0, EncodeForChip(RandomBytes(3000, seed), UID));
    const std::string path = folder + "/recovery-" + std::to_string(seed) + ".bird";
    EXPECT_EQ(aErrNone, w.Write(path));
    return path;
}

TEST(RomReplay, AFingerprintAndARecoveryReplayAsRecorded)
{
    TempFolder dir;
    const std::string bird = sBird(dir.path, 1);
    const std::string fingerprint = dir.path + "/fingerprint.jsonl", recovery = dir.path + "/recovery.jsonl";
    {
        BootRomHarness rom;
        ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", UID_OPTION}));
        RunResult n = sUpdater({"--record", fingerprint, "-N", "-s", rom.PtyPath()}, dir.path);
        ASSERT_EQ(n.status, 0) << n.err;
        RunResult u = sUpdater({"--record", recovery, "-U", "-t", "RECOVER", "-s", rom.PtyPath(), "-d", "5A17C0DE",
                                "-f", bird},
                               dir.path);
        ASSERT_EQ(u.status, 0) << u.out << u.err;
    }
    for (const auto& run : {std::make_pair(fingerprint, std::vector<std::string>{"-N"}),
                            std::make_pair(recovery, std::vector<std::string>{"-U", "-t", "RECOVER"})}) {
        SCOPED_TRACE(run.first);
        RomReplay replay;
        ASSERT_TRUE(replay.Start(run.first, dir.path + "/replay.err"));
        std::vector<std::string> args = run.second;
        args.insert(args.end(), {"-s", replay.pty});
        if (run.first == recovery)
            args.insert(args.end(), {"-d", "5A17C0DE", "-f", bird});
        sExpectAsRecorded(run.first, sUpdater(args, dir.path), replay);
    }

    // Another image: the line carries what was recorded up to its bytes.
    RomReplay replay;
    ASSERT_TRUE(replay.Start(recovery, dir.path + "/replay.err"));
    const RunResult host = sUpdater({"-U", "-t", "RECOVER", "-s", replay.pty, "-d", "5A17C0DE", "-f",
                                     sBird(dir.path, 2)},
                                    dir.path);
    std::string last;
    EXPECT_EQ(replay.Finish(last), 1) << last;
    EXPECT_EQ(last.compare(0, 26, "replay diverged at record "), 0) << last;
    EXPECT_NE(last.find("(serial line " + replay.pty + ")"), std::string::npos) << last;
    EXPECT_NE(host.status, 0);
}

// The kept recordings, made by tests/recordings/make-recordings.sh against a
// fresh ROM each: the firmware file comes from beside them, under the name
// the recording printed.
TEST(RomReplay, TheKeptLpcRecordingsReplayAsRecorded)
{
    const std::string corpus = std::string(TEST_SOURCE_DIR) + "/tests/recordings/";
    TempFolder dir;
    {
        std::ifstream in(corpus + "lpc-recovery.bird", std::ios::binary);
        std::ofstream out(dir.path + "/lpc-recovery.bird", std::ios::binary);
        ASSERT_TRUE(in && out);
        out << in.rdbuf();
    }
    const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
        {"lpc-fingerprint.jsonl", {"-N"}},
        {"lpc-recovery.jsonl", {"-U", "-t", "RECOVER", "-d", "5A17C0DE", "-f", "lpc-recovery.bird"}},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.first);
        const std::string recording = corpus + run.first;
        ASSERT_TRUE(std::ifstream(recording).good()) << recording;
        RomReplay replay;
        ASSERT_TRUE(replay.Start(recording, dir.path + "/replay.err"));
        std::vector<std::string> args = run.second;
        args.insert(args.end(), {"-s", replay.pty});
        sExpectAsRecorded(recording, sUpdater(args, dir.path), replay);
    }
}

} // namespace
