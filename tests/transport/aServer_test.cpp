// The local network server in local mode, in front of a simulated module
// that stands in for a USB one (tests/support/SimUsbModule.h): clients reach
// it as AETHER links or as raw ZeroMQ sockets speaking packet frames.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <czmq.h>
#include <dirent.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/Link.h"
#include "link/aDefs.h"
#include "link/aLink.h"
#include "link/aLinkManagerInternal.h"
#include "support/SimUsbModule.h"
#include "transport/TestKeys.h"
#include "transport/aServer_ZeroMQ.h"

namespace {

// Per process: test programs run side by side, and a client whose server
// went away may be reconnected by ZeroMQ to another process's server that
// took the same port; its answers then name another module.
const uint32_t SERIAL = 0x40F50000u | (static_cast<uint32_t>(getpid()) & 0xFFFFu);
const uint8_t MODULE = 2;
const uint32_t LOOPBACK = 0x0100007F;

int ThreadCount()
{
    int count = 0;
    DIR* d = opendir("/proc/self/task");
    while (d && readdir(d))
        count++;
    if (d)
        closedir(d);
    return count - 2; // "." and ".."
}

// Waits until the process runs at most `limit` threads.
bool ThreadsDropTo(int limit, int timeoutMs = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ThreadCount() > limit) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string Frame(std::initializer_list<uint8_t> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string SystemGet(uint8_t option)
{
    return Frame({MODULE, 3, cmdSYSTEMCLASS, static_cast<uint8_t>(0x40 | option), 0x20});
}

struct OptionMatch {
    uint8_t option;
};

uint8_t MatchOption(const aPacket* p, const void* reference)
{
    const OptionMatch* m = static_cast<const OptionMatch*>(reference);
    return p->address == MODULE && p->length >= 3 && p->data[0] == cmdSYSTEMCLASS
        && (p->data[1] & 0x3F) == m->option;
}

// A system GET through an engine link; the 32-bit answer, or -1.
int64_t GetOption(uint32_t link, uint8_t option, uint32_t timeoutMs = 3000)
{
    std::string f = SystemGet(option);
    aPacket* request = aPacket_CreateWithData(MODULE, 3, reinterpret_cast<const uint8_t*>(f.data()) + 2);
    if (!request || aLink_PutPacket(link, request) != aErrNone) {
        aPacket_Destroy(&request);
        return -1;
    }
    aPacket_Destroy(&request);
    OptionMatch m{option};
    aPacket* answer = aLink_AwaitFirst(link, MatchOption, &m, timeoutMs);
    if (!answer)
        return -1;
    int64_t value = -1;
    if (answer->length == 7)
        value = (int64_t(answer->data[3]) << 24) | (answer->data[4] << 16) | (answer->data[5] << 8) | answer->data[6];
    else if (answer->length == 4)
        value = answer->data[3];
    aPacket_Destroy(&answer);
    return value;
}

// A raw client: one DEALER on the server's frontend.
class RawClient {
public:
    explicit RawClient(uint16_t port)
    {
        socket = zsock_new_dealer(nullptr);
        testkeys::AsOwnersClient(socket);
        zsock_connect(socket, "tcp://127.0.0.1:%d", port);
        zsock_set_rcvtimeo(socket, 10000);
    }
    ~RawClient() { zsock_destroy(&socket); }
    void Send(const std::string& frame) { zmq_send(zsock_resolve(socket), frame.data(), frame.size(), 0); }
    // The next frame, or "" after timeoutMs.
    std::string Receive(int timeoutMs = 10000)
    {
        zsock_set_rcvtimeo(socket, timeoutMs);
        zframe_t* f = zframe_recv(socket);
        if (!f)
            return "";
        std::string s(reinterpret_cast<const char*>(zframe_data(f)), zframe_size(f));
        zframe_destroy(&f);
        return s;
    }
    zsock_t* socket;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(usb.Start(SERIAL, "model=13,hb=100,streamms=20")) << usb.sim.Stderr();
        address = 0;
        client = aLink_CreateServer(SERIAL, &port, &address, 1);
        ASSERT_NE(client, 0u);
    }
    void TearDown() override
    {
        if (client)
            aLink_Destroy(&client);
    }
    aServerRef Server()
    {
        aLinkEntryRef entry = aLinkManager_LookupByID(client);
        aLinkEntryRef usbEntry = entry ? aLinkManager_LookupByID(entry->parent) : nullptr;
        return usbEntry ? static_cast<aServerRef>(usbEntry->server) : nullptr;
    }

    SimUsbModule usb;
    uint32_t client = 0;
    uint16_t port = 0;
    uint32_t address = 0;
};

TEST_F(ServerTest, ServerPathGivesAClientThatReachesTheModule)
{
    EXPECT_EQ(address, LOOPBACK);
    EXPECT_GT(port, 0);
    EXPECT_EQ(aLink_GetStatus(client), LINK_RUNNING);
    EXPECT_EQ(GetOption(client, 9), int64_t(SERIAL));
    EXPECT_EQ(GetOption(client, 8), 13);
    // The module is now the server's: a plain USB link to it is refused.
    EXPECT_EQ(aLink_CreateUSB(SERIAL), 0u);
    // A client's routing switch (sent as its link starts) never reaches the
    // module.
    size_t routes = usb.sim.CountTrace("rx AF");
    uint32_t second = aLink_CreateClient(address, port, 0);
    ASSERT_NE(second, 0u);
    EXPECT_EQ(GetOption(second, 9), int64_t(SERIAL));
    EXPECT_EQ(usb.sim.CountTrace("rx AF"), routes);
    aLink_Destroy(&second);
}

TEST_F(ServerTest, TwoClientsAtOnceEachGetTheirOwnAnswers)
{
    uint32_t second = aLink_CreateClient(address, port, 0);
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, client);
    std::atomic<int> wrong{0};
    auto run = [&](uint32_t link, uint8_t option, int64_t expected) {
        for (int i = 0; i < 40; i++) {
            if (GetOption(link, option) != expected)
                wrong++;
            // Nothing meant for the other client may linger here.
            if (aPacket* extra = aLink_GetPacket(link)) {
                wrong++;
                aPacket_Destroy(&extra);
            }
        }
    };
    std::thread a(run, client, 9, int64_t(SERIAL));
    std::thread b(run, second, 8, 13);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    aLink_Destroy(&second);
    EXPECT_EQ(GetOption(client, 9), int64_t(SERIAL));
}

