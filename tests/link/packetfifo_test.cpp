#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "link/packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;

aPacket* sMake(uint8_t address, uint8_t tag)
{
    const uint8_t data[] = {3, tag};
    return aPacket_CreateWithData(address, 2, data);
}

void sPut(uint64_t fifo, uint8_t address, uint8_t tag)
{
    aPacket* p = sMake(address, tag);
    ASSERT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
    aPacket_Destroy(&p);
}

// Takes every queued packet and returns their tags in order.
std::vector<uint8_t> sTakeAll(uint64_t fifo)
{
    std::vector<uint8_t> tags;
    while (aPacket* p = aPacketFifo_Get(fifo)) {
        tags.push_back(p->data[1]);
        aPacket_Destroy(&p);
    }
    return tags;
}

uint8_t sMatchAddress(const aPacket* packet, const void* reference)
{
    return packet->address == *static_cast<const uint8_t*>(reference);
}

// Waits (with a deadline) until condition holds.
template <typename F>
bool sEventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

struct Fifo {
    uint64_t id = aPacketFifo_Create();
    ~Fifo() { if (id) aPacketFifo_Destroy(&id); }
};

} // namespace

TEST(packetFifo, IdentifiersAreFreshAndDestroyForgetsThem)
{
    uint64_t a = aPacketFifo_Create();
    uint64_t b = aPacketFifo_Create();
    ASSERT_NE(a, 0u);
    EXPECT_GT(b, a);
    uint64_t old = a;
    EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNone);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&old), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    uint64_t c = aPacketFifo_Create();
    EXPECT_GT(c, b);
    aPacketFifo_Destroy(&b);
    aPacketFifo_Destroy(&c);
}

TEST(packetFifo, UnknownIdentifiersAreRefusedEverywhere)
{
    uint64_t gone = aPacketFifo_Create();
    uint64_t id = gone;
    aPacketFifo_Destroy(&id);
    aPacket* p = sMake(2, 1);
    uint8_t address = 2;
    for (uint64_t bad : {uint64_t(0), gone}) {
        EXPECT_EQ(aPacketFifo_Put(bad, p), aErrParam);
        EXPECT_EQ(aPacketFifo_Get(bad), nullptr);
        EXPECT_EQ(aPacketFifo_Await(bad, 10), nullptr);
        EXPECT_EQ(aPacketFifo_GetFirst(bad, sMatchAddress, &address), nullptr);
        EXPECT_EQ(aPacketFifo_AwaitFirst(bad, sMatchAddress, &address, 10), nullptr);
        EXPECT_EQ(aPacketFifo_GetLength(bad), 0u);
        EXPECT_EQ(aPacketFifo_DrainPackets(bad, sMatchAddress, &address), 0u);
    }
    aPacket_Destroy(&p);

    Fifo f;
    aPacket dead{};
    EXPECT_EQ(aPacketFifo_Put(f.id, &dead), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(f.id, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
}

TEST(packetFifo, PutCopiesAndTakesHandOutNewCopies)
{
    Fifo f;
    aPacket* mine = sMake(4, 9);
    ASSERT_EQ(aPacketFifo_Put(f.id, mine), aErrNone);
    mine->data[1] = 10; // the queued copy is independent
    aPacket* got = aPacketFifo_Get(f.id);
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got, mine);
    EXPECT_EQ(got->address, 4);
    EXPECT_EQ(got->data[1], 9);
    EXPECT_TRUE(aVALIDPACKET(mine));
    EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);
    aPacket_Destroy(&got);
    aPacket_Destroy(&mine);
}

TEST(packetFifo, TheThousandAndFirstPutEmptiesTheQueue)
{
    Fifo f;
    for (int i = 0; i < 1000; i++)
        sPut(f.id, 2, static_cast<uint8_t>(i));
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 1000u);
    sPut(f.id, 2, 0xEE);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
    // The queue works on afterwards, and a filtered wait sees new packets.
    sPut(f.id, 2, 7);
    uint8_t address = 2;
    aPacket* p = aPacketFifo_AwaitFirst(f.id, sMatchAddress, &address, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[1], 7);
    aPacket_Destroy(&p);
}

TEST(packetFifo, GetFirstAndDrainKeepTheOrderOfTheRest)
{
    Fifo f;
    for (uint8_t i = 1; i <= 6; i++)
        sPut(f.id, (i % 2) ? 2 : 4, i);
    uint8_t four = 4;
    aPacket* first = aPacketFifo_GetFirst(f.id, sMatchAddress, &four);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->data[1], 2);
    aPacket_Destroy(&first);
    sPut(f.id, 4, 2);
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, sMatchAddress, &four), 3u);
    EXPECT_EQ(sTakeAll(f.id), (std::vector<uint8_t>{1, 3, 5}));
    uint8_t eight = 8;
    EXPECT_EQ(aPacketFifo_GetFirst(f.id, sMatchAddress, &eight), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(f.id, nullptr, &eight), nullptr);
}

TEST(packetFifo, AwaitTimesOutOrReturnsAsSoonAsAPacketComes)
{
    Fifo f;
    auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(f.id, 0), nullptr);
    EXPECT_EQ(aPacketFifo_Await(f.id, 50), nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));

    aPacket* got = nullptr;
    std::thread waiter([&] { got = aPacketFifo_Await(f.id, 60000); });
    sPut(f.id, 6, 1);
    waiter.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->address, 6);
    aPacket_Destroy(&got);
}

