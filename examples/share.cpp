// share: one process serves a module attached by USB, others reach it
// through that process's local network server as an AETHER link.
//
//   share serve 40F5849A [SECONDS]   serves until standard input closes
//                                    or SECONDS (default 60) have passed
//   share reach 40F5849A             in another process: reads the module
//
// Networking is off unless a program turns it on: both sides enable it in
// the link's aEtherConfig before they connect.
//
// Build: c++ -std=c++17 share.cpp $(pkg-config --cflags --libs corvestel)
#include <corvestel/corvestel.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

using namespace Quorvane::Corvestel;

namespace {

aErr connectShared(Module& module, linkType type, uint32_t serial)
{
    aEtherConfig config;
    config.enabled = 1;  // USB through a local server; AETHER allowed
    config.fallback = 0; // no second try with the other link type
    aErr err = module.setConfig(config);
    return err != aErrNone ? err : module.connect(type, serial);
}

int serve(uint32_t serial, unsigned seconds)
{
    Module module(2, 0);
    aErr err = connectShared(module, USB, serial);
    if (err != aErrNone) {
        std::fprintf(stderr, "cannot serve %08X: %s\n", serial, aError_GetErrorText(err));
        return 1;
    }
    aEtherConfig config;
    module.getConfig(&config);
    std::printf("serving %08X on port %u\n", serial, config.assignedPort);
    std::fflush(stdout);

    // The server lives as long as this connection: wait for standard input
    // to close (or the time to pass), then let it go.
    std::mutex mutex;
    std::condition_variable closed;
    bool done = false;
    std::thread reader([&] {
        while (std::getchar() != EOF) {
        }
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        closed.notify_one();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        closed.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; });
    }
    module.disconnect();
    std::printf("stopped serving %08X\n", serial);
    std::fflush(stdout);
    reader.detach(); // may still wait for input; the process ends here
    return 0;
}

int reach(uint32_t serial)
{
    Module module(2, 0);
    aErr err = connectShared(module, AETHER, serial);
    if (err != aErrNone) {
        std::fprintf(stderr, "cannot reach %08X through a server: %s\n", serial, aError_GetErrorText(err));
        return 1;
    }
    SystemClass system;
    system.init(&module, 0);
    uint32_t number = 0;
    uint32_t uptime = 0;
    err = system.getSerialNumber(&number);
    if (aError_HasValue(err))
        err = system.getUptime(&uptime);
    module.disconnect();
    if (!aError_HasValue(err)) {
        std::fprintf(stderr, "%08X does not answer: %s\n", serial, aError_GetErrorText(err));
        return 1;
    }
    std::printf("reached %08X through the server: uptime %u\n", number, uptime);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || (std::strcmp(argv[1], "serve") != 0 && std::strcmp(argv[1], "reach") != 0)) {
        std::fprintf(stderr, "usage: share serve SERIAL [SECONDS] | share reach SERIAL\n");
        return 2;
    }
    const uint32_t serial = uint32_t(std::strtoul(argv[2], nullptr, 16));
    if (std::strcmp(argv[1], "serve") == 0)
        return serve(serial, argc > 3 ? unsigned(std::strtoul(argv[3], nullptr, 10)) : 60);
    return reach(serial);
}
