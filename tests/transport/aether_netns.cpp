// AETHER discovery of local network servers inside a private network
// namespace (tools/netns-run): the multicast query on loopback for servers in
// local mode, czmq beacons on tv0 (198.18.0.1) for the others. The served
// module is a simulated one standing in for a USB module.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/Link.h"
#include "link/aLink.h"
#include "support/SimUsbModule.h"
#include "transport/aMulticast.h"
#include "transport/aRecord.h"
#include "transport/aServer_ZeroMQ.h"
#include "transport/TestKeys.h"
#include "transport/discover.h"

namespace {

const uint32_t SERIAL = 0x40F5849A;
const uint8_t MODULE = 2;
const char* TV0 = "198.18.0.1";

uint32_t Addr(const char* text)
{
    struct in_addr a;
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

struct Collected {
    std::vector<linkSpec> specs;
};

bool Collect(const linkSpec* spec, bool* success, void* reference)
{
    static_cast<Collected*>(reference)->specs.push_back(*spec);
    *success = true;
    return true;
}

uint8_t MatchSerial(const aPacket* p, const void*)
{
    return p->address == MODULE && p->length == 7 && p->data[0] == cmdSYSTEMCLASS && p->data[1] == 9;
}

// System option 9 (the serial number) read through an engine link; 0 when
// no answer comes.
uint32_t GetSerial(uint32_t link)
{
    const uint8_t get[] = {cmdSYSTEMCLASS, 0x40 | 9, 0x20};
    aPacket* request = aPacket_CreateWithData(MODULE, sizeof get, get);
    aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    aPacket* answer = aLink_AwaitFirst(link, MatchSerial, nullptr, 3000);
    if (!answer)
        return 0;
    uint32_t value = (uint32_t(answer->data[3]) << 24) | (answer->data[4] << 16) | (answer->data[5] << 8) | answer->data[6];
    aPacket_Destroy(&answer);
    return value;
}

TEST(AetherDiscovery, LocalServerIsFoundByTheMulticastQueryAndReached)
{
    SimUsbModule usb;
    ASSERT_TRUE(usb.Start(SERIAL)) << usb.sim.Stderr();
    uint16_t port = 0;
    uint32_t address = 0;
    uint32_t server = aLink_CreateServer(SERIAL, &port, &address, 1);
    ASSERT_NE(server, 0u);

    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, Collect, &c, 0), 1u);
    ASSERT_EQ(c.specs.size(), 1u);
    const linkSpec& s = c.specs[0];
    EXPECT_EQ(s.type, AETHER);
    EXPECT_EQ(s.serialNumber, SERIAL);
    EXPECT_EQ(s.model, 13u);
    EXPECT_EQ(s.t.ipAddress, Addr("127.0.0.1"));
    EXPECT_EQ(s.p.ipPort, port);
    EXPECT_EQ(s.module, 0u);
    EXPECT_EQ(s.router, 0u);

    // Another user of the module finds it and reads through the server.
    Quorvane::Corvestel::Link link("other");
    aEtherConfig config;
    config.enabled = 1;
    config.fallback = 0;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    ASSERT_EQ(link.discoverAndConnect(AETHER, SERIAL, 0), aErrNone);
    EXPECT_NE(link.getLinkIdentifier(), server);
    EXPECT_EQ(GetSerial(link.getLinkIdentifier()), SERIAL);
    EXPECT_EQ(GetSerial(server), SERIAL);
    link.disconnect();

    EXPECT_EQ(aDiscovery_FindModule(AETHER, 0x11111111, 0), nullptr);
    aLink_Destroy(&server);
    Collected none;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, Collect, &none, 0), 0u);
}

TEST(AetherDiscovery, ServerWithoutModelDoesNotAnswer)
{
    SimUsbModule usb;
    ASSERT_TRUE(usb.Start(SERIAL)) << usb.sim.Stderr();
    uint32_t link = aLink_CreateUSB(SERIAL);
    ASSERT_NE(link, 0u);
    aServerRef server = aServer_Create(link, 0, 1);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    EXPECT_EQ(aServer_Start(server), aErrParam);

    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, Collect, &c, 0), 0u);
    EXPECT_TRUE(c.specs.empty());
    ASSERT_EQ(aServer_SetModel(server, 13), aErrNone);
    linkSpec* found = aDiscovery_FindModule(AETHER, SERIAL, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->model, 13u);
    aLinkSpec_Destroy(&found);

    EXPECT_EQ(aServer_Destroy(&server), aErrNone);
    EXPECT_EQ(server, nullptr);
    aLink_Destroy(&link);
}

// A stand-in server on slot 0 that answers one query with spec.
// state: 0 starting, 1 listening, 2 could not listen.
void AnswerOnce(linkSpec spec, std::atomic<int>* state, std::atomic<bool>* answered)
{
    uint32_t group = Addr(aSERVER_MULTICAST_GROUP);
    aMulticastRef receiver = aMulticast_Create(0, group, aSERVER_MULTICAST_PORT, false);
    aMulticastRef sender = aMulticast_Create(0, group, aSERVER_MULTICAST_REPLY_PORT, true);
    bool ready = receiver && sender;
    *state = ready ? 1 : 2;
    for (int i = 0; i < 10 && ready && !*answered; i++) {
        uint8_t query[4];
        if (aMulticast_Receive(receiver, query, sizeof query) == 4) {
            aMulticast_Send(sender, &spec, sizeof spec);
            *answered = true;
        }
    }
    aMulticast_Destroy(&receiver);
    aMulticast_Destroy(&sender);
}

