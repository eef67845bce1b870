#include "SimHarness.h"

#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

typedef std::chrono::steady_clock Clock;

int sRemaining(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

void sCloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string sMakeFolder()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/corvestel-sim.XXXXXX";
    if (!mkdtemp(&tmpl[0]))
        return "";
    return tmpl;
}

void sRemoveTree(const std::string& path)
{
    if (path.empty())
        return;
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/rm", "rm", "-rf", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child > 0) {
        int status;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::string sHex8(uint32_t v)
{
    char b[12];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

bool sUnhex(const std::string& text, std::string& out)
{
    if (text.size() % 2)
        return false;
    out.resize(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        char* end = nullptr;
        std::string pair = text.substr(2 * i, 2);
        long v = std::strtol(pair.c_str(), &end, 16);
        if (*end)
            return false;
        out[i] = char(v);
    }
    return true;
}

} // namespace

std::string SimMemoryImage::Read(const std::string& region, uint32_t address, size_t length) const
{
    auto r = regions.find(region);
    if (r == regions.end())
        return "";
    // Runs are contiguous and do not touch, so one run holds the whole range.
    auto it = r->second.upper_bound(address);
    if (it == r->second.begin())
        return "";
    --it;
    uint64_t offset = uint64_t(address) - it->first;
    if (offset + length > it->second.size())
        return "";
    return it->second.substr(size_t(offset), length);
}

size_t SimMemoryImage::Size(const std::string& region) const
{
    size_t total = 0;
    auto r = regions.find(region);
    if (r != regions.end())
        for (const auto& run : r->second)
            total += run.second.size();
    return total;
}

SimHarness::SimHarness() : folder(sMakeFolder())
{
    tracePath = folder + "/trace.txt";
    flashDir = folder;
    errPath = folder + "/stderr.txt";
}

SimHarness::~SimHarness()
{
    Stop();
    sRemoveTree(folder);
}

std::string SimHarness::ProgramPath()
{
    return std::string(TEST_BINARY_DIR) + "/sim/corvestel-sim";
}

bool SimHarness::Start(const std::vector<std::string>& options, int timeoutMs, int lifetimeSeconds)
{
    if (pid > 0 || folder.empty())
        return false;
    std::vector<std::string> argv{ProgramPath(), "--trace", tracePath, "--flash-dir", flashDir, "--control-stdin",
        "--lifetime", std::to_string(lifetimeSeconds)};
    argv.insert(argv.end(), options.begin(), options.end());

    ChildPipes child;
    if (!SpawnChild(argv, errPath, child))
        return false;
    pid = child.pid;
    toChild = child.toChild;
    fromChild = child.fromChild;

    modules.clear();
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (ReadLine(line, sRemaining(deadline))) {
        std::istringstream words(line);
        std::string kind, serial;
        words >> kind >> serial;
        if (kind == "READY")
            return true;
        SimModuleInfo m;
        m.serial = uint32_t(std::strtoul(serial.c_str(), nullptr, 16));
        int address = 0;
        if (kind == "MODULE") {
            std::string link;
            words >> link;
            m.pty = link == "pty";
            if (m.pty)
                words >> m.ptyPath >> address;
            else
                words >> m.host >> m.port >> address;
        } else if (kind == "BEHIND") {
            std::string router;
            words >> router >> address;
            m.routerSerial = uint32_t(std::strtoul(router.c_str(), nullptr, 16));
        } else {
            continue;
        }
        m.address = uint8_t(address);
        modules.push_back(m);
    }
    Stop();
    return false;
}

bool SimHarness::ReadLine(std::string& line, int timeoutMs)
{
    return ReadChildLine(fromChild, pending, line, timeoutMs);
}

int SimHarness::Stop()
{
    // Closing its standard input alone ends the simulator; the signal makes
    // sure.
    sCloseFd(toChild);
    int result = -1;
    if (pid > 0) {
        kill(pid, SIGTERM);
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        for (;;) {
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                if (WIFEXITED(status))
                    result = WEXITSTATUS(status);
                break;
            }
            if (r < 0 && errno != EINTR)
                break;
            if (sRemaining(deadline) == 0) {
                kill(pid, SIGKILL);
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            // The simulator's output closes when it ends: wait on that.
            if (fromChild >= 0) {
                pollfd p{fromChild, POLLIN, 0};
                if (poll(&p, 1, 20) > 0) {
                    char buf[4096];
                    ssize_t n = read(fromChild, buf, sizeof buf);
                    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                        sCloseFd(fromChild);
                }
            } else {
                usleep(2000);
            }
        }
        pid = -1;
    }
    sCloseFd(fromChild);
    pending.clear();
    return result;
}

const SimModuleInfo* SimHarness::Module(uint32_t serial) const
{
    for (const SimModuleInfo& m : modules)
        if (m.serial == serial)
            return &m;
    return nullptr;
}

int SimHarness::Port(uint32_t serial) const
{
    const SimModuleInfo* m = Module(serial);
    return m && !m->pty && !m->routerSerial ? m->port : -1;
}

std::string SimHarness::PtyPath(uint32_t serial) const
{
    const SimModuleInfo* m = Module(serial);
    return m && m->pty ? m->ptyPath : "";
}

std::vector<std::string> SimHarness::Trace() const
{
    std::vector<std::string> lines;
    std::ifstream in(tracePath);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    // A line still being written has no line end yet; leave it for later.
    if (!lines.empty() && in.eof()) {
        std::ifstream again(tracePath, std::ios::binary | std::ios::ate);
        std::streamoff size = again.tellg();
        if (size > 0) {
            again.seekg(size - 1);
            char last = 0;
            again.get(last);
            if (last != '\n')
                lines.pop_back();
        }
    }
    return lines;
}

size_t SimHarness::CountTrace(const std::string& text) const
{
    size_t n = 0;
    for (const std::string& line : Trace())
        if (line.find(text) != std::string::npos)
            ++n;
    return n;
}

bool SimHarness::WaitForTrace(const std::string& text, int timeoutMs) const
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (CountTrace(text) > 0)
            return true;
        if (sRemaining(deadline) == 0)
            return false;
        // The trace is a plain file: look again shortly.
        usleep(5000);
    }
}

