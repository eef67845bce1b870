#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <random>
#include <thread>

#include "LinkFakes.h"
#include "link/aDefs.h"
#include "link/aLink.h"
#include "link/aLogger.h"
#include "link/aPacketDebug.h"

using namespace linktest;

namespace {

const Bytes kProbe = {0xAD, 0x00};

size_t sCount(const Bytes& haystack, const Bytes& needle)
{
    size_t n = 0;
    for (auto it = haystack.begin(); (it = std::search(it, haystack.end(), needle.begin(), needle.end())) != haystack.end(); ++it)
        n++;
    return n;
}

bool sContains(const Bytes& haystack, const Bytes& needle)
{
    return sCount(haystack, needle) > 0;
}

// The thread sanitizer starts a background thread of its own when it first
// needs it, so thread counts are only compared in the other builds.
#if defined(__SANITIZE_THREAD__)
#define UNDER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_THREAD_SANITIZER 1
#endif
#endif
#if defined(UNDER_THREAD_SANITIZER)
#define SKIP_THREAD_COUNT_UNDER_TSAN() GTEST_SKIP() << "the thread sanitizer runs threads of its own"
#else
#define SKIP_THREAD_COUNT_UNDER_TSAN() (void)0
#endif

size_t sThreadCount()
{
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir))
            n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

aPacket* sPacket(uint8_t address, Bytes data)
{
    return aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
}

void sPut(uint32_t link, uint8_t address, Bytes data)
{
    aPacket* p = sPacket(address, std::move(data));
    ASSERT_EQ(aLink_PutPacket(link, p), aErrNone);
    aPacket_Destroy(&p);
}

uint8_t sFromAddress(const aPacket* packet, const void* reference)
{
    return packet->address == *static_cast<const uint8_t*>(reference) && packet->length > 0;
}

// A link over a scripted port, destroyed before the port.
struct ScriptedLink {
    ScriptedPort port;
    uint32_t id = 0;
    ScriptedLink() { id = aLink_Create(port.makeStream()); }
    ~ScriptedLink()
    {
        if (id)
            aLink_Destroy(&id);
    }
    size_t probes() { return sCount(port.written(), kProbe); }
};

} // namespace

TEST(aLinkScripted, StartsRunningAndSwitchesRoutingOnThenOff)
{
    auto link = std::make_unique<ScriptedLink>();
    ASSERT_NE(link->id, 0u);
    EXPECT_EQ(aLink_GetStatus(link->id), LINK_RUNNING);
    ASSERT_TRUE(eventually([&] { return sContains(link->port.written(), {0xAF, 0x01, 0x01}); }));
    uint32_t id = link->id;
    EXPECT_EQ(aLink_Destroy(&link->id), aErrNone);
    EXPECT_EQ(link->id, 0u);
    // The stop wrote the routing switch off before the threads ended.
    EXPECT_TRUE(sContains(link->port.written(), {0xAF, 0x01, 0x00}));
    EXPECT_EQ(aLink_GetStatus(id), LINK_NO_STREAM);
    EXPECT_EQ(aLink_Destroy(&id), aErrParam);
    EXPECT_EQ(id, 0u);
}

TEST(aLinkScripted, UnknownIdentifiersAreRefused)
{
    const uint32_t never = 0x7FFFFFF0;
    EXPECT_EQ(aLink_GetStatus(never), LINK_NO_STREAM);
    EXPECT_EQ(aLink_GetStatus(0), LINK_NO_STREAM);
    EXPECT_EQ(aLink_Start(never), aErrParam);
    EXPECT_EQ(aLink_Sync(never), aErrParam);
    EXPECT_EQ(aLink_Reset(never), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(never, 1), aErrNotFound);
    EXPECT_EQ(aLink_EnablePooledPackets(never, true), aErrParam);
    EXPECT_EQ(aLink_InstallUserPacketFilter(never, nullptr, nullptr), aErrParam);
    aPacket* p = sPacket(2, {1});
    EXPECT_EQ(aLink_PutPacket(never, p), aErrParam);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetPacket(never), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(never, 10), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(never, sFromAddress, &never, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(never, sFromAddress, &never), 0u);
    EXPECT_EQ(aLink_PacketDebug_Enable(never), aErrParam);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
    EXPECT_EQ(aLink_CreateSerial(0x1234, "/dev/null", 14400), 0u);
    EXPECT_EQ(aLink_CreateSerial(0x1234, nullptr, 9600), 0u);
}

