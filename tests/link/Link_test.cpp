// Link and entities against a scripted module on loopback TCP: exact request
// bytes, refusals before any traffic, and replies of the wrong length or
// shape, which must give their codes without reading past the packet.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "ScriptedModule.h"
#include "link/Entity.h"
#include "link/I2CClass.h"
#include "link/Link.h"
#include "link/Module.h"
#include "link/SystemClass.h"
#include "link/aDebugging.h"

using namespace Quorvane::Corvestel;
using linktest::ScriptedModule;
using Bytes = std::vector<uint8_t>;

namespace {

const uint8_t ADDR = 6;

// A module object connected to the scripted module without address learning.
struct Connected {
    explicit Connected(ScriptedModule& fake) : module(ADDR, false, 0)
    {
        aEtherConfig off;
        off.enabled = 0;
        module.setConfig(off);
        err = module.connectFromSpec(fake.spec());
    }
    Module module;
    aErr err;
};

bool sWaitFor(const std::function<bool()>& condition, int ms = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

TEST(Link, RefusesBeforeAnyTraffic)
{
    Link idle("idle");
    uei u{};
    u.module = 2;
    EXPECT_EQ(idle.sendUEI(u), aErrConnection);
    EXPECT_EQ(idle.sendPacket(2, 3, 0, nullptr), aErrConnection);
    uint8_t address = 9;
    EXPECT_EQ(idle.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(idle.connect(), aErrConfiguration);
    EXPECT_EQ(idle.getStatus(), 8u);
    linkSpec spec{};
    EXPECT_EQ(idle.getLinkSpecifier(&spec), aErrNotFound);
    EXPECT_EQ(idle.enablePacketLog("/tmp/never"), aErrConfiguration);

    Module module(2, 0);
    EXPECT_EQ(module.connect(USB, 0), aErrParam);

    spec.type = 9;
    EXPECT_EQ(idle.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(idle.connect(), aErrMode);
    spec.type = AETHER;
    aEtherConfig off;
    off.enabled = 0;
    idle.setConfig(off);
    idle.setLinkSpecifier(spec);
    EXPECT_EQ(idle.connect(), aErrConfiguration);

    EntityClass unbound;
    uint32_t v = 0;
    EXPECT_EQ(unbound.getUEI32(9, &v), aErrResource);
    I2CClass i2c;
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    EXPECT_EQ(i2c.setSpeed(3), aErrNone);
    EXPECT_EQ(i2c.getSpeed(), 3);
}

TEST(Link, SpecifierAndConfigurationAreFixedWhileConnected)
{
    ScriptedModule fake(ADDR);
    Connected c(fake);
    ASSERT_EQ(c.err, aErrNone);
    Link* link = c.module.getLink();
    EXPECT_TRUE(link->isConnected());
    EXPECT_EQ(link->setLinkSpecifier(fake.spec()), aErrBusy);
    EXPECT_EQ(link->setConfig(aEtherConfig()), aErrMode);
    EXPECT_EQ(link->connect(), aErrConnection);
    EXPECT_EQ(c.module.connectFromSpec(fake.spec()), aErrBusy);
    EXPECT_EQ(std::string(link->getName()), "Link");

    EXPECT_EQ(link->sendPacket(3, 3, 0, nullptr), aErrPacket);
    EXPECT_EQ(link->sendPacket(0, 3, 0, nullptr), aErrPacket);
    uint8_t data[28] = {};
    EXPECT_EQ(link->sendPacket(ADDR, 3, 28, data), aErrParam);
    EXPECT_EQ(link->sendPacket(ADDR, 3, 27, data), aErrNone);
    EXPECT_EQ(link->registerStreamCallback(3, 3, 1, 0, true, nullptr, nullptr), aErrParam);
    EXPECT_EQ(link->registerStreamCallback(0xFF, 3, 1, 0, true, nullptr, nullptr), aErrParam);
    EXPECT_TRUE(sWaitFor([&] { return fake.countReceived(3) == 1; }));
    EXPECT_EQ(fake.countReceived(cmdSTREAMCONTROL), 0u);

    EXPECT_EQ(link->disconnect(), aErrNone);
    EXPECT_FALSE(link->isConnected());
    EXPECT_EQ(link->setConfig(aEtherConfig()), aErrNone);
}

TEST(Link, LearnsTheAddressOfTheAttachedModule)
{
    ScriptedModule fake(ADDR);
    Module module(2, 0);
    aEtherConfig off;
    off.enabled = 0;
    module.setConfig(off);
    ASSERT_EQ(module.connectFromSpec(fake.spec()), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), ADDR);

    // A module that never tells its address keeps the configured one.
    ScriptedModule mute(ADDR);
    mute.setHandler([](ScriptedModule&, uint8_t, const Bytes&) { return true; });
    Module other(4, 0);
    other.setConfig(off);
    EXPECT_EQ(other.connectFromSpec(mute.spec()), aErrNotReady);
    EXPECT_EQ(other.getModuleAddress(), 4);
}

TEST(Link, TypedRequestsHaveTheirExactShape)
{
    ScriptedModule fake(ADDR);
    fake.setHandler([](ScriptedModule& m, uint8_t address, const Bytes& d) {
        if (address != ADDR || d.empty() || d[0] != 3)
            return false;
        if (d == Bytes{3, 0x49, 0x20})
            m.reply({3, 9, 0, 0x40, 0xF5, 0x84, 0x9A});
        else if (d == Bytes{3, 0x84, 0x20, 1})
            m.reply({3, 0xC4, 0, 1});
        else if (d == Bytes{3, 0x48, 0x20})
            m.reply({3, 0x08, 0x80, 0x1D}); // error reply to option 8
        else if (d == Bytes{3, 0x4C, 0x20, 7})
            m.reply({3, 0x0C, 0, 0x12, 0x34}); // sub-index read, 16-bit value
        else if (d == Bytes{3, 0x4D, 0x20})
            m.reply({3, 0x0D, 0, 1, 2, 3}); // a length no value type has
        return true;
    });
    Connected c(fake);
    ASSERT_EQ(c.err, aErrNone);
    SystemClass system;
    system.init(&c.module, 0);

    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(system.setLED(7), aErrNone); // written as 1

    uint8_t model = 0x55;
    EXPECT_EQ(system.getModel(&model), aErrInvalidOption);
    EXPECT_EQ(model, 0x55);

    uint16_t sub = 0;
    EXPECT_EQ(system.getUEI16(12, 7, &sub), aErrNone);
    EXPECT_EQ(sub, 0x1234);

    uint32_t odd = 0xAAAA;
    EXPECT_EQ(system.getUEI32(13, &odd), aErrNone); // accepted, value untouched
    EXPECT_EQ(odd, 0u);
    EXPECT_EQ(system.getUEI32(14, nullptr), aErrParam);
    EXPECT_EQ(system.getVersion(&odd), aErrTimeout);
}

TEST(Link, QueriesCheckTheShapeOfTheirReplies)
{
    ScriptedModule fake(ADDR);
    std::atomic<int> buildShape{6};
    fake.setHandler([&](ScriptedModule& m, uint8_t address, const Bytes& d) {
        if (address != ADDR || d.empty())
            return false;
        if (d == Bytes{0x49, 0xFF}) {
            Bytes r{0x49, 0xFF, 0, 0, 0x12, 0x34, 0x56};
            r.resize(size_t(buildShape.load()));
            m.reply(r);
        } else if (d.size() == 6 && d[0] == 0x49 && d[1] == 1) {
            m.reply({0x49, 1, d[2], d[3], d[4], d[2] == 95 ? uint8_t(0) : uint8_t(aErrInvalidOption)});
        } else if (d == Bytes{0x49, 4, 3}) {
            m.reply({0x49, 4, 3, 2});
        } else if (d == Bytes{0x49, 5, 3, 0}) {
            m.reply({0x49, 5}); // cut short
        } else if (d[0] == 23) {
            Bytes echo = d;
            if (d.size() > 3)
                echo[2] ^= 1;
            m.reply(echo);
        }
        return true;
    });
    Connected c(fake);
    ASSERT_EQ(c.err, aErrNone);
    Module& m = c.module;

    uint32_t build = 0;
    EXPECT_EQ(m.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 0x1234u);
    buildShape = 7;
    EXPECT_EQ(m.getBuild(&build), aErrSize);
    EXPECT_EQ(m.getBuild(nullptr), aErrParam);

    EXPECT_EQ(m.hasUEI(95, 10, 0, 0xC0), aErrParam);
    EXPECT_EQ(m.hasUEI(95, 10, 0, 0x80), aErrNone);
    EXPECT_EQ(m.hasUEI(3, 99, 0, 0), aErrInvalidOption);
    bool sawFlags = false;
    for (const Bytes& p : fake.received())
        sawFlags = sawFlags || p == Bytes{ADDR, 0x49, 1, 95, 10, 0, 0x80};
    EXPECT_TRUE(sawFlags);

    uint8_t count = 0;
    EXPECT_EQ(m.classQuantity(3, &count), aErrNone);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(m.subClassQuantity(3, 0, &count), aErrUnknown);

    const uint8_t two[2] = {1, 2};
    EXPECT_EQ(m.debug(two, 2), aErrNone);
    const uint8_t three[3] = {1, 2, 3};
    EXPECT_EQ(m.debug(three, 3), aErrIO);
}

TEST(Link, I2CTransfersHonourStatusAndLength)
{
    ScriptedModule fake(ADDR);
    fake.setHandler([](ScriptedModule& m, uint8_t address, const Bytes& d) {
        if (address != ADDR || d.empty() || d[0] != 8)
            return false;
        if (d[2] == 0x51) // read of 0x50: says 20 bytes, carries 2
            m.reply({8, d[1], 0x51, 20, 0, 0xAB, 0xCD});
        else if (d[2] == 0x60)
            m.reply({8, d[1], 0x60, d[3], uint8_t(0x80 | aErrIO)});
        else if (d[2] == 0x62)
            m.reply({8, d[1], 0x62, d[3]}); // no status byte
        else
            m.reply({8, d[1], d[2], d[3], 0});
        return true;
    });
    Connected c(fake);
    ASSERT_EQ(c.err, aErrNone);
    I2CClass i2c;
    i2c.init(&c.module, 0);
    uint8_t buffer[24];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(i2c.read(0x50, 24, buffer), aErrSize);
    EXPECT_EQ(i2c.read(0x50, 20, buffer), aErrNone);
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(buffer[1], 0xCD);
    EXPECT_EQ(buffer[2], 0xEE); // nothing beyond what the reply carried
    const uint8_t zero[2] = {0, 0};
    EXPECT_EQ(i2c.write(0x60, 2, zero), aErrIO);
    EXPECT_EQ(i2c.write(0x62, 2, zero), aErrPacket);
    i2c.setSpeed(2);
    EXPECT_EQ(i2c.write(0x64, 2, zero), aErrNone);
    EXPECT_EQ(fake.received().back(), (Bytes{ADDR, 8, 0, 0x64, 2, 2, 0, 0}));
    EXPECT_EQ(i2c.setPullup(true), aErrNone);
}

TEST(Link, BytesReadsStopAtCapacityAndKeepSequence)
{
    ScriptedModule fake(ADDR);
    fake.setHandler([](ScriptedModule& m, uint8_t address, const Bytes& d) {
        if (address != ADDR || d.size() < 3 || d[0] != 3)
            return false;
        if (d[1] == 0x60) { // option 32: two chunks, the second one first
            Bytes second{3, 32, 0, 'x', 'y', 0x01};
            Bytes first{3, 32, 0};
            for (int i = 0; i < 24; ++i)
                first.push_back(uint8_t('a' + i % 26));
            first.push_back(0x80);
            m.reply(second);
            m.reply(first);
        } else if (d[1] == 0x5F) { // option 31: an error reply
            m.reply({3, 31, 0x80, aErrMode});
        }
        return true;
    });
    Connected c(fake);
    ASSERT_EQ(c.err, aErrNone);
    SystemClass system;
    system.init(&c.module, 0);
    uint8_t name[64];
    size_t count = 0;
    EXPECT_EQ(system.getName(name, sizeof name, &count), aErrNone);
    ASSERT_EQ(count, 26u);
    EXPECT_EQ(name[0], 'a');
    EXPECT_EQ(name[24], 'x');
    EXPECT_EQ(system.getName(name, 25, &count), aErrMemory);
    EXPECT_EQ(system.getName(name, 0, &count), aErrParam);
    uint32_t words[4];
    EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrMode);
}

TEST(Link, SlotAndFactoryRepliesOfTheWrongShape)
{
    ScriptedModule fake(ADDR);
    std::atomic<int> mode{0};
    fake.setHandler([&](ScriptedModule& m, uint8_t address, const Bytes& d) {
        if (address != ADDR || d.size() < 2)
            return false;
        if (d[0] == 4) {
            switch (d[1]) {
            case 2: // size: wrong length, then an error without its code
                if (mode == 0)
                    m.reply({4, 2, d[2], d[3], 0});
                else if (mode == 1)
                    m.reply({4, 0x82, d[2], d[3]});
                else
                    m.reply({4, 2, d[2], d[3], 0, 5});
                break;
            case 3:
                m.reply({4, 3, d[2], d[3], 9});
                break;
            case 4:
                m.reply({4, 4, d[2], d[3]}); // no handle: the open failed
                break;
            case 6: // a read reply that carries more than was asked for
                m.reply({4, 6, 9, 1, 2, 3, 4, 5, 6, 7, 8});
                break;
            case 8:
                m.reply({4, 8, 9, 0, 0}); // close with an extra byte
                break;
            }
            return true;
        }
        if (d[0] == 94) {
            if (d[1] & 0x10)
                m.reply({94, uint8_t(d[1] & 0x0F), 0}); // 3 bytes: not an acknowledgement
            else
                m.reply({94, 0x85}); // error reply without code
            return true;
        }
        return false;
    });
    Connected c(fake);
    ASSERT_EQ(c.err, aErrNone);
    Link* link = c.module.getLink();
    size_t size = 0;
    EXPECT_EQ(link->storeSlotSize(ADDR, 0, 1, &size), aErrUnknown);
    mode = 1;
    EXPECT_EQ(link->storeSlotSize(ADDR, 0, 1, &size), aErrUnknown);
    mode = 2;
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(link->loadStoreSlot(ADDR, 0, 1, data, 3), aErrMedia);
    uint8_t buffer[3] = {};
    size_t count = 0;
    // Five bytes in the slot, three wanted: the buffer never overflows and
    // the close's malformed reply is the result.
    EXPECT_EQ(link->unloadStoreSlot(ADDR, 0, 1, buffer, 3, &count), aErrIO);
    EXPECT_EQ(buffer[2], 3);

    uint8_t factory[64];
    EXPECT_EQ(link->getFactoryData(ADDR, 5, factory, sizeof factory, &count), aErrUnknown);
    EXPECT_EQ(link->setFactoryData(ADDR, 5, data, 3), aErrSize);
    EXPECT_EQ(fake.countReceived(94), 2u); // nothing more after the refusals
}

TEST(Link, ConcurrentRequestsTakeOnlyTheirOwnReplies)
{
    ScriptedModule fake(ADDR);
    fake.setHandler([](ScriptedModule& m, uint8_t address, const Bytes& d) {
        if (address != ADDR || d.size() != 3 || d[0] != 3 || !(d[1] & 0x40))
            return false;
        uint8_t option = d[1] & 0x3F;
        m.reply({3, option, 0, 0, 0, 0, option});
        return true;
    });
    Connected c(fake);
    ASSERT_EQ(c.err, aErrNone);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (uint8_t option = 1; option <= 4; ++option) {
        threads.emplace_back([&, option] {
            SystemClass system;
            system.init(&c.module, 0);
            for (int i = 0; i < 50; ++i) {
                uint32_t v = 0;
                if (system.getUEI32(option, &v) != aErrNone || v != option)
                    ++wrong;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Link, AWriteSumThatDiffersEndsTheLoadAfterClosing)
{
    ScriptedModule fake(ADDR);
    fake.setHandler([](ScriptedModule& m, uint8_t address, const Bytes& d) {
        if (address != ADDR || d.size() < 3 || d[0] != 4)
            return false;
        if (d[1] == 4)
            m.reply({4, 4, d[2], d[3], 3});
        else if (d[1] == 7) {
            uint8_t sum = 0;
            for (size_t i = 3; i < d.size(); ++i)
                sum = uint8_t(sum + d[i]);
            // The second chunk comes back with a wrong sum.
            bool second = m.countReceived(4) == 3;
            m.reply({4, 7, 3, uint8_t(second ? sum + 1 : sum)});
        } else if (d[1] == 8)
            m.reply({4, 8, 3, 0});
        return true;
    });
    Connected c(fake);
    ASSERT_EQ(c.err, aErrNone);
    std::vector<uint8_t> data(60, 0x11);
    EXPECT_EQ(c.module.getLink()->loadStoreSlot(ADDR, 0, 0, data.data(), data.size()), aErrIO);
    std::vector<Bytes> got = fake.received();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[got.size() - 1], (Bytes{ADDR, 4, 8, 3})); // closed right after the bad chunk
    EXPECT_EQ(got[got.size() - 2].size(), 1u + 3 + 25);
    EXPECT_EQ(fake.countReceived(4), 4u);
}

TEST(Link, LargeBytesRepliesGetALongerWait)
{
    ScriptedModule fake(ADDR);
    fake.setHandler([](ScriptedModule&, uint8_t, const Bytes&) { return true; });
    Connected c(fake);
    ASSERT_EQ(c.err, aErrNone);
    Link* link = c.module.getLink();
    aCorvestelDebuggingEnable = true;
    aCorvestelDebuggingLevel = aDEBUG_LINK;
    for (uint32_t size : {1000u, 1001u}) {
        uei u{};
        u.type = UEI_BYTES;
        u.bytesSize = size;
        testing::internal::CaptureStdout();
        EXPECT_EQ(link->receiveUEI(ADDR, 3, 32, 0, &u), aErrTimeout);
        std::string out = testing::internal::GetCapturedStdout();
        bool expanded = out.find("receiveUEI - Expanding timeout for large payload: 1001\n") != std::string::npos;
        EXPECT_EQ(expanded, size > 1000) << out;
    }
    aCorvestelDebuggingEnable = false;
}
