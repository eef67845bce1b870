#include "sim/module/SimReplay.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/module/ReplayFile.h"
#include "sim/module/ReplayPlayer.h"

namespace sim {

bool wantsReplay(int argc, char** argv)
{
    for (int i = 1; i < argc; i++)
        if (std::strcmp(argv[i], "--replay") == 0)
            return true;
    return false;
}

bool parseReplayCommandLine(int argc, char** argv, ReplayOptions& o, std::string& error)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            error = "missing value for " + arg;
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--replay") {
            o.path = value;
        } else if (arg == "--discovery") {
            o.discovery = value;
        } else if (arg == "--ready-file") {
            o.readyFile = value;
        } else if (arg == "--speed") {
            if (value != "recorded" && value != "max") {
                error = "--speed is recorded or max, not '" + value + "'";
                return false;
            }
            o.maxSpeed = value == "max";
        } else if (arg == "--lifetime") {
            char* end = nullptr;
            long s = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || s <= 0 || s > 86400) {
                error = "bad value for --lifetime: '" + value + "'";
                return false;
            }
            o.lifetimeSeconds = int(s);
        } else {
            error = "unknown option " + arg + " with --replay";
            return false;
        }
    }
    return true;
}

int runReplay(const ReplayOptions& options)
{
    Recording recording;
    std::string error;
    if (!readRecording(options.path, recording, error)) {
        std::fprintf(stderr, "corvestel-sim: %s: %s\n", options.path.c_str(), error.c_str());
        return 2;
    }
    replay::Replayer replayer(options, recording);
    if (!replayer.start(error)) {
        std::fprintf(stderr, "corvestel-sim: %s\n", error.c_str());
        return 2;
    }
    return replayer.run();
}

} // namespace sim