TEST(aLinkScripted, SynchronisesOnTwoMatchingAnswers)
{
    ScriptedLink link;
    aErr result = aErrUnknown;
    std::thread sync([&] { result = aLink_Sync(link.id); });
    ASSERT_TRUE(eventually([&] { return link.probes() >= 6; }));
    link.port.feed({0x04, 0x00, 0x04, 0x00});
    sync.join();
    EXPECT_EQ(result, aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.id), LINK_RUNNING);
}

TEST(aLinkScripted, DifferentAnswersDoNotSynchroniseAndProbesGoOutAgain)
{
    ScriptedLink link;
    aErr result = aErrUnknown;
    std::thread sync([&] { result = aLink_Sync(link.id); });
    ASSERT_TRUE(eventually([&] { return link.probes() >= 6; }));
    link.port.feed({0x04, 0x00, 0x06, 0x00});
    ASSERT_TRUE(eventually([&] { return link.probes() >= 12; }));
    EXPECT_EQ(aLink_GetStatus(link.id), LINK_SYNCING);
    link.port.feed({0x06, 0x00, 0x06, 0x00});
    sync.join();
    EXPECT_EQ(result, aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.id), LINK_RUNNING);
}

TEST(aLinkScripted, OutOfStepBytesStartASynchronisation)
{
    ScriptedLink link;
    link.port.feed({0x03});
    ASSERT_TRUE(eventually([&] { return link.probes() == 6; }));
    EXPECT_EQ(aLink_GetStatus(link.id), LINK_SYNCING);

    // Nothing is handed to callers while out of step, and they are not kept
    // waiting for it.
    uint8_t from = 4;
    auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(link.id, sFromAddress, &from, 5000), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

    link.port.feed({0x04, 0x00, 0x04, 0x00, 0x04, 0x00});
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link.id) == LINK_RUNNING; }));
    // The spare probe answer arrives as an ordinary empty packet; after it,
    // traffic is framed again.
    link.port.feed({0x04, 0x02, 0x03, 0x09});
    aPacket* p = aLink_AwaitFirst(link.id, sFromAddress, &from, 5000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->length, 2);
    EXPECT_EQ(p->data[1], 0x09);
    aPacket_Destroy(&p);
}

TEST(aLinkScripted, HeartbeatsAreAnsweredAndNeverQueued)
{
    ScriptedLink link;
    link.port.feed({0x02, 0x02, 0x00, 0x00});
    ASSERT_TRUE(eventually([&] { return sContains(link.port.written(), {0x02, 0x02, 0x00, 0x02}); }));
    link.port.feed({0x02, 0x02, 0x00, 0x01});
    ASSERT_TRUE(eventually([&] { return sContains(link.port.written(), {0x02, 0x02, 0x00, 0x03}); }));
    // Three data bytes: an ordinary packet.
    link.port.feed({0x02, 0x03, 0x00, 0x00, 0x00});
    aPacket* p = aLink_AwaitPacket(link.id, 5000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->length, 3);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetPacket(link.id), nullptr);
}

