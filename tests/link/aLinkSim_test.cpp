// The link engine against the module simulator: synchronisation, heartbeat
// answers, framing faults and dropped connections, over TCP and a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>

#include <arpa/inet.h>

#include "support/SimHarness.h"
#include "link/aLink.h"
#include "transport/unix_time.h"

namespace {

constexpr uint32_t kSerial = 0x40F5849A;

uint8_t sModelReply(const aPacket* packet, const void* reference)
{
    return packet->address == *static_cast<const uint8_t*>(reference) && packet->length == 4
        && packet->data[0] == 0x03 && (packet->data[1] & 0x3F) == 0x08;
}

uint8_t sHeartbeat(const aPacket* packet, const void*)
{
    return packet->length == 2 && packet->data[0] == 0;
}

// Raw system GET of the model; the model number, or -1 without a reply.
int sQueryModel(uint32_t link, uint8_t address, uint32_t timeoutMs = 1000)
{
    const uint8_t request[] = {0x03, 0x48, 0x20};
    aPacket* p = aPacket_CreateWithData(address, 3, request);
    aErr err = aLink_PutPacket(link, p);
    aPacket_Destroy(&p);
    if (err != aErrNone)
        return -1;
    aPacket* reply = aLink_AwaitFirst(link, sModelReply, &address, timeoutMs);
    if (!reply)
        return -1;
    int model = reply->data[3];
    aPacket_Destroy(&reply);
    return model;
}

uint32_t sLoopback()
{
    return htonl(INADDR_LOOPBACK);
}

} // namespace

TEST(aLinkSim, SynchronisesAnswersHeartbeatsAndShares)
{
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--module", "serial=40F5849A,model=13,address=2,hb=50"})) << sim.Stderr();
    uint16_t port = static_cast<uint16_t>(sim.Port(kSerial));
    uint32_t link = aLink_CreateTCPIP(sLoopback(), port);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    EXPECT_TRUE(sim.WaitForTrace("force route on"));
    EXPECT_EQ(sQueryModel(link, 2), 13);

    uint32_t again = aLink_CreateTCPIP(sLoopback(), port);
    EXPECT_EQ(again, link);
    ASSERT_TRUE(sim.WaitForTrace("40F5849A rx 02 02 00 02"));
    EXPECT_EQ(aLink_GetFirst(link, sHeartbeat, nullptr), nullptr);
    std::string counters = sim.Command("counters 40F5849A");
    EXPECT_NE(counters.find("connects=1"), std::string::npos) << counters;
    EXPECT_EQ(counters.find("hbanswers=0 "), std::string::npos) << counters;

    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(sQueryModel(link, 2), 13);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_TRUE(sim.WaitForTrace("force route off"));
}

TEST(aLinkSim, RecoversFromBrokenFramingAndDroppedConnections)
{
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--module", "serial=40F5849A,model=13,address=4"})) << sim.Stderr();
    uint32_t link = aLink_CreateTCPIP(sLoopback(), static_cast<uint16_t>(sim.Port(kSerial)));
    ASSERT_NE(link, 0u);
    ASSERT_EQ(sQueryModel(link, 4), 13);

    // Bytes that break framing before a reply: the reply is lost, the link
    // resynchronises, and the next request is answered.
    ASSERT_EQ(sim.Command("fault 40F5849A garbage:8@0348").rfind("OK", 0), 0u);
    EXPECT_EQ(sQueryModel(link, 4, 500), -1);
    // A request made while the link is still finding its step gets nothing
    // at once, so each try waits for the link to run first.
    // Both waits end on a deadline, never on a count of tries: a fast
    // machine gets through many tries before the link has found its step.
    auto answered = [&](int seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            while (aLink_GetStatus(link) != LINK_RUNNING && std::chrono::steady_clock::now() < end)
                aTime_MSSleep(5);
            int m = sQueryModel(link, 4, 500);
            if (m >= 0 || std::chrono::steady_clock::now() >= end)
                return m;
        }
    };
    EXPECT_EQ(answered(10), 13);

    // The module closes the connection; the link opens a new one.
    ASSERT_EQ(sim.Command("fault 40F5849A disconnect:3").rfind("OK", 0), 0u);
    EXPECT_EQ(answered(20), 13);
    EXPECT_NE(sim.Command("counters 40F5849A").find("connects=2"), std::string::npos);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST(aLinkSim, SerialLinkOverAPseudoTerminal)
{
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--module", "serial=40F5849A,model=21,address=6,link=pty"})) << sim.Stderr();
    std::string path = sim.PtyPath(kSerial);
    ASSERT_FALSE(path.empty());
    uint32_t link = aLink_CreateSerial(kSerial, path.c_str(), 115200);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    EXPECT_EQ(sQueryModel(link, 6), 21);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}
