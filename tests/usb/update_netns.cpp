// -U over the simulated USB bus: the real Updater installs a BIRD file into a
// module that leaves the bus when its loader starts and when it reboots and
// comes back as a new device, as hardware does; into one that stays on the
// bus; and into a module behind a router reached over USB. The simulated
// flash must equal the file's image with the serial number patched in.
// Inside a private network namespace: a direct -U that finds no USB module
// goes on to the network search.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/TestImages.h"
#include "support/UsbBusRunner.h"
#include "support/ProgramRunner.h"
#include "updater/UpdateFixtures.h"

using namespace updtest;

namespace {

const uint32_t DEVICE = 0x40F5849A;
const uint32_t ROUTER = 0xD272031D;
const uint32_t BEHIND = 0x2181F0EE;
const size_t IMAGE_SIZE = 3000;
const uint32_t SERIAL_OFFSET = 0x100;
const uint32_t DESCRIPTOR_OFFSET = 0x120;

Bytes Image()
{
    return VectorImage(IMAGE_SIZE, 23);
}

std::string Installed(uint32_t serial)
{
    return testimages::SerialPatched(Image(), serial, SERIAL_OFFSET, DESCRIPTOR_OFFSET);
}

std::string WriteBird(const UsbBusRunner& bus)
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, Pattern(120, 5));
    writer.AddFirmware(0, Image());
    writer.AddSerialOffsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET);
    writer.AddInfo(2000, "2.16.0", 0, "Pilgrim");
    const std::string path = bus.Folder() + "/new.bird";
    EXPECT_EQ(writer.Write(path), aErrNone);
    return path;
}

size_t Count(const std::vector<std::string>& lines, const std::string& start)
{
    return size_t(std::count_if(lines.begin(), lines.end(),
        [&](const std::string& l) { return l.compare(0, start.size(), start) == 0; }));
}

// The device nodes a module was plugged in at, in order.
std::vector<std::string> Nodes(const std::vector<std::string>& events, const std::string& serial)
{
    std::vector<std::string> nodes;
    const std::string start = "plug module " + serial + " ";
    for (const std::string& e : events)
        if (e.compare(0, start.size(), start) == 0)
            nodes.push_back(e.substr(start.size()));
    return nodes;
}

} // namespace

TEST(UsbUpdate, ModuleThatReEnumeratesIsFoundAgainAndInstalled)
{
    // -m 1 sends the image as UEI bytes, -m 0 as plain DATA pieces.
    for (const char* mode : {"1", "0"}) {
        SCOPED_TRACE(std::string("-m ") + mode);
        UsbBusRunner bus;
        bus.Module("serial=40F5849A,model=13,block=512,newversion=2.16.0,newbuild=2000");
        RunResult r = bus.RunUpdater({"-U", "-d", "40F5849A", "-f", WriteBird(bus), "-m", mode});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_TRUE(Contains(r.out, "Transferred 1 blocks, 3004 total bytes\n")) << r.out;

        SimMemoryImage mem = bus.Flash(DEVICE);
        EXPECT_EQ(mem.Read("flash", 0, IMAGE_SIZE), Installed(DEVICE));
        EXPECT_EQ(mem.Read("loader", 0x20000000, 120), Str(Pattern(120, 5)));
        EXPECT_EQ(mem.reboots, 1u);
        EXPECT_EQ(mem.build, 2000u);

        // It left the bus after LOAD and after REBOOT, and came back each
        // time with a new device number.
        std::vector<std::string> events = bus.Events();
        EXPECT_EQ(Count(events, "restart 40F5849A"), 2u);
        std::vector<std::string> nodes = Nodes(events, "40F5849A");
        ASSERT_EQ(nodes.size(), 3u);
        EXPECT_NE(nodes[0], nodes[1]);
        EXPECT_NE(nodes[1], nodes[2]);
        const std::string trace = bus.Trace();
        EXPECT_EQ(Contains(trace, " 5F 8A "), std::string(mode) == "1");
    }
}

TEST(UsbUpdate, ModuleThatStaysOnTheBusAfterLoad)
{
    UsbBusRunner bus;
    bus.Module("serial=40F5849A,model=13,load=keep,newversion=2.16.0,newbuild=2000");
    RunResult r = bus.RunUpdater({"-U", "-d", "40F5849A", "-f", WriteBird(bus)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(bus.Flash(DEVICE).Read("flash", 0, IMAGE_SIZE), Installed(DEVICE));
    // Only the reboot took it off the bus; the loader ran on the same link.
    std::vector<std::string> events = bus.Events();
    EXPECT_EQ(Count(events, "restart 40F5849A"), 1u);
    EXPECT_EQ(Nodes(events, "40F5849A").size(), 2u);
}

TEST(UsbUpdate, ModuleBehindARouterOnUsb)
{
    UsbBusRunner bus;
    bus.Module("serial=D272031D,model=17,name=Router",
        {"serial=2181F0EE,address=4,model=13,block=300,newversion=2.16.0,newbuild=2000"});
    RunResult r = bus.RunUpdater({"-U", "-d", "2181F0EE", "-r", "D272031D", "-f", WriteBird(bus)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    SimMemoryImage mem = bus.Flash(BEHIND);
    EXPECT_EQ(mem.Read("flash", 0, IMAGE_SIZE), Installed(BEHIND));
    EXPECT_EQ(mem.reboots, 1u);
    // The router stayed on the bus all along.
    EXPECT_EQ(Count(bus.Events(), "restart D272031D"), 0u);
    EXPECT_EQ(bus.Flash(ROUTER).reboots, 0u);
}
