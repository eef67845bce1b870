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
#include <sys/stat.h>
#include <zmq.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
#include "store/BirdWriter.h"
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
    // A program reaches a shared module only once it turns networking on.
    aEtherConfig config;
    link.getConfig(&config);
    config.enabled = 1;
    link.setConfig(config);
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

// Connects and asks for the serial number count times: "ok", or why not.
int Ask(uint16_t port, int count, const char* address)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    linkSpec spec{};
    spec.type = AETHER;
    spec.serialNumber = SERIAL;
    spec.t.ipAddress = htonl(INADDR_LOOPBACK);
    spec.p.ipPort = port;
    if (address)
        inet_pton(AF_INET, address, &spec.t.ipAddress);
    Link link(spec, "ask");
    // A program reaches a shared module only once it turns networking on.
    aEtherConfig config;
    link.getConfig(&config);
    config.enabled = 1;
    link.setConfig(config);
    if (link.connect() != aErrNone) {
        std::printf("no connection\n");
        return 1;
    }
    for (int i = 0; i < count; i++) {
        uei request{};
        request.module = MODULE;
        request.command = cmdSYSTEMCLASS;
        request.option = OPTION_SERIAL | ueiOPTION_GET;
        request.specifier = ueiINDEX_REQUEST;
        request.type = UEI_VOID;
        uei reply{};
        if (link.sendUEI(request) != aErrNone
            || link.receiveUEI(MODULE, cmdSYSTEMCLASS, OPTION_SERIAL, 0, &reply) != aErrNone
            || reply.value.intVal != SERIAL) {
            std::printf("request %d: no answer\n", i);
            return 1;
        }
    }
    std::printf("ok\n");
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

size_t CountLines(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (const std::string& line : SplitLines(text))
        n += line.find(part) != std::string::npos;
    return n;
}

std::string KeyFolder(const std::string& home)
{
    return home + "/.quorvane/aether";
}

std::string FirstLine(const std::string& path)
{
    std::vector<std::string> lines = SplitLines(srvtest::ReadWholeFile(path));
    return lines.empty() ? std::string() : lines.front();
}

// The TCP sockets of a process: "LOCALPORT REMOTEPORT STATE" per socket.
std::vector<std::string> TcpSockets(pid_t pid)
{
    std::vector<std::string> inodes;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
        char target[256];
        ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
        std::string t(target, n > 0 ? size_t(n) : 0);
        if (t.compare(0, 8, "socket:[") == 0)
            inodes.push_back(t.substr(8, t.size() - 9));
    }
    if (d)
        closedir(d);
    std::vector<std::string> sockets;
    std::istringstream table(srvtest::ReadWholeFile("/proc/" + std::to_string(pid) + "/net/tcp"));
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (std::find(inodes.begin(), inodes.end(), inode) == inodes.end())
            continue;
        auto port = [](const std::string& address) {
            return std::to_string(std::stoul(address.substr(address.find(':') + 1), nullptr, 16));
        };
        sockets.push_back(port(local) + " " + port(remote) + " " + state);
    }
    return sockets;
}

