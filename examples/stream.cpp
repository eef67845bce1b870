// stream: asks a module to stream its uptime and prints each sample with
// the module's time stamp, then how many samples came and how often the
// connection dropped.
//
//   stream TCPIP 6A3C0012 [SAMPLES]
//
// Build: c++ -std=c++17 stream.cpp $(pkg-config --cflags --libs corvestel)
#include <corvestel/corvestel.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace Quorvane::Corvestel;

namespace {

std::atomic<unsigned> received{0};

// Runs on the link's callback thread, one call per sample; the packet is
// valid during the call only.
uint8_t onSample(const aPacket* packet, void*)
{
    uint64_t timestamp = 0;
    uint32_t value = 0;
    if (Link::getStreamSample(packet, &timestamp, &value, nullptr) != aErrNone)
        return 0;
    uint32_t seconds = 0;
    uint32_t micros = 0;
    Link::getTimestampParts(timestamp, &seconds, &micros);
    std::printf("%u.%06u uptime %u\n", seconds, micros, value);
    std::fflush(stdout);
    received++;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || (std::strcmp(argv[1], "USB") != 0 && std::strcmp(argv[1], "TCPIP") != 0)) {
        std::fprintf(stderr, "usage: stream USB|TCPIP SERIAL [SAMPLES]\n");
        return 2;
    }
    const linkType type = std::strcmp(argv[1], "USB") == 0 ? USB : TCPIP;
    const uint32_t serial = uint32_t(std::strtoul(argv[2], nullptr, 16));
    const unsigned wanted = argc > 3 ? unsigned(std::strtoul(argv[3], nullptr, 10)) : 10;

    Module module(2, 0);
    aErr err = module.connect(type, serial);
    if (err != aErrNone) {
        std::fprintf(stderr, "cannot reach %08X: %s\n", serial, aError_GetErrorText(err));
        return 1;
    }

    // The system entity's uptime option; the module sends it on its own
    // once the stream is enabled, and the callback sees every sample.
    SystemClass system;
    system.init(&module, 0);
    err = system.registerOptionCallback(systemOPTION_UPTIME, true, onSample, nullptr);
    if (err != aErrNone) {
        std::fprintf(stderr, "cannot stream: %s\n", aError_GetErrorText(err));
        module.disconnect();
        return 1;
    }

    // While streaming, a getter may answer with the last streamed value:
    // aErrStreamStale means no newer sample came since the last read.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received < wanted && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint32_t uptime = 0;
    err = system.getUptime(&uptime);
    std::printf("last read %u (%s)\n", uptime, aError_GetErrorText(err));

    system.registerOptionCallback(systemOPTION_UPTIME, false, nullptr, nullptr);
    const uint32_t drops = module.getLink()->getDropCount();
    module.disconnect();
    std::printf("%u samples, %u connection drops\n", received.load(), drops);
    return received >= wanted ? 0 : 1;
}
