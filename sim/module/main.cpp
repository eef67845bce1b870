// corvestel-sim: simulated modules for tests, demos and people at a shell.
#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "sim/module/SimConfig.h"
#include "sim/module/SimReplay.h"
#include "sim/module/SimServer.h"

int main(int argc, char** argv)
{
    std::string error;
    if (sim::wantsReplay(argc, argv)) {
        sim::ReplayOptions options;
        if (!sim::parseReplayCommandLine(argc, argv, options, error)) {
            std::fprintf(stderr, "corvestel-sim: %s (see --help)\n", error.c_str());
            return 2;
        }
        return sim::runReplay(options);
    }
    sim::SimConfig config;
    bool help = false;
    if (!sim::parseCommandLine(argc, argv, config, help, error)) {
        std::fprintf(stderr, "corvestel-sim: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (help) {
        std::fputs(sim::helpText(), stdout);
        return 0;
    }
    if (config.controlStdin) {
        // A harness that dies takes the simulator with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
    }
    sim::SimServer server(config);
    if (!server.start(error)) {
        std::fprintf(stderr, "corvestel-sim: %s\n", error.c_str());
        return 1;
    }
    return server.run();
}
