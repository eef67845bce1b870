// Link, Module and the entity classes against the module simulator over
// loopback TCP, connected by specifier: values, bytes transfers, store
// slots, factory data, the packet log file, sharing a router's connection,
// and requests that must get through while the module streams.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "link/I2CClass.h"
#include "link/Link.h"
#include "link/Module.h"
#include "link/SystemClass.h"
#include "support/SimHarness.h"

using namespace Quorvane::Corvestel;

namespace {

const uint32_t SERIAL_A = 0x40F5849A;

linkSpec sSpec(const SimHarness& sim, uint32_t serial)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial;
    spec.t.ipAddress = htonl(INADDR_LOOPBACK);
    spec.p.ipPort = uint32_t(sim.Port(serial));
    return spec;
}

aEtherConfig sOff()
{
    aEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    return config;
}

std::vector<uint8_t> sPattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 7 + 3);
    return v;
}

class LinkSim : public ::testing::Test {
protected:
    void StartSim(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> options{"--module",
            "serial=40F5849A,model=19,address=4,version=2.15.3,build=4321,name=Bench,streamms=1,"
            "factory3=000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20212223"};
        options.insert(options.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim.Start(options)) << sim.Stderr();
        module.setConfig(sOff());
        ASSERT_EQ(module.connectFromSpec(sSpec(sim, SERIAL_A)), aErrNone);
        ASSERT_EQ(module.getModuleAddress(), 4);
        system.init(&module, 0);
    }

    SimHarness sim;
    Module module{2, 0};
    SystemClass system;
};

} // namespace

TEST_F(LinkSim, SystemValuesAndErrorReplies)
{
    StartSim({"--module", "serial=0000BEEF,model=26,missing=29"});
    uint32_t u32 = 0;
    EXPECT_EQ(system.getSerialNumber(&u32), aErrNone);
    EXPECT_EQ(u32, SERIAL_A);
    EXPECT_EQ(system.getVersion(&u32), aErrNone);
    EXPECT_EQ(u32, 0x2F020F03u);
    uint8_t u8 = 0;
    EXPECT_EQ(system.getModel(&u8), aErrNone);
    EXPECT_EQ(u8, 19);

    EXPECT_EQ(system.setLED(5), aErrNone);
    EXPECT_EQ(system.getLED(&u8), aErrNone);
    EXPECT_EQ(u8, 1);
    EXPECT_EQ(system.setPowerLimitMax(1234567), aErrNone);
    EXPECT_EQ(system.getPowerLimitMax(&u32), aErrNone);
    EXPECT_EQ(u32, 1234567u);
    int32_t temperature = 0;
    EXPECT_EQ(system.getTemperature(&temperature), aErrNone);
    EXPECT_EQ(temperature, 31500000);

    // Read-only options refuse a write with the module's own code.
    EXPECT_EQ(system.setUEI32(9, 1), aErrPermission);
    // A second module of another model without option 29.
    Module other(2, 0);
    other.setConfig(sOff());
    ASSERT_EQ(other.connectFromSpec(sSpec(sim, 0x0000BEEF)), aErrNone);
    SystemClass otherSystem;
    otherSystem.init(&other, 0);
    EXPECT_EQ(otherSystem.getInputPowerSource(&u8), aErrInvalidOption);
    EXPECT_EQ(otherSystem.getModel(&u8), aErrNone);
    EXPECT_EQ(u8, 26);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4321u);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0), aErrNone);
    const uint8_t echo[5] = {9, 8, 7, 6, 5};
    EXPECT_EQ(module.debug(echo, 5), aErrNone);
}

