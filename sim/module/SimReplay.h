// corvestel-sim --replay: plays the modules' side of a host's recording,
// step by step in the recorded order, on one thread. What the host sends is
// compared with what it sent when it was recorded; what the modules sent is
// sent again. The first difference ends the replay.
#ifndef CORVESTEL_SIM_SIMREPLAY_H
#define CORVESTEL_SIM_SIMREPLAY_H

#include <string>

namespace sim {

struct ReplayOptions {
    std::string path;
    std::string discovery; // interface address that answers discovery; empty: none
    std::string readyFile;
    bool maxSpeed = false; // answer as soon as the host asked, not at the recorded pace
    int lifetimeSeconds = 300;
};

// True when the command line asks for a replay (it holds --replay).
bool wantsReplay(int argc, char** argv);

// Parses a replay's command line; false with a message in error.
bool parseReplayCommandLine(int argc, char** argv, ReplayOptions& options, std::string& error);

// Runs the replay: 0 when the host did all that was recorded, 1 at the first
// difference, 2 for a recording that can't be played (nothing was served).
int runReplay(const ReplayOptions& options);

} // namespace sim

#endif
