// Value streams: the sample parsers on crafted packets, the stream filter
// on a scripted module that streams exactly what the test sends, and
// registrations, wildcards and the async callback thread against the
// module simulator.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "ScriptedModule.h"
#include "link/Link.h"
#include "link/Module.h"
#include "link/SystemClass.h"
#include "support/SimHarness.h"

using namespace Quorvane::Corvestel;
using linktest::ScriptedModule;
using Bytes = std::vector<uint8_t>;

namespace {

aPacket* sPacket(uint8_t address, const Bytes& data)
{
    return aPacket_CreateWithData(address, uint8_t(data.size()), data.data());
}

// The 15-byte sample of a 16-bit value 0x0102 for command 3, option 7, index 1.
Bytes sSample16(uint8_t last = 0)
{
    return Bytes{3, 7, 0x41, 2, 0, 0, 0, 1, 0, 0, 0, 2, 0x01, 0x02, last};
}

bool sWaitFor(const std::function<bool()>& condition, int ms = 10000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

aEtherConfig sOff()
{
    aEtherConfig config;
    config.enabled = 0;
    return config;
}

// Counts callbacks and notes the threads they ran on.
struct Calls {
    std::mutex lock;
    std::set<std::thread::id> threads;
    std::vector<Bytes> packets;
    std::atomic<int> count{0};
    static uint8_t callback(const aPacket* packet, void* reference)
    {
        Calls* self = static_cast<Calls*>(reference);
        std::lock_guard<std::mutex> guard(self->lock);
        self->threads.insert(std::this_thread::get_id());
        self->packets.emplace_back(packet->data, packet->data + packet->length);
        ++self->count;
        return 0;
    }
};

// A scripted module that acknowledges stream control.
void sAcknowledgeStreamControl(ScriptedModule& fake)
{
    fake.setHandler([](ScriptedModule& m, uint8_t, const Bytes& d) {
        if (d.size() == 7 && d[0] == cmdSTREAMCONTROL && (d[1] == 0x81 || d[1] == 0x82)) {
            m.reply({cmdSTREAMCONTROL, uint8_t(d[1] | 0x40), 0, d[3], d[4], d[5], d[6]});
            return true;
        }
        return false;
    });
}

} // namespace

TEST(LinkStreamParsers, SamplesAndKeys)
{
    aPacket* p = sPacket(4, sSample16());
    uint8_t type = 0;
    EXPECT_TRUE(Link::isStreamPacket(p));
    EXPECT_TRUE(Link::getStreamPacketType(p, &type));
    EXPECT_EQ(type, 2);
    EXPECT_TRUE(Link::isStreamSample(p));
    uint64_t stamp = 0;
    uint32_t value = 0;
    uint8_t sub = 9;
    EXPECT_EQ(Link::getStreamSample(p, &stamp, &value, &sub), aErrNone);
    EXPECT_EQ(value, 0x0102u);
    EXPECT_EQ(sub, 0);
    uint32_t upper = 0, lower = 0;
    Link::getTimestampParts(stamp, &upper, &lower);
    EXPECT_EQ(upper, 1u);
    EXPECT_EQ(lower, 2u);
    aPacket_Destroy(&p);

    p = sPacket(4, sSample16(0x80));
    EXPECT_TRUE(Link::getStreamPacketType(p, &type));
    EXPECT_EQ(type, 4);
    EXPECT_FALSE(Link::isStreamSample(p));
    EXPECT_EQ(Link::getStreamSample(p, nullptr, nullptr, nullptr), aErrSize);
    aPacket_Destroy(&p);

    Bytes shortOne = sSample16();
    shortOne.erase(shortOne.begin() + 12); // 14 bytes for a 16-bit sample
    p = sPacket(4, shortOne);
    EXPECT_FALSE(Link::isStreamSample(p));
    EXPECT_EQ(Link::getStreamSample(p, nullptr, &value, nullptr), aErrPacket);
    aPacket_Destroy(&p);

    Bytes sub7{3, 27, 0x40, 7, 2, 0, 0, 0, 0, 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFE, 0};
    p = sPacket(4, sub7);
    EXPECT_EQ(Link::getStreamSample(p, nullptr, &value, &sub), aErrNone);
    EXPECT_EQ(value, 0xFFFFFFFEu);
    EXPECT_EQ(sub, 2);
    aPacket_Destroy(&p);

    Bytes zeroType = sSample16();
    zeroType[3] = 0;
    p = sPacket(4, zeroType);
    EXPECT_FALSE(Link::getStreamPacketType(p, &type));
    EXPECT_EQ(type, 0);
    aPacket_Destroy(&p);
    Bytes reply{3, 0x47, 0x41, 2, 0};
    p = sPacket(4, reply);
    EXPECT_FALSE(Link::isStreamPacket(p));
    EXPECT_EQ(Link::getStreamSample(p, nullptr, nullptr, nullptr), aErrParam);
    aPacket_Destroy(&p);

    uint64_t key = Link::createStreamKey(4, 3, 7, 1, 0xFF);
    EXPECT_EQ(key, 0xFF04030701ull);
    EXPECT_EQ(Link::getStreamKeyElement(key, 0), 4);
    EXPECT_EQ(Link::getStreamKeyElement(key, 4), 0xFF);
    EXPECT_EQ(Link::getStreamKeyElement(key, 5), 0);
}

TEST(LinkStreamFilter, ConsumesSamplesAndCachesTheirValues)
{
    ScriptedModule fake(4);
    sAcknowledgeStreamControl(fake);
    Module module(4, false, 0);
    module.setConfig(sOff());
    ASSERT_EQ(module.connectFromSpec(fake.spec()), aErrNone);
    Link* link = module.getLink();
    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(4, 3, 7, 1, 0, &value), aErrNotFound);

