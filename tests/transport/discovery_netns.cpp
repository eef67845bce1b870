// Network discovery inside a private network namespace (tools/netns-run):
// simulated modules answer on tv0 (198.18.0.1).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <future>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/SimHarness.h"
#include "transport/aMulticast.h"
#include "transport/discover.h"

namespace {

const char* TV0 = "198.18.0.1";

uint32_t Addr(const char* text)
{
    struct in_addr a;
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

struct Collected {
    std::vector<linkSpec> specs;
    bool count = true;
    size_t stopAfter = 1000;
};

bool Collect(const linkSpec* spec, bool* success, void* reference)
{
    auto* c = static_cast<Collected*>(reference);
    c->specs.push_back(*spec);
    *success = c->count;
    return c->specs.size() < c->stopAfter;
}

TEST(TcpipDiscovery, FindsSimulatedModules)
{
    SimHarness sim;
    ASSERT_TRUE(sim.Start({"--bind", TV0, "--discovery", TV0, "--module", "serial=40F5849A,model=13,address=4",
                           "--module", "serial=00C0FFEE,model=7,address=6"}))
        << sim.Stderr();
    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Collect, &c, 0), 2u);
    ASSERT_EQ(c.specs.size(), 2u);
    for (const linkSpec& s : c.specs) {
        EXPECT_EQ(s.type, TCPIP);
        EXPECT_EQ(s.t.ipAddress, Addr(TV0));
        EXPECT_EQ(static_cast<int>(s.p.ipPort), sim.Port(s.serialNumber));
        EXPECT_EQ(s.routerSerialNumber, s.serialNumber);
        EXPECT_EQ(s.router, s.module);
        if (s.serialNumber == 0x40F5849A) {
            EXPECT_EQ(s.module, 4u);
            EXPECT_EQ(s.model, 13u);
        } else {
            EXPECT_EQ(s.serialNumber, 0x00C0FFEEu);
            EXPECT_EQ(s.module, 6u);
            EXPECT_EQ(s.model, 7u);
        }
    }

    // A callback that stops at the first module: counted or not as it says.
    Collected first;
    first.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Collect, &first, 0), 1u);
    EXPECT_EQ(first.specs.size(), 1u);
    Collected uncounted;
    uncounted.stopAfter = 1;
    uncounted.count = false;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Collect, &uncounted, 0), 0u);
    EXPECT_EQ(uncounted.specs.size(), 1u);

    linkSpec* s = aDiscovery_FindModule(TCPIP, 0x00C0FFEE, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(static_cast<int>(s->p.ipPort), sim.Port(0x00C0FFEE));
    aLinkSpec_Destroy(&s);
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x0BADBEEF, 0), nullptr);
    sim.Stop();
}

// A responder that answers each request with a record of the given length.
struct Responder {
    explicit Responder(std::vector<std::vector<uint8_t>> replies) : replies(std::move(replies))
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(aDISCOVERY_TCPIP_REQUEST_PORT);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ip_mreq join{};
        join.imr_multiaddr.s_addr = Addr(aDISCOVERY_TCPIP_GROUP);
        join.imr_interface.s_addr = Addr(TV0);
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
        worker = std::thread([this] { Run(); });
    }
    ~Responder()
    {
        stop = true;
        worker.join();
        close(fd);
    }
    void Run()
    {
        while (!stop) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 50) != 1)
                continue;
            uint8_t req[64];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n != 16 || req[0] != 1)
                continue;
            requests++;
            from.sin_port = htons(aDISCOVERY_TCPIP_REPLY_PORT); // answers go to the search's listener
            for (const auto& r : replies)
                sendto(fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
        }
    }
    std::vector<std::vector<uint8_t>> replies;
    int fd;
    std::atomic<bool> stop{false};
    std::atomic<int> requests{0};
    std::thread worker;
};