namespace {
struct CountingMatch {
    std::atomic<int> calls{0};
    uint8_t wanted = 0;
};

uint8_t sCountingMatch(const aPacket* packet, const void* reference)
{
    auto* m = static_cast<CountingMatch*>(const_cast<void*>(reference));
    m->calls++;
    return packet->data[1] == m->wanted;
}
} // namespace

TEST(packetFifo, AwaitFirstOffersEachPacketOnce)
{
    Fifo f;
    sPut(f.id, 2, 1);
    sPut(f.id, 2, 2);
    sPut(f.id, 2, 3);
    CountingMatch m;
    m.wanted = 4;
    aPacket* got = nullptr;
    std::thread waiter([&] { got = aPacketFifo_AwaitFirst(f.id, sCountingMatch, &m, 60000); });
    ASSERT_TRUE(sEventually([&] { return m.calls.load() == 3; }));
    // Unrelated traffic while waiting wakes the waiter, which tests only
    // the newcomer.
    uint8_t other = 0x10;
    aPacket* p = sMake(other, 0x55);
    aPacketFifo_Put(f.id, p);
    aPacket_Destroy(&p);
    ASSERT_TRUE(sEventually([&] { return m.calls.load() == 4; }));
    sPut(f.id, 2, 4);
    waiter.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[1], 4);
    EXPECT_EQ(m.calls.load(), 5);
    aPacket_Destroy(&got);
    EXPECT_EQ(sTakeAll(f.id), (std::vector<uint8_t>{1, 2, 3, 0x55}));
}

TEST(packetFifo, DestroyWakesWaitersAtOnce)
{
    for (int round = 0; round < 2; round++) {
        uint64_t id = aPacketFifo_Create();
        sPut(id, 2, 1);
        CountingMatch m;
        m.wanted = 99;
        std::atomic<bool> returned{false};
        aPacket* got = reinterpret_cast<aPacket*>(1);
        auto start = Clock::now();
        // The waiter's own copy: the destroy below clears id.
        const uint64_t fifo = id;
        std::thread waiter([&] {
            if (round == 0) {
                got = aPacketFifo_AwaitFirst(fifo, sCountingMatch, &m, 60000);
            } else {
                // Await takes whatever is queued, so drain first and then wait.
                aPacket* first = aPacketFifo_Get(fifo);
                aPacket_Destroy(&first);
                m.calls++;
                got = aPacketFifo_Await(fifo, 60000);
            }
            returned = true;
        });
        ASSERT_TRUE(sEventually([&] { return m.calls.load() >= 1; }));
        uint64_t old = id;
        EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
        EXPECT_EQ(id, 0u);
        waiter.join();
        EXPECT_TRUE(returned.load());
        EXPECT_EQ(got, nullptr);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(aPacketFifo_Destroy(&old), aErrNotFound);
    }
}

TEST(packetFifo, ConcurrentWaitersEachGetOnlyTheirPacket)
{
    Fifo f;
    constexpr int kWaiters = 6;
    constexpr int kRounds = 50;
    std::vector<std::thread> waiters;
    std::atomic<int> wrong{0}, missing{0};
    for (int w = 0; w < kWaiters; w++) {
        waiters.emplace_back([&, w] {
            uint8_t address = static_cast<uint8_t>(2 * (w + 1));
            for (int r = 0; r < kRounds; r++) {
                aPacket* p = aPacketFifo_AwaitFirst(f.id, sMatchAddress, &address, 20000);
                if (!p) {
                    missing++;
                    continue;
                }
                if (p->address != address || p->data[1] != r)
                    wrong++;
                aPacket_Destroy(&p);
            }
        });
    }
    // Each round: one packet per waiter in scrambled order, plus noise that
    // nobody takes.
    for (int r = 0; r < kRounds; r++) {
        for (int w = kWaiters - 1; w >= 0; w -= 2)
            sPut(f.id, static_cast<uint8_t>(2 * (w + 1)), static_cast<uint8_t>(r));
        sPut(f.id, 0x80, static_cast<uint8_t>(r));
        for (int w = kWaiters - 2; w >= 0; w -= 2)
            sPut(f.id, static_cast<uint8_t>(2 * (w + 1)), static_cast<uint8_t>(r));
        // Keep a waiter's next packet from arriving before its current one
        // is taken, so that each round's check is exact.
        ASSERT_TRUE(sEventually([&] { return aPacketFifo_GetLength(f.id) == size_t(r + 1); }));
    }
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(missing.load(), 0);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), size_t(kRounds));
}

TEST(packetFifo, ManyProducersAndConsumersLoseNothing)
{
    Fifo f;
    constexpr int kProducers = 3, kPerProducer = 300;
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; c++) {
        threads.emplace_back([&] {
            while (taken.load() < kProducers * kPerProducer) {
                if (aPacket* p = aPacketFifo_Await(f.id, 20)) {
                    taken++;
                    aPacket_Destroy(&p);
                }
            }
        });
    }
    for (int p = 0; p < kProducers; p++) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; i++)
                sPut(f.id, static_cast<uint8_t>(2 + 2 * p), static_cast<uint8_t>(i));
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(taken.load(), kProducers * kPerProducer);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
}