TEST_F(ServerTest, ClientLinkResetReopensItsStream)
{
    uint32_t other = aLink_CreateClient(address, port, 0);
    ASSERT_NE(other, 0u);
    EXPECT_EQ(aLink_Reset(other), aErrNone);
    EXPECT_EQ(aLink_GetStatus(other), LINK_RUNNING);
    EXPECT_EQ(GetOption(other, 9), int64_t(SERIAL));
    aLink_Destroy(&other);
}

TEST_F(ServerTest, ExistingLinkIsSharedAndUnknownOneRefused)
{
    EXPECT_EQ(aLink_CreateClient(address, port, client), client);
    uint32_t again = client;
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(GetOption(client, 9), int64_t(SERIAL));
    EXPECT_EQ(aLink_CreateClient(address, port, 999999), 0u);
}

TEST_F(ServerTest, BadFramesAndTheRoutingSwitchAreDropped)
{
    RawClient raw(port);
    size_t routes = usb.sim.CountTrace("rx AF");
    raw.Send(Frame({MODULE}));
    raw.Send(std::string(31, '\x02'));
    raw.Send(Frame({MODULE, 5, 3, 0x49}));  // claims more bytes than it has
    raw.Send(Frame({cmdFORCEROUTE, 1, 0})); // the routing switch
    raw.Send(SystemGet(9));
    std::string answer = raw.Receive();
    ASSERT_EQ(answer.size(), 9u);
    EXPECT_EQ(static_cast<uint8_t>(answer[0]), MODULE);
    EXPECT_EQ(static_cast<uint8_t>(answer[3]), 9);
    EXPECT_EQ(raw.Receive(300), "");
    EXPECT_EQ(usb.sim.CountTrace("rx AF"), routes);
    EXPECT_EQ(usb.sim.CountTrace("rx 02 03 03 49 20"), 1u);
}

