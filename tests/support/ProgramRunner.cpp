#include "ProgramRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

void sCloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Reads what is there; false at end of file (a pseudo-terminal master
// reports EIO once the last slave is closed).
bool sDrain(int fd, std::string& into)
{
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, size_t(n));
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    return false;
}

[[noreturn]] void sChild(const std::vector<std::string>& argv, const RunOptions& options, int outFd,
                         int errFd)
{
    setpgid(0, 0);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0)
        dup2(devnull, STDIN_FILENO);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    for (int fd = 3; fd < 1024; ++fd)
        close(fd);
    umask(mode_t(options.umask));
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0)
        _exit(127);
    for (const std::string& entry : options.environment) {
        size_t eq = entry.find('=');
        if (eq == std::string::npos)
            unsetenv(entry.c_str());
        else
            setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options)
{
    RunResult result;
    if (argv.empty())
        return result;

    int outRead = -1, outWrite = -1, errPipe[2] = {-1, -1};
    if (options.stdoutTerminal) {
        if (openpty(&outRead, &outWrite, nullptr, nullptr, nullptr) != 0)
            return result;
        struct termios raw;
        if (tcgetattr(outWrite, &raw) == 0) {
            cfmakeraw(&raw);
            tcsetattr(outWrite, TCSANOW, &raw);
        }
    } else {
        int p[2];
        if (pipe(p) != 0)
            return result;
        outRead = p[0];
        outWrite = p[1];
    }
    if (pipe(errPipe) != 0) {
        sCloseFd(outRead);
        sCloseFd(outWrite);
        return result;
    }

    pid_t pid = fork();
    if (pid == 0)
        sChild(argv, options, outWrite, errPipe[1]);
    sCloseFd(outWrite);
    sCloseFd(errPipe[1]);
    if (pid < 0) {
        sCloseFd(outRead);
        sCloseFd(errPipe[0]);
        return result;
    }
    result.started = true;
    setpgid(pid, pid); // also done by the child; whichever runs first wins

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    int fds[2] = {outRead, errPipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        struct pollfd p[2];
        nfds_t count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0) {
                p[count].fd = fds[i];
                p[count].events = POLLIN;
                p[count].revents = 0;
                which[count++] = i;
            }
        const int wait = options.whileRunning ? int(std::min<long long>(left.count(), 5)) : int(left.count());
        int ready = poll(p, count, wait);
        if (options.whileRunning)
            options.whileRunning(pid);
        if (ready < 0 && errno != EINTR)
            break;
        for (nfds_t k = 0; ready > 0 && k < count; ++k)
            if (p[k].revents & (POLLIN | POLLHUP | POLLERR))
                if (!sDrain(fds[which[k]], *sinks[which[k]]))
                    sCloseFd(fds[which[k]]);
    }
    if (result.timedOut)
        kill(-pid, SIGKILL);
    sCloseFd(fds[0]);
    sCloseFd(fds[1]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!result.timedOut && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

std::string UpdaterProgramPath()
{
    return std::string(TEST_BINARY_DIR) + "/Updater";
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
