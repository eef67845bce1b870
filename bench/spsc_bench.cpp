// The callback queue between a link's receive thread and its async thread:
// push/pop cost on one thread, hand-off throughput between two, and the
// sample parser the stream filter runs for every packet.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "link/Link.h"
#include "link/LocklessQueue_SPSC.h"

namespace {

struct Item {
    void* callback;
    void* reference;
    void* packet;
};

void BM_PushPop(benchmark::State& state)
{
    Quorvane::LocklessQueue_SPSC<Item> queue(500);
    Item in{nullptr, nullptr, nullptr}, out{};
    for (auto _ : state) {
        queue.push(in);
        queue.pop(out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_PushPop);

// Items handed from a producer thread to this one, at full speed.
void BM_HandOff(benchmark::State& state)
{
    Quorvane::LocklessQueue_SPSC<Item> queue(500);
    std::atomic<bool> running{true};
    std::thread producer([&] {
        Item item{nullptr, nullptr, nullptr};
        while (running.load(std::memory_order_relaxed))
            if (!queue.push(item))
                std::this_thread::yield();
    });
    Item out{};
    int64_t taken = 0;
    for (auto _ : state) {
        while (!queue.pop(out))
            std::this_thread::yield();
        ++taken;
    }
    running = false;
    producer.join();
    state.SetItemsProcessed(taken);
}
BENCHMARK(BM_HandOff)->UseRealTime();

void BM_ParseSample(benchmark::State& state)
{
    const uint8_t data[18] = {3, 27, 0x40, 7, 2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 1, 0x2C, 0};
    aPacket* packet = aPacket_CreateWithData(4, sizeof data, data);
    uint64_t stamp = 0;
    uint32_t value = 0;
    uint8_t sub = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Quorvane::Corvestel::Link::getStreamSample(packet, &stamp, &value, &sub));
        benchmark::DoNotOptimize(value);
    }
    aPacket_Destroy(&packet);
}
BENCHMARK(BM_ParseSample);

} // namespace

BENCHMARK_MAIN();
