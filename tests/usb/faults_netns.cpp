// Faults on the simulated USB bus, met by the real Updater: a module whose
// node this user may not open is named with the fix instead of being left
// out in silence; a module pulled out in the middle of the firmware gives a
// clear failure, and the next run installs it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "support/UsbBusRunner.h"
#include "support/ProgramRunner.h"
#include "updater/UpdateFixtures.h"

using namespace updtest;

namespace {

const uint32_t DEVICE = 0x40F5849A;
const size_t IMAGE_SIZE = 16384;

std::string WriteBird(const std::string& folder, uint32_t serial = DEVICE, const char* model = "Pilgrim")
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, Pattern(120, 5));
    writer.AddFirmware(0, VectorImage(IMAGE_SIZE, 41));
    writer.AddInfo(2000, "2.16.0", serial, model);
    const std::string path = folder + "/" + model + ".bird";
    EXPECT_EQ(writer.Write(path), aErrNone);
    chmod(path.c_str(), 0644);
    return path;
}

// The node the module was plugged in at first ("plug module SERIAL NODE").
std::string FirstNode(const std::vector<std::string>& events, const std::string& serial)
{
    const std::string start = "plug module " + serial + " ";
    for (const std::string& e : events)
        if (e.compare(0, start.size(), start) == 0)
            return e.substr(start.size());
    return "";
}

TEST(UsbFaults, ModuleTheUserMayNotOpenIsNamedWithTheFix)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the run as another user needs the superuser";
    UsbBusRunner bus;
    bus.Module("serial=40F5849A,model=13,mode=0600");
    // Away for 2.5 s when its loader starts.
    bus.Module("serial=6A3C0012,model=19,reenum=2500,newversion=2.16.0,newbuild=2000");
    bus.Option("--user", "65534");
    ASSERT_EQ(0, chmod(bus.Folder().c_str(), 0777));
    const std::string store = bus.Folder() + "/store";
    const std::string bird = WriteBird(bus.Folder());

    RunResult listed = bus.RunUpdater({"-D", "-i", store});
    const std::string node = FirstNode(bus.Events(), "40F5849A");
    ASSERT_FALSE(node.empty());
    const std::string line = "Permission denied on " + node +
        " (a Corvestel module, USB CE57): install the udev rules 70-corvestel.rules or add your user to the "
        "plugdev group, then plug the module in again\n";
    EXPECT_EQ(listed.status, 1);
    EXPECT_TRUE(Contains(listed.out, "6A3C0012")) << listed.out;
    EXPECT_FALSE(Contains(listed.out, "40F5849A")) << listed.out;
    EXPECT_TRUE(Contains(listed.err, line)) << listed.err;

    RunResult update = bus.RunUpdater({"-U", "-d", "40F5849A", "-f", bird, "-i", store});
    EXPECT_EQ(update.status, 1);
    EXPECT_TRUE(Contains(update.err, line)) << update.err;
    EXPECT_TRUE(Contains(update.err, "Failed to connect to module [40F5849A]")) << update.err;
    EXPECT_EQ(bus.Flash(DEVICE).reboots, 0u);

    // The module refused all along is not taken for the other one coming
    // back after its loader started: that update waits for it and installs.
    RunResult other = bus.RunUpdater({"-U", "-d", "6A3C0012", "-f", WriteBird(bus.Folder(), 0x6A3C0012, "Saltire"),
                                      "-i", store});
    EXPECT_EQ(other.status, 0) << other.out << other.err;
    EXPECT_TRUE(Contains(other.out, "Module [6A3C0012] now runs version 2.16.0, build 2000")) << other.out;
}

