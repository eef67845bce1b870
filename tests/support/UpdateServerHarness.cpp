#include "support/UpdateServerHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

int _remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    ::remove(path);
    return 0;
}

std::string _make_temp_dir()
{
    char pattern[] = "/tmp/corvestel-test.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return made ? made : "";
}

} // namespace

namespace srvtest {

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteWholeFile(const std::string& path, const std::string& bytes)
{
    // Written under a temporary name and renamed, so a running server never
    // reads half a file.
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            return false;
    }
    return ::rename(tmp.c_str(), path.c_str()) == 0;
}

void RemoveTree(const std::string& path)
{
    if (!path.empty())
        ::nftw(path.c_str(), _remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

TempDir::TempDir() : path(_make_temp_dir()) {}

TempDir::~TempDir()
{
    RemoveTree(path);
}

} // namespace srvtest

using namespace srvtest;

UpdateServerHarness::UpdateServerHarness() : root(_make_temp_dir()) {}

UpdateServerHarness::~UpdateServerHarness()
{
    Stop();
    RemoveTree(root);
}

std::string UpdateServerHarness::Hex(uint32_t serial)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

std::string UpdateServerHarness::DeviceDir(uint32_t serial)
{
    std::string dir = root + "/" + Hex(serial);
    ::mkdir(dir.c_str(), 0755);
    return dir;
}

void UpdateServerHarness::SetLatest(uint32_t serial, const std::string& build, const std::string& firmwareId)
{
    WriteWholeFile(DeviceDir(serial) + "/latest", build + "\n" + firmwareId + "\n");
}

void UpdateServerHarness::SetBuilds(uint32_t serial, const std::string& lines)
{
    WriteWholeFile(DeviceDir(serial) + "/builds", lines);
}

void UpdateServerHarness::AddBird(uint32_t serial, const std::string& build, const std::string& bytes)
{
    WriteWholeFile(DeviceDir(serial) + "/" + build + ".bird", bytes);
}

void UpdateServerHarness::SetToken(uint32_t serial, const std::string& token)
{
    WriteWholeFile(DeviceDir(serial) + "/jwt", token + "\n");
}

void UpdateServerHarness::AddFingerprint(const uint32_t words[4], uint32_t serial, const std::string& build)
{
    std::string table = ReadWholeFile(root + "/fingerprints");
    table += Hex(words[0]) + " " + Hex(words[1]) + " " + Hex(words[2]) + " " + Hex(words[3]) + " " + Hex(serial) +
             " " + build + "\n";
    WriteWholeFile(root + "/fingerprints", table);
}

void UpdateServerHarness::SetFaults(const std::string& text)
{
    WriteWholeFile(root + "/faults", text);
}

void UpdateServerHarness::WriteFile(const std::string& name, const std::string& bytes)
{
    WriteWholeFile(root + "/" + name, bytes);
}

bool UpdateServerHarness::Start(double lifetimeSeconds)
{
    return Launch(lifetimeSeconds, false);
}

bool UpdateServerHarness::StartTLS(double lifetimeSeconds)
{
    return Launch(lifetimeSeconds, true);
}

bool UpdateServerHarness::Launch(double lifetimeSeconds, bool useTLS)
{
    if (pid > 0 || root.empty())
        return pid > 0;
    const std::string cert = root + "/.cert.pem";
    const std::string key = root + "/.key.pem";
    if (useTLS) {
        const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
                                    key + "' -out '" + cert + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            return false;
    }
    tls = useTLS;
    const std::string script = std::string(TEST_SOURCE_DIR) + "/sim/update_server.py";
    const std::string portFile = root + "/.port";
    const std::string logFile = root + "/.requests";
    const std::string lifetime = std::to_string(lifetimeSeconds);
    ::unlink(portFile.c_str());

    pid_t parent = ::getpid();
    pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // The server goes when the test does, even when the test is killed.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, STDIN_FILENO);
            ::dup2(devnull, STDOUT_FILENO);
        }
        if (useTLS)
            ::execlp("python3", "python3", script.c_str(), "--root", root.c_str(), "--port", "0", "--port-file",
                     portFile.c_str(), "--log", logFile.c_str(), "--lifetime", lifetime.c_str(), "--tls-cert",
                     cert.c_str(), "--tls-key", key.c_str(), static_cast<char*>(nullptr));
        else
            ::execlp("python3", "python3", script.c_str(), "--root", root.c_str(), "--port", "0", "--port-file",
                     portFile.c_str(), "--log", logFile.c_str(), "--lifetime", lifetime.c_str(),
                     static_cast<char*>(nullptr));
        ::_exit(127);
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = ReadWholeFile(portFile);
        if (!text.empty()) {
            port = std::atoi(text.c_str());
            return port > 0;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return false;
}

void UpdateServerHarness::Stop()
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
    port = 0;
}

std::string UpdateServerHarness::URL() const
{
    return (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port) + "/cgi/u";
}

std::vector<std::string> UpdateServerHarness::Requests() const
{
    std::vector<std::string> lines;
    std::istringstream log(ReadWholeFile(root + "/.requests"));
    std::string line;
    while (std::getline(log, line))
        lines.push_back(line);
    return lines;
}

std::string UpdateServerHarness::DeadURL()
{
    // A port the system just handed out and took back: nothing listens there.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    int port = 1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        ::close(fd);
    return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}
