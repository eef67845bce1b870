#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <string>
#include <vector>

#include "FakeUsb.h"
#include "transport/discover.h"
#include "transport/unix_discovery.h"

namespace {

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

TEST(UsbDiscovery, ReportsModulesWithEightDigitSerials)
{
    FakeUsb usb;
    usb.Add(FakeDevice::Module("1234567"));   // 7 characters
    usb.Add(FakeDevice::Module("123456789")); // 9 characters
    usb.Add(FakeDevice::Module("12G45678"));  // not hexadecimal
    usb.Add(FakeDevice::Module(""));          // no serial string
    FakeDevice& good = usb.Add(FakeDevice::Module("40F5849A"));
    good.product = 0x0113;
    usb.Add(FakeDevice::Module("00ab12cd"));
    FakeDevice& other = usb.Add(FakeDevice::Module("11111111"));
    other.product = 0x8001;
    FakeDevice& locked = usb.Add(FakeDevice::Module("22222222"));
    locked.openFails = true;

    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collect, &c, 0), 2u);
    ASSERT_EQ(c.specs.size(), 2u);
    const linkSpec& s = c.specs[0];
    EXPECT_EQ(s.type, USB);
    EXPECT_EQ(s.serialNumber, 0x40F5849Au);
    EXPECT_EQ(s.t.usbId, 0x40F5849Au);
    EXPECT_EQ(s.model, 0x13u);
    EXPECT_EQ(s.module, 0u);
    EXPECT_EQ(s.router, 0u);
    EXPECT_EQ(s.routerSerialNumber, 0u);
    EXPECT_EQ(s.p.ipPort, 0u);
    EXPECT_EQ(c.specs[1].serialNumber, 0x00AB12CDu);
    EXPECT_EQ(other.opens, 0);
    // Every device opened was closed again and the list freed.
    EXPECT_EQ(usb.openHandles, 0);
    EXPECT_EQ(usb.listsOut, 0);
    EXPECT_EQ(good.opens, good.closes);
    // The module whose node may not be opened is noted, so that the caller
    // can say which node it is; the foreign product is not.
    ASSERT_EQ(cvusb_refused_count(), 1u);
    char node[CVUSB_NODESIZE];
    ASSERT_TRUE(cvusb_refused_node(0, node, sizeof node));
    char expected[CVUSB_NODESIZE];
    std::snprintf(expected, sizeof expected, "/dev/bus/usb/001/%03zu", usb.devices.size());
    EXPECT_STREQ(node, expected);
    EXPECT_FALSE(cvusb_refused_node(1, node, sizeof node));
}

TEST(UsbDiscovery, CallbackStopsAndCounts)
{
    FakeUsb usb;
    usb.Add(FakeDevice::Module("00000001"));
    usb.Add(FakeDevice::Module("00000002"));
    usb.Add(FakeDevice::Module("00000003"));
    Collected stop;
    stop.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collect, &stop, 0), 1u);
    EXPECT_EQ(stop.specs.size(), 1u);
    Collected uncounted;
    uncounted.count = false;
    uncounted.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collect, &uncounted, 0), 0u);
    EXPECT_EQ(usb.openHandles, 0);
    EXPECT_EQ(usb.listsOut, 0);

    Collected none;
    EXPECT_EQ(aDiscovery_EnumerateModules(SERIAL, Collect, &none, 0), 0u);
    EXPECT_EQ(aDiscovery_EnumerateModules(77, Collect, &none, 0), 0u);
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, &none, 0), 0u);
    EXPECT_TRUE(none.specs.empty());
}

TEST(UsbDiscovery, Finders)
{
    FakeUsb usb;
    usb.Add(FakeDevice::Module("00000000"));
    usb.Add(FakeDevice::Module("0000BEEF"));
    usb.Add(FakeDevice::Module("0000CAFE"));
    linkSpec* s = aDiscovery_FindModule(USB, 0xCAFE, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->serialNumber, 0xCAFEu);
    aLinkSpec_Destroy(&s);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0xDEAD, 0), nullptr);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0, 0), nullptr);
    s = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->serialNumber, 0xBEEFu); // a serial number of 0 is passed over
    aLinkSpec_Destroy(&s);
    EXPECT_EQ(usb.openHandles, 0);
}

TEST(TcpipDiscovery, ReplyRecordFields)
{
    uint8_t record[16] = {0, 4, 0x70, 0x17, 0x78, 0x56, 0x34, 0x12, 9, 9, 9, 9, 0x2A, 9, 9, 9};
    linkSpec s;
    uint32_t sender = htonl(0xC6120001);
    aDiscovery_ParseTCPIPReply(record, sender, &s);
    EXPECT_EQ(s.type, TCPIP);
    EXPECT_EQ(s.module, 4u);
    EXPECT_EQ(s.router, 4u);
    EXPECT_EQ(s.p.ipPort, 6000u);
    EXPECT_EQ(s.serialNumber, 0x12345678u);
    EXPECT_EQ(s.routerSerialNumber, 0x12345678u);
    EXPECT_EQ(s.model, 0x2Au);
    EXPECT_EQ(s.t.ipAddress, sender);
}

TEST(Interfaces, ConversionAndList)
{
    char text[16] = "untouched";
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(htonl(0x7F000001), text, 15), 0u);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(htonl(0xC6120001), text, sizeof text), 10u);
    EXPECT_STREQ(text, "198.18.0.1");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0xFFFFFFFF, text, sizeof text), 15u);
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 4), 0u);
    uint32_t list[2] = {1, 1};
    EXPECT_LE(aDiscovery_GetIPv4Interfaces(list, 2), 2u);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(list, 0), 0u);
}

} // namespace
