// Link engine over loopback TCP to a small echo module: request/reply round
// trip (median, p99), and packets per second written with and without
// pooling.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "link/aLink.h"

namespace {

using Clock = std::chrono::steady_clock;

// Answers 0xAD probes with its address, echoes command 23 and counts every
// packet it receives. One connection at a time on a loopback port.
class EchoModule {
public:
    EchoModule()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 2);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        worker = std::thread([this] { serve(); });
    }
    ~EchoModule()
    {
        stop = true;
        worker.join();
        close(listener);
    }
    uint16_t port = 0;
    std::atomic<uint64_t> packets{0};

private:
    void serve()
    {
        int fd = -1;
        std::vector<uint8_t> partial;
        while (!stop) {
            pollfd p{fd >= 0 ? fd : listener, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            if (fd < 0) {
                fd = accept(listener, nullptr, nullptr);
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                continue;
            }
            uint8_t buffer[8192];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fd);
                fd = -1;
                partial.clear();
                continue;
            }
            std::vector<uint8_t> out;
            for (ssize_t i = 0; i < n; i++) {
                partial.push_back(buffer[i]);
                if (partial.size() >= 2 && partial.size() == size_t(partial[1]) + 2) {
                    packets++;
                    if (partial[0] == 0xAD) {
                        out.push_back(2);
                        out.push_back(0);
                    } else if (partial[0] == 2 && partial.size() > 2 && partial[2] == 23) {
                        out.insert(out.end(), partial.begin(), partial.end());
                    }
                    partial.clear();
                }
            }
            if (!out.empty())
                (void)!send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        }
        if (fd >= 0)
            close(fd);
    }
    int listener = -1;
    std::atomic<bool> stop{false};
    std::thread worker;
};

uint8_t sEcho(const aPacket* packet, const void* reference)
{
    return packet->length == 3 && packet->data[0] == 23
        && packet->data[2] == *static_cast<const uint8_t*>(reference);
}

double sPercentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(p * static_cast<double>(samples.size() - 1))];
}

void BM_LinkRoundTrip(benchmark::State& state)
{
    EchoModule module;
    uint32_t link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module.port);
    if (!link || aLink_Sync(link) != aErrNone) {
        state.SkipWithError("no link");
        return;
    }
    std::vector<double> micros;
    uint8_t tag = 0;
    for (auto _ : state) {
        tag++;
        const uint8_t data[] = {23, 1, tag};
        aPacket* request = aPacket_CreateWithData(2, 3, data);
        auto start = Clock::now();
        aLink_PutPacket(link, request);
        aPacket* reply = aLink_AwaitFirst(link, sEcho, &tag, 1000);
        double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        aPacket_Destroy(&request);
        if (!reply) {
            state.SkipWithError("no reply");
            break;
        }
        aPacket_Destroy(&reply);
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    state.counters["median_us"] = sPercentile(micros, 0.5);
    state.counters["p99_us"] = sPercentile(micros, 0.99);
    aLink_Destroy(&link);
}
BENCHMARK(BM_LinkRoundTrip)->UseManualTime()->Iterations(2000);

// 900 packets of 30 bytes queued at once (under the FIFO's 1000), timed
// until the module has all of them.
void BM_LinkSendRate(benchmark::State& state)
{
    EchoModule module;
    uint32_t link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module.port);
    if (!link) {
        state.SkipWithError("no link");
        return;
    }
    aLink_EnablePooledPackets(link, state.range(0) != 0);
    uint8_t data[28] = {3, 0x81, 0x20};
    aPacket* packet = aPacket_CreateWithData(2, 28, data);
    const uint64_t burst = 900;
    for (auto _ : state) {
        uint64_t target = module.packets.load() + burst;
        for (uint64_t i = 0; i < burst; i++)
            aLink_PutPacket(link, packet);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (module.packets.load() < target && Clock::now() < deadline)
            std::this_thread::yield();
        if (module.packets.load() < target) {
            state.SkipWithError("packets lost");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * burst));
    aPacket_Destroy(&packet);
    aLink_Destroy(&link);
}
BENCHMARK(BM_LinkSendRate)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