TEST_F(LinkSim, BytesValuesRoundTripAtChunkBoundaries)
{
    StartSim();
    // The name holds up to 32 bytes; option 31 takes any multiple of 4.
    for (size_t n : {size_t(0), size_t(24), size_t(25)}) {
        std::vector<uint8_t> name = sPattern(n);
        ASSERT_EQ(system.setName(name.data(), n), aErrNone) << n;
        uint8_t back[64];
        size_t count = 99;
        ASSERT_EQ(system.getName(back, sizeof back, &count), aErrNone) << n;
        EXPECT_EQ(std::vector<uint8_t>(back, back + count), name) << n;
    }
    std::vector<uint32_t> words(250);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = uint32_t(i * 0x01010101u);
    ASSERT_EQ(system.setInputPowerBehaviorConfig(words.data(), words.size()), aErrNone);
    std::vector<uint32_t> back(300);
    size_t count = 0;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(back.data(), back.size(), &count), aErrNone);
    ASSERT_EQ(count, 250u);
    EXPECT_TRUE(std::equal(words.begin(), words.end(), back.begin()));
    // 1000 bytes in a 999-byte buffer do not fit.
    std::vector<uint8_t> small(999);
    EXPECT_EQ(system.getUEIBytes(31, small.data(), small.size(), &count), aErrMemory);
    // A value of 33 bytes is the module's to refuse.
    std::vector<uint8_t> tooLong = sPattern(33);
    EXPECT_EQ(system.setName(tooLong.data(), tooLong.size()), aErrSize);
}

TEST_F(LinkSim, StoreSlotsMoveDataInChunksAndReportOverrun)
{
    StartSim();
    Link* link = module.getLink();
    std::vector<uint8_t> data = sPattern(60);
    ASSERT_EQ(link->loadStoreSlot(4, 1, 2, data.data(), data.size()), aErrNone);
    EXPECT_EQ(sim.CountTrace("40F5849A rx 04 1C 04 07"), 2u); // two full chunks of 25
    EXPECT_EQ(sim.CountTrace("40F5849A rx 04 0D 04 07"), 1u); // and one of 10
    size_t size = 0, capacity = 0;
    EXPECT_EQ(link->storeSlotSize(4, 1, 2, &size), aErrNone);
    EXPECT_EQ(size, 60u);
    EXPECT_EQ(link->storeSlotCapacity(4, 1, 2, &capacity), aErrNone);
    EXPECT_EQ(capacity, 1024u);

    std::vector<uint8_t> back(100);
    size_t count = 0;
    ASSERT_EQ(link->unloadStoreSlot(4, 1, 2, back.data(), back.size(), &count), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + long(count)), data);
    std::vector<uint8_t> ten(10);
    EXPECT_EQ(link->unloadStoreSlot(4, 1, 2, ten.data(), ten.size(), &count), aErrOverrun);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(ten, std::vector<uint8_t>(data.begin(), data.begin() + 10));

    // The module's errors come back as codes; the slot is closed again.
    EXPECT_EQ(link->storeSlotSize(4, 7, 0, &size), aErrIndexRange);
    std::vector<uint8_t> big = sPattern(1100);
    EXPECT_EQ(link->loadStoreSlot(4, 0, 0, big.data(), big.size()), aErrOverrun);
    EXPECT_EQ(link->loadStoreSlot(4, 0, 0, data.data(), data.size()), aErrNone);
}

TEST_F(LinkSim, FactoryDataReadsAndWrites)
{
    StartSim();
    Link* link = module.getLink();
    uint8_t buffer[64];
    size_t count = 0;
    ASSERT_EQ(link->getFactoryData(4, 3, buffer, sizeof buffer, &count), aErrNone);
    ASSERT_EQ(count, 36u);
    for (size_t i = 0; i < count; ++i)
        EXPECT_EQ(buffer[i], i);
    EXPECT_EQ(sim.CountTrace("rx 04 02 5E 03"), 1u); // the follow-up read
    EXPECT_EQ(link->getFactoryData(4, 3, buffer, 36, &count), aErrOverrun);
    EXPECT_EQ(link->getFactoryData(4, 9, buffer, sizeof buffer, &count), aErrNotFound);

    std::vector<uint8_t> data = sPattern(40);
    ASSERT_EQ(link->setFactoryData(4, 9, data.data(), data.size()), aErrNone);
    ASSERT_EQ(link->getFactoryData(4, 9, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + count), data);
}