    Calls calls;
    ASSERT_EQ(link->registerStreamCallback(4, 3, 7, 1, true, Calls::callback, &calls), aErrNone);
    EXPECT_EQ(fake.received().back(), (Bytes{4, 93, 0x81, 0x20, 0x04, 0x03, 0x07, 0x01}));

    fake.reply(sSample16());
    ASSERT_TRUE(sWaitFor([&] { return calls.count == 1; }));
    EXPECT_EQ(link->getStreamValue(4, 3, 7, 1, 0, &value), aErrNone);
    EXPECT_EQ(value, 0x0102u);
    EXPECT_EQ(link->getStreamValue(4, 3, 7, 1, 0, &value), aErrStreamStale);
    EXPECT_EQ(value, 0x0102u);

    // A bytes stream only triggers the callback.
    fake.reply(sSample16(0x80));
    ASSERT_TRUE(sWaitFor([&] { return calls.count == 2; }));
    EXPECT_EQ(link->getStreamValue(4, 3, 7, 1, 0, &value), aErrStreamStale);

    // The entity's read is answered from the cache without asking.
    SystemClass system;
    system.init(&module, 1);
    fake.reply(sSample16());
    ASSERT_TRUE(sWaitFor([&] { return calls.count == 3; }));
    uint16_t cached = 0;
    EXPECT_EQ(system.getUEI16(7, &cached), aErrNone);
    EXPECT_EQ(cached, 0x0102);
    EXPECT_EQ(system.getUEI16(7, &cached), aErrStreamStale);
    EXPECT_EQ(fake.countReceived(3), 0u);

    // Samples never reached the input queue; a request still finds its reply.
    uint8_t buffer[28];
    uint8_t length = 1;
    const uint8_t match[1] = {3};
    EXPECT_EQ(link->receivePacket(4, match, &length, buffer), aErrTimeout);

    Link::StreamStatusEntry entries[2];
    size_t count = 0;
    EXPECT_EQ(link->getStreamStatus(4, 0xFF, 0xFF, 0xFF, 0xFF, entries, 2, &count), aErrNone);
    ASSERT_EQ(count, 1u); // the registration itself is a wildcard on its sub-index
    EXPECT_EQ(entries[0].key, Link::createStreamKey(4, 3, 7, 1, 0));
    EXPECT_EQ(entries[0].value, 0x0102u);
    EXPECT_EQ(link->filterActiveStreamKeys(4, 3, 0xFF, 0xFF, 0xFF, true).size(), 2u);

