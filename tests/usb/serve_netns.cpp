// corvestel-serve on the simulated USB bus, as a user runs it: it shares the
// module until SIGTERM; clients in other processes stream a value and make
// requests at once. Each client gets only its own answers and every sample
// the module sent while it was registered (counted against the simulator's
// trace), with and without module heartbeats; one client switching its
// stream off leaves the other's flowing; stopped mid-stream, the server
// leaves no process and frees the module for the Updater. The clients are
// this program run again in a role (SERVE_ROLE).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/Link.h"
#include "link/aDefs.h"
#include "link/aLink.h"
#include "support/ChildProcess.h"
#include "support/ProgramRunner.h"
#include "support/TestImages.h"
#include "support/UsbBusRunner.h"
#include "updater/UpdateFixtures.h"

using Quorvane::Corvestel::Link;

namespace {

const uint32_t SERIAL = 0x40F5849A;
const uint8_t MODULE = 2;
const uint8_t OPTION_MODULE = 1;
const uint8_t OPTION_SERIAL = 9;
// The one stream the module sends: command 3, option 4, index 0, one byte,
// five a second: a batch of 4 KB would take 50 s to fill, so samples that
// wait for one (or for a heartbeat) miss the deadlines below by far.
const char* SAMPLE_START = "02 0E 03 04 40 01 ";
const char* MODULE_KEYS = "serial=40F5849A,model=13,streamms=200,stream=3:4:0:1,hb=";

std::string SelfPath()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
}

std::string ServePath()
{
    return std::string(TEST_BINARY_DIR) + "/corvestel-serve";
}

std::string Hex(const aPacket* p)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string s;
    auto add = [&](uint8_t b) {
        if (!s.empty())
            s += ' ';
        s += DIGITS[b >> 4];
        s += DIGITS[b & 0x0F];
    };
    add(p->address);
    add(p->length);
    for (uint8_t i = 0; i < p->length; i++)
        add(p->data[i]);
    return s;
}

// ---- the client role --------------------------------------------------------

struct Samples {
    std::mutex lock;
    std::vector<std::string> pending;
    static uint8_t callback(const aPacket* packet, void* reference)
    {
        Samples* s = static_cast<Samples*>(reference);
        std::lock_guard<std::mutex> guard(s->lock);
        s->pending.push_back(Hex(packet));
        return 0;
    }
};

uint8_t NotStream(const aPacket* p, const void*)
{
    return !Link::isStreamPacket(p);
}

uint8_t IsStream(const aPacket* p, const void*)
{
    return Link::isStreamPacket(p);
}

// Registers the stream and asks one system option again and again until its
// standard input closes; "stop" on it switches the stream off ("off").
// Prints "S BYTES" per sample, and at the end "ok REQUESTS stray N", N the
// samples that still reached the link after "off".
int Client(uint16_t port, uint8_t option)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    linkSpec spec{};
    spec.type = AETHER;
    spec.serialNumber = SERIAL;
    spec.t.ipAddress = htonl(INADDR_LOOPBACK);
    spec.p.ipPort = port;
    Link link(spec, "client");
    if (link.connect() != aErrNone) {
        std::printf("no connection\n");
        return 2;
    }
    Samples samples;
    if (link.registerStreamCallback(MODULE, 3, 4, 0, true, Samples::callback, &samples) != aErrNone) {
        std::printf("no stream\n");
        return 2;
    }
    std::printf("on\n");
    std::fflush(stdout);
    fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    const uint32_t id = link.getLinkIdentifier();
    const uint32_t want = option == OPTION_SERIAL ? SERIAL : MODULE;
    const uint8_t get[] = {cmdSYSTEMCLASS, static_cast<uint8_t>(0x40 | option), 0x20};
    size_t stray = 0;
    bool off = false;
    std::string input;
    int requests = 0;
    for (;; requests++) {
        aPacket* request = aPacket_CreateWithData(MODULE, sizeof get, get);
        aLink_PutPacket(id, request);
        aPacket_Destroy(&request);
        aPacket* answer = aLink_AwaitFirst(id, NotStream, nullptr, 3000);
        if (!answer) {
            std::printf("request %d: no answer\n", requests);
            return 1;
        }
        uint32_t value = 0;
        for (uint8_t i = 3; i < answer->length && i < 7; i++)
            value = value << 8 | answer->data[i];
        bool mine = answer->length >= 3 && answer->data[0] == cmdSYSTEMCLASS && answer->data[1] == option
            && value == want;
        aPacket_Destroy(&answer);
        if (!mine) {
            std::printf("request %d: a foreign answer\n", requests);
            return 1;
        }
        if (off)
            stray += aLink_DrainPackets(id, IsStream, nullptr);
        {
            std::lock_guard<std::mutex> guard(samples.lock);
            for (const std::string& s : samples.pending)
                std::printf("S %s\n", s.c_str());
            samples.pending.clear();
        }
        std::fflush(stdout);
        char buffer[64];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n > 0)
            input.append(buffer, size_t(n));
        if (!off && input.find("stop\n") != std::string::npos) {
            if (link.registerStreamCallback(MODULE, 3, 4, 0, false, nullptr, nullptr) != aErrNone) {
                std::printf("stream not switched off\n");
                return 1;
            }
            off = true;
            std::lock_guard<std::mutex> guard(samples.lock);
            for (const std::string& s : samples.pending)
                std::printf("S %s\n", s.c_str());
            samples.pending.clear();
            std::printf("off\n");
        }
    }
    std::printf("ok %d stray %zu\n", requests, stray);
    return 0;
}

