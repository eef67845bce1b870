// Starts a simulator as a child process for one test: its standard input and
// output are pipes the test holds, its standard error goes to a file, and it
// receives SIGTERM when the test process dies.
#ifndef TESTS_SUPPORT_CHILDPROCESS_H
#define TESTS_SUPPORT_CHILDPROCESS_H

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

// The next line of the child's output (fromChild), without its end, waiting
// up to timeoutMs; pending holds what was read past it. False on time-out or
// when the output closed (fd < 0 included).
bool ReadChildLine(int fd, std::string& pending, std::string& line, int timeoutMs);

#endif