TEST(aLinkScripted, GarbageNeverCrashesNorGrowsTheQueue)
{
    ScriptedLink link;
    std::mt19937 random(1234);
    Bytes garbage(20000);
    for (auto& b : garbage)
        b = static_cast<uint8_t>(random());
    link.port.feed(garbage);
    ASSERT_TRUE(eventually([&] { return link.port.pending() == 0; }));
    ASSERT_TRUE(eventually([&] { return link.probes() >= 6; }));
    link.port.feed({0x08, 0x00, 0x08, 0x00});
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link.id) == LINK_RUNNING; }));
    // Then a flood of valid packets that nobody reads.
    Bytes flood;
    for (int i = 0; i < 1500; i++) {
        Bytes packet = {0x08, 0x03, 0x03, 0x01, static_cast<uint8_t>(i)};
        flood.insert(flood.end(), packet.begin(), packet.end());
    }
    link.port.feed(flood);
    ASSERT_TRUE(eventually([&] { return link.port.pending() == 0; }));
    size_t queued = aLink_DrainPackets(link.id, [](const aPacket*, const void*) -> uint8_t { return 1; }, nullptr);
    EXPECT_LE(queued, size_t(aPACKETFIFO_CAPACITY));
    EXPECT_GT(queued, 0u);
    EXPECT_EQ(aLink_GetStatus(link.id), LINK_RUNNING);
}

TEST(aLinkScripted, PooledWritesStayWithinOneBlock)
{
    ScriptedLink link;
    ASSERT_TRUE(eventually([&] { return !link.port.written().empty(); }));
    link.port.clearWrites();
    ASSERT_EQ(aLink_EnablePooledPackets(link.id, true), aErrNone);
    // Hold the port while the queue fills, so that batches form.
    link.port.holdWrites(true);
    Bytes full(28, 0x11);
    sPut(link.id, 2, full);
    ASSERT_TRUE(eventually([&] { return link.port.waitingWrites.load() == 1; }));
    for (int i = 0; i < 200; i++)
        sPut(link.id, 2, full);
    link.port.holdWrites(false);
    ASSERT_TRUE(eventually([&] { return link.port.written().size() == 201u * 30; }));
    auto writes = link.port.writes();
    size_t largest = 0;
    for (const Bytes& w : writes)
        largest = std::max(largest, w.size());
    EXPECT_LE(largest, 4080u);
    EXPECT_EQ(largest, 4080u);
    EXPECT_LE(writes.size(), 3u);
}

// The chunks of one message: one write each on a stream whose writes the
// module tells apart, pooled where it cannot tell or the link pools, and in
// order either way.
TEST(aLinkScripted, PacketsOfOneMessageKeepTheirWritesUnlessTheStreamHasNoBoundaries)
{
    std::vector<aPacket*> chunks;
    Bytes expected;
    for (uint8_t i = 0; i < 200; i++) {
        Bytes data(28, i);
        chunks.push_back(sPacket(2, data));
        expected.push_back(2);
        expected.push_back(28);
        expected.insert(expected.end(), data.begin(), data.end());
    }
    auto sendAll = [&](ScriptedLink& link) {
        link.port.clearWrites();
        ASSERT_EQ(aLink_PutPackets(link.id, chunks.data(), uint32_t(chunks.size())), aErrNone);
        ASSERT_TRUE(eventually([&] { return link.port.written().size() == expected.size(); }));
        EXPECT_EQ(link.port.written(), expected);
    };
    {
        ScriptedLink link;
        // Only the routing switch goes before.
        ASSERT_TRUE(eventually([&] { return sContains(link.port.written(), {0xAF, 0x01, 0x01}); }));
        sendAll(link);
        EXPECT_EQ(link.port.writes().size(), chunks.size());
        ASSERT_EQ(aLink_EnablePooledPackets(link.id, true), aErrNone);
        sendAll(link);
        EXPECT_LE(link.port.writes().size(), 2u);
        for (const Bytes& w : link.port.writes())
            EXPECT_LE(w.size(), size_t(aLINK_POOL_SIZE));
    }
    {
        ScriptedPort port;
        aStreamRef stream = port.makeStream();
        ASSERT_EQ(aStream_SetByteStream(stream), aErrNone);
        uint32_t id = aLink_Create(stream);
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(eventually([&] { return sContains(port.written(), {0xAF, 0x01, 0x01}); }));
        // The caller writes the message itself when it finds the link idle;
        // just after the start the send thread may still hold the stream,
        // and then the send thread takes the queued chunks in pools.
        size_t writes = chunks.size();
        for (int attempt = 0; attempt < 20 && writes > 2; attempt++) {
            port.clearWrites();
            ASSERT_EQ(aLink_PutPackets(id, chunks.data(), uint32_t(chunks.size())), aErrNone);
            ASSERT_TRUE(eventually([&] { return port.written().size() == expected.size(); }));
            EXPECT_EQ(port.written(), expected);
            for (const Bytes& w : port.writes())
                EXPECT_LE(w.size(), size_t(aLINK_POOL_SIZE));
            writes = port.writes().size();
        }
        EXPECT_LE(writes, 2u);
        aLink_Destroy(&id);
    }
    // A bad packet anywhere: nothing is put.
    aPacket* bad = chunks[100];
    bad->tag = 0;
    {
        ScriptedLink link;
        ASSERT_TRUE(eventually([&] { return sContains(link.port.written(), {0xAF, 0x01, 0x01}); }));
        link.port.clearWrites();
        EXPECT_EQ(aLink_PutPackets(link.id, chunks.data(), uint32_t(chunks.size())), aErrParam);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(link.port.written().empty());
    }
    bad->tag = aPACKETCHECK;
    for (aPacket*& p : chunks)
        aPacket_Destroy(&p);
}