// ---- the test's side ----------------------------------------------------------

struct Child {
    ChildPipes pipes;
    std::string out;
    int status = -1;
};

void Drain(Child& c)
{
    char buffer[4096];
    ssize_t n;
    while ((n = read(c.pipes.fromChild, buffer, sizeof buffer)) > 0)
        c.out.append(buffer, size_t(n));
}

bool Finish(Child& c, int limitMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (true) {
        Drain(c);
        int status = 0;
        if (waitpid(c.pipes.pid, &status, WNOHANG) == c.pipes.pid) {
            Drain(c);
            c.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            close(c.pipes.fromChild);
            if (c.pipes.toChild >= 0)
                close(c.pipes.toChild);
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        struct pollfd p = {c.pipes.fromChild, POLLIN, 0};
        poll(&p, 1, 20);
    }
}

bool AwaitOutput(Child& c, const std::function<bool(const std::string&)>& done, int limitMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done(c.out)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        struct pollfd p = {c.pipes.fromChild, POLLIN, 0};
        poll(&p, 1, 50);
        Drain(c);
    }
    return true;
}

bool AwaitText(Child& c, const std::string& text, int limitMs)
{
    return AwaitOutput(c, [&](const std::string& out) { return out.find(text) != std::string::npos; }, limitMs);
}

void Stop(Child& c)
{
    if (c.status < 0 && c.pipes.pid > 0) {
        kill(c.pipes.pid, SIGKILL);
        Finish(c, 5000);
    }
}

// The samples a client printed, in order.
std::vector<std::string> SamplesOf(const std::string& out)
{
    std::vector<std::string> samples;
    for (const std::string& line : SplitLines(out))
        if (line.compare(0, 2, "S ") == 0)
            samples.push_back(line.substr(2));
    return samples;
}

// The samples the module sent, in order, from its trace.
std::vector<std::string> SentSamples(const UsbBusRunner& bus)
{
    std::vector<std::string> sent;
    const std::string start = "40F5849A tx ";
    for (const std::string& line : SplitLines(bus.Trace()))
        if (line.compare(0, start.size(), start) == 0 && line.compare(start.size(), 18, SAMPLE_START) == 0)
            sent.push_back(line.substr(start.size()));
    return sent;
}

// The module's samples from the client's first to its last: the client
// must have every one of them, in order.
void ExpectEverySample(const std::vector<std::string>& got, const std::vector<std::string>& sent, const char* who)
{
    ASSERT_FALSE(got.empty()) << who;
    size_t first = 0;
    while (first < sent.size() && sent[first] != got.front())
        first++;
    ASSERT_LT(first, sent.size()) << who << ": a sample the module never sent";
    std::vector<std::string> window(sent.begin() + long(first),
        sent.begin() + long(std::min(sent.size(), first + got.size())));
    EXPECT_EQ(got, window) << who << " missed samples";
}

// The process of the running corvestel-serve (a descendant of the bus).
pid_t ServePid()
{
    DIR* proc = opendir("/proc");
    pid_t found = 0;
    while (dirent* e = proc ? readdir(proc) : nullptr) {
        pid_t pid = pid_t(std::atoi(e->d_name));
        if (pid <= 0)
            continue;
        char link[64], path[4096];
        std::snprintf(link, sizeof link, "/proc/%d/exe", int(pid));
        ssize_t n = readlink(link, path, sizeof path - 1);
        if (n > 0 && std::string(path, size_t(n)) == ServePath())
            found = pid;
    }
    if (proc)
        closedir(proc);
    return found;
}

std::vector<std::string> Env(const UsbBusRunner& bus, std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/env", "HOME=" + bus.Store()});
    return argv;
}

