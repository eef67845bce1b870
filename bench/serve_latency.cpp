// Sample latency through the local network server against a direct USB
// link: a plain program run on the simulated USB bus (bench/run starts it).
//   bench_serve_latency direct COUNT         the module over its own USB link
//   bench_serve_latency served PORT COUNT    through corvestel-serve on PORT
// It registers the module's stream, notes for COUNT samples the time its
// callback ran against the module's time stamp, and prints
// "MEDIAN_MS P99_MS". The two clocks differ by the simulator's start, so
// each latency is taken against the fastest sample of the run: the numbers
// are the time a sample spent beyond the quickest one.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "link/Link.h"

using Quorvane::Corvestel::Link;

namespace {

const uint32_t BENCH_SERIAL = 0x40F5849A;
const uint8_t MODULE = 2;

struct Latencies {
    std::mutex lock;
    std::condition_variable full;
    std::vector<double> offsets; // callback time minus the sample's time stamp, ms
    size_t wanted = 0;

    static uint8_t callback(const aPacket* packet, void* reference)
    {
        const double now = std::chrono::duration<double, std::milli>(
            std::chrono::steady_clock::now().time_since_epoch()).count();
        uint64_t stamp = 0;
        if (Link::getStreamSample(packet, &stamp, nullptr, nullptr) != aErrNone)
            return 0;
        Latencies* l = static_cast<Latencies*>(reference);
        std::lock_guard<std::mutex> guard(l->lock);
        if (l->offsets.size() < l->wanted)
            l->offsets.push_back(now - double(stamp));
        if (l->offsets.size() == l->wanted)
            l->full.notify_all();
        return 0;
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_serve_latency direct COUNT | served PORT COUNT\n");
        return 2;
    }
    const bool served = std::strcmp(argv[1], "served") == 0;
    linkSpec spec{};
    spec.serialNumber = BENCH_SERIAL;
    spec.type = served ? AETHER : USB;
    if (served) {
        spec.t.ipAddress = htonl(INADDR_LOOPBACK);
        spec.p.ipPort = uint32_t(std::atoi(argv[2]));
    }
    Link link(spec, "bench");
    aEtherConfig config;
    config.enabled = served ? 1 : 0; // direct: the module's own link, no server
    config.fallback = 0;
    link.setConfig(config);
    if (link.connect() != aErrNone) {
        std::fprintf(stderr, "no connection\n");
        return 1;
    }
    Latencies l;
    l.wanted = size_t(std::atoi(argv[served ? 3 : 2]));
    if (link.registerStreamCallback(MODULE, 3, 4, 0, true, Latencies::callback, &l) != aErrNone) {
        std::fprintf(stderr, "no stream\n");
        return 1;
    }
    std::unique_lock<std::mutex> guard(l.lock);
    if (!l.full.wait_for(guard, std::chrono::minutes(5), [&] { return l.offsets.size() >= l.wanted; })) {
        std::fprintf(stderr, "only %zu samples\n", l.offsets.size());
        return 1;
    }
    std::vector<double> v = l.offsets;
    guard.unlock();
    link.registerStreamCallback(MODULE, 3, 4, 0, false, nullptr, nullptr);
    const double fastest = *std::min_element(v.begin(), v.end());
    for (double& x : v)
        x -= fastest;
    std::sort(v.begin(), v.end());
    std::printf("%.2f %.2f\n", v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]);
    return 0;
}
