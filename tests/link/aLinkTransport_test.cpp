// The link engine end to end against a fake module over loopback TCP and
// over a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "LinkFakes.h"
#include "link/aLink.h"

using namespace linktest;

namespace {

uint8_t sEchoMatch(const aPacket* packet, const void* reference)
{
    const uint8_t* tag = static_cast<const uint8_t*>(reference);
    return packet->length == 2 && packet->data[0] == 23 && packet->data[1] == *tag;
}

// Sends a debug echo to module and waits for it to come back.
bool sEcho(uint32_t link, uint8_t module, uint8_t tag, uint32_t timeoutMs = 2000)
{
    const uint8_t data[] = {23, tag};
    aPacket* request = aPacket_CreateWithData(module, 2, data);
    aErr err = aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    if (err != aErrNone)
        return false;
    aPacket* reply = aLink_AwaitFirst(link, sEchoMatch, &tag, timeoutMs);
    bool ok = reply && reply->address == module;
    if (reply)
        aPacket_Destroy(&reply);
    return ok;
}

struct TcpLink {
    FakeModule module;
    uint32_t id = 0;
    explicit TcpLink(uint8_t address, FakeModule::Mode mode = FakeModule::Answering)
        : module(address, mode)
    {
        id = aLink_CreateTCPIP(module.loopbackAddress(), module.port());
    }
    ~TcpLink()
    {
        if (id)
            aLink_Destroy(&id);
    }
};

} // namespace

TEST(aLinkTCP, RequestAndReplyAndRouting)
{
    TcpLink link(0x02);
    ASSERT_NE(link.id, 0u);
    EXPECT_EQ(aLink_GetStatus(link.id), LINK_RUNNING);
    EXPECT_TRUE(sEcho(link.id, 0x02, 1));
    EXPECT_TRUE(eventually([&] { return link.module.routeOn.load() == 1; }));
    EXPECT_EQ(aLink_Sync(link.id), aErrNone);
    EXPECT_TRUE(sEcho(link.id, 0x02, 2));
    aLink_Destroy(&link.id);
    EXPECT_TRUE(eventually([&] { return link.module.routeOff.load() == 1; }));
}

// Callers that read the stream for their own replies hand the packets of
// the others on: one caller waiting in vain holds nobody else up, and every
// reply reaches its own waiter, also from several threads at once.
TEST(aLinkTCP, ConcurrentCallersEachGetTheirReplyWhileOneWaitsInVain)
{
    TcpLink link(0x02);
    ASSERT_NE(link.id, 0u);
    std::atomic<bool> waitStarts{false};
    std::atomic<bool> waitEnded{false};
    std::atomic<bool> gotNothing{false};
    std::thread waiting([&] {
        const uint8_t never = 200;
        waitStarts = true;
        aPacket* reply = aLink_AwaitFirst(link.id, sEchoMatch, &never, 20000);
        gotNothing = reply == nullptr;
        waitEnded = true;
        if (reply)
            aPacket_Destroy(&reply);
    });
    ASSERT_TRUE(eventually([&] { return waitStarts.load(); }));
    std::atomic<int> good{0};
    auto echoes = [&](uint8_t first) {
        for (uint8_t tag = first; tag < first + 30; tag++)
            good += sEcho(link.id, 0x02, tag, 1000);
    };
    std::thread other(echoes, 100);
    echoes(1);
    other.join();
    EXPECT_EQ(good.load(), 60);
    // Had the replies waited behind the vain wait, it would be over by now.
    EXPECT_FALSE(waitEnded.load());
    // A reply nobody waits for yet is queued meanwhile.
    const uint8_t late = 77;
    const uint8_t data[] = {23, late};
    aPacket* request = aPacket_CreateWithData(0x02, 2, data);
    ASSERT_EQ(aLink_PutPacket(link.id, request), aErrNone);
    aPacket_Destroy(&request);
    EXPECT_TRUE(eventually([&] {
        aPacket* queued = aLink_GetFirst(link.id, sEchoMatch, &late);
        bool found = queued != nullptr;
        if (queued)
            aPacket_Destroy(&queued);
        return found;
    }));
    // Taking the link down releases the vain wait.
    aLink_Destroy(&link.id);
    waiting.join();
    EXPECT_TRUE(gotNothing.load());
}

TEST(aLinkTCP, TwoCreationsShareOneLinkByUseCount)
{
    FakeModule module(0x04);
    FakeModule other(0x06);
    uint32_t first = aLink_CreateTCPIP(module.loopbackAddress(), module.port());
    uint32_t second = aLink_CreateTCPIP(module.loopbackAddress(), module.port());
    uint32_t third = aLink_CreateTCPIP(other.loopbackAddress(), other.port());
    ASSERT_NE(first, 0u);
    EXPECT_EQ(first, second);
    // Another module on the same host is another link.
    EXPECT_NE(third, first);
    EXPECT_EQ(module.connections.load(), 1);

    uint32_t keep = first;
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(aLink_GetStatus(keep), LINK_RUNNING);
    EXPECT_TRUE(sEcho(keep, 0x04, 7));
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLink_GetStatus(keep), LINK_NO_STREAM);
    EXPECT_TRUE(sEcho(third, 0x06, 8));
    aLink_Destroy(&third);
}

TEST(aLinkTCP, HeartbeatAnsweredOnTheWire)
{
    TcpLink link(0x02);
    ASSERT_NE(link.id, 0u);
    link.module.send({0x02, 0x02, 0x00, 0x00});
    ASSERT_TRUE(eventually([&] {
        for (const Bytes& p : link.module.received())
            if (p == Bytes{0x02, 0x02, 0x00, 0x02})
                return true;
        return false;
    }));
    EXPECT_EQ(aLink_GetPacket(link.id), nullptr);
}