TEST(aLinkScripted, UserFilterSeesPacketsFirst)
{
    ScriptedLink link;
    struct Seen {
        std::atomic<int> calls{0};
    } seen;
    auto filter = [](const aPacket* packet, void* reference) -> uint8_t {
        static_cast<Seen*>(reference)->calls++;
        return packet->data[0] == 0x55 ? 1 : 0;
    };
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, filter, &seen), aErrNone);
    link.port.feed({0x04, 0x01, 0x55, 0x04, 0x01, 0x66});
    aPacket* p = aLink_AwaitPacket(link.id, 5000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 0x66);
    aPacket_Destroy(&p);
    EXPECT_EQ(seen.calls.load(), 2);
    EXPECT_EQ(aLink_GetPacket(link.id), nullptr);

    ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, nullptr, nullptr), aErrNone);
    link.port.feed({0x04, 0x01, 0x55});
    p = aLink_AwaitPacket(link.id, 5000);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
    EXPECT_EQ(seen.calls.load(), 2);
}

TEST(aLinkScripted, PacketLogKeepsBothDirections)
{
    ScriptedLink link;
    uint8_t direction = 0;
    uint32_t length = 64;
    uint8_t buffer[64];
    EXPECT_EQ(aLink_PacketDebug_Read(link.id, &direction, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(link.id), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 0x4000001), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 256), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
    EXPECT_TRUE(aLink_PacketDebug_IsEnabled(link.id));
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 512), aErrBusy);

    link.port.feed({0x06, 0x02, 0x03, 0x04});
    aPacket* in = aLink_AwaitPacket(link.id, 5000);
    ASSERT_NE(in, nullptr);
    aPacket_Destroy(&in);
    sPut(link.id, 6, {0x17, 0x01});
    ASSERT_TRUE(eventually([&] { return sContains(link.port.written(), {0x06, 0x02, 0x17, 0x01}); }));

    std::vector<std::pair<uint8_t, Bytes>> records;
    ASSERT_TRUE(eventually([&] {
        length = sizeof buffer;
        while (aLink_PacketDebug_Read(link.id, &direction, &length, buffer) == aErrNone) {
            // The routing switch of the start may land in the log too.
            if (buffer[0] != 0xAF)
                records.emplace_back(direction, Bytes(buffer, buffer + length));
            length = sizeof buffer;
        }
        return records.size() >= 2;
    }));
    EXPECT_EQ(records[0], std::make_pair(uint8_t(aLOG_RECEIVED), Bytes{0x06, 0x02, 0x03, 0x04}));
    EXPECT_EQ(records[1], std::make_pair(uint8_t(aLOG_SENT), Bytes{0x06, 0x02, 0x17, 0x01}));

    const uint8_t start[] = "START";
    EXPECT_EQ(aLink_PacketDebug_Write(link.id, aLOG_TEXT, 6, start), aErrNone);
    length = 2;
    EXPECT_EQ(aLink_PacketDebug_Read(link.id, &direction, &length, buffer), aErrOverrun);
    EXPECT_EQ(length, 6u);
    length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(link.id, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(direction, aLOG_TEXT);
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "START");
    EXPECT_EQ(aLink_PacketDebug_Disable(link.id), aErrNone);
    EXPECT_FALSE(aLink_PacketDebug_IsEnabled(link.id));
}