std::string SimHarness::Stderr() const
{
    std::ifstream in(errPath);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string SimHarness::Command(const std::string& line, int timeoutMs)
{
    if (pid <= 0 || toChild < 0)
        return "";
    std::string text = line + "\n";
    if (write(toChild, text.data(), text.size()) != ssize_t(text.size()))
        return "";
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string answer;
    while (ReadLine(answer, sRemaining(deadline)))
        if (answer.compare(0, 2, "OK") == 0 || answer.compare(0, 3, "ERR") == 0)
            return answer;
    return "";
}

SimMemoryImage SimHarness::Flash(uint32_t serial)
{
    if (Command("dump") != "OK dumped")
        return SimMemoryImage();
    return ReadMemoryFile(flashDir + "/" + sHex8(serial) + ".flash");
}

SimMemoryImage SimHarness::ReadMemoryFile(const std::string& path)
{
    SimMemoryImage image;
    std::ifstream in(path);
    if (!in)
        return image;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string key, a, b, c;
        words >> key >> a;
        if (key == "version")
            image.version = uint32_t(std::strtoul(a.c_str(), nullptr, 16));
        else if (key == "build")
            image.build = uint32_t(std::strtoul(a.c_str(), nullptr, 10));
        else if (key == "reboots")
            image.reboots = unsigned(std::strtoul(a.c_str(), nullptr, 10));
        else if (key == "loader" || key == "flash") {
            words >> b >> c;
            std::string bytes;
            if (!sUnhex(c, bytes) || bytes.size() != std::strtoul(b.c_str(), nullptr, 10))
                return SimMemoryImage();
            image.regions[key][uint32_t(std::strtoul(a.c_str(), nullptr, 16))] = bytes;
        }
    }
    image.valid = true;
    return image;
}