TEST(aLinkTCP, ResynchronisesAfterGarbage)
{
    TcpLink link(0x02);
    ASSERT_NE(link.id, 0u);
    ASSERT_TRUE(sEcho(link.id, 0x02, 1));
    link.module.send({0x03, 0x41, 0x99});
    ASSERT_TRUE(eventually([&] { return link.module.countReceived(0xAD) >= 6; }));
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link.id) == LINK_RUNNING; }));
    EXPECT_TRUE(sEcho(link.id, 0x02, 2));
}

TEST(aLinkTCP, SurvivesTheModuleDroppingTheConnection)
{
    TcpLink link(0x02);
    ASSERT_NE(link.id, 0u);
    ASSERT_TRUE(sEcho(link.id, 0x02, 1));
    link.module.drop();
    // The next writes find the connection reset and open a new one.
    bool back = false;
    auto end = Clock::now() + std::chrono::seconds(10);
    for (uint8_t tag = 10; !back && Clock::now() < end; tag = static_cast<uint8_t>(tag == 200 ? 10 : tag + 1))
        back = sEcho(link.id, 0x02, tag, 500);
    EXPECT_TRUE(back);
    EXPECT_EQ(link.module.connections.load(), 2);
}

TEST(aLinkTCP, HostileModulesNeverHoldCallersPastTheirTimeOut)
{
    TcpLink link(0x02, FakeModule::Silent);
    ASSERT_NE(link.id, 0u);
    uint8_t tag = 1;
    auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(link.id, sEchoMatch, &tag, 300), nullptr);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(290));
    EXPECT_LT(waited, std::chrono::seconds(3));

    // Too-long lengths, odd addresses and random bytes, then silence.
    std::mt19937 random(99);
    Bytes noise = {0x02, 0xFF, 0x03, 0x02, 0x1D, 0x00};
    for (int i = 0; i < 5000; i++)
        noise.push_back(static_cast<uint8_t>(random()));
    link.module.send(noise);
    start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(link.id, sEchoMatch, &tag, 300), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    start = Clock::now();
    EXPECT_EQ(aLink_Sync(link.id), aErrNotReady);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    // It answers again: the link finds its feet.
    link.module.setMode(FakeModule::Answering);
    EXPECT_EQ(aLink_Sync(link.id), aErrNone);
    EXPECT_TRUE(sEcho(link.id, 0x02, 3));
}

TEST(aLinkTCP, ResetReopensTheConnection)
{
    TcpLink link(0x02);
    ASSERT_NE(link.id, 0u);
    EXPECT_EQ(aLink_Reset(link.id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.id), LINK_RUNNING);
    EXPECT_TRUE(sEcho(link.id, 0x02, 5));
    EXPECT_EQ(link.module.connections.load(), 2);
}

TEST(aLinkTCP, NoModuleNoLink)
{
    uint16_t port;
    {
        FakeModule gone(0x02);
        port = gone.port();
    }
    EXPECT_EQ(aLink_CreateTCPIP(FakeModule(0x02).loopbackAddress(), port), 0u);
}

TEST(aLinkSerial, PseudoTerminalLink)
{
    std::unique_ptr<FakeModule> module(FakeModule::onPty(0x08));
    ASSERT_NE(module, nullptr);
    uint32_t link = aLink_CreateSerial(0x40F5849A, module->ptyPath(), 115200);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_CreateSerial(0x40F5849A, module->ptyPath(), 115200), link);
    EXPECT_EQ(aLink_GetStatus(link), LINK_RUNNING);
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    EXPECT_TRUE(sEcho(link, 0x08, 1));
    module->send({0x08, 0x02, 0x00, 0x01});
    EXPECT_TRUE(eventually([&] {
        for (const Bytes& p : module->received())
            if (p == Bytes{0x08, 0x02, 0x00, 0x03})
                return true;
        return false;
    }));
    // A serial port cannot be reopened by a reset.
    uint32_t second = link;
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_Reset(link), aErrParam);
    EXPECT_EQ(aLink_GetStatus(link), LINK_NO_STREAM);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(aLink_CreateSerial(0x1, module->ptyPath(), 14400), 0u);
}

TEST(aLinkTCP, DestroyWhileACallerWaitsReleasesIt)
{
    FakeModule module(0x02, FakeModule::Silent);
    uint32_t link = aLink_CreateTCPIP(module.loopbackAddress(), module.port());
    ASSERT_NE(link, 0u);
    std::atomic<bool> done{false};
    uint8_t tag = 9;
    auto start = Clock::now();
    std::thread waiter([&] {
        EXPECT_EQ(aLink_AwaitFirst(link, sEchoMatch, &tag, 30000), nullptr);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint32_t id = link;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    waiter.join();
    EXPECT_TRUE(done.load());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

TEST(aLinkTCP, ConcurrentCreatorsShareAndReleaseCleanly)
{
    FakeModule module(0x02);
    std::atomic<int> failures{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 4; t++) {
        users.emplace_back([&, t] {
            for (int i = 0; i < 10; i++) {
                uint32_t link = aLink_CreateTCPIP(module.loopbackAddress(), module.port());
                if (!link) {
                    failures++;
                    continue;
                }
                if (!sEcho(link, 0x02, static_cast<uint8_t>(t * 16 + i)))
                    failures++;
                aLink_Destroy(&link);
            }
        });
    }
    for (auto& u : users)
        u.join();
    EXPECT_EQ(failures.load(), 0);
}
