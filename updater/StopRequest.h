// A user's request to stop (SIGINT, SIGTERM) during work that must not be
// cut at an arbitrary point, such as writing a module's flash. While a
// StopSignals scope lives, the two signals only raise a flag; the update and
// recovery loops look at it between pieces and end there, saying in what
// state they leave the module. The flag is the process's one piece of
// signal state: set from the handler, read from any thread.
#ifndef UPDATER_UPDATER_STOPREQUEST_H
#define UPDATER_UPDATER_STOPREQUEST_H

#include <csignal>

class StopSignals {
public:
    // Catches SIGINT and SIGTERM and clears the flag.
    StopSignals();
    // Puts the previous handlers back.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction previousInt;
    struct sigaction previousTerm;
};

// True once a stop was asked for.
bool StopRequested();

#endif