// Peak resident memory of a process, in KiB.
long PeakKiB(pid_t pid)
{
    for (const std::string& line : SplitLines(srvtest::ReadWholeFile("/proc/" + std::to_string(pid) + "/status")))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// One frame from a peer holding the owner's client key; returns once
// ZeroMQ has passed it on or the server has cut the peer off.
void SendRawFrame(const std::string& home, uint16_t port, size_t size)
{
    void* context = zmq_ctx_new();
    void* dealer = zmq_socket(context, ZMQ_DEALER);
    const std::string folder = KeyFolder(home);
    std::string secret = FirstLine(folder + "/client.key");
    char publicKey[41];
    zmq_curve_public(publicKey, secret.c_str());
    std::string server = FirstLine(folder + "/server.pub");
    zmq_setsockopt(dealer, ZMQ_CURVE_SERVERKEY, server.c_str(), 40);
    zmq_setsockopt(dealer, ZMQ_CURVE_PUBLICKEY, publicKey, 40);
    zmq_setsockopt(dealer, ZMQ_CURVE_SECRETKEY, secret.c_str(), 40);
    int linger = 10000;
    zmq_setsockopt(dealer, ZMQ_LINGER, &linger, sizeof linger);
    zmq_connect(dealer, ("tcp://127.0.0.1:" + std::to_string(port)).c_str());
    std::vector<char> frame(size, '\x02');
    zmq_send(dealer, frame.data(), frame.size(), 0);
    zmq_close(dealer);
    zmq_ctx_term(context);
}

TEST(ServeSecurity, OnlyTheOwnersKeysGetThroughAndNothingElseIsOpen)
{
    UsbBusRunner bus;
    bus.Module(std::string(MODULE_KEYS) + "0");
    Child server;
    const uint16_t port = StartServe(bus, server, {ServePath(), "-d", "40F5849A", "--foreground"});
    ASSERT_NE(port, 0) << server.out << srvtest::ReadWholeFile(bus.Folder() + "/serve.err");
    const pid_t serve = ServePid();
    ASSERT_GT(serve, 0);

    // The owner's keys were made for the owner alone.
    struct stat folder;
    ASSERT_EQ(stat(KeyFolder(bus.Store()).c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    // Only the frontend listens, and the only other TCP socket is the
    // server's own client on it.
    std::vector<std::string> sockets = TcpSockets(serve);
    ASSERT_FALSE(sockets.empty());
    const std::string frontend = std::to_string(port);
    for (const std::string& s : sockets) {
        std::istringstream fields(s);
        std::string local, remote;
        fields >> local >> remote;
        EXPECT_TRUE(local == frontend || remote == frontend) << s;
    }

    // Another user who knows the server's public key but whose own key the
    // owner never allowed is refused at the handshake: the module hears
    // nothing from it.
    char other[] = "/tmp/corvestel-other-XXXXXX";
    ASSERT_NE(mkdtemp(other), nullptr);
    const std::string otherHome = other;
    mkdir((otherHome + "/.quorvane").c_str(), 0755);
    mkdir(KeyFolder(otherHome).c_str(), 0700);
    {
        std::ofstream known(KeyFolder(otherHome) + "/known_servers");
        known << "127.0.0.1 " << FirstLine(KeyFolder(bus.Store()) + "/server.pub") << "\n";
    }
    for (const std::string& path : {otherHome, otherHome + "/.quorvane", KeyFolder(otherHome),
             KeyFolder(otherHome) + "/known_servers"})
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    const std::vector<std::string> asOther{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
        "/usr/bin/env", "HOME=" + otherHome, "SERVE_ROLE=ask", SelfPath(), std::to_string(port), "3"};
    const size_t heard = CountLines(bus.Trace(), " rx ");
    RunResult refused = RunProgram(asOther);
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_NE(refused.out, "ok\n");
    EXPECT_EQ(CountLines(bus.Trace(), " rx "), heard);

    // A frame far longer than any packet cuts its sender off before the
    // server holds it, and the server goes on.
    const long peak = PeakKiB(serve);
    SendRawFrame(bus.Store(), port, 100u << 20);
    EXPECT_LT(PeakKiB(serve), peak + 20 * 1024);

    // Once the owner allows that user's key, the same client is served.
    const std::string otherKey = FirstLine(KeyFolder(otherHome) + "/client.pub");
    ASSERT_EQ(otherKey.size(), 40u);
    {
        std::ofstream allowed(KeyFolder(bus.Store()) + "/authorized_clients");
        allowed << "# the other user\n" << otherKey << " other@host\n";
    }
    RunResult served = RunProgram(asOther);
    EXPECT_EQ(served.out, "ok\n") << served.err;
    RunResult owner = RunProgram(Env(bus, {"SERVE_ROLE=ask", SelfPath(), std::to_string(port), "3"}));
    EXPECT_EQ(owner.out, "ok\n") << owner.err;

    kill(serve, SIGTERM);
    EXPECT_TRUE(Finish(server, 30000));
    EXPECT_EQ(server.status, 0);
    Stop(server);
    std::filesystem::remove_all(otherHome);
}

std::string WriteBird(const UsbBusRunner& bus)
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, updtest::Pattern(120, 5));
    writer.AddFirmware(0, updtest::VectorImage(3000, 23));
    writer.AddSerialOffsets(0x100, 0x120);
    writer.AddInfo(2000, "2.16.0", 0, "Pilgrim");
    const std::string bird = bus.Folder() + "/new.bird";
    EXPECT_EQ(writer.Write(bird), aErrNone);
    return bird;
}

// Stopped with SIGTERM while a client streams, the server ends, and the
// module is free for the Updater at once.
TEST(ServeStop, SigtermMidStreamFreesTheModuleForTheUpdater)
{
    UsbBusRunner bus;
    bus.Module(std::string(MODULE_KEYS) + "200,newversion=2.16.0,newbuild=2000");
    const std::string bird = WriteBird(bus);
    std::string script = "'" + ServePath() + "' -d 40F5849A --foreground || exit 9; exec";
    for (const std::string& word : bus.UpdaterCommand({"-U", "-d", "40F5849A", "-f", bird}))
        script += " '" + word + "'";
    Child server, client;
    const uint16_t port = StartServe(bus, server, {"/bin/sh", "-c", script});
    ASSERT_NE(port, 0) << server.out << srvtest::ReadWholeFile(bus.Folder() + "/serve.err");
    ASSERT_TRUE(SpawnChild(ClientArgv(bus, port, OPTION_SERIAL), bus.Folder() + "/client.err", client.pipes));
    ASSERT_TRUE(AwaitOutput(client, [](const std::string& out) { return SamplesOf(out).size() >= 3; }, 15000))
        << client.out;

    const pid_t serve = ServePid();
    ASSERT_GT(serve, 0);
    kill(serve, SIGTERM);
    ASSERT_TRUE(Finish(server, 120000));
    EXPECT_EQ(server.status, 0) << server.out << srvtest::ReadWholeFile(bus.Folder() + "/serve.err");
    EXPECT_NE(server.out.find("Stopped serving module 40F5849A\n"), std::string::npos) << server.out;
    EXPECT_EQ(kill(serve, 0), -1); // gone, not left behind
    EXPECT_EQ(ServePid(), 0);
    EXPECT_EQ(bus.Flash(SERIAL).Read("flash", 0, 3000), testimages::SerialPatched(updtest::VectorImage(3000, 23), SERIAL,
        0x100, 0x120));
    close(client.pipes.toChild);
    client.pipes.toChild = -1;
    Finish(client, 30000);
    Stop(client);
    Stop(server);
}

TEST(ServeErrors, AbsentBusyAndRefusedModulesAreNamedWithTheFix)
{
    UsbBusRunner bus;
    bus.Module("serial=40F5849A,model=13");
    RunResult absent = bus.Run({ServePath(), "-d", "12345678", "--foreground"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_NE(absent.err.find("No module 12345678 on USB"), std::string::npos) << absent.err;

    // While one server holds the module: a second server is refused, the
    // shared module is listed, and an update says who holds the module.
    const std::string out = bus.Folder() + "/first.out";
    std::string update, list;
    for (const std::string& word : bus.UpdaterCommand({"-U", "-d", "40F5849A", "-f", WriteBird(bus)}))
        update += " '" + word + "'";
    for (const std::string& word : bus.UpdaterCommand({"-D", "-t", "AETHER"}))
        list += " '" + word + "'";
    RunResult busy = bus.Run({"/bin/sh", "-c",
        "\"$0\" -d 40F5849A --foreground > '" + out + "' & first=$!; "
        "until grep -q Serving '" + out + "'; do sleep 0.05; done; "
        "\"$0\" -d 40F5849A --foreground; echo \"second: $?\";" + list + "; echo \"list: $?\";" + update
            + "; echo \"update: $?\"; kill $first; wait $first; echo \"first: $?\"",
        ServePath()});
    EXPECT_NE(busy.out.find("second: 1\n"), std::string::npos) << busy.out << busy.err;
    EXPECT_NE(busy.err.find("Module 40F5849A is busy"), std::string::npos) << busy.err;
    EXPECT_NE(busy.out.find("list: 0\n"), std::string::npos) << busy.out << busy.err;
    EXPECT_NE(busy.out.find("Pilgrim"), std::string::npos) << busy.out;
    EXPECT_NE(busy.out.find("[127.0.0.1]"), std::string::npos) << busy.out;
    EXPECT_NE(busy.out.find("update: 1\nfirst: 0\n"), std::string::npos) << busy.out << busy.err;
    EXPECT_NE(busy.err.find("Module 40F5849A is held by a server that shares it"), std::string::npos) << busy.err;

    UsbBusRunner locked;
    locked.Module("serial=40F5849A,model=13,mode=0600");
    locked.Option("--user", "65534");
    RunResult refused = locked.Run({ServePath(), "-d", "40F5849A", "--foreground"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Permission denied on /dev/bus/usb/"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("udev rules"), std::string::npos);
}

// Served on the namespace's network card, the module is found by beacon
// and identified through the server, keys and all.
TEST(ServeNetwork, FoundByBeaconAndServedOnTheInterface)
{
    UsbBusRunner bus;
    bus.Module("serial=40F5849A,model=13");
    const std::string out = bus.Folder() + "/serve.out";
    std::string list;
    for (const std::string& word : bus.UpdaterCommand({"-D", "-t", "AETHER"}))
        list += " '" + word + "'";
    RunResult r = bus.Run({"/bin/sh", "-c",
        "\"$0\" -d 40F5849A --network 198.18.0.1 --foreground > '" + out + "' & server=$!; "
        "until grep -q Serving '" + out + "'; do sleep 0.05; done;" + list
            + "; echo \"list: $?\"; kill $server; wait $server; echo \"server: $?\"; cat '" + out + "'",
        ServePath()});
    EXPECT_NE(r.out.find("list: 0\nserver: 0\n"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.find("[198.18.0.1]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Pilgrim"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Serving module 40F5849A (Pilgrim) on 198.18.0.1:"), std::string::npos) << r.out;
}

// A peer in another network namespace, reaching the server over the
// namespace's network card: with a key the owner never allowed it is
// refused and the module hears nothing; once allowed it is served.
TEST(ServeNetwork, AnotherHostsPeerNeedsAnAllowedKey)
{
    UsbBusRunner bus;
    bus.Module("serial=40F5849A,model=13");
    Child server, host;
    ASSERT_TRUE(SpawnChild(Env(bus, bus.Argv({ServePath(), "-d", "40F5849A", "--network", "198.18.0.1",
        "--foreground"})), bus.Folder() + "/serve.err", server.pipes));
    ASSERT_TRUE(AwaitText(server, ", network\n", 60000)) << srvtest::ReadWholeFile(bus.Folder() + "/serve.err");
    const std::string start = "on 198.18.0.1:";
    const std::string port = std::to_string(std::atoi(server.out.c_str() + server.out.find(start) + start.size()));

    // The other host: a namespace of its own holding the veth peer.
    ASSERT_TRUE(SpawnChild({"/usr/bin/unshare", "--net", "/bin/sleep", "120"}, bus.Folder() + "/host.err",
        host.pipes));
    const std::string pid = std::to_string(host.pipes.pid);
    // unshare has made the namespace once its process is in another one.
    auto netns = [](const std::string& process) {
        char target[64];
        ssize_t n = readlink(("/proc/" + process + "/ns/net").c_str(), target, sizeof target - 1);
        return std::string(target, n > 0 ? size_t(n) : 0);
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (netns(pid) == netns("self") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    RunResult moved = RunProgram({"/usr/sbin/ip", "link", "set", "tv1", "netns", pid});
    ASSERT_EQ(moved.status, 0) << moved.err;
    RunResult up = RunProgram({"/usr/bin/nsenter", "-t", pid, "-n", "/bin/sh", "-c",
        "ip link set lo up && ip link set tv1 up && ip address add 198.18.0.2/24 dev tv1"});
    ASSERT_EQ(up.status, 0) << up.err;

    char other[] = "/tmp/corvestel-host-XXXXXX";
    ASSERT_NE(mkdtemp(other), nullptr);
    mkdir((std::string(other) + "/.quorvane").c_str(), 0755);
    mkdir(KeyFolder(other).c_str(), 0700);
    std::ofstream(KeyFolder(other) + "/known_servers")
        << "198.18.0.1 " << FirstLine(KeyFolder(bus.Store()) + "/server.pub") << "\n";
    const std::vector<std::string> ask{"/usr/bin/nsenter", "-t", pid, "-n", "/usr/bin/env",
        "HOME=" + std::string(other), "SERVE_ROLE=ask", SelfPath(), port, "3", "198.18.0.1"};
    const size_t heard = CountLines(bus.Trace(), " rx ");
    RunResult refused = RunProgram(ask);
    EXPECT_NE(refused.out, "ok\n") << refused.err;
    EXPECT_EQ(CountLines(bus.Trace(), " rx "), heard);

    std::ofstream(KeyFolder(bus.Store()) + "/authorized_clients") << FirstLine(KeyFolder(other) + "/client.pub")
                                                                  << "\n";
    RunResult served = RunProgram(ask);
    EXPECT_EQ(served.out, "ok\n") << served.err;

    kill(host.pipes.pid, SIGKILL);
    Finish(host, 10000);
    const pid_t serve = ServePid();
    ASSERT_GT(serve, 0);
    kill(serve, SIGTERM);
    EXPECT_TRUE(Finish(server, 30000));
    EXPECT_EQ(server.status, 0);
    Stop(server);
    Stop(host);
    std::filesystem::remove_all(other);
}

} // namespace

int main(int argc, char** argv)
{
    if (const char* role = std::getenv("SERVE_ROLE")) {
        if (std::strcmp(role, "client") == 0 && argc >= 3)
            return Client(uint16_t(std::atoi(argv[1])), uint8_t(std::atoi(argv[2])));
        if (std::strcmp(role, "ask") == 0 && argc >= 3)
            return Ask(uint16_t(std::atoi(argv[1])), std::atoi(argv[2]), argc >= 4 ? argv[3] : nullptr);
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
