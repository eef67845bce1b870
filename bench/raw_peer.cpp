// The raw baselines of the benchmark suite (bench/run), each against the
// module simulator over TCP:
//   raw_peer roundtrip SIM ROUNDS
//     starts SIM (corvestel-sim) on loopback and times, interleaved, one
//     SystemClass::getSerialNumber through Module, Link, the engine and TCP,
//     and the same request bytes sent on a plain socket, their reply read
//     back; prints one JSON line of medians and 99th percentiles in us.
//   raw_peer replay HOST PORT TRACE
//     sends the host's packets of a recorded install (the simulator's trace)
//     on a plain socket, up to the REBOOT request, waiting for the module's
//     answers wherever the install waited for them; prints one JSON line
//     with the whole replay's and the firmware phase's seconds.
//   raw_peer replay-recording HOST PORT RECORDING
//     the same from the subject's own recording (Updater --record): the
//     host's packets in their order, sent together while the host did not
//     wait, and before each the module's bytes up to the reply the host
//     waited for; nothing else. The honest baseline: the same writes and the
//     same waits for answers as the subject, as fast as the protocol allows.
//   raw_peer rss COMMAND [ARGUMENTS...]
//     runs COMMAND (output discarded) and prints one JSON line with its wall
//     seconds, peak resident size in KiB and exit status. A process started
//     from the benchmark's Python counts Python's own size as its peak (an
//     exec keeps the high-water mark), so the command starts from here: the
//     floor is this small program's size.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/Module.h"
#include "link/SystemClass.h"

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

namespace {

const uint32_t SERIAL = 0x40F5849A;

int sConnect(const char* host, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, host, &a.sin_addr);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sSendAll(int fd, const Bytes& b)
{
    size_t sent = 0;
    while (sent < b.size()) {
        ssize_t n = send(fd, b.data() + sent, b.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

bool sReadExactly(int fd, size_t count)
{
    uint8_t buf[4096];
    while (count > 0) {
        ssize_t n = recv(fd, buf, std::min(count, sizeof buf), 0);
        if (n <= 0)
            return false;
        count -= size_t(n);
    }
    return true;
}

Bytes sHex(const std::string& text)
{
    Bytes out;
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        out.push_back(uint8_t(std::strtoul(word.c_str(), nullptr, 16)));
    return out;
}

struct TraceLine {
    bool fromHost;
    Bytes bytes;
};

std::vector<TraceLine> sReadTrace(const std::string& path)
{
    std::vector<TraceLine> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 12)
            continue;
        std::string kind = line.substr(9, 2);
        if (kind == "rx" || kind == "tx")
            lines.push_back({kind == "rx", sHex(line.substr(12))});
    }
    return lines;
}

double sPercentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, size_t(p * double(v.size())));
    return v[i];
}