TEST_F(ServerTest, ByteTransferReachesTheModuleWhenItsLastFragmentArrives)
{
    RawClient raw(port);
    std::vector<std::string> chunks;
    for (uint8_t seq = 0; seq < 3; seq++) {
        uint8_t count = seq < 2 ? 24 : 8;
        std::string f = Frame({MODULE, static_cast<uint8_t>(count + 4), cmdSYSTEMCLASS, 0x80 | 31, 0x20});
        for (uint8_t i = 0; i < count; i++)
            f.push_back(static_cast<char>(seq * 24 + i));
        f.push_back(static_cast<char>((seq < 2 ? 0x80 : 0) | seq));
        chunks.push_back(f);
    }
    raw.Send(chunks[0]);
    raw.Send(chunks[1]);
    // Another client's request goes through meanwhile; requests reach the
    // module one at a time, so the held fragments would show before it.
    EXPECT_EQ(GetOption(client, 9), int64_t(SERIAL));
    EXPECT_EQ(usb.sim.CountTrace("rx 02 1C 03 9F"), 0u);
    raw.Send(chunks[2]);
    std::string answer = raw.Receive();
    ASSERT_EQ(answer.size(), 5u);
    EXPECT_EQ(static_cast<uint8_t>(answer[3]), 0xC0 | 31); // set, not an error
    EXPECT_EQ(static_cast<uint8_t>(answer[4]) & 0x80, 0);
    std::vector<std::string> trace = usb.sim.Trace();
    std::vector<std::string> fragments;
    for (const std::string& line : trace) {
        if (line.find(" rx 02 ") != std::string::npos && line.find(" 03 9F 20") != std::string::npos)
            fragments.push_back(line);
    }
    ASSERT_EQ(fragments.size(), 3u);
    EXPECT_NE(fragments[0].find("03 9F 20 00 01"), std::string::npos);
    EXPECT_NE(fragments[1].find("03 9F 20 18 19"), std::string::npos);
    EXPECT_NE(fragments[2].find("03 9F 20 30 31"), std::string::npos);

    // Reading the value back takes three answer packets, all to this client.
    raw.Send(Frame({MODULE, 3, cmdSYSTEMCLASS, 0x40 | 31, 0x20}));
    std::string value;
    for (int i = 0; i < 3; i++) {
        std::string part = raw.Receive();
        ASSERT_GE(part.size(), 6u);
        value += part.substr(5, part.size() - 6);
    }
    ASSERT_EQ(value.size(), 56u);
    for (size_t i = 0; i < value.size(); i++)
        EXPECT_EQ(static_cast<uint8_t>(value[i]), i);
}

TEST_F(ServerTest, OutOfSequenceFragmentIsDroppedAndOthersGoOn)
{
    RawClient raw(port);
    std::string first = Frame({MODULE, 28, cmdSYSTEMCLASS, 0x80 | 31, 0x20});
    first += std::string(24, '\x01');
    first.push_back('\x80');
    std::string wrong = Frame({MODULE, 28, cmdSYSTEMCLASS, 0x80 | 31, 0x20});
    wrong += std::string(24, '\x02');
    wrong.push_back('\x85');
    raw.Send(first);
    raw.Send(wrong);
    EXPECT_EQ(raw.Receive(300), "");
    EXPECT_EQ(usb.sim.CountTrace("03 9F 20 01 01"), 0u);
    EXPECT_EQ(GetOption(client, 9), int64_t(SERIAL));
}