TEST(aLogger, RingDropsTheOldestToMakeRoom)
{
    aLogger* log = aLogger_Create(64);
    ASSERT_NE(log, nullptr);
    Bytes twenty(18, 0xAB);
    for (int i = 0; i < 3; i++) {
        twenty[0] = static_cast<uint8_t>(i);
        ASSERT_EQ(aLogger_Put(log, aLOG_SENT, 18, twenty.data()), aErrNone);
    }
    EXPECT_EQ(aLogger_Used(log), 60u);
    Bytes ten(10, 0xCD);
    ASSERT_EQ(aLogger_Put(log, aLOG_RECEIVED, 10, ten.data()), aErrNone);
    uint8_t direction = 0, buffer[64];
    uint32_t length = sizeof buffer;
    ASSERT_EQ(aLogger_Get(log, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(buffer[0], 1); // record 0 made room
    Bytes big(62, 0);
    EXPECT_EQ(aLogger_Put(log, aLOG_SENT, 61, big.data()), aErrNone);
    EXPECT_EQ(aLogger_Put(log, aLOG_SENT, 62, big.data()), aErrOverrun);
    length = sizeof buffer;
    ASSERT_EQ(aLogger_Get(log, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(length, 61u);
    length = sizeof buffer;
    EXPECT_EQ(aLogger_Get(log, &direction, &length, buffer), aErrNotFound);
    // Wrapping records read back intact.
    for (int i = 0; i < 50; i++) {
        Bytes r(static_cast<size_t>(i % 13), static_cast<uint8_t>(i));
        ASSERT_EQ(aLogger_Put(log, aLOG_SENT, static_cast<uint32_t>(r.size()), r.data()), aErrNone);
        length = sizeof buffer;
        ASSERT_EQ(aLogger_Get(log, &direction, &length, buffer), aErrNone);
        ASSERT_EQ(Bytes(buffer, buffer + length), r);
    }
    EXPECT_EQ(aLogger_Destroy(&log), aErrNone);
    EXPECT_EQ(log, nullptr);
}

// A caller that writes its packet itself hears of a failed write from the
// put (a module gone from the bus), not from a reply that never comes; the
// link stays up and writes again once the stream does.
TEST(aLinkScripted, AFailedWriteIsTheCallersError)
{
    ScriptedLink link;
    ASSERT_TRUE(eventually([&] { return sContains(link.port.written(), {0xAF, 0x01, 0x01}); }));
    link.port.failWrites(aErrIO);
    aPacket* one = sPacket(2, {0x17, 0x01});
    aPacket* two = sPacket(2, {0x17, 0x02});
    const aPacket* both[] = {one, two};
    // A put that found the send thread busy queues its packet, whose write
    // fails on that thread; the caller's own write tells the caller.
    bool othersQueued = true;
    auto fails = [&](const std::function<aErr()>& put) {
        aErr err = put();
        othersQueued = othersQueued && (err == aErrNone || err == aErrIO);
        return err == aErrIO;
    };
    EXPECT_TRUE(eventually([&] { return fails([&] { return aLink_PutPacket(link.id, one); }); }));
    ASSERT_EQ(aLink_EnablePooledPackets(link.id, true), aErrNone);
    EXPECT_TRUE(eventually([&] { return fails([&] { return aLink_PutPackets(link.id, both, 2); }); }));
    EXPECT_TRUE(othersQueued);
    EXPECT_EQ(aLink_GetStatus(link.id), LINK_RUNNING);

    link.port.failWrites(aErrNone);
    ASSERT_EQ(aLink_EnablePooledPackets(link.id, false), aErrNone);
    EXPECT_EQ(aLink_PutPacket(link.id, one), aErrNone);
    EXPECT_TRUE(eventually([&] { return sContains(link.port.written(), {0x02, 0x02, 0x17, 0x01}); }));
    aPacket_Destroy(&one);
    aPacket_Destroy(&two);
}

TEST(aLinkScripted, ReadErrorsMarkTheLinkAndRecoveryResynchronises)
{
    ScriptedLink link;
    link.port.failReads(aErrIO);
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link.id) == LINK_IO_ERROR; }));
    link.port.clearWrites();
    link.port.failReads(aErrNone);
    ASSERT_TRUE(eventually([&] { return link.probes() >= 6; }));
    link.port.feed({0x02, 0x00, 0x02, 0x00});
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(link.id) == LINK_RUNNING; }));
}