// A simulator for one module on loopback; its port, or 0.
struct Sim {
    pid_t pid = -1;
    int port = 0;
    Sim(const char* path, const std::string& dir, bool traced)
    {
        const std::string ready = dir + (traced ? "/ready-traced" : "/ready");
        const std::string trace = dir + "/trace";
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (!freopen("/dev/null", "w", stdout))
                _exit(127);
            if (traced)
                execl(path, path, "--module", "serial=40F5849A,model=13", "--lifetime", "300", "--ready-file",
                      ready.c_str(), "--trace", trace.c_str(), static_cast<char*>(nullptr));
            else
                execl(path, path, "--module", "serial=40F5849A,model=13", "--lifetime", "300", "--ready-file",
                      ready.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500 && port == 0; ++i) {
            std::ifstream in(ready);
            std::string word, serial, kind, host;
            while (in >> word) {
                if (word == "MODULE" && in >> serial >> kind >> host >> port)
                    break;
            }
            if (port == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Sim()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

bool sConnectModule(Quorvane::Corvestel::Module& module, int port)
{
    aEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    module.setConfig(config);
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = SERIAL;
    spec.t.ipAddress = htonl(INADDR_LOOPBACK);
    spec.p.ipPort = uint32_t(port);
    return module.connectFromSpec(spec) == aErrNone;
}

// The exact bytes of one getSerialNumber request and its reply, as the
// simulator traced them.
bool sCaptureRequest(const char* path, const std::string& dir, Bytes* request, Bytes* reply)
{
    Sim sim(path, dir, true);
    using namespace Quorvane::Corvestel;
    Module module(2, 0);
    if (sim.port == 0 || !sConnectModule(module, sim.port))
        return false;
    SystemClass system;
    system.init(&module, 0);
    uint32_t value = 0;
    if (system.getSerialNumber(&value) != aErrNone || value != SERIAL)
        return false;
    module.disconnect();
    std::vector<TraceLine> lines = sReadTrace(dir + "/trace");
    for (size_t i = lines.size(); i-- > 1;) {
        if (!lines[i].fromHost && lines[i - 1].fromHost) {
            *request = lines[i - 1].bytes;
            *reply = lines[i].bytes;
            return true;
        }
    }
    return false;
}

int sRoundTrip(const char* path, int rounds)
{
    char dir[] = "/tmp/corvestel-bench-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    Bytes request, reply;
    bool ok = sCaptureRequest(path, dir, &request, &reply);
    std::vector<double> stack, plain;
    if (ok) {
        // Timed against a simulator that writes no trace.
        Sim sim(path, dir, false);
        using namespace Quorvane::Corvestel;
        Module module(2, 0);
        int raw = -1;
        ok = sim.port != 0 && sConnectModule(module, sim.port) && (raw = sConnect("127.0.0.1", sim.port)) >= 0;
        SystemClass system;
        system.init(&module, 0);
        uint32_t value = 0;
        for (int i = -rounds / 10; ok && i < rounds; ++i) {
            auto t0 = Clock::now();
            ok = system.getSerialNumber(&value) == aErrNone;
            auto t1 = Clock::now();
            ok = ok && sSendAll(raw, request) && sReadExactly(raw, reply.size());
            auto t2 = Clock::now();
            if (i >= 0) {
                stack.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                plain.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
            }
        }
        if (raw >= 0)
            close(raw);
        module.disconnect();
    }
    std::string cleanup = std::string("rm -rf ") + dir;
    if (std::system(cleanup.c_str()) != 0 || !ok || stack.empty())
        return 1;
    std::printf("{\"stack_median_us\": %.2f, \"stack_p99_us\": %.2f, \"raw_median_us\": %.2f, \"raw_p99_us\": %.2f}\n",
                sPercentile(stack, 0.5), sPercentile(stack, 0.99), sPercentile(plain, 0.5),
                sPercentile(plain, 0.99));
    return 0;
}

bool sIsUpgrade(const Bytes& b, uint8_t option)
{
    return b.size() >= 4 && b[2] == 0x5F && b[3] == option;
}

int sReplay(const char* host, int port, const char* tracePath)
{
    std::vector<TraceLine> lines = sReadTrace(tracePath);
    int fd = sConnect(host, port);
    if (fd < 0 || lines.empty())
        return 1;
    // Packets that get no answer go out together with the next one that
    // does, in one send: the fewest system calls the round trips allow.
    Bytes batch;
    bool loaded = false;
    Clock::time_point start = Clock::now(), firmwareStart{}, firmwareEnd{};
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!lines[i].fromHost)
            continue;
        const Bytes& packet = lines[i].bytes;
        if (sIsUpgrade(packet, 0x02))
            loaded = true;
        if (loaded && firmwareStart == Clock::time_point{} && sIsUpgrade(packet, 0x03))
            firmwareStart = Clock::now();
        batch.insert(batch.end(), packet.begin(), packet.end());
        if (sIsUpgrade(packet, 0x06)) {
            firmwareEnd = Clock::now();
            if (!sSendAll(fd, batch))
                return 1;
            break;
        }
        size_t answer = 0;
        for (size_t j = i + 1; j < lines.size() && !lines[j].fromHost; ++j)
            answer += lines[j].bytes.size();
        if (answer == 0 && batch.size() < 4096)
            continue;
        if (!sSendAll(fd, batch) || !sReadExactly(fd, answer))
            return 1;
        batch.clear();
    }
    auto end = Clock::now();
    close(fd);
    if (firmwareStart == Clock::time_point{} || firmwareEnd == Clock::time_point{})
        return 1;
    std::printf("{\"whole_s\": %.6f, \"firmware_s\": %.6f}\n", std::chrono::duration<double>(end - start).count(),
                std::chrono::duration<double>(firmwareEnd - firmwareStart).count());
    return 0;
}

// The text value of "name":"..." in one JSON line of a recording (its values
// are plain: no escapes in kinds, directions and hex).
std::string sJsonText(const std::string& line, const std::string& name)
{
    const std::string key = "\"" + name + "\":\"";
    size_t at = line.find(key);
    if (at == std::string::npos)
        return std::string();
    at += key.size();
    size_t end = line.find('"', at);
    return end == std::string::npos ? std::string() : line.substr(at, end - at);
}

Bytes sUnhex(const std::string& text)
{
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(uint8_t(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

// A packet the host wrote, or a wait: until the module's bytes reach this
// many (all it had sent when the host got the reply it waited for).
struct HostStep {
    bool write;
    Bytes bytes;
    size_t moduleBytes;
};

std::vector<HostStep> sReadRecording(const std::string& path)
{
    std::vector<HostStep> steps;
    std::ifstream in(path);
    std::string line;
    size_t moduleBytes = 0;
    while (std::getline(in, line)) {
        const std::string kind = sJsonText(line, "kind");
        if (kind == "packet") {
            Bytes bytes = sUnhex(sJsonText(line, "hex"));
            if (sJsonText(line, "dir") == "out")
                steps.push_back({true, bytes, 0});
            else
                moduleBytes += bytes.size();
        } else if (kind == "reply") {
            steps.push_back({false, Bytes(), moduleBytes});
        }
    }
    return steps;
}

int sReplayRecording(const char* host, int port, const char* path)
{
    std::vector<HostStep> steps = sReadRecording(path);
    int fd = sConnect(host, port);
    if (fd < 0 || steps.empty())
        return 1;
    Bytes batch;
    size_t received = 0;
    bool loaded = false;
    Clock::time_point start = Clock::now(), firmwareStart{}, firmwareEnd{};
    for (const HostStep& step : steps) {
        if (!step.write) {
            if (step.moduleBytes <= received)
                continue;
            if (!batch.empty() && !sSendAll(fd, batch))
                return 1;
            batch.clear();
            if (!sReadExactly(fd, step.moduleBytes - received))
                return 1;
            received = step.moduleBytes;
            continue;
        }
        const Bytes& packet = step.bytes;
        if (sIsUpgrade(packet, 0x02))
            loaded = true;
        if (loaded && firmwareStart == Clock::time_point{} && sIsUpgrade(packet, 0x03))
            firmwareStart = Clock::now();
        batch.insert(batch.end(), packet.begin(), packet.end());
        if (sIsUpgrade(packet, 0x06)) {
            firmwareEnd = Clock::now();
            if (!sSendAll(fd, batch))
                return 1;
            break;
        }
    }
    auto end = Clock::now();
    close(fd);
    if (firmwareStart == Clock::time_point{} || firmwareEnd == Clock::time_point{})
        return 1;
    std::printf("{\"whole_s\": %.6f, \"firmware_s\": %.6f}\n", std::chrono::duration<double>(end - start).count(),
                std::chrono::duration<double>(firmwareEnd - firmwareStart).count());
    return 0;
}

int sPeakRss(char** argv)
{
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return 1;
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("{\"seconds\": %.6f, \"rss_kib\": %ld, \"status\": %d}\n", seconds, usage.ru_maxrss,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "rss")
        return sPeakRss(argv + 2);
    if (argc == 4 && std::string(argv[1]) == "roundtrip")
        return sRoundTrip(argv[2], std::atoi(argv[3]));
    if (argc == 5 && std::string(argv[1]) == "replay")
        return sReplay(argv[2], std::atoi(argv[3]), argv[4]);
    if (argc == 5 && std::string(argv[1]) == "replay-recording")
        return sReplayRecording(argv[2], std::atoi(argv[3]), argv[4]);
    std::fprintf(stderr, "usage: %s roundtrip SIM ROUNDS | replay HOST PORT TRACE | replay-recording HOST PORT "
                         "RECORDING | rss COMMAND...\n", argv[0]);
    return 2;
}