TEST_F(ServerTest, StreamingGoesToEachEnablingClientOnce)
{
    RawClient raw(port);
    std::string enable = Frame({MODULE, 7, cmdSTREAMCONTROL, 0x81, 0x20, MODULE, 0xFF, 0xFF, 0xFF});
    raw.Send(enable);
    raw.Send(enable);
    // Two answers to the two requests, then batches of samples.
    int answers = 0;
    std::vector<std::string> batches;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (batches.size() < 6 && std::chrono::steady_clock::now() < end) {
        std::string f = raw.Receive(1000);
        if (f.size() >= 3 && static_cast<uint8_t>(f[2]) == cmdSTREAMCONTROL)
            answers++;
        else if (!f.empty())
            batches.push_back(f);
    }
    EXPECT_EQ(answers, 2);
    ASSERT_GE(batches.size(), 6u);
    for (size_t i = 0; i < batches.size(); i++) {
        // A batch is whole packet frames of stream samples.
        const std::string& b = batches[i];
        size_t at = 0;
        while (at + 2 <= b.size()) {
            EXPECT_EQ(static_cast<uint8_t>(b[at]), MODULE);
            EXPECT_EQ(static_cast<uint8_t>(b[at + 4]) & 0x40, 0x40);
            at += 2 + static_cast<uint8_t>(b[at + 1]);
        }
        EXPECT_EQ(at, b.size());
        // One streaming entry: no batch comes twice.
        if (i > 0) {
            EXPECT_NE(b, batches[i - 1]);
        }
    }
    // The engine link of the other client saw no samples.
    EXPECT_EQ(aLink_GetPacket(client), nullptr);
}

TEST_F(ServerTest, FlushForgetsWaitingClientsAndTheServerGoesOn)
{
    aServerRef server = Server();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(aServer_FlushFIFO(server), aErrNone);
    EXPECT_EQ(GetOption(client, 9), int64_t(SERIAL));
    EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);
    uint16_t p = 0;
    uint32_t a = 0;
    EXPECT_EQ(aServer_GetPort(server, &p), aErrNone);
    EXPECT_EQ(p, port);
    EXPECT_EQ(aServer_GetInterface(server, &a), aErrNone);
    EXPECT_EQ(a, LOOPBACK);
    EXPECT_EQ(aServer_GetPort(server, nullptr), aErrParam);
    EXPECT_EQ(aServer_GetInterface(nullptr, &a), aErrParam);
    EXPECT_EQ(aServer_SetModel(nullptr, 1), aErrParam);
    EXPECT_EQ(aServer_SetModuleAddress(nullptr, 2), aErrParam);
}

TEST_F(ServerTest, ClientFailsCleanlyWhenTheServerGoesAway)
{
    uint32_t other = aLink_CreateClient(address, port, 0);
    ASSERT_NE(other, 0u);
    EXPECT_EQ(GetOption(other, 9), int64_t(SERIAL));
    aLink_Destroy(&client); // takes the USB link and the server with it
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(GetOption(other, 9, 500), int64_t(SERIAL));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(aLink_Destroy(&other), aErrNone);

    // The module can be served again.
    client = aLink_CreateServer(SERIAL, &port, &address, 1);
    ASSERT_NE(client, 0u);
    EXPECT_EQ(GetOption(client, 9), int64_t(SERIAL));
}

