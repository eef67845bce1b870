// A simulated router with modules on its I2C network, a module served over a
// pseudo-terminal, and heartbeats.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/RawModuleClient.h"
#include "support/SimHarness.h"

namespace {

const uint32_t ROUTER = 0x0A0B0C0D;
const uint32_t LEFT = 0x11112222;
const uint32_t RIGHT = 0x33334444;

class SimRouter : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Start({"--module", "serial=0A0B0C0D,model=17,address=2", "--behind",
                               "serial=11112222,model=13,address=4,version=1.2.3,newbuild=77,block=32", "--behind",
                               "serial=33334444,model=26,address=8"}))
            << sim.Stderr();
        ASSERT_TRUE(client.Connect("127.0.0.1", sim.Port(ROUTER)));
    }

    RawPacket Serial(uint8_t address) { return client.Ask(address, {3, 0x49, 0x20}, {3, 9}, 500); }

    SimHarness sim;
    RawModuleClient client;
};

TEST_F(SimRouter, ReportsItsNetwork)
{
    ASSERT_EQ(sim.Modules().size(), 3u);
    const SimModuleInfo* left = sim.Module(LEFT);
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->routerSerial, ROUTER);
    EXPECT_EQ(left->address, 4);
    EXPECT_EQ(sim.Port(LEFT), -1);
}

TEST_F(SimRouter, ForwardsOnlyWhileRouted)
{
    EXPECT_TRUE(Serial(4).data.empty());
    EXPECT_TRUE(sim.WaitForTrace("0A0B0C0D ev not routed: packet for 4 ignored"));

    EXPECT_EQ(client.Ask(2, {3, 0x94, 0x20, 1}, {3}).data, (Bytes{3, 0xD4, 0, 1}));
    RawPacket left = Serial(4);
    EXPECT_EQ(left.address, 4);
    EXPECT_EQ(left.data, (Bytes{3, 9, 0, 0x11, 0x11, 0x22, 0x22}));
    EXPECT_EQ(Serial(8).data, (Bytes{3, 9, 0, 0x33, 0x33, 0x44, 0x44}));
    EXPECT_TRUE(Serial(6).data.empty());
    // Each module answers for itself, the router included.
    EXPECT_EQ(client.Ask(8, {3, 0x48, 0x20}, {3}).data, (Bytes{3, 8, 0, 26}));
    EXPECT_EQ(client.Ask(2, {3, 0x48, 0x20}, {3}).data, (Bytes{3, 8, 0, 17}));
    EXPECT_EQ(client.Ask(4, {3, 0x42, 0x20}, {3}).data, (Bytes{3, 2, 0, 2})) << "router address";

    EXPECT_EQ(client.Ask(2, {3, 0x94, 0x20, 0}, {3}).data, (Bytes{3, 0xD4, 0, 0}));
    EXPECT_TRUE(Serial(4).data.empty());
    // Forced routing, as a link switches it on when it starts.
    ASSERT_TRUE(client.Send(0xAF, {1}));
    EXPECT_EQ(Serial(4).address, 4);
    ASSERT_TRUE(client.Send(0xAF, {0}));
    EXPECT_TRUE(Serial(4).data.empty());
}

TEST_F(SimRouter, I2CWritesFindTheModulesOnTheNetwork)
{
    auto probe = [&](uint8_t address) {
        return client.Ask(2, {8, 0, address, 2, 3, 0, 0}, {8, 0, address}).data;
    };
    EXPECT_EQ(probe(4), (Bytes{8, 0, 4, 2, 0}));
    EXPECT_EQ(probe(8), (Bytes{8, 0, 8, 2, 0}));
    EXPECT_EQ(probe(6), (Bytes{8, 0, 6, 2, 0x86}));
    EXPECT_EQ(client.Ask(2, {8, 0, 5, 3, 3}, {8, 0, 5}).data, (Bytes{8, 0, 5, 3, 0, 0, 0, 0}));
    EXPECT_EQ(client.Ask(2, {8, 0, 1, 1}, {8, 0, 1}).data, (Bytes{8, 0, 1, 1, 0})) << "pull-ups";
    EXPECT_EQ(client.Ask(2, {73, 4, 8}, {73}).data, (Bytes{73, 4, 8, 1}));
}

TEST_F(SimRouter, UpdatesAModuleBehindItWithoutDroppingTheLink)
{
    ASSERT_TRUE(client.Send(0xAF, {1}));
    const uint8_t UP = 0x5F;
    EXPECT_EQ(client.Ask(4, {UP, 3, 0, 0, 0, 0x10, 0}, {UP, 7}).data, (Bytes{UP, 7, 0, 0, 32}));
    EXPECT_EQ(client.Ask(4, {UP, 1, 'a', 'b', 'c'}, {UP, 1}).data, (Bytes{UP, 1, 3}));
    EXPECT_EQ(client.Ask(4, {UP, 4}, {UP, 7}).data, (Bytes{UP, 7, 0, 0, 0, 1, 0x26}));
    EXPECT_EQ(client.Ask(4, {UP, 5, 0, 3}, {UP, 7}).data, (Bytes{UP, 7, 0}));
    ASSERT_TRUE(client.Send(4, {UP, 6}));
    EXPECT_EQ(client.Ask(4, {73, 0xFF}, {73}).data, (Bytes{73, 0xFF, 0, 0, 0, 77}));
    SimMemoryImage left = sim.Flash(LEFT);
    EXPECT_EQ(left.Read("flash", 0x1000, 3), "abc");
    EXPECT_EQ(left.build, 77u);
    EXPECT_EQ(sim.Flash(ROUTER).Size("flash"), 0u);
}

TEST(SimTerminal, ServesAModuleOverAPseudoTerminal)
{
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--module", "serial=0BADCAFE,link=pty,address=10"})) << sim.Stderr();
    std::string path = sim.PtyPath(0x0BADCAFE);
    ASSERT_FALSE(path.empty());
    RawModuleClient tty;
    ASSERT_TRUE(tty.OpenTerminal(path));
    EXPECT_EQ(tty.Ask(10, {3, 0x49, 0x20}, {3}).data, (Bytes{3, 9, 0, 0x0B, 0xAD, 0xCA, 0xFE}));
    ASSERT_TRUE(tty.Send(0xAD, {}));
    RawPacket p;
    ASSERT_TRUE(tty.Receive(p));
    EXPECT_EQ(p.address, 10);
}

TEST(SimHeartbeat, SendsBeatsAndCountsTheAnswers)
{
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--module", "serial=00C0FFEE,hb=20"})) << sim.Stderr();
    RawModuleClient c;
    ASSERT_TRUE(c.Connect("127.0.0.1", sim.Port(0x00C0FFEE)));
    for (int i = 0; i < 2; ++i) {
        RawPacket beat;
        ASSERT_TRUE(c.Receive(beat, 3000));
        ASSERT_EQ(beat.data.size(), 2u);
        EXPECT_EQ(beat.data[0], 0);
        EXPECT_EQ(beat.data[1], i) << "up, then down";
        ASSERT_TRUE(c.Send(beat.address, {0, uint8_t(beat.data[1] + 2)}));
    }
    std::string counters;
    // The router counts the answer once its own thread took it: ask until a
    // deadline, not a number of times (a fast machine asks 200 times at once).
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        counters = sim.Command("counters 00C0FFEE");
    } while (counters.find("hbanswers=2") == std::string::npos && std::chrono::steady_clock::now() < end);
    EXPECT_NE(counters.find("hbanswers=2"), std::string::npos) << counters;
}

} // namespace