TEST_F(LinkSim, PacketLogFileRecordsTraffic)
{
    StartSim();
    std::string path = sim.Folder() + "/packets.log";
    ASSERT_EQ(module.enablePacketLog(path.c_str()), aErrNone);
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    ASSERT_EQ(module.disablePacketLog(), aErrNone);

    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string log = text.str();
    EXPECT_NE(log.find(std::string("6 < START\0\r\n", 12)), std::string::npos) << log;
    EXPECT_NE(log.find("5 > 0x4 0x3 0x3 0x49 0x20 \r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("9 < 0x4 0x7 0x3 0x9 0x0 0x40 0xF5 0x84 0x9A \r\n"), std::string::npos) << log;
}

TEST_F(LinkSim, RequestsGetThroughWhileTheModuleStreams)
{
    StartSim({"--stream", "10:1:0:3", "--stream", "10:2:0:3"});
    Link* link = module.getLink();
    module.getLink()->enablePooledPackets(false);
    // Streaming on behind the link's back: nothing consumes the samples,
    // which crowd the input queue at one per millisecond.
    uei on{};
    on.module = 4;
    on.command = cmdSTREAMCONTROL;
    on.option = 0x81;
    on.specifier = 0x20;
    on.type = UEI_INT;
    on.value.intVal = 0x040AFFFF;
    ASSERT_EQ(link->sendUEI(on), aErrNone);
    uei ack{};
    ASSERT_EQ(link->receiveUEI(4, cmdSTREAMCONTROL, 0xC1, 0, &ack), aErrNone);
    ASSERT_TRUE(sim.WaitForTrace("40F5849A tx 04 11 0A"));
    // Requests go on until well over 1000 samples have come in. The engine
    // empties an input queue that nobody reads once it passes 1000 packets,
    // and a reply can go with it: one retry is allowed.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int requests = 0;
    while (sim.CountTrace("40F5849A tx 04 11 0A") < 1200) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        for (int i = 0; i < 10; ++i, ++requests) {
            uint32_t serial = 0;
            aErr err = system.getSerialNumber(&serial);
            if (err == aErrTimeout)
                err = system.getSerialNumber(&serial);
            ASSERT_EQ(err, aErrNone) << requests;
            EXPECT_EQ(serial, SERIAL_A);
        }
    }
    uint8_t state = 0;
    EXPECT_EQ(link->isLinkStreaming(4, &state), aErrNone);
    EXPECT_EQ(state, 1);
}

TEST_F(LinkSim, ModulesBehindARouterShareItsConnection)
{
    StartSim({"--behind", "serial=55556666,address=6,model=26"});
    Link* routerLink = module.getLink();
    ASSERT_EQ(system.routeToMe(1), aErrNone);
    Module behind(6, false, 0);
    behind.setConfig(sOff());
    ASSERT_EQ(behind.connectThroughLinkModule(&module), aErrNone);
    EXPECT_EQ(behind.getLink()->getLinkIdentifier(), routerLink->getLinkIdentifier());
    EXPECT_EQ(behind.connectThroughLinkModule(&module), aErrNone); // already connected

    SystemClass behindSystem;
    behindSystem.init(&behind, 0);
    uint32_t serial = 0;
    EXPECT_EQ(behindSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x55556666u);

    I2CClass i2c;
    i2c.init(&module, 0);
    const uint8_t zero[2] = {0, 0};
    EXPECT_EQ(i2c.write(6, 2, zero), aErrNone);
    EXPECT_EQ(i2c.write(8, 2, zero), aErrIO);

    // The router lets go; the module behind it keeps the connection.
    EXPECT_EQ(module.disconnect(), aErrNone);
    EXPECT_TRUE(behind.isConnected());
    EXPECT_EQ(behindSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(behind.disconnect(), aErrNone);
    EXPECT_TRUE(sim.WaitForTrace("force route off"));

    Module unreachable(8, false, 0);
    EXPECT_EQ(unreachable.connectThroughLinkModule(&module), aErrInitialization);
}
