#include "app/ResultPrinters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RecordingDisplay.h"

namespace {

typedef std::vector<std::string> Lines;

TEST(ResultPrinters, VersionFingerprintToken)
{
    RecordingDisplay d;
    PrintVersion(d);
    Fingerprint f;
    PrintFingerprint(d, f);
    f.words[0] = 0x0123ABCD;
    f.words[1] = 0xFFFFFFFF;
    f.words[2] = 0x10;
    f.words[3] = 0xDEADDEAD;
    PrintFingerprint(d, f);
    PrintToken(d, "aa.bb.cc");
    PrintToken(d, "100%s");
    EXPECT_EQ(d.info, (Lines{"Updater (Version: 2.11.3 Jun  6 2025)", "[ 00000000 00000000 00000000 00000000 ]",
                             "[ 0123ABCD FFFFFFFF 00000010 DEADDEAD ]", "aa.bb.cc", "100%s"}));
    EXPECT_TRUE(d.errors.empty());
}

TEST(ResultPrinters, BuildListNewestFirstAndCut)
{
    RecordingDisplay d;
    PrintBuildList(d, {}, 0x40F5849A);
    EXPECT_EQ(d.info, Lines{"No builds found for device [40F5849A]"});

    d.info.clear();
    BuildList builds = {
        {"100", "1.0.0"}, {"101", "2.0.0"}, {"102", "1.10.0"}, {"1234567890123456789", "1.2.9"}, {"7", "1.2.10"},
    };
    PrintBuildList(d, builds, 0xA);
    EXPECT_EQ(d.info, (Lines{
                          "Build List for device [0000000A]:\n",
                          "Build          \tVersion        ",
                          "101            \t2.0.0          ",
                          "102            \t1.10.0         ",
                          "7              \t1.2.10         ",
                          "123456789012345\t1.2.9          ",
                          "100            \t1.0.0          ",
                      }));

    d.info.clear();
    PrintBuildList(d, {{"1", "123456789.12345.1234567"}}, 1);
    ASSERT_EQ(d.info.size(), 3u);
    EXPECT_EQ(d.info[2], "1              \t123456789.12345");
}

DeviceInfo sDevice(uint32_t type, uint32_t serial, uint32_t module, uint32_t router, uint32_t model,
                   const char* modelName, uint8_t major, uint8_t minor, uint32_t patch, uint32_t build,
                   const char* name)
{
    DeviceInfo d;
    d.type = type;
    d.serialNumber = serial;
    d.module = module;
    d.router = router;
    d.model = model;
    d.modelName = modelName;
    d.versionMajor = major;
    d.versionMinor = minor;
    d.versionPatch = patch;
    d.buildNumber = build;
    d.deviceName = name;
    return d;
}

TEST(ResultPrinters, DeviceListPerLinkType)
{
    std::vector<DeviceInfo> devices;
    devices.push_back(sDevice(USB, 0x40F5849A, 2, 0, 13, "Pilgrim", 2, 15, 7, 99528558, "Bench"));
    DeviceInfo busy = sDevice(USB, 0x1234, 0, 0, 0, "Unknown", 0, 0, 0, 0, "");
    busy.error = 25;
    devices.push_back(busy);
    DeviceInfo net = sDevice(TCPIP, 0x2181F0EE, 4, 0xC2, 26, "Oriel", 1, 10, 1193046, 4711, "Lab rack");
    const unsigned char ip[4] = {198, 18, 0, 5};
    memcpy(&net.t.ipAddress, ip, 4);
    net.error = 18; // an address device is listed in full even with an error
    devices.push_back(net);

    RecordingDisplay d;
    PrintDeviceList(d, devices, USB);
    EXPECT_EQ(d.info,
              (Lines{
                  "Discovered Devices: (USB)",
                  "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
                  "    40F5849A  02       00      Pilgrim        2.15.7 (  99528558)         Bench",
                  "    00001234  [Error (25): Is someone else connected to this device?]",
                  "    2181F0EE  04       C2      Oriel          1.10.1193046 (      4711)        [198.18.0.5]       Lab rack",
              }));

    const Lines otherHeader = {
        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name"};
    for (linkType type : {linkType(TCPIP), linkType(0), linkType(SERIAL)}) {
        d.info.clear();
        PrintDeviceList(d, devices, type);
        ASSERT_EQ(d.info.size(), 5u);
        EXPECT_EQ(d.info[0], type == TCPIP ? "Discovered Devices: (TCPIP)" : "Discovered Devices: (Unknown)");
        EXPECT_EQ(d.info[1], otherHeader[0]);
    }

    d.info.clear();
    PrintDeviceList(d, {}, TCPIP);
    EXPECT_EQ(d.info, (Lines{"Discovered Devices: (TCPIP)", "    No devices found."}));
    EXPECT_TRUE(d.errors.empty());
}

} // namespace
