// Packet FIFO: hand-off latency from a put on one thread to a filtered wait
// (AwaitFirst) on another, reported as median and 99th percentile, and the
// packets per second one producer and one consumer move through a FIFO.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "link/packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;

uint8_t sMatchAddress(const aPacket* packet, const void* reference)
{
    return packet->address == *static_cast<const uint8_t*>(reference);
}

double sPercentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(samples.size() - 1));
    return samples[index];
}

// One packet at a time: the main thread puts, the waiter (already blocked
// in AwaitFirst) takes it and notes when it had it.
void BM_FifoHandOff(benchmark::State& state)
{
    uint64_t fifo = aPacketFifo_Create();
    const uint8_t data[] = {3, 1, 2};
    aPacket* packet = aPacket_CreateWithData(2, 3, data);
    aPacket* noise = aPacket_CreateWithData(8, 3, data);
    std::atomic<int64_t> takenAt{0};
    std::atomic<bool> stop{false};
    std::atomic<int> waiting{0};

    std::thread waiter([&] {
        uint8_t address = 2;
        while (!stop.load()) {
            waiting.store(1);
            aPacket* got = aPacketFifo_AwaitFirst(fifo, sMatchAddress, &address, 200);
            if (got) {
                takenAt.store(Clock::now().time_since_epoch().count());
                aPacket_Destroy(&got);
            }
        }
    });
    // A few unrelated packets stay queued, as stream samples would.
    for (int i = 0; i < 8; i++)
        aPacketFifo_Put(fifo, noise);

    std::vector<double> micros;
    for (auto _ : state) {
        takenAt.store(0);
        while (!waiting.exchange(0))
            std::this_thread::yield();
        // Let the waiter block before the put.
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        auto putAt = Clock::now();
        aPacketFifo_Put(fifo, packet);
        int64_t taken = 0;
        while ((taken = takenAt.load()) == 0)
            std::this_thread::yield();
        double us = std::chrono::duration<double, std::micro>(
            Clock::duration(taken) - putAt.time_since_epoch()).count();
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    stop.store(true);
    waiter.join();
    state.counters["median_us"] = sPercentile(micros, 0.5);
    state.counters["p99_us"] = sPercentile(micros, 0.99);
    aPacket_Destroy(&packet);
    aPacket_Destroy(&noise);
    aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_FifoHandOff)->UseManualTime()->Iterations(2000);

// Producer thread puts as fast as it can (holding back when 500 are queued,
// so nothing overflows); the consumer takes with Await.
void BM_FifoThroughput(benchmark::State& state)
{
    uint64_t fifo = aPacketFifo_Create();
    const uint8_t data[28] = {3};
    aPacket* packet = aPacket_CreateWithData(2, 28, data);
    const int64_t batch = 10000;
    for (auto _ : state) {
        std::thread producer([&] {
            for (int64_t i = 0; i < batch; i++) {
                while (aPacketFifo_GetLength(fifo) > 500)
                    std::this_thread::yield();
                aPacketFifo_Put(fifo, packet);
            }
        });
        for (int64_t i = 0; i < batch; i++) {
            aPacket* got = aPacketFifo_Await(fifo, 1000);
            if (!got) {
                state.SkipWithError("packet lost");
                break;
            }
            aPacket_Destroy(&got);
        }
        producer.join();
    }
    state.SetItemsProcessed(state.iterations() * batch);
    aPacket_Destroy(&packet);
    aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_FifoThroughput)->UseRealTime()->Unit(benchmark::kMillisecond);

// Single thread: put and filtered take past queued noise.
void BM_FifoPutGetFirst(benchmark::State& state)
{
    uint64_t fifo = aPacketFifo_Create();
    const uint8_t data[] = {3, 1, 2};
    aPacket* packet = aPacket_CreateWithData(2, 3, data);
    aPacket* noise = aPacket_CreateWithData(8, 3, data);
    for (int i = 0; i < state.range(0); i++)
        aPacketFifo_Put(fifo, noise);
    uint8_t address = 2;
    for (auto _ : state) {
        aPacketFifo_Put(fifo, packet);
        aPacket* got = aPacketFifo_GetFirst(fifo, sMatchAddress, &address);
        aPacket_Destroy(&got);
    }
    state.SetItemsProcessed(state.iterations());
    aPacket_Destroy(&packet);
    aPacket_Destroy(&noise);
    aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_FifoPutGetFirst)->Arg(0)->Arg(100);

} // namespace

BENCHMARK_MAIN();
