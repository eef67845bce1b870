// Inside a private network namespace: the recordings of tests/recordings
// (made with Updater --record against the simulators) are played back by
// corvestel-sim --replay to the real Updater, which must print the same
// lines and end with the same status; a host that does something else is
// caught at the first differing packet, a cut recording plays to its cut,
// and a bad one is refused before anything is served. USB modules are played
// by corvestel-usbbus --replay, which makes them leave the bus and come back
// where they did when recorded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "support/ProgramRunner.h"
#include "support/SimHarness.h"
#include "support/UsbBusRunner.h"

namespace {

const char* IFADDR = SimHarness::NETNS_ADDRESS;

std::string sCorpus(const std::string& name)
{
    return std::string(TEST_SOURCE_DIR) + "/tests/recordings/" + name;
}

std::vector<std::string> sFileLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::string sFileText(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void sWriteLines(const std::string& path, const std::vector<std::string>& lines)
{
    std::ofstream out(path);
    for (const std::string& l : lines)
        out << l << "\n";
}

// What the recorded run printed, per stream, and its exit status (-1: cut).
struct Recorded {
    std::vector<std::string> out, err;
    int status = -1;
};

// The update time changes from run to run; every other line must not.
bool sTimed(const std::string& line)
{
    return line.compare(0, 12, "Update time:") == 0;
}

Recorded sRecorded(const std::string& path)
{
    Recorded r;
    for (const std::string& line : sFileLines(path)) {
        const nlohmann::json j = nlohmann::json::parse(line);
        if (j["kind"] == "output" && !sTimed(j["text"]))
            (j["stream"] == "out" ? r.out : r.err).push_back(j["text"]);
        if (j["kind"] == "exit")
            r.status = j["status"];
    }
    return r;
}

std::vector<std::string> sUntimed(const std::string& text)
{
    std::vector<std::string> lines;
    for (const std::string& l : SplitLines(text))
        if (!sTimed(l))
            lines.push_back(l);
    return lines;
}

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/corvestel-replay.XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

// One corvestel-sim --replay for a test; it is stopped when the test ends.
class Replay {
public:
    ~Replay()
    {
        if (child.pid > 0 && !reaped) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, nullptr, 0);
        }
        for (int fd : {child.toChild, child.fromChild})
            if (fd >= 0)
                close(fd);
    }

