// The single-producer single-consumer ring: capacity, order, and a hand-off
// between two threads (run under ThreadSanitizer in CI).
#include <gtest/gtest.h>

#include <thread>

#include "link/LocklessQueue_SPSC.h"

TEST(LocklessQueue, HoldsOneLessThanItsSlotsInOrder)
{
    Quorvane::LocklessQueue_SPSC<int> queue(500);
    int out = 0;
    EXPECT_FALSE(queue.pop(out));
    for (int i = 0; i < 499; ++i)
        ASSERT_TRUE(queue.push(i)) << i;
    EXPECT_FALSE(queue.push(499)); // full: dropped, not waited for
    for (int round = 0; round < 3; ++round) {
        // Wrapping around the end keeps the order.
        ASSERT_TRUE(queue.pop(out));
        EXPECT_TRUE(queue.push(1000 + round));
        EXPECT_FALSE(queue.push(2000));
    }
    std::vector<int> drained;
    while (queue.pop(out))
        drained.push_back(out);
    ASSERT_EQ(drained.size(), 499u);
    EXPECT_EQ(drained.front(), 3);
    EXPECT_EQ(drained[495], 498);
    EXPECT_EQ(drained.back(), 1002);
    EXPECT_TRUE(queue.empty());
}

TEST(LocklessQueue, ThreadsHandOverEveryElementOnce)
{
    Quorvane::LocklessQueue_SPSC<uint64_t> queue(8);
    const uint64_t total = 200000;
    std::thread producer([&] {
        for (uint64_t i = 1; i <= total;)
            if (queue.push(i))
                ++i;
            else
                std::this_thread::yield();
    });
    uint64_t expected = 1, out = 0;
    while (expected <= total) {
        if (queue.pop(out)) {
            ASSERT_EQ(out, expected);
            ++expected;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_TRUE(queue.empty());
}
