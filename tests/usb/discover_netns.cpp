// -D over the simulated USB bus: the real Updater lists the modules it finds
// through the real libusb, with the exact lines, and passes over what is no
// module (another vendor, a product id with the top bit set, a serial string
// of six characters, a device without the vendor interface). Inside a
// private network namespace, since a search that found nothing on USB would
// go on to the network.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "support/UsbBusRunner.h"

namespace {

std::string sUsbLine(uint32_t serial, int module, int router, const char* model, const char* version,
    unsigned build, const char* name)
{
    char line[256];
    std::snprintf(line, sizeof line, "    %08X  %02X       %02X      %-12s %s (%10u)         %s", serial, module,
        router, model, version, build, name);
    return line;
}

const char* const HEADER = "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";

} // namespace

TEST(UsbDiscover, ListsTheModulesAndPassesOverTheRest)
{
    UsbBusRunner bus;
    bus.Module("serial=40F5849A,model=13,name=Hub,version=2.15.3,build=1234");
    bus.Module("serial=0012ABCD,model=19,packet=64");
    // A device of another maker with a module's interface and serial string.
    bus.Device("vendor=0xFFFF,product=13,serial=11223344,interface=ff/88/10");
    // Ours, but a product id with the top bit set.
    bus.Device("vendor=0xCE57,product=0x8001,serial=22334455,interface=ff/88/10");
    // A module whose serial string has six characters.
    bus.Module("serial=0012ABCE,model=13,serialtext=12ABCE");
    // A module without the vendor interface.
    bus.Module("serial=33445566,model=13,interface=none");

    RunResult r = bus.RunUpdater({"-D"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out << r.err;
    EXPECT_EQ(lines[1], "Searching for Corvestel devices");
    EXPECT_EQ(lines[2], "Discovered Devices: (USB)");
    EXPECT_EQ(lines[3], HEADER);
    std::vector<std::string> devices(lines.begin() + 4, lines.end());
    std::sort(devices.begin(), devices.end());
    EXPECT_EQ(devices[0], sUsbLine(0x0012ABCD, 2, 2, "Saltire", "  2.15.0", 1000, ""));
    EXPECT_EQ(devices[1], sUsbLine(0x40F5849A, 2, 2, "Pilgrim", "  2.15.3", 1234, "Hub"));
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(UsbDiscover, ListsTheModulesBehindARouterOnUsb)
{
    UsbBusRunner bus;
    bus.Module("serial=D272031D,model=17,name=Router,address=4,router=4",
        {"serial=2181F0EE,address=10,model=19,version=1.2.3,build=77", "serial=77778888,address=6,model=13"});

    RunResult r = bus.RunUpdater({"-D", "-r", "D272031D"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out << r.err;
    EXPECT_EQ(lines[1], "Searching for Corvestel Network devices connected to D272031D");
    // The router's link type is looked up (USB here), so the list's is not known.
    EXPECT_EQ(lines[2], "Discovered Devices: (Unknown)");
    EXPECT_EQ(lines[3], "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name");
    EXPECT_EQ(lines[4], sUsbLine(0x77778888, 6, 4, "Pilgrim", "  2.15.0", 1000, ""));
    EXPECT_EQ(lines[5], sUsbLine(0x2181F0EE, 10, 4, "Saltire", "  1.2.3", 77, ""));
}