// The module opens for this user until its loader starts; the node it comes
// back with does not (a udev rule that matches the module's product but not
// its loader's, say). The reconnection names the new node and gives up
// instead of searching for fifteen seconds.
TEST(UsbFaults, ALoaderNodeTheUserMayNotOpenIsNamedWithTheFix)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the run as another user needs the superuser";
    UsbBusRunner bus;
    bus.Module("serial=40F5849A,model=13,restartmode=0600");
    bus.Option("--user", "65534");
    ASSERT_EQ(0, chmod(bus.Folder().c_str(), 0777));
    const std::string bird = WriteBird(bus.Folder());

    RunResult update = bus.RunUpdater({"-U", "-d", "40F5849A", "-f", bird, "-i", bus.Folder() + "/store"});
    EXPECT_EQ(update.status, 1);
    std::vector<std::string> events = bus.Events();
    std::vector<std::string> plugs;
    for (const std::string& e : events)
        if (e.compare(0, 21, "plug module 40F5849A ") == 0)
            plugs.push_back(e.substr(21));
    ASSERT_EQ(plugs.size(), 2u) << update.err;
    EXPECT_TRUE(Contains(update.err, "Permission denied on " + plugs[1] + " (a Corvestel module, USB CE57)"))
        << update.err;
    EXPECT_FALSE(Contains(update.err, plugs[0])) << update.err;
    EXPECT_TRUE(Contains(update.err, "Firmware update failed")) << update.err;
    EXPECT_EQ(bus.Flash(DEVICE).reboots, 0u);
}

// A program on the library hears why it cannot reach a module whose node
// it may not open: the connection answers with the permission error, not
// with "not found", while a module it may open still answers.
TEST(UsbFaults, AConnectionToANodeTheUserMayNotOpenIsAPermissionError)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the run as another user needs the superuser";
    UsbBusRunner bus;
    bus.Module("serial=40F5849A,model=13,mode=0600");
    bus.Module("serial=6A3C0012,model=19");
    bus.Option("--user", "65534");
    const std::string identify = std::string(TEST_BINARY_DIR) + "/examples/identify";

    RunResult refused = bus.Run({identify, "USB", "40F5849A"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "cannot reach 40F5849A over USB: aErrPermission")) << refused.err;
    RunResult reached = bus.Run({identify, "USB", "6A3C0012"});
    EXPECT_EQ(reached.status, 0) << reached.err;
    EXPECT_TRUE(Contains(reached.out, "serial   6A3C0012")) << reached.out;
}

TEST(UsbFaults, UnplugDuringTheFirmwareFailsClearlyAndTheNextRunInstalls)
{
    UsbBusRunner bus;
    // Gone after 6000 bytes since it came back with its loader running (in
    // the middle of the firmware), back on the bus 1.5 s later.
    bus.Module("serial=40F5849A,model=13,newversion=2.16.0,newbuild=2000,unplug=6000,replug=1500");
    const std::string bird = WriteBird(bus.Folder());
    auto quoted = [](const std::vector<std::string>& words) {
        std::string line;
        for (const std::string& w : words)
            line += "'" + w + "' ";
        return line;
    };
    const std::string update = quoted(bus.UpdaterCommand({"-U", "-d", "40F5849A", "-f", bird}));
    const std::string list = quoted(bus.UpdaterCommand({"-D"}));
    // The second run starts once the module is listed again, at most 30 s
    // after the first ended: a count of listings would end sooner on a fast
    // machine than the module's replug delay.
    const std::string script = update + "; echo \"first=$?\"; end=$(($(date +%s) + 30)); " +
        "until " + list + " 2>/dev/null | grep -q 40F5849A; do [ $(date +%s) -lt $end ] || break; done; " +
        update + "; echo \"second=$?\"";
    RunResult r = bus.Run({"/bin/sh", "-c", script}, 180000);
    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "first=1\n")) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, "Firmware update failed")) << r.err;
    EXPECT_TRUE(Contains(r.out, "second=0\n")) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Module [40F5849A] now runs version 2.16.0, build 2000")) << r.out;
    std::vector<std::string> events = bus.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "pulled 40F5849A"), 1);
    SimMemoryImage mem = bus.Flash(DEVICE);
    EXPECT_TRUE(mem.Read("flash", 0, IMAGE_SIZE) == Str(VectorImage(IMAGE_SIZE, 41))) << "flash differs from the image";
    EXPECT_EQ(mem.build, 2000u);
}

} // namespace