    ASSERT_EQ(link->registerStreamCallback(4, 3, 7, 1, false, nullptr, nullptr), aErrNone);
    EXPECT_EQ(link->getStreamValue(4, 3, 7, 1, 0, &value), aErrNotFound);
    EXPECT_TRUE(link->filterActiveStreamKeys(4, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
    // With the filter gone, a sample is an ordinary packet again.
    fake.reply(sSample16());
    length = 1;
    EXPECT_EQ(link->receivePacket(4, match, &length, buffer), aErrNone);
    EXPECT_EQ(length, 15);
    EXPECT_EQ(calls.count.load(), 3);
}

TEST(LinkStreamFilter, FailedRegistrationLeavesNothingBehind)
{
    ScriptedModule fake(4);
    fake.setHandler([](ScriptedModule& m, uint8_t, const Bytes& d) {
        if (d.size() >= 3 && d[0] == cmdSTREAMCONTROL) {
            m.reply({cmdSTREAMCONTROL, 0xC1, 0x80, aErrResource});
            return true;
        }
        return false;
    });
    Module module(4, false, 0);
    module.setConfig(sOff());
    ASSERT_EQ(module.connectFromSpec(fake.spec()), aErrNone);
    Link* link = module.getLink();
    EXPECT_EQ(link->enableStream(4, 3, 7, 1, true), aErrResource);
    EXPECT_TRUE(link->filterActiveStreamKeys(4, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
    fake.reply(sSample16());
    uint8_t buffer[28];
    uint8_t length = 1;
    const uint8_t match[1] = {3};
    EXPECT_EQ(link->receivePacket(4, match, &length, buffer), aErrNone);
    Link::StreamStatusEntry entry;
    size_t count = 0;
    EXPECT_EQ(link->getStreamStatus(4, 3, 0xFF, 0, 0xFF, &entry, 0, &count), aErrParam);
    module.disconnect();
    EXPECT_EQ(link->getStreamStatus(4, 3, 0xFF, 0, 0xFF, &entry, 1, &count), aErrConnection);
    EXPECT_EQ(link->enableStream(4, 3, 7, 1, true), aErrConnection);
}

class LinkStreamsSim : public ::testing::Test {
protected:
    void StartSim(const std::string& keys, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> options{"--module", "serial=40F5849A,address=4," + keys};
        options.insert(options.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim.Start(options)) << sim.Stderr();
        linkSpec spec{};
        spec.type = TCPIP;
        spec.t.ipAddress = htonl(INADDR_LOOPBACK);
        spec.p.ipPort = uint32_t(sim.Port(0x40F5849A));
        module.setConfig(sOff());
        ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
        system.init(&module, 0);
    }
    SimHarness sim;
    Module module{4, false, 0};
    SystemClass system;
};

TEST_F(LinkStreamsSim, WildcardRegistrationSeesEveryOptionAndCreatesExactEntries)
{
    StartSim("streamms=5,opt4=1,opt13=7");
    Calls calls;
    Link* link = module.getLink();
    ASSERT_EQ(system.registerOptionCallback(0xFF, true, Calls::callback, &calls), aErrNone);
    ASSERT_TRUE(sWaitFor([&] {
        std::lock_guard<std::mutex> guard(calls.lock);
        std::set<uint8_t> options;
        for (const Bytes& p : calls.packets)
            options.insert(p[1]);
        return options == std::set<uint8_t>{3, 4, 12, 13, 22, 27};
    }));
    uint32_t value = 0;
    ASSERT_TRUE(sWaitFor([&] { return link->getStreamValue(4, 3, 13, 0, 0, &value) != aErrNotFound; }));
    EXPECT_EQ(value, 7u);
    ASSERT_TRUE(sWaitFor([&] { return link->getStreamValue(4, 3, 27, 0, 2, &value) != aErrNotFound; }));
    EXPECT_EQ(value, 31500000u);
    EXPECT_EQ(link->getStreamValue(4, 3, 27, 0, 0, &value), aErrNotFound);
    uint8_t led = 0;
    aErr ledErr = system.getLED(&led);
    EXPECT_TRUE(ledErr == aErrNone || ledErr == aErrStreamStale) << ledErr;
    EXPECT_EQ(led, 1);

    Link::StreamStatusEntry entries[8];
    size_t count = 0;
    ASSERT_TRUE(sWaitFor([&] {
        return system.getStreamStatus(entries, 8, &count) == aErrNone && count == 6;
    }));
    EXPECT_EQ(system.getStreamStatus(entries, 1, &count), aErrSize);
    EXPECT_EQ(count, 1u);

    // All callbacks ran on one thread that is not this one.
    {
        std::lock_guard<std::mutex> guard(calls.lock);
        EXPECT_EQ(calls.threads.size(), 1u);
        EXPECT_EQ(calls.threads.count(std::this_thread::get_id()), 0u);
    }
    ASSERT_EQ(system.setStreamEnabled(false), aErrNone);
    EXPECT_TRUE(sim.WaitForTrace("stream off 04 03 FF 00"));
    EXPECT_EQ(link->getStreamValue(4, 3, 13, 0, 0, &value), aErrNotFound);
}

TEST_F(LinkStreamsSim, FreshThenStaleOnceTheModuleStops)
{
    StartSim("streamms=2", {"--stream", "10:1:0:3"});
    Link* link = module.getLink();
    ASSERT_EQ(link->enableStream(4, 10, 1, 0, true), aErrNone);
    uint32_t first = 0;
    ASSERT_TRUE(sWaitFor([&] { return link->getStreamValue(4, 10, 1, 0, 0, &first) == aErrNone; }));
    // Streaming off at the module only: every sample sent before the
    // acknowledgement has been filtered by the time it arrives.
    uei off{};
    off.module = 4;
    off.command = cmdSTREAMCONTROL;
    off.option = 0x82;
    off.specifier = 0x20;
    off.type = UEI_INT;
    off.value.intVal = 0x040A0100;
    ASSERT_EQ(link->sendUEI(off), aErrNone);
    uei ack{};
    ASSERT_EQ(link->receiveUEI(4, cmdSTREAMCONTROL, 0xC2, 0, &ack), aErrNone);
    uint32_t last = 0;
    aErr err = link->getStreamValue(4, 10, 1, 0, 0, &last);
    EXPECT_TRUE(err == aErrNone || err == aErrStreamStale);
    EXPECT_GE(last, first);
    EXPECT_EQ(link->getStreamValue(4, 10, 1, 0, 0, &last), aErrStreamStale);
    uint8_t state = 1;
    EXPECT_EQ(link->isLinkStreaming(4, &state), aErrNone);
    EXPECT_EQ(state, 0);
}

TEST_F(LinkStreamsSim, AFullCallbackQueueDropsInsteadOfBlocking)
{
    StartSim("streamms=1", {"--stream", "10:1:0:3"});
    Link* link = module.getLink();

    // The first callback holds the async thread until the gate opens; each
    // call notes the sample's counter value.
    struct Gate {
        std::mutex lock;
        std::condition_variable opened;
        bool open = false;
        std::vector<uint32_t> values;
        std::atomic<int> calls{0};
        static uint8_t callback(const aPacket* packet, void* reference)
        {
            Gate* g = static_cast<Gate*>(reference);
            uint32_t value = 0;
            Link::getStreamSample(packet, nullptr, &value, nullptr);
            std::unique_lock<std::mutex> guard(g->lock);
            g->values.push_back(value);
            ++g->calls;
            g->opened.wait_for(guard, std::chrono::seconds(30), [g] { return g->open; });
            return 0;
        }
    } gate;
    ASSERT_EQ(link->registerStreamCallback(4, 10, 1, 0, true, Gate::callback, &gate), aErrNone);
    ASSERT_TRUE(sWaitFor([&] { return gate.calls == 1; }));

    // Meanwhile the receive thread goes on filtering: the cached counter
    // passes far beyond the queue's 499 slots and requests get replies.
    uint32_t counter = 0;
    ASSERT_TRUE(sWaitFor([&] {
        link->getStreamValue(4, 10, 1, 0, 0, &counter);
        return counter > 1300;
    }, 30000));
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);

    {
        std::lock_guard<std::mutex> guard(gate.lock);
        gate.open = true;
    }
    gate.opened.notify_all();
    ASSERT_TRUE(sWaitFor([&] { return gate.calls > 501; }, 30000));
    ASSERT_EQ(link->registerStreamCallback(4, 10, 1, 0, false, nullptr, nullptr), aErrNone);

    std::lock_guard<std::mutex> guard(gate.lock);
    // The held sample, then the 499 that fitted, then a gap: everything
    // that came while the queue was full was dropped.
    for (size_t i = 1; i < 500; ++i)
        ASSERT_EQ(gate.values[i], gate.values[0] + i) << i;
    EXPECT_GT(gate.values[500], gate.values[499] + 1);
    // Every sample missing from the calls was counted as dropped.
    uint32_t missing = 0;
    for (size_t i = 1; i < gate.values.size(); ++i)
        missing += gate.values[i] - gate.values[i - 1] - 1;
    EXPECT_EQ(link->getStreamDropCount(), missing);
}

TEST_F(LinkStreamsSim, RegistrationsSurviveAnEngineReset)
{
    StartSim("streamms=2", {"--stream", "10:1:0:3"});
    Link* link = module.getLink();
    ASSERT_EQ(link->enableStream(4, 10, 1, 0, true), aErrNone);
    ASSERT_EQ(link->reset(), aErrNone);
    ASSERT_TRUE(sWaitFor([&] { return link->isConnected(); }));
    // The new connection streams once told again; the samples are still
    // caught and cached instead of filling the input queue.
    ASSERT_EQ(link->enableStream(4, 10, 1, 0, true), aErrNone);
    uint32_t value = 0;
    EXPECT_TRUE(sWaitFor([&] { return link->getStreamValue(4, 10, 1, 0, 0, &value) == aErrNone; }));
    uint8_t buffer[28];
    uint8_t length = 1;
    const uint8_t match[1] = {10};
    EXPECT_EQ(link->receivePacket(4, match, &length, buffer), aErrTimeout);
}
