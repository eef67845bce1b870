// The simulator as a host sees it over TCP: the synchronisation handshake,
// the system entity, capability queries, debug echo, store slots, factory
// data and value streams.
#include <gtest/gtest.h>

#include "sim/RawModuleClient.h"
#include "support/SimHarness.h"

namespace {

const uint32_t SERIAL = 0x40F5849A;

class SimProtocol : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Start({"--module", "serial=40F5849A,model=13,address=6,version=2.15.7,build=4321,name=Bench A,"
                                           "features=0x80000001,factory3=00112233445566778899AABBCCDDEEFF0011223344556677"
                                           "8899AABBCCDDEEFF0102030405"}))
            << sim.Stderr();
        ASSERT_TRUE(client.Connect("127.0.0.1", sim.Port(SERIAL)));
    }

    // A GET of a system option; the reply packet (empty when none came).
    RawPacket Get(uint8_t option) { return client.Ask(6, {3, uint8_t(0x40 | option), 0x20}, {3}); }

    SimHarness sim;
    RawModuleClient client;
};

TEST_F(SimProtocol, SynchronisesAndAnswersSerialNumber)
{
    // Six probes as a host sends them when it falls out of step.
    Bytes probes;
    for (int i = 0; i < 6; ++i)
        probes.insert(probes.end(), {0xAD, 0x00});
    ASSERT_TRUE(client.SendRaw(probes));
    Bytes answers = client.ReceiveBytes(12, 2000);
    EXPECT_EQ(answers, (Bytes{6, 0, 6, 0, 6, 0, 6, 0, 6, 0, 6, 0}));

    ASSERT_TRUE(client.Send(6, {0x03, 0x49, 0x20}));
    Bytes reply = client.ReceiveBytes(9, 2000);
    EXPECT_EQ(reply, (Bytes{0x06, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
}

TEST_F(SimProtocol, SystemOptionsHaveTheirWidthsAndValues)
{
    RawPacket p = Get(7);
    EXPECT_EQ(p.data, (Bytes{3, 7, 0, 0x2F, 0x02, 0x0F, 0x07}));
    EXPECT_EQ(Get(8).data, (Bytes{3, 8, 0, 13}));
    EXPECT_EQ(Get(1).data, (Bytes{3, 1, 0, 6}));
    EXPECT_EQ(Get(43).data, (Bytes{3, 43, 0, 0, 0, 0x10, 0xE1}));
    EXPECT_EQ(Get(45).data, (Bytes{3, 45, 0, 0x80, 0, 0, 1}));
    // The name comes as one bytes chunk with its trailer.
    EXPECT_EQ(Get(32).data, (Bytes{3, 32, 0, 'B', 'e', 'n', 'c', 'h', ' ', 'A', 0x00}));
    EXPECT_EQ(p.address, 6);
}

TEST_F(SimProtocol, SetsAnswerWithBothFlagsAndStick)
{
    EXPECT_EQ(client.Ask(6, {3, 0x84, 0x20, 0x01}, {3}).data, (Bytes{3, 0xC4, 0x00, 0x01}));
    EXPECT_EQ(Get(4).data, (Bytes{3, 4, 0, 1}));
    EXPECT_EQ(client.Ask(6, {3, 0x8A, 0x20}, {3}).data, (Bytes{3, 0xCA, 0x00}));
    // A name of 30 bytes goes in two chunks; one reply after the last.
    Bytes first{3, 0xA0, 0x20};
    for (int i = 0; i < 24; ++i)
        first.push_back(uint8_t('a' + i));
    first.push_back(0x80);
    ASSERT_TRUE(client.Send(6, first));
    EXPECT_EQ(client.Ask(6, {3, 0xA0, 0x20, 'y', 'z', '0', '1', '2', '3', 0x01}, {3}).data, (Bytes{3, 0xE0, 0x00}));
    RawPacket a, b;
    ASSERT_TRUE(client.Send(6, {3, 0x60, 0x20}));
    ASSERT_TRUE(client.Receive(a));
    ASSERT_TRUE(client.Receive(b));
    ASSERT_EQ(a.data.size(), 28u);
    EXPECT_EQ(a.data.back(), 0x80);
    EXPECT_EQ(b.data, (Bytes{3, 32, 0, 'y', 'z', '0', '1', '2', '3', 0x01}));
}

TEST_F(SimProtocol, ErrorRepliesCarryTheRightCode)
{
    // Option 5 does not exist; option 9 cannot be set; index 1 has no system
    // entity; a SET of a byte option with a 32-bit value has the wrong size.
    EXPECT_EQ(Get(5).data, (Bytes{3, 5, 0x80, 29}));
    EXPECT_EQ(client.Ask(6, {3, 0x89, 0x20, 1, 2, 3, 4}, {3}).data, (Bytes{3, 0xC9, 0x80, 12}));
    EXPECT_EQ(client.Ask(6, {3, 0x49, 0x21}, {3}).data, (Bytes{3, 9, 0x81, 26}));
    EXPECT_EQ(client.Ask(6, {3, 0x84, 0x20, 0, 0, 0, 1}, {3}).data, (Bytes{3, 0xC4, 0x80, 14}));
    // An unknown entity class.
    EXPECT_EQ(client.Ask(6, {40, 0x41, 0x20}, {40}).data, (Bytes{40, 1, 0x80, 28}));
}

TEST_F(SimProtocol, MissingOptionsAreRefused)
{
    ASSERT_EQ(sim.Command("set 40F5849A missing=12:45"), "OK set");
    EXPECT_EQ(Get(12).data, (Bytes{3, 12, 0x80, 29}));
    EXPECT_EQ(client.Ask(6, {73, 1, 3, 45, 0, 0x40}, {73}).data, (Bytes{73, 1, 3, 45, 0, 29}));
    EXPECT_EQ(Get(9).data.size(), 7u);
}

TEST_F(SimProtocol, QueriesEchoAndAddressLearning)
{
    EXPECT_EQ(client.Ask(6, {73, 0xFF}, {73, 0xFF}).data, (Bytes{73, 0xFF, 0, 0, 0x10, 0xE1}));
    EXPECT_EQ(client.Ask(6, {73, 1, 95, 10, 0, 0x80}, {73, 1}).data, (Bytes{73, 1, 95, 10, 0, 0}));
    EXPECT_EQ(client.Ask(6, {73, 1, 95, 10, 0, 0x40}, {73, 1}).data, (Bytes{73, 1, 95, 10, 0, 29}));
    EXPECT_EQ(client.Ask(6, {73, 4, 3}, {73, 4}).data, (Bytes{73, 4, 3, 1}));
    EXPECT_EQ(client.Ask(6, {73, 5, 3, 0}, {73, 5}).data, (Bytes{73, 5, 3, 0, 0}));
    EXPECT_EQ(client.Ask(6, {73, 6, 3, 0}, {73, 6}).data, (Bytes{73, 6, 3, 0, 0}));
    EXPECT_EQ(client.Ask(6, {23, 1, 2, 3}, {23}).data, (Bytes{23, 1, 2, 3}));
    // The address question gets an empty packet from the module's address.
    ASSERT_TRUE(client.Send(0xAD, {}));
    RawPacket p;
    ASSERT_TRUE(client.Receive(p));
    EXPECT_EQ(p.address, 6);
    EXPECT_TRUE(p.data.empty());
}

TEST_F(SimProtocol, StoreSlotsKeepWhatWasWritten)
{
    EXPECT_EQ(client.Ask(6, {4, 1, 0, 2}, {4, 1}).data, (Bytes{4, 1, 0, 2, 0x04, 0x00}));
    RawPacket open = client.Ask(6, {4, 4, 0, 2}, {4, 4});
    ASSERT_EQ(open.data.size(), 5u);
    uint8_t h = open.data[4];
    Bytes chunk{4, 7, h};
    uint8_t sum = 0;
    for (int i = 0; i < 25; ++i) {
        chunk.push_back(uint8_t(i * 7));
        sum = uint8_t(sum + i * 7);
    }
    EXPECT_EQ(client.Ask(6, chunk, {4, 7}).data, (Bytes{4, 7, h, sum}));
    EXPECT_EQ(client.Ask(6, {4, 7, h, 0xAA}, {4, 7}).data, (Bytes{4, 7, h, 0xAA}));
    EXPECT_EQ(client.Ask(6, {4, 8, h}, {4, 8}).data, (Bytes{4, 8, h, 0}));
    EXPECT_EQ(client.Ask(6, {4, 2, 0, 2}, {4, 2}).data, (Bytes{4, 2, 0, 2, 0, 26}));

    RawPacket rd = client.Ask(6, {4, 3, 0, 2}, {4, 3});
    ASSERT_EQ(rd.data.size(), 5u);
    uint8_t r = rd.data[4];
    RawPacket part = client.Ask(6, {4, 6, r}, {4, 6});
    ASSERT_EQ(part.data.size(), 28u);
    EXPECT_EQ(Bytes(part.data.begin() + 3, part.data.end()), Bytes(chunk.begin() + 3, chunk.end()));
    EXPECT_EQ(client.Ask(6, {4, 6, r}, {4, 6}).data, (Bytes{4, 6, r, 0xAA}));
    // Writing through a read handle, a closed handle and a slot that does
    // not exist are errors.
    EXPECT_EQ(client.Ask(6, {4, 7, r, 1}, {4}).data, (Bytes{4, 0x87, r, 7}));
    EXPECT_EQ(client.Ask(6, {4, 8, r}, {4, 8}).data, (Bytes{4, 8, r, 0}));
    EXPECT_EQ(client.Ask(6, {4, 6, r}, {4}).data, (Bytes{4, 0x86, r, 2}));
    EXPECT_EQ(client.Ask(6, {4, 1, 0, 9}, {4}).data, (Bytes{4, 0x81, 0, 9, 26}));
}

TEST_F(SimProtocol, FactoryDataReadsInChunksAndWritesBack)
{
    RawPacket first = client.Ask(6, {94, 0x43}, {94});
    ASSERT_EQ(first.data.size(), 28u);
    EXPECT_EQ(first.data[1], 3);
    EXPECT_EQ(first.data[2], 0x00);
    EXPECT_EQ(first.data[27], 0x99);
    RawPacket second = client.Ask(6, {94, 0x03}, {94});
    EXPECT_EQ(second.data, (Bytes{94, 3, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 1, 2, 3, 4, 5}));
    EXPECT_EQ(client.Ask(6, {94, 0x20, 0, 37}, {94}).data, (Bytes{94, 0}));

    EXPECT_EQ(client.Ask(6, {94, 0x55, 9, 8, 7}, {94}).data, (Bytes{94, 5}));
    EXPECT_EQ(client.Ask(6, {94, 0x15, 6}, {94}).data, (Bytes{94, 5}));
    // A total that does not match what was sent is refused.
    EXPECT_EQ(client.Ask(6, {94, 0x20, 0, 5}, {94}).data, (Bytes{94, 0x80, 14}));
    EXPECT_EQ(client.Ask(6, {94, 0x55, 9, 8, 7}, {94}).data, (Bytes{94, 5}));
    EXPECT_EQ(client.Ask(6, {94, 0x20, 0, 3}, {94}).data, (Bytes{94, 0}));
    EXPECT_EQ(client.Ask(6, {94, 0x45}, {94}).data, (Bytes{94, 5, 9, 8, 7}));
    EXPECT_EQ(client.Ask(6, {94, 0x47}, {94}).data, (Bytes{94, 0x87, 3}));
}

TEST_F(SimProtocol, StreamsSamplesOfEachTypeUntilTurnedOff)
{
    // Every option of the system entity, index 0: key module 6, command 3.
    EXPECT_EQ(client.Ask(6, {93, 0x81, 0x20, 6, 3, 0xFF, 0x00}, {93}).data, (Bytes{93, 0xC1, 0, 6, 3, 0xFF, 0}));
    EXPECT_EQ(client.Ask(6, {93, 0x41, 0x20}, {93}).data, (Bytes{93, 1, 0, 1}));
    std::map<uint8_t, size_t> lengths;
    RawPacket p;
    while (lengths.size() < 6 && client.ReceiveWhere(p, [](const RawPacket& r) { return r.data.size() > 4 && (r.data[2] & 0x40); }, 3000)) {
        EXPECT_EQ(p.data.back(), 0);
        lengths[p.data[3]] = p.data.size();
    }
    EXPECT_EQ(lengths, (std::map<uint8_t, size_t>{{1, 14}, {2, 15}, {3, 17}, {5, 15}, {6, 16}, {7, 18}}));
    EXPECT_EQ(client.Ask(6, {93, 0x82, 0x20, 6, 3, 0xFF, 0xFF}, {93, 0xC2}).data, (Bytes{93, 0xC2, 0, 6, 3, 0xFF, 0xFF}));
    EXPECT_EQ(client.Ask(6, {93, 0x41, 0x20}, {93, 1}).data, (Bytes{93, 1, 0, 0}));
    // A key for another module is refused.
    EXPECT_EQ(client.Ask(6, {93, 0x81, 0x20, 8, 3, 0xFF, 0}, {93}).data, (Bytes{93, 0xC1, 0x80, 2}));
}

} // namespace