TEST(AetherDiscovery, LocalSearchIgnoresAnswersNamingAnotherHost)
{
    for (const char* host : {"198.18.0.7", "127.0.0.1"}) {
        linkSpec spec;
        std::memset(&spec, 0, sizeof spec);
        spec.type = AETHER;
        spec.serialNumber = 0x0BADF00D;
        spec.model = 7;
        spec.t.ipAddress = Addr(host);
        spec.p.ipPort = 4321;
        std::atomic<int> state{0};
        std::atomic<bool> answered{false};
        std::thread responder(AnswerOnce, spec, &state, &answered);
        // The stand-in holds its slot before the search looks at it.
        while (state.load() == 0)
            std::this_thread::yield();
        EXPECT_EQ(state.load(), 1);
        Collected c;
        unsigned count = aDiscovery_EnumerateModules(AETHER, Collect, &c, Addr("127.0.0.1"));
        responder.join();
        EXPECT_TRUE(answered.load()) << host;
        if (std::strcmp(host, "127.0.0.1") == 0) {
            EXPECT_EQ(count, 1u);
            ASSERT_EQ(c.specs.size(), 1u);
            EXPECT_EQ(c.specs[0].p.ipPort, 4321u);
        } else {
            EXPECT_EQ(count, 0u) << host;
        }
    }
}

TEST(AetherDiscovery, BeaconServerOnTheNetworkInterfaceIsFoundOnce)
{
    SimUsbModule usb;
    ASSERT_TRUE(usb.Start(SERIAL)) << usb.sim.Stderr();
    uint16_t port = 0;
    uint32_t address = Addr(TV0);
    uint32_t server = aLink_CreateServer(SERIAL, &port, &address, 0);
    ASSERT_NE(server, 0u);
    EXPECT_EQ(address, Addr(TV0));
    EXPECT_EQ(GetSerial(server), SERIAL);

    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, Collect, &c, Addr(TV0)), 1u);
    ASSERT_EQ(c.specs.size(), 1u); // heard many times, reported once
    const linkSpec& s = c.specs[0];
    EXPECT_EQ(s.type, AETHER);
    EXPECT_EQ(s.serialNumber, SERIAL);
    EXPECT_EQ(s.model, 13u);
    EXPECT_EQ(s.t.ipAddress, Addr(TV0));
    EXPECT_EQ(s.p.ipPort, port);

    uint32_t client = aLink_CreateClient(s.t.ipAddress, static_cast<uint16_t>(s.p.ipPort), 0);
    ASSERT_NE(client, 0u);
    EXPECT_EQ(GetSerial(client), SERIAL);
    aLink_Destroy(&client);
    aLink_Destroy(&server);
}

// A recording holds both searches as their datagrams: the query to the
// group and the server's answer naming the module, the beacon the host
// publishes on its interface and the server's beacon naming the module.
TEST(AetherDiscovery, BothSearchesAreRecordedAsTheirDatagrams)
{
    SimUsbModule usb;
    ASSERT_TRUE(usb.Start(SERIAL)) << usb.sim.Stderr();
    const std::string path = "/tmp/aether-record-" + std::to_string(getpid()) + ".jsonl";
    const char* argv[] = {"search"};
    ASSERT_EQ(aRecord_Start(path.c_str(), "test", "1", 1, argv), aErrNone);
    for (bool local : {true, false}) {
        uint16_t port = 0;
        uint32_t address = local ? 0 : Addr(TV0);
        uint32_t server = aLink_CreateServer(SERIAL, &port, &address, local ? 1 : 0);
        ASSERT_NE(server, 0u);
        Collected c;
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, Collect, &c, local ? 0 : Addr(TV0)), 1u);
        aLink_Destroy(&server);
    }
    aRecord_Stop();

    // The serial number as the answers carry it (little-endian).
    const std::string serial = "9a84f540";
    const std::string filter = "436f7276657374656c322d446973636f76657279"; // DISCOVERY_BEACON_FILTER
    bool query = false, answer = false, published = false, heard = false;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const nlohmann::json r = nlohmann::json::parse(line);
        if (r["kind"] != "datagram")
            continue;
        EXPECT_EQ(r["search"], "aether");
        const std::string hex = r["hex"], via = r["via"], dir = r["dir"], peer = r["peer"];
        if (via == "query" && dir == "out" && hex == "badccdab")
            query = query || (peer == "224.0.0.7" && r["port"] == 9850);
        if (via == "query" && dir == "in" && hex.find(serial) != std::string::npos)
            answer = answer || peer == "127.0.0.1";
        if (via == "beacon" && dir == "out")
            published = published || (hex == filter && peer == TV0 && r["port"] == 8585);
        if (via == "beacon" && dir == "in" && hex.find(serial) != std::string::npos)
            heard = heard || peer == TV0;
    }
    unlink(path.c_str());
    EXPECT_TRUE(query);
    EXPECT_TRUE(answer);
    EXPECT_TRUE(published);
    EXPECT_TRUE(heard);
}

} // namespace
