// Runs a program to its end and captures its standard output, standard
// error and exit status, for tests that drive a built binary (the Updater)
// as a user would. Standard input is /dev/null. The child runs in its own
// process group, which is killed when the deadline passes, so every process
// a test starts ends with it. Call from one thread per run.
#ifndef TESTS_SUPPORT_PROGRAMRUNNER_H
#define TESTS_SUPPORT_PROGRAMRUNNER_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct RunOptions {
    // "NAME=value" entries added to (or replacing in) the inherited environment.
    std::vector<std::string> environment;
    // Working directory of the child; empty keeps the test's own.
    std::string directory;
    // Standard output on a pseudo-terminal (raw mode: no line-end
    // translation) instead of a pipe.
    bool stdoutTerminal = false;
    // The child's file mode mask, so created folders get predictable modes.
    unsigned umask = 022;
    // The whole run, in milliseconds; the process group is killed after it.
    int timeoutMs = 60000;
    // Called every few milliseconds while the program runs, on the caller's
    // thread, with the program's process id (to signal it at a chosen point).
    std::function<void(pid_t)> whileRunning;
};

struct RunResult {
    int status = -1;        // exit status; -1 when killed by a signal or on time-out
    bool timedOut = false;
    bool started = false;   // false when the program could not be run at all
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

// argv[0] is the path of the program.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = RunOptions());

// The lines of a program's output, without their ends.
std::vector<std::string> SplitLines(const std::string& text);

// Whether a program's output holds a text.
bool Contains(const std::string& text, const std::string& part);

// Path of the built Updater program.
std::string UpdaterProgramPath();

#endif
