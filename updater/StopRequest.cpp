#include "updater/StopRequest.h"

namespace {

volatile sig_atomic_t stopFlag = 0;

void sOnSignal(int)
{
    stopFlag = 1;
}

} // namespace

StopSignals::StopSignals()
{
    stopFlag = 0;
    struct sigaction action = {};
    action.sa_handler = sOnSignal;
    sigemptyset(&action.sa_mask);
    // Restarted system calls: the work goes on to its next safe point.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
}

StopSignals::~StopSignals()
{
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
}

bool StopRequested()
{
    return stopFlag != 0;
}
