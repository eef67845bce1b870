// Starts a simulator as a child process for one test: its standard input and
// output are pipes the test holds, its standard error goes to a file, and it
// receives SIGTERM when the test process dies.
#ifndef TESTS_SUPPORT_CHILDPROCESS_H
#define TESTS_SUPPORT_CHILDPROCESS_H

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct ChildPipes {
    pid_t pid = -1;
    int toChild = -1;   // the child's standard input
    int fromChild = -1; // the child's standard output, non-blocking
};

// argv[0] is the program's path. False when a pipe or the fork failed.
bool SpawnChild(const std::vector<std::string>& argv, const std::string& errPath, ChildPipes& child);

// Spawns the child, then hands each line of its output to ready until ready
// says it was the last one needed (the simulator's "READY" line). False when
// it could not be spawned or did not get there within timeoutMs; child is
// filled whenever it was spawned, so the caller can stop it.
bool StartChild(const std::vector<std::string>& argv, const std::string& errPath, ChildPipes& child,
                std::string& pending, int timeoutMs, const std::function<bool(const std::string&)>& ready);

// The next line of the child's output (fromChild), without its end, waiting
// up to timeoutMs; pending holds what was read past it. False on time-out or
// when the output closed (fd < 0 included).
bool ReadChildLine(int fd, std::string& pending, std::string& line, int timeoutMs);

#endif