TEST(ServerLifecycle, StopsEveryThreadItStarted)
{
    SimUsbModule usb;
    ASSERT_TRUE(usb.Start(SERIAL)) << usb.sim.Stderr();
    uint16_t port = 0;
    uint32_t address = 0;
    // Once, so that ZeroMQ's own process-wide threads exist before counting.
    uint32_t warm = aLink_CreateServer(SERIAL, &port, &address, 1);
    ASSERT_NE(warm, 0u);
    aLink_Destroy(&warm);
    int before = ThreadCount();

    uint32_t client = aLink_CreateServer(SERIAL, &port, &address, 1);
    ASSERT_NE(client, 0u);
    uint32_t second = aLink_CreateClient(address, port, 0);
    ASSERT_NE(second, 0u);
    EXPECT_GT(ThreadCount(), before);
    aLink_Destroy(&second);
    aLink_Destroy(&client);
    EXPECT_TRUE(ThreadsDropTo(before)) << ThreadCount() << " threads, " << before << " before";
    EXPECT_EQ(aLink_GetStatus(client), LINK_NO_STREAM);
}

TEST(ServerLifecycle, LinkInNetworkingModeServesItsUsbModule)
{
    SimUsbModule usb;
    ASSERT_TRUE(usb.Start(SERIAL)) << usb.sim.Stderr();
    linkSpec spec{};
    spec.type = USB;
    spec.serialNumber = SERIAL;
    spec.t.usbId = SERIAL;
    Quorvane::Corvestel::Link owner(spec, "owner");
    // Networking is off until a program turns it on.
    aEtherConfig config;
    ASSERT_EQ(owner.getConfig(&config), aErrNone);
    EXPECT_EQ(config.enabled, 0);
    config.enabled = 1;
    ASSERT_EQ(owner.setConfig(config), aErrNone);
    ASSERT_EQ(owner.connect(), aErrNone);
    ASSERT_EQ(owner.getConfig(&config), aErrNone);
    EXPECT_NE(config.assignedPort, 0);
    EXPECT_EQ(config.networkInterface, LOOPBACK);
    EXPECT_EQ(GetOption(owner.getLinkIdentifier(), 9), int64_t(SERIAL));

    // Another user in the same process reaches it as an AETHER link.
    linkSpec shared{};
    shared.type = AETHER;
    shared.serialNumber = SERIAL;
    shared.t.ipAddress = config.networkInterface;
    shared.p.ipPort = config.assignedPort;
    Quorvane::Corvestel::Link user(shared, "user");
    EXPECT_EQ(user.connect(), aErrConfiguration);
    ASSERT_EQ(user.setConfig(config), aErrNone);
    ASSERT_EQ(user.connect(), aErrNone);
    EXPECT_NE(user.getLinkIdentifier(), owner.getLinkIdentifier());
    EXPECT_EQ(GetOption(user.getLinkIdentifier(), 8), 13);
    user.disconnect();
    owner.disconnect();
}

TEST(ServerLifecycle, CreationFailuresLeaveNothingBehind)
{
    EXPECT_EQ(aServer_Create(987654, 0, 1), nullptr);
    EXPECT_EQ(aServer_Start(nullptr), aErrParam);
    EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
    aServerRef none = nullptr;
    EXPECT_EQ(aServer_Destroy(&none), aErrParam);
    uint16_t port = 0;
    uint32_t address = 0;
    // No module with that serial number.
    EXPECT_EQ(aLink_CreateServer(0x12345678, &port, &address, 1), 0u);
    EXPECT_EQ(aLink_CreateServer(0x12345678, nullptr, &address, 1), 0u);
}

TEST(ServerLifecycle, ModuleThatNeverAnswersGivesNoServer)
{
    SimUsbModule usb;
    // Every request unanswered: the server cannot learn the model.
    ASSERT_TRUE(usb.Start(SERIAL, "model=13,hb=0,fault=drop@03*0")) << usb.sim.Stderr();
    uint16_t port = 0;
    uint32_t address = 0;
    EXPECT_EQ(aLink_CreateServer(SERIAL, &port, &address, 1), 0u);
    // Both links went: the module can be opened plainly again.
    uint32_t plain = aLink_CreateUSB(SERIAL);
    EXPECT_NE(plain, 0u);
    aLink_Destroy(&plain);
}

} // namespace
