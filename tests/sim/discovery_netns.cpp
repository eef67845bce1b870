// Inside a private network namespace: the simulator answers the TCPIP
// discovery search from the interface address, and the answer leads to a
// working connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

#include "sim/RawModuleClient.h"
#include "support/SimHarness.h"

namespace {

const char* IFADDR = SimHarness::NETNS_ADDRESS;

TEST(SimDiscovery, AnswersTheMulticastSearchForEachModule)
{
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--bind", IFADDR, "--discovery", IFADDR, "--module", "serial=40F5849A,model=19,address=4",
                           "--behind", "serial=55556666,address=6", "--module", "serial=0000BEEF,model=26"}))
        << sim.Stderr();

    int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(9889);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);

    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr ifaddr{};
    inet_pton(AF_INET, IFADDR, &ifaddr);
    ASSERT_EQ(setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr), 0);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
    uint8_t request[16] = {1};
    ASSERT_EQ(sendto(sender, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group), 16);

    std::map<uint32_t, std::vector<uint8_t>> replies;
    while (replies.size() < 2) {
        pollfd p{listener, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 5000), 0) << "no discovery answer";
        uint8_t rec[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(listener, rec, sizeof rec, 0, reinterpret_cast<sockaddr*>(&from), &len);
        ASSERT_EQ(n, 16);
        char who[INET_ADDRSTRLEN];
        EXPECT_STREQ(inet_ntop(AF_INET, &from.sin_addr, who, sizeof who), IFADDR);
        uint32_t serial = uint32_t(rec[4]) | uint32_t(rec[5]) << 8 | uint32_t(rec[6]) << 16 | uint32_t(rec[7]) << 24;
        replies[serial] = std::vector<uint8_t>(rec, rec + 16);
    }
    close(sender);
    close(listener);

    ASSERT_EQ(replies.count(0x40F5849A), 1u);
    ASSERT_EQ(replies.count(0x0000BEEF), 1u);
    const std::vector<uint8_t>& r = replies[0x40F5849A];
    EXPECT_EQ(r[1], 4);
    EXPECT_EQ(int(r[2] | r[3] << 8), sim.Port(0x40F5849A));
    EXPECT_EQ(r[12], 19);
    EXPECT_EQ(replies[0x0000BEEF][12], 26);

    RawModuleClient c;
    ASSERT_TRUE(c.Connect(IFADDR, r[2] | r[3] << 8));
    EXPECT_EQ(c.Ask(4, {3, 0x49, 0x20}, {3}).data, (Bytes{3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
}

} // namespace