TEST(TcpipDiscovery, ShortRepliesNeitherInheritNorInvent)
{
    // A full record, a 12-byte one without the model, and a 5-byte scrap.
    std::vector<uint8_t> full = {0, 8, 0x70, 0x17, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0x21, 0, 0, 0};
    std::vector<uint8_t> noModel = {0, 2, 0x10, 0x27, 0x01, 0x00, 0x00, 0xAB, 0, 0, 0, 0};
    std::vector<uint8_t> scrap = {0, 1, 2, 3, 4};
    Responder r({full, scrap, noModel});
    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Collect, &c, 0), 2u);
    EXPECT_GE(r.requests.load(), 1);
    ASSERT_EQ(c.specs.size(), 2u);
    EXPECT_EQ(c.specs[0].serialNumber, 0x12345678u);
    EXPECT_EQ(c.specs[0].p.ipPort, 6000u);
    EXPECT_EQ(c.specs[0].module, 8u);
    EXPECT_EQ(c.specs[0].model, 0x21u);
    EXPECT_EQ(c.specs[1].serialNumber, 0xAB000001u);
    EXPECT_EQ(c.specs[1].p.ipPort, 10000u);
    EXPECT_EQ(c.specs[1].model, 0xFFu);
}

// A host that never stops answering: one reply every 100 ms from the first
// request on. The search still comes to an end and keeps what it heard.
TEST(TcpipDiscovery, EndlessAnswersDoNotHoldTheSearchForEver)
{
    std::vector<uint8_t> full = {0, 8, 0x70, 0x17, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0x21, 0, 0, 0};
    Responder r({full});
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop && r.requests.load() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(aDISCOVERY_TCPIP_REPLY_PORT);
        to.sin_addr.s_addr = Addr(TV0);
        while (!stop) {
            sendto(fd, full.data(), full.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        close(fd);
    });
    auto search = std::async(std::launch::async, [] {
        Collected c;
        return aDiscovery_EnumerateModules(TCPIP, Collect, &c, 0);
    });
    bool ended = search.wait_for(std::chrono::seconds(120)) == std::future_status::ready;
    stop = true;
    flood.join();
    if (!ended) {
        ADD_FAILURE() << "the search is still listening after two minutes";
        std::_Exit(1);
    }
    EXPECT_GE(search.get(), 1u);
}

TEST(Multicast, LoopbackEndpoints)
{
    const uint32_t group = Addr("224.0.0.7");
    aMulticastRef receiver = aMulticast_Create(0, group, 9850, false);
    ASSERT_NE(receiver, nullptr);
    // The port is taken: a second receiver can't have it.
    EXPECT_EQ(aMulticast_Create(Addr("127.0.0.1"), group, 9850, false), nullptr);
    aMulticastRef sender = aMulticast_Create(Addr("127.0.0.1"), group, 9850, true);
    ASSERT_NE(sender, nullptr);

    const uint8_t query[4] = {0xBA, 0xDC, 0xCD, 0xAB};
    EXPECT_EQ(aMulticast_Send(sender, query, sizeof query), 4);
    uint8_t got[128] = {};
    EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof got), 4);
    EXPECT_EQ(std::memcmp(got, query, 4), 0);

    EXPECT_EQ(aMulticast_Send(receiver, query, 4), aMULTICAST_WRONGWAY);
    EXPECT_EQ(aMulticast_Receive(sender, got, 4), aMULTICAST_WRONGWAY);
    EXPECT_EQ(aMulticast_Send(nullptr, query, 4), aMULTICAST_NULL);
    EXPECT_EQ(aMulticast_Receive(nullptr, got, 4), aMULTICAST_NULL);
    // Nothing more comes: the receive gives up after its second.
    EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof got), aMULTICAST_FAILED);

    EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
    EXPECT_EQ(receiver, nullptr);
    EXPECT_EQ(aMulticast_Destroy(&receiver), aMULTICAST_NULL);
    // Once freed, the port can be had again.
    receiver = aMulticast_Create(0, group, 9850, false);
    EXPECT_NE(receiver, nullptr);
    aMulticast_Destroy(&receiver);
    aMulticast_Destroy(&sender);
}

} // namespace
