#include "BootRomHarness.h"

#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

typedef std::chrono::steady_clock Clock;

int _remaining(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

std::string _readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void _closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

BootRomHarness::BootRomHarness()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/corvestel-bootrom.XXXXXX";
    if (mkdtemp(&tmpl[0]))
        folder = tmpl;
    tracePath = folder + "/trace.txt";
    errPath = folder + "/stderr.txt";
}

BootRomHarness::~BootRomHarness()
{
    Stop();
    if (folder.empty())
        return;
    for (const char* name : {"/trace.txt", "/stderr.txt", "/flash.bin", "/ram.bin", "/state.txt", "/sdp.txt"})
        unlink((folder + name).c_str());
    rmdir(folder.c_str());
}

std::string BootRomHarness::ProgramPath()
{
    return std::string(TEST_BINARY_DIR) + "/sim/bootrom/corvestel-bootrom";
}

bool BootRomHarness::Start(const std::vector<std::string>& options, int timeoutMs, int lifetimeSeconds)
{
    if (pid > 0 || folder.empty())
        return false;
    std::vector<std::string> argv{ProgramPath(), "--trace", tracePath, "--dump-dir", folder, "--control-stdin",
                                  "--lifetime", std::to_string(lifetimeSeconds)};
    argv.insert(argv.end(), options.begin(), options.end());
    ChildPipes child;
    if (!SpawnChild(argv, errPath, child))
        return false;
    pid = child.pid;
    toChild = child.toChild;
    fromChild = child.fromChild;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (ReadLine(line, _remaining(deadline))) {
        if (line.compare(0, 6, "READY ") == 0) {
            ptyPath = line.substr(6);
            return true;
        }
    }
    Stop();
    return false;
}

bool BootRomHarness::ReadLine(std::string& line, int timeoutMs)
{
    return ReadChildLine(fromChild, pending, line, timeoutMs);
}

void BootRomHarness::Stop()
{
    _closeFd(toChild); // the ROM ends when its control input closes
    if (pid > 0) {
        kill(pid, SIGTERM);
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        for (;;) {
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid || (r < 0 && errno != EINTR))
                break;
            if (_remaining(deadline) == 0) {
                kill(pid, SIGKILL);
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            usleep(2000);
        }
        pid = -1;
    }
    _closeFd(fromChild);
    pending.clear();
}

std::vector<std::string> BootRomHarness::Trace() const
{
    std::vector<std::string> lines;
    std::istringstream in(_readFile(tracePath));
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

size_t BootRomHarness::CountTrace(const std::string& text) const
{
    size_t n = 0;
    for (const std::string& line : Trace())
        if (line.find(text) != std::string::npos)
            ++n;
    return n;
}

std::string BootRomHarness::Command(const std::string& line, int timeoutMs)
{
    if (toChild < 0)
        return "";
    std::string text = line + "\n";
    if (write(toChild, text.data(), text.size()) != ssize_t(text.size()))
        return "";
    std::string answer;
    return ReadLine(answer, timeoutMs) ? answer : "";
}

std::string BootRomHarness::Flash()
{
    return Command("DUMP") == "OK" ? _readFile(folder + "/flash.bin") : "";
}

std::string BootRomHarness::Ram()
{
    return Command("DUMP") == "OK" ? _readFile(folder + "/ram.bin") : "";
}

bool BootRomHarness::SdpState(std::vector<std::pair<uint32_t, std::string>>& writes, bool& jumped, uint32_t& jump)
{
    writes.clear();
    jumped = false;
    jump = 0;
    if (Command("DUMP") != "OK")
        return false;
    std::istringstream in(_readFile(folder + "/sdp.txt"));
    std::string kind, address, hex;
    while (in >> kind >> address) {
        uint32_t a = uint32_t(std::strtoul(address.c_str(), nullptr, 16));
        if (kind == "JUMP") {
            jumped = true;
            jump = a;
            continue;
        }
        if (!(in >> hex))
            hex.clear();
        std::string bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes += char(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
        writes.push_back({a, bytes});
    }
    return true;
}