    bool Start(const std::string& recording, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> argv = {SimHarness::ProgramPath(), "--replay", recording, "--discovery", IFADDR,
                                         "--lifetime", "120"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return StartChild(argv, dir.path + "/replay.err", child, pending, 30000, [this](const std::string& line) {
            if (line.compare(0, 5, "HTTP ") == 0)
                url = line.substr(5) + "/cgi/u";
            return line == "READY";
        });
    }

    // Waits for the replay to end: its exit status and last line.
    int Finish(std::string& last, int timeoutMs = 60000)
    {
        std::string line;
        while (ReadChildLine(child.fromChild, pending, line, timeoutMs))
            last = line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(child.pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Stderr() const
    {
        std::ifstream in(dir.path + "/replay.err");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    TempDir dir;
    ChildPipes child;
    std::string pending;
    std::string url; // the update server's, when the recording asked it
    bool reaped = false;
};

RunResult sUpdater(std::vector<std::string> args)
{
    args.insert(args.begin(), UpdaterProgramPath());
    RunOptions options;
    options.timeoutMs = 120000;
    return RunProgram(args, options);
}

// Replays a recording of the corpus to the Updater given the same command:
// same lines, same status, and the replay saw all it recorded.
void sReplaysTheSame(const std::string& name, const std::vector<std::string>& args, bool serverAndStore,
                     const std::string& store = "", const std::vector<std::string>& replayOptions = {})
{
    SCOPED_TRACE(name);
    Replay replay;
    ASSERT_TRUE(replay.Start(sCorpus(name), replayOptions)) << replay.Stderr();
    std::vector<std::string> full = args;
    if (serverAndStore) {
        ASSERT_FALSE(replay.url.empty());
        full.insert(full.end(), {"-u", replay.url, "-i", store});
    }
    const RunResult host = sUpdater(full);
    std::string last;
    EXPECT_EQ(replay.Finish(last), 0) << last << "\n" << replay.Stderr();
    const Recorded recorded = sRecorded(sCorpus(name));
    EXPECT_EQ(last, "replay complete: " + std::to_string(sFileLines(sCorpus(name)).size()) + " records");
    EXPECT_EQ(sUntimed(host.out), recorded.out);
    EXPECT_EQ(sUntimed(host.err), recorded.err);
    EXPECT_EQ(host.status, recorded.status);
}

TEST(Replay, DiscoveryAndTheModulesBehindARouterAsRecorded)
{
    sReplaysTheSame("discovery.jsonl", {"-D", "-t", "TCPIP"}, false);
    sReplaysTheSame("router.jsonl", {"-D", "-r", "D272031D"}, false, "", {"--speed", "max"});
}

// The multicast query finds the module a server shares in local mode (the
// beacon the host publishes afterwards is heard by nobody); a server on the
// network answers the host's beacon with beacons of its own.
TEST(Replay, AetherSearchesAsRecorded)
{
    sReplaysTheSame("aether.jsonl", {"-D", "-t", "AETHER"}, false);
    sReplaysTheSame("aether-network.jsonl", {"-D", "-t", "AETHER"}, false);
}

TEST(Replay, DownloadThenUpdatesThroughARouterAndDirectly)
{
    TempDir store;
    // The download's answers from the update server make the store that
    // the update through the router installs from.
    sReplaysTheSame("download.jsonl", {"-G", "-d", "40F5849A"}, true, store.path);
    struct stat st;
    ASSERT_EQ(stat((store.path + "/updater/40F5849A/4870.bird").c_str(), &st), 0);
    sReplaysTheSame("update-router.jsonl", {"-U", "-d", "40F5849A", "-r", "D272031D"}, true, store.path);
    // A module reached directly restarts after the update: its connection
    // drops where it did when recorded, and the host connects again.
    sReplaysTheSame("update-direct.jsonl", {"-G", "-U", "-d", "6A3C0012", "-t", "TCPIP"}, true, store.path);
}

TEST(Replay, AnotherFirmwareDivergesAtTheFirstDifferingPacket)
{
    TempDir store;
    // The same build number, another image: everything up to the firmware's
    // bytes goes as recorded.
    const std::string bird = store.path + "/other.bird";
    const std::string image = store.path + "/other.bin";
    {
        std::ofstream out(image, std::ios::binary);
        for (int i = 0; i < 600; i++)
            out.put(char((i * 7 + 4) & 255));
    }
    const RunResult made = RunProgram({std::string(TEST_BINARY_DIR) + "/tools/birdtool", "create", "-o", bird,
                                       "--firmware", "0x8000:" + image, "--build", "4870", "--version", "2.14.9",
                                       "--serial", "40F5849A", "--model", "Oriel"});
    ASSERT_EQ(made.status, 0) << made.err;

    Replay replay;
    ASSERT_TRUE(replay.Start(sCorpus("update-file.jsonl"), {"--speed", "max"}));
    const RunResult host = sUpdater({"-U", "-d", "40F5849A", "-r", "D272031D", "-f", bird, "-i", store.path});
    std::string last;
    EXPECT_EQ(replay.Finish(last), 1) << last;
    EXPECT_NE(host.status, 0);

    // "replay diverged at record N: expected HEX, got HEX (link 1 ...)":
    // record N is the packet the host sent differently.
    unsigned n = 0;
    char expected[80] = "", got[80] = "";
    ASSERT_EQ(std::sscanf(last.c_str(), "replay diverged at record %u: expected %79[0-9a-f], got %79[0-9a-f]", &n,
                          expected, got), 3)
        << last << "\n" << host.out << host.err;
    EXPECT_TRUE(Contains(last, " to 198.18.0.1:")) << last;
    EXPECT_TRUE(Contains(last, ", module D272031D)")) << last;
    EXPECT_STRNE(expected, got);
    const std::vector<std::string> lines = sFileLines(sCorpus("update-file.jsonl"));
    ASSERT_LE(n, lines.size());
    const nlohmann::json record = nlohmann::json::parse(lines[n - 1]);
    EXPECT_EQ(record["kind"], "packet");
    EXPECT_EQ(record["dir"], "out");
    EXPECT_EQ(record["hex"], expected);
    // Every packet the host sent before it was as recorded: the divergence
    // is past the loader's start and the first firmware piece's header.
    EXPECT_GT(n, 200u);
}

TEST(Replay, ACutRecordingPlaysToItsCut)
{
    TempDir dir;
    // The router scan, cut after its first link's dialogue.
    std::vector<std::string> lines = sFileLines(sCorpus("router.jsonl"));
    lines.resize(60);
    const std::string cut = dir.path + "/cut.jsonl";
    sWriteLines(cut, lines);

    Replay replay;
    ASSERT_TRUE(replay.Start(cut, {"--speed", "max"}));
    const RunResult host = sUpdater({"-D", "-r", "D272031D"});
    std::string last;
    EXPECT_EQ(replay.Finish(last), 0) << last;
    EXPECT_EQ(last, "replay ended at record 60: the recording was cut there");
    EXPECT_FALSE(host.timedOut);
}

TEST(Replay, ARecordingCutByKillingTheUpdaterStillReplays)
{
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--bind", IFADDR, "--discovery", IFADDR, "--module",
                           "serial=D272031D,model=17,address=2,name=Router", "--behind",
                           "serial=2181F0EE,model=13,address=4", "--behind", "serial=40F5849A,model=26,address=8"}))
        << sim.Stderr();
    TempDir dir;
    const std::string path = dir.path + "/killed.jsonl";
    // Killed in the middle of the scan of the router's network.
    auto answers = [&] {
        std::ifstream in(path);
        std::string line;
        int n = 0;
        while (std::getline(in, line))
            n += line.find("\"dir\":\"in\"") != std::string::npos && line.find("\"packet\"") != std::string::npos;
        return n;
    };
    RunOptions options;
    options.timeoutMs = 120000;
    bool killed = false;
    options.whileRunning = [&](pid_t pid) {
        if (!killed && answers() >= 20) {
            kill(pid, SIGKILL);
            killed = true;
        }
    };
    const RunResult run = RunProgram({UpdaterProgramPath(), "--record", path, "-D", "-r", "D272031D"}, options);
    ASSERT_TRUE(killed) << run.out << run.err;
    sim.Stop();

    // Every line but the last is whole (the kernel may cut a write that the
    // kill met in the middle, and a reader drops such a line); there is no
    // exit record.
    const std::vector<std::string> lines = sFileLines(path);
    ASSERT_GT(lines.size(), 20u);
    const std::string text = sFileText(path);
    const bool cut = text.back() != '\n';
    for (size_t i = 0; i + (cut ? 1 : 0) < lines.size(); i++)
        EXPECT_NE(nlohmann::json::parse(lines[i])["kind"], "exit");

    Replay replay;
    ASSERT_TRUE(replay.Start(path, {"--speed", "max"})) << replay.Stderr();
    sUpdater({"-D", "-r", "D272031D"});
    std::string last;
    EXPECT_EQ(replay.Finish(last), 0) << last;
    EXPECT_EQ(last, "replay ended at record " + std::to_string(lines.size()) + ": the recording was cut there");
}

TEST(Replay, BadRecordingsAreRefusedWithTheirLineBeforeAnythingIsServed)
{
    TempDir dir;
    const std::vector<std::string> head = sFileLines(sCorpus("router.jsonl"));
    struct Case {
        const char* name;
        int line;
        std::string text;
        const char* says;
    } cases[] = {
        {"not json", 3, "{\"kind\":\"packet\",", "line 3: not JSON"},
        {"unknown kind", 2, "{\"kind\":\"teleport\",\"t\":5}", "line 2: unknown record kind \"teleport\""},
        {"long packet", 9,
         "{\"kind\":\"packet\",\"t\":9999999,\"link\":1,\"dir\":\"in\",\"hex\":\"021d" + std::string(58, '0') + "\"}",
         "line 9: field \"hex\" holds 31 bytes, more than 30"},
        {"wrong length byte", 9, "{\"kind\":\"packet\",\"t\":9999999,\"link\":1,\"dir\":\"in\",\"hex\":\"020300\"}",
         "line 9: the packet's length byte does not match its data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> lines(head.begin(), head.begin() + 12);
        lines[size_t(c.line - 1)] = c.text;
        const std::string path = dir.path + "/bad.jsonl";
        sWriteLines(path, lines);
        const RunResult r = RunProgram({SimHarness::ProgramPath(), "--replay", path, "--discovery", IFADDR});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, ""); // no ready report: nothing was served
        EXPECT_TRUE(Contains(r.err, c.says)) << r.err;
    }
}

// The BIRD file of the USB recording: the corpus's firmware pattern, its
// every byte plus shift.
std::string sUsbBird(const std::string& dir, int shift)
{
    const std::string image = dir + "/fw.bin";
    {
        std::ofstream out(image, std::ios::binary);
        for (int i = 0; i < 600; i++)
            out.put(char((i * 7 + 3 + shift) & 255));
    }
    const RunResult made = RunProgram({std::string(TEST_BINARY_DIR) + "/tools/birdtool", "create", "-o",
                                       dir + "/usb-update.bird", "--firmware", "0x8000:" + image, "--build", "4870",
                                       "--version", "2.14.9", "--serial", "40F5849A", "--model", "Oriel"});
    EXPECT_EQ(made.status, 0) << made.err;
    return dir + "/usb-update.bird";
}

const std::vector<std::string> USB_UPDATE = {"-U", "-d", "40F5849A", "-t", "USB", "-f", "usb-update.bird", "-i",
                                             "usb-store"};

// A recording replayed on the USB bus to the Updater given these words, run
// in dir: the bus's result, and the host's in dir/host.*.
RunResult sUsbReplay(const std::string& dir, const std::string& recording, const std::vector<std::string>& words,
                     const std::vector<std::string>& speed = {})
{
    std::vector<std::string> argv = {UsbBusRunner::ProgramPath(), "--sim", SimHarness::ProgramPath(), "--lifetime",
                                     "120", "--replay", recording};
    argv.insert(argv.end(), speed.begin(), speed.end());
    argv.insert(argv.end(), {"--", "/bin/sh", "-c",
                             "cd \"$1\" && shift && \"$@\" > host.out 2> host.err; echo $? > host.status", "sh", dir,
                             UpdaterProgramPath()});
    argv.insert(argv.end(), words.begin(), words.end());
    RunOptions options;
    options.timeoutMs = 150000;
    return RunProgram(argv, options);
}

// The bus played all of the corpus's recording, and the host printed what it
// printed when recorded and ended the same way.
void sUsbReplaysTheSame(const std::string& name, const std::vector<std::string>& words, const std::string& dir)
{
    SCOPED_TRACE(name);
    const RunResult bus = sUsbReplay(dir, sCorpus(name), words);
    EXPECT_EQ(bus.status, 0) << bus.out << bus.err;
    const size_t records = sFileLines(sCorpus(name)).size();
    EXPECT_EQ(SplitLines(bus.out), std::vector<std::string>{"replay complete: " + std::to_string(records) + " records"})
        << bus.err;
    const Recorded recorded = sRecorded(sCorpus(name));
    EXPECT_EQ(sUntimed(sFileText(dir + "/host.out")), recorded.out);
    EXPECT_EQ(sUntimed(sFileText(dir + "/host.err")), recorded.err);
    EXPECT_EQ(sFileText(dir + "/host.status"), std::to_string(recorded.status) + "\n");
}

TEST(Replay, UsbModuleThatLeavesTheBusAndComesBackAsRecorded)
{
    TempDir dir;
    sUsbBird(dir.path, 0);
    sUsbReplaysTheSame("usb-update.jsonl", USB_UPDATE, dir.path);
}

// The boot ROM's HID device takes the recovery loader and jumps to it; the
// loader comes onto the bus as a module once the ROM has left.
TEST(Replay, ImxBootRomOnUsbThenItsLoaderAsRecorded)
{
    TempDir dir;
    sUsbReplaysTheSame("imx-usb.jsonl", {"-N", "-s", "USB", "-u", "{http}/cgi/u", "-i", "imx-store"}, dir.path);
}

// A recording whose first HID command differs from what this build writes
// (as one made by another build would): the replay stops at that report.
TEST(Replay, AnotherHidCommandDivergesAtThatReport)
{
    TempDir dir;
    std::vector<std::string> lines = sFileLines(sCorpus("imx-usb.jsonl"));
    size_t n = 0;
    std::string recorded;
    for (size_t i = 0; i < lines.size() && n == 0; i++) {
        nlohmann::json r = nlohmann::json::parse(lines[i]);
        if (r["kind"] == "hid" && r["dir"] == "out") {
            recorded = r["hex"];
            r["hex"] = recorded.substr(0, recorded.size() - 2) + "7f";
            lines[i] = r.dump();
            n = i + 1;
        }
    }
    ASSERT_NE(n, 0u);
    sWriteLines(dir.path + "/other.jsonl", lines);
    const RunResult bus = sUsbReplay(dir.path, dir.path + "/other.jsonl",
                                     {"-N", "-s", "USB", "-u", "{http}/cgi/u", "-i", "imx-store"}, {"--speed", "max"});
    EXPECT_EQ(bus.status, 1) << bus.out << bus.err;
    EXPECT_EQ(bus.out, "replay diverged at record " + std::to_string(n) + ": expected "
                           + recorded.substr(0, recorded.size() - 2) + "7f, got " + recorded
                           + " (HID device 1fc9:0130)\n");
    EXPECT_NE(sFileText(dir.path + "/host.status"), "0\n");
}

TEST(Replay, AnotherFirmwareOverUsbDivergesAtItsFirstPiece)
{
    TempDir dir;
    sUsbBird(dir.path, 1);
    const RunResult bus = sUsbReplay(dir.path, sCorpus("usb-update.jsonl"), USB_UPDATE, {"--speed", "max"});
    EXPECT_EQ(bus.status, 1) << bus.out << bus.err;
    EXPECT_NE(sFileText(dir.path + "/host.status"), "0\n");
    unsigned n = 0;
    char expected[80] = "", got[80] = "";
    ASSERT_EQ(std::sscanf(bus.out.c_str(), "replay diverged at record %u: expected %79[0-9a-f], got %79[0-9a-f]", &n,
                          expected, got), 3)
        << bus.out << bus.err;
    EXPECT_TRUE(Contains(bus.out, "(link 2 on USB, module 40F5849A)")) << bus.out;
    // The first firmware packet, on the link made to the module once it
    // came back on the bus in its loader.
    const std::vector<std::string> lines = sFileLines(sCorpus("usb-update.jsonl"));
    ASSERT_LE(n, lines.size());
    const nlohmann::json record = nlohmann::json::parse(lines[n - 1]);
    EXPECT_EQ(record["dir"], "out");
    EXPECT_EQ(record["hex"], expected);
    EXPECT_STRNE(expected, got);
}

} // namespace