std::vector<std::string> ClientArgv(const UsbBusRunner& bus, uint16_t port, uint8_t option)
{
    return Env(bus, {"SERVE_ROLE=client", SelfPath(), std::to_string(port), std::to_string(option)});
}

// Starts corvestel-serve on the bus and reads its port from its line.
uint16_t StartServe(UsbBusRunner& bus, Child& server, const std::vector<std::string>& command)
{
    if (!SpawnChild(Env(bus, bus.Argv(command)), bus.Folder() + "/serve.err", server.pipes))
        return 0;
    if (!AwaitText(server, ", local only\n", 60000))
        return 0;
    const std::string start = "Serving module 40F5849A (Pilgrim) on 127.0.0.1:";
    size_t at = server.out.find(start);
    return at == std::string::npos ? 0 : uint16_t(std::atoi(server.out.c_str() + at + start.size()));
}

class ServeStreams : public testing::TestWithParam<int> {};

TEST_P(ServeStreams, TwoClientsGetEverySampleAndOnlyTheirOwnAnswers)
{
    UsbBusRunner bus;
    bus.Module(MODULE_KEYS + std::to_string(GetParam()));
    Child server, a, b;
    const uint16_t port = StartServe(bus, server, {ServePath(), "-d", "40F5849A", "--foreground"});
    ASSERT_NE(port, 0) << server.out << srvtest::ReadWholeFile(bus.Folder() + "/serve.err");

    ASSERT_TRUE(SpawnChild(ClientArgv(bus, port, OPTION_SERIAL), bus.Folder() + "/a.err", a.pipes));
    ASSERT_TRUE(SpawnChild(ClientArgv(bus, port, OPTION_MODULE), bus.Folder() + "/b.err", b.pipes));
    auto samples = [](size_t count) {
        return [count](const std::string& out) { return SamplesOf(out).size() >= count; };
    };
    ASSERT_TRUE(AwaitOutput(a, samples(10), 15000)) << a.out;
    ASSERT_TRUE(AwaitOutput(b, samples(10), 15000)) << b.out;

    // b switches its stream off; a's keeps coming, and the module was never
    // told to stop.
    ASSERT_EQ(write(b.pipes.toChild, "stop\n", 5), 5);
    ASSERT_TRUE(AwaitText(b, "off\n", 10000)) << b.out;
    const size_t before = SamplesOf(a.out).size();
    ASSERT_TRUE(AwaitOutput(a, samples(before + 10), 15000)) << a.out;
    EXPECT_EQ(bus.Trace().find("ev stream off"), std::string::npos);

    // What the module sent last reaches a well before a batch could fill.
    const std::vector<std::string> sent = SentSamples(bus);
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(AwaitText(a, "S " + sent.back() + "\n", 10000)) << "the last sample did not come";

    close(b.pipes.toChild);
    b.pipes.toChild = -1;
    close(a.pipes.toChild);
    a.pipes.toChild = -1;
    ASSERT_TRUE(Finish(b, 30000));
    ASSERT_TRUE(Finish(a, 30000));
    EXPECT_EQ(a.status, 0) << a.out;
    EXPECT_EQ(b.status, 0) << b.out;
    EXPECT_NE(a.out.find(" stray 0\n"), std::string::npos) << a.out.substr(a.out.rfind("ok"));
    // No sample reached b after it switched its stream off.
    EXPECT_NE(b.out.find(" stray 0\n"), std::string::npos) << b.out.substr(b.out.rfind("ok"));
    const std::vector<std::string> all = SentSamples(bus);
    ExpectEverySample(SamplesOf(a.out), all, "a");
    ExpectEverySample(SamplesOf(b.out), all, "b");

    pid_t serve = ServePid();
    ASSERT_GT(serve, 0);
    kill(serve, SIGTERM);
    EXPECT_TRUE(Finish(server, 30000));
    EXPECT_EQ(server.status, 0) << srvtest::ReadWholeFile(bus.Folder() + "/serve.err");
    EXPECT_NE(server.out.find("Stopped serving module 40F5849A\n"), std::string::npos) << server.out;
    for (Child* c : {&a, &b, &server})
        Stop(*c);
}

INSTANTIATE_TEST_SUITE_P(Heartbeats, ServeStreams, testing::Values(200, 0),
    [](const testing::TestParamInfo<int>& info) { return info.param ? "WithHeartbeats" : "WithoutHeartbeats"; });

} // namespace

int main(int argc, char** argv)
{
    if (const char* role = std::getenv("SERVE_ROLE")) {
        if (std::strcmp(role, "client") == 0 && argc >= 3)
            return Client(uint16_t(std::atoi(argv[1])), uint8_t(std::atoi(argv[2])));
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
