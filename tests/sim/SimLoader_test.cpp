// The simulator's upgrade loader: what a host sends lands in the simulated
// memory, the module comes back with its new version, and the fault switches
// disturb the dialogue the way the update engine must survive.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "sim/RawModuleClient.h"
#include "support/SimHarness.h"

namespace {

const uint32_t SERIAL = 0x1234ABCD;
const uint8_t UP = 0x5F;

Bytes Image(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 13);
    return b;
}

Bytes Be32(uint32_t v) { return Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

uint32_t Sum(const Bytes& b)
{
    uint32_t s = 0;
    for (uint8_t x : b)
        s += x;
    return s;
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

class SimLoader : public testing::Test {
protected:
    bool StartSim(const std::string& extra = "", const std::vector<std::string>& more = {})
    {
        std::vector<std::string> opts{"--module", "serial=1234ABCD,address=2,version=2.15.1,build=100,"
                                                  "newversion=2.16.0,newbuild=101,block=64" + extra};
        opts.insert(opts.end(), more.begin(), more.end());
        return sim.Start(opts) && client.Connect("127.0.0.1", sim.Port(SERIAL));
    }

    RawPacket Up(const Bytes& data, const Bytes& prefix) { return client.Ask(2, data, prefix); }

    RawPacket Prepare(uint32_t address)
    {
        Bytes d{UP, 3, 0x00};
        Bytes a = Be32(address);
        d.insert(d.end(), a.begin(), a.end());
        return Up(d, {UP, 7});
    }

    // Sends an image as DATA pieces of at most 26 bytes; false when one is
    // not fully accepted.
    bool SendPieces(const Bytes& image)
    {
        for (size_t pos = 0; pos < image.size(); pos += 26) {
            size_t n = std::min<size_t>(26, image.size() - pos);
            Bytes d{UP, 1};
            d.insert(d.end(), image.begin() + long(pos), image.begin() + long(pos + n));
            RawPacket r = Up(d, {UP, 1});
            if (r.data != Bytes({UP, 1, uint8_t(n)}))
                return false;
        }
        return true;
    }

    RawPacket SumReply() { return Up({UP, 4}, {UP, 7}); }

    Bytes SumOk(const Bytes& image)
    {
        Bytes d{UP, 7, 0};
        Bytes s = Be32(Sum(image));
        d.insert(d.end(), s.begin(), s.end());
        return d;
    }

    SimHarness sim;
    RawModuleClient client;
};

TEST_F(SimLoader, LoaderAndFirmwareLandInMemoryAndTheModuleComesBackNew)
{
    ASSERT_TRUE(StartSim()) << sim.Stderr();
    EXPECT_EQ(Up({UP, 0}, {UP, 0}).data, (Bytes{UP, 0, 0x20, 0, 0, 0}));
    EXPECT_EQ(Prepare(0x20000000).data, (Bytes{UP, 7, 0, 0, 64}));
    Bytes loader = Image(60, 1);
    ASSERT_TRUE(SendPieces(loader));
    EXPECT_EQ(SumReply().data, SumOk(loader));
    EXPECT_EQ(Up({UP, 2}, {UP, 2}).data, (Bytes{UP, 2}));

    // Firmware: two block transfers of one block, each written.
    Bytes fw = Image(100, 7);
    Bytes a(fw.begin(), fw.begin() + 64), b(fw.begin() + 64, fw.end());
    EXPECT_EQ(Prepare(0x60002000).data, (Bytes{UP, 7, 0, 0, 64}));
    ASSERT_TRUE(SendPieces(a));
    EXPECT_EQ(SumReply().data, SumOk(a));
    EXPECT_EQ(Up({UP, 5, 0, 64}, {UP, 7}).data, (Bytes{UP, 7, 0}));
    ASSERT_TRUE(SendPieces(b));
    EXPECT_EQ(SumReply().data, SumOk(b)) << "the sum covers only the current block transfer";
    EXPECT_EQ(Up({UP, 5, 0, 36}, {UP, 7}).data, (Bytes{UP, 7, 0}));
    ASSERT_TRUE(client.Send(2, {UP, 6}));
    EXPECT_TRUE(client.WaitClosed(3000)) << "a reboot drops the direct link";

    SimMemoryImage mem = sim.Flash(SERIAL);
    ASSERT_TRUE(mem.valid);
    EXPECT_EQ(mem.Read("loader", 0x20000000, 60), Str(loader));
    EXPECT_EQ(mem.Size("loader"), 60u);
    EXPECT_EQ(mem.Read("flash", 0x60002000, 100), Str(fw));
    EXPECT_EQ(mem.Size("flash"), 100u);
    EXPECT_EQ(mem.version, 0x2F021000u);
    EXPECT_EQ(mem.build, 101u);
    EXPECT_EQ(mem.reboots, 1u);

    ASSERT_TRUE(client.Connect("127.0.0.1", sim.Port(SERIAL)));
    EXPECT_EQ(client.Ask(2, {3, 0x47, 0x20}, {3}).data, (Bytes{3, 7, 0, 0x2F, 0x02, 0x10, 0x00}));
    EXPECT_EQ(client.Ask(2, {73, 0xFF}, {73}).data, (Bytes{73, 0xFF, 0, 0, 0, 101}));
}

TEST_F(SimLoader, OptionTenTakesPooledChunks)
{
    ASSERT_TRUE(StartSim(",reboot=keep"));
    ASSERT_EQ(Prepare(0x8000).data, (Bytes{UP, 7, 0, 0, 64}));
    Bytes fw = Image(50, 3);
    // Three chunks of 24, 24 and 2 bytes in a single write, as pooled
    // packets arrive.
    Bytes wire;
    for (int chunk = 0; chunk < 3; ++chunk) {
        size_t pos = size_t(chunk) * 24, n = std::min<size_t>(24, fw.size() - pos);
        Bytes d{UP, 0x8A, 0x20};
        d.insert(d.end(), fw.begin() + long(pos), fw.begin() + long(pos + n));
        d.push_back(uint8_t((chunk < 2 ? 0x80 : 0) | chunk));
        wire.push_back(2);
        wire.push_back(uint8_t(d.size()));
        wire.insert(wire.end(), d.begin(), d.end());
    }
    ASSERT_TRUE(client.SendRaw(wire));
    RawPacket r;
    ASSERT_TRUE(client.Receive(r));
    EXPECT_EQ(r.data, (Bytes{UP, 0xCA, 0x00}));
    EXPECT_EQ(SumReply().data, SumOk(fw));
    EXPECT_EQ(Up({UP, 5, 0, 50}, {UP, 7}).data, (Bytes{UP, 7, 0}));
    // A chunk out of sequence is refused and nothing of it is kept.
    EXPECT_EQ(Up({UP, 0x8A, 0x20, 1, 2, 0x05}, {UP}).data, (Bytes{UP, 0xCA, 0x80, 24}));
    ASSERT_TRUE(client.Send(2, {UP, 6}));
    EXPECT_EQ(client.Ask(2, {23, 9}, {23}).data, (Bytes{23, 9})) << "reboot=keep keeps the link";
    EXPECT_EQ(sim.Flash(SERIAL).Read("flash", 0x8000, 50), Str(fw));
}

TEST_F(SimLoader, RefusesWhatAHostMustNotDo)
{
    ASSERT_TRUE(StartSim());
    EXPECT_EQ(Up({UP, 1, 1, 2, 3}, {UP, 1}).data, (Bytes{UP, 1, 0})) << "DATA before PREPARE";
    ASSERT_EQ(Prepare(0x1000).data[2], 0);
    ASSERT_TRUE(SendPieces(Image(10, 0)));
    EXPECT_EQ(Up({UP, 5, 0, 11}, {UP, 7}).data, (Bytes{UP, 7, 14})) << "WRITE of more than was sent";
    Bytes big{UP, 1};
    big.resize(29, 0x11);
    ASSERT_TRUE(client.Send(2, Bytes(big.begin(), big.begin() + 28)));
    RawPacket r;
    ASSERT_TRUE(client.Receive(r));
    EXPECT_EQ(r.data, (Bytes{UP, 1, 26})) << "26 bytes is the largest piece";
    EXPECT_EQ(Up({UP, 3, 0, 0x10}, {UP, 7}).data[2], 27) << "short PREPARE";
}

TEST_F(SimLoader, FaultsShortAcceptAndBadSumFireOnce)
{
    ASSERT_TRUE(StartSim(",fault=short:6,fault=badsum"));
    ASSERT_EQ(Prepare(0x4000).data[2], 0);
    Bytes piece = Image(26, 9);
    Bytes d{UP, 1};
    d.insert(d.end(), piece.begin(), piece.end());
    EXPECT_EQ(Up(d, {UP, 1}).data, (Bytes{UP, 1, 20}));
    EXPECT_EQ(Up(d, {UP, 1}).data, (Bytes{UP, 1, 26}));
    RawPacket bad = SumReply();
    EXPECT_EQ(bad.data[2], 0);
    EXPECT_NE(bad.data, SumOk(piece));
    EXPECT_EQ(SumReply().data, SumOk(piece)) << "the refused piece is not counted";
    EXPECT_TRUE(sim.WaitForTrace("1234ABCD ev fault short 20 of 26"));
    EXPECT_TRUE(sim.WaitForTrace("1234ABCD ev fault badsum"));
}

TEST_F(SimLoader, FaultsDropDelayGarbageStatusAndError)
{
    ASSERT_TRUE(StartSim(",fault=drop@5F04,fault=delay:300@5F00,fault=garbage:3@1701,fault=status:9@5F03,"
                         "fault=error:18@0349"));
    RawPacket none;
    ASSERT_TRUE(client.Send(2, {UP, 4}));
    EXPECT_FALSE(client.Receive(none, 300)) << "the first SUM reply is dropped";
    // The delayed INIT reply comes after the echo sent behind it.
    ASSERT_TRUE(client.SendRaw({2, 2, UP, 0, 2, 2, 23, 5}));
    RawPacket first, second;
    ASSERT_TRUE(client.Receive(first, 3000));
    EXPECT_EQ(first.data, (Bytes{23, 5}));
    ASSERT_TRUE(client.Receive(second, 3000));
    EXPECT_EQ(second.data[0], UP);
    // Garbage before the echo reply breaks the framing.
    ASSERT_TRUE(client.Send(2, {23, 1}));
    EXPECT_EQ(client.ReceiveBytes(7, 2000), (Bytes{0xFF, 0xFF, 0xFF, 2, 2, 23, 1}));
    EXPECT_EQ(Prepare(0).data, (Bytes{UP, 7, 9, 0, 64}));
    EXPECT_EQ(Prepare(0).data, (Bytes{UP, 7, 0, 0, 64}));
    EXPECT_EQ(client.Ask(2, {3, 0x49, 0x20}, {3}).data, (Bytes{3, 9, 0x80, 18}));
    EXPECT_EQ(client.Ask(2, {3, 0x49, 0x20}, {3}).data.size(), 7u);
}

TEST_F(SimLoader, DisconnectFaultAndDroppingLoad)
{
    ASSERT_TRUE(StartSim(",load=drop", {"--fault", "disconnect:5"}));
    ASSERT_TRUE(client.SendRaw({2, 2, 23, 1, 2}));
    EXPECT_TRUE(client.WaitClosed(3000));
    EXPECT_TRUE(sim.WaitForTrace("1234ABCD ev fault disconnect after 5 bytes"));
    ASSERT_TRUE(client.Connect("127.0.0.1", sim.Port(SERIAL)));
    EXPECT_EQ(client.Ask(2, {23, 1, 2}, {23}).data, (Bytes{23, 1, 2})) << "the fault fired once";
    EXPECT_EQ(Up({UP, 2}, {UP, 2}).data, (Bytes{UP, 2})) << "LOAD answers before the link drops";
    EXPECT_TRUE(client.WaitClosed(3000));
    EXPECT_EQ(sim.Command("counters 1234ABCD"), "OK hb=0 hbanswers=0 connects=2 reboots=0");
}

TEST_F(SimLoader, ARebootingModuleRefusesConnectionsForAWhile)
{
    ASSERT_TRUE(StartSim(",rebootms=400"));
    ASSERT_TRUE(client.Send(2, {UP, 6}));
    EXPECT_TRUE(client.WaitClosed(3000));
    // Connections are accepted and closed at once until the module is up.
    bool refused = false, answered = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(client.Connect("127.0.0.1", sim.Port(SERIAL)));
        answered = client.Ask(2, {23, 7}, {23}, 200).data == Bytes({23, 7});
        refused = refused || !answered;
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(answered);
    EXPECT_TRUE(sim.WaitForTrace("1234ABCD ev connection refused while rebooting"));
}

} // namespace