TEST(aLinkScripted, AStreamThatConnectedAgainIsADropAndForgetsHalfAPacket)
{
    ScriptedLink link;
    EXPECT_EQ(aLink_GetDropCount(link.id), 0u);
    // Half a packet from the old connection; the rest never comes.
    link.port.feed({0x02, 0x03, 0x17});
    ASSERT_TRUE(eventually([&] { return link.port.pending() == 0; }));
    // The link asked again after the last byte: it has dealt with it.
    const int gets = link.port.gets.load();
    ASSERT_TRUE(eventually([&] { return link.port.gets.load() > gets + 1; }));
    link.port.reconnects.store(1);
    link.port.feed({0x02, 0x02, 0x17, 0x05});
    const uint8_t from = 0x02;
    aPacket* packet = aLink_AwaitFirst(link.id, sFromAddress, &from, 5000);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->length, 2);
    EXPECT_EQ(packet->data[1], 0x05);
    aPacket_Destroy(&packet);
    EXPECT_EQ(aLink_GetDropCount(link.id), 1u);
    EXPECT_EQ(aLink_GetStatus(link.id), LINK_RUNNING);

    // A read failure is a drop too, counted once however long it lasts.
    link.port.failReads(aErrIO);
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link.id) == LINK_IO_ERROR; }));
    ASSERT_TRUE(eventually([&] { return link.port.gets.load() > 3; }));
    EXPECT_EQ(aLink_GetDropCount(link.id), 2u);
    EXPECT_EQ(aLink_GetDropCount(0x7FFFFFFF), 0u);
}

TEST(aLinkScripted, ReceiveThreadWaitingForBytesWakesForDataSyncAndStop)
{
    auto port = std::make_unique<ScriptedPort>();
    port->enableWait();
    uint32_t id = aLink_Create(port->makeStream());
    ASSERT_NE(id, 0u);
    port->feed({0x04, 0x01, 0x09});
    const uint8_t from = 0x04;
    aPacket* packet = aLink_AwaitFirst(id, sFromAddress, &from, 5000);
    ASSERT_NE(packet, nullptr);
    aPacket_Destroy(&packet);

    // The handshake starts although no byte comes to end the wait.
    std::thread answer([&] {
        if (eventually([&] { return sCount(port->written(), kProbe) >= 6; }))
            port->feed({0x04, 0x00, 0x04, 0x00});
    });
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    answer.join();
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(port->lateWakes.load(), 0);
}

TEST(aLinkScripted, DestroyLeavesNoThreadBehind)
{
    SKIP_THREAD_COUNT_UNDER_TSAN();
    size_t before = sThreadCount();
    {
        ScriptedLink a, b;
        EXPECT_GE(sThreadCount(), before + 4);
    }
    EXPECT_EQ(sThreadCount(), before);
}

TEST(aLinkScripted, AbsentUsbModuleGivesNoLink)
{
    size_t before = sThreadCount();
    EXPECT_EQ(aLink_CreateUSB(0), 0u);
    EXPECT_EQ(aLink_CreateUSB(0x0BADF00D), 0u);
    EXPECT_EQ(aLink_CreateUSB(0x0BADF00D), 0u);
    SKIP_THREAD_COUNT_UNDER_TSAN();
    // libusb may keep an event thread of its own; the engine keeps none.
    EXPECT_LE(sThreadCount(), before + 1);
}
