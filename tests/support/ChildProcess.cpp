#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

bool SpawnChild(const std::vector<std::string>& argv, const std::string& errPath, ChildPipes& child)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(126);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        return false;
    }
    child.pid = pid;
    child.toChild = in[1];
    child.fromChild = out[0];
    fcntl(child.fromChild, F_SETFL, fcntl(child.fromChild, F_GETFL) | O_NONBLOCK);
    return true;
}

bool ReadChildLine(int fd, std::string& pending, std::string& line, int timeoutMs)
{
    typedef std::chrono::steady_clock Clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return true;
        }
        if (fd < 0)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, left > 0 ? int(left) : 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            pending.append(buf, size_t(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
    }
}
