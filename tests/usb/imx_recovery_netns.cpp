// The i.MX path end to end on the simulated USB bus: the real Updater finds
// the boot ROM as the HID device 1FC9:0130 (through hidapi's hidraw backend)
// or on a serial line paced like a 115200-baud UART, writes the recovery
// loader over the serial download protocol and jumps to it; the loader then
// comes onto the bus as a module with the placeholder serial number DEADDEAD,
// reports the chip's identifier words and takes the firmware through the
// loader dialogue. Inside a private network namespace, since a search that
// finds nothing on USB would go on to the network.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "store/BirdWriter.h"
#include "support/BootRomHarness.h"
#include "support/TestImages.h"
#include "support/UpdateServerHarness.h"
#include "support/UsbBusRunner.h"
#include "support/ProgramRunner.h"

using namespace testimages;

namespace {

// What the loader reports by sub-index of the identifier option, and the
// fingerprint that makes of it: the first word read is the last one.
const char* const LOADER_UID = "uid=11111111:22222222:33333333:44444444";
const uint32_t FINGERPRINT[4] = {0x44444444, 0x33333333, 0x22222222, 0x11111111};
const char* const FINGERPRINT_LINE = "[ 44444444 33333333 22222222 11111111 ]";
const uint32_t DEVICE = 0x5A17C0DE;

class ImxRecovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The recovery loader the server keeps for the placeholder serial number.
        code = RandomBytes(2500, 4);
        table = RandomBytes(64, 5);
        ServeRecoveryLoader(server, table, code);
        // The firmware that belongs to the chip.
        first = RandomBytes(3000, 6);
        second = RandomBytes(700, 7);
        BirdWriter firmware;
        firmware.AddInfo(5120, "3.1.4", DEVICE, "CVR-IO");
        firmware.AddFirmware(0x60002000, first);
        firmware.AddFirmware(0x60010000, second);
        server.SetLatest(DEVICE, "5120", "FW-R1");
        server.SetBuilds(DEVICE, "5120;3.1.4\n");
        server.AddBird(DEVICE, "5120", AsString(firmware.File()));
        server.AddFingerprint(FINGERPRINT, DEVICE, "5120");
        ASSERT_TRUE(server.Start());
        bus.Module(std::string("serial=DEADDEAD,model=13,plugged=0,") + LOADER_UID);
    }

    // The loader landed where the file says and the ROM jumped to it.
    void ExpectLoaderStarted()
    {
        std::vector<std::pair<uint32_t, std::string>> writes;
        bool jumped = false;
        uint32_t jump = 0;
        ASSERT_TRUE(rom.SdpState(writes, jumped, jump));
        ASSERT_EQ(2u, writes.size());
        EXPECT_EQ(0x20000000u, writes[0].first);
        EXPECT_EQ(AsString(table), writes[0].second);
        EXPECT_EQ(0x20002000u, writes[1].first);
        EXPECT_EQ(AsString(code), writes[1].second);
        EXPECT_TRUE(jumped);
        EXPECT_EQ(0x20002000u, jump);
    }

    void ExpectFirmwareInFlash(const RunResult& r)
    {
        EXPECT_TRUE(Contains(r.out, "Transferring firmware block 1 of 2, 3004 bytes")) << r.out;
        EXPECT_TRUE(Contains(r.out, "Transferring firmware block 2 of 2, 704 bytes")) << r.out;
        SimMemoryImage flash = bus.Flash(0xDEADDEAD);
        ASSERT_TRUE(flash.valid);
        EXPECT_EQ(AsString(first), flash.Read("flash", 0x60002000, first.size()));
        EXPECT_EQ(AsString(second), flash.Read("flash", 0x60010000, second.size()));
        EXPECT_EQ(1u, flash.reboots);
    }

    std::string Events() const
    {
        std::string all;
        for (const std::string& line : bus.Events())
            all += line + "\n";
        return all;
    }

    // A recovery file as a user has it: the loader, its start and the
    // chip's firmware in one file, for -f with the device's serial number.
    std::string WriteRecoveryFile() const
    {
        BirdWriter file;
        file.AddInfo(5120, "3.1.4", DEVICE, "CVR-IO");
        file.AddLoader(LOADER_TABLE_ADDRESS, table);
        file.AddLoader(LOADER_CODE_ADDRESS, code);
        file.AddEntryAddress(LOADER_CODE_ADDRESS);
        file.AddFirmware(0x60002000, first);
        file.AddFirmware(0x60010000, second);
        std::string path = bus.Folder() + "/recovery.bird";
        EXPECT_EQ(aErrNone, file.Write(path));
        return path;
    }

    // -U -t RECOVER -f FILE -d SERIAL through the ROM on USB or on its
    // serial line: the fingerprint comes from the loader answering as
    // DEADDEAD, and so does the firmware transfer.
    void RecoverFromFile(bool hid)
    {
        ASSERT_TRUE(hid ? rom.Start({"--kind", "sdp", "--hid"}) : rom.Start({"--kind", "sdp", "--baud", "115200"}));
        bus.Option("--imxrom", RomKeys(hid));
        const std::string file = WriteRecoveryFile();
        RunResult r = bus.RunUpdater({"-U", "-t", "RECOVER", "-s", hid ? "USB" : rom.PtyPath(), "-f", file, "-d",
                                      "5A17C0DE", "-u", server.URL(), "-i", bus.Store()});
        ASSERT_EQ(0, r.status) << r.out << r.err;
        EXPECT_FALSE(Contains(r.err, "Could not get Device Identifier")) << r.err;
        ExpectLoaderStarted();
        ExpectFirmwareInFlash(r);
    }

    std::string RomKeys(bool hid) const
    {
        std::string keys = "trace=" + rom.Folder() + "/trace.txt";
        if (hid)
            keys += ",pty=" + rom.PtyPath();
        return keys;
    }

    Bytes code, table, first, second;
    UpdateServerHarness server;
    BootRomHarness rom;
    UsbBusRunner bus;
};

} // namespace

TEST_F(ImxRecovery, FingerprintOverUsbIsWhatTheLoaderReports)
{
    ASSERT_TRUE(rom.Start({"--kind", "sdp", "--hid"}));
    bus.Option("--imxrom", RomKeys(true));
    RunResult r = bus.RunUpdater({"-N", "-s", "USB", "-u", server.URL(), "-i", bus.Store()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, FINGERPRINT_LINE)) << r.out;
    EXPECT_TRUE(Contains(Events(), "jump imxrom 20002000")) << Events();
    EXPECT_TRUE(Contains(Events(), "plug module DEADDEAD")) << Events();
    EXPECT_TRUE(Contains(bus.Trace(), "reset requested")) << "the loader is reset after the fingerprint";
    ExpectLoaderStarted();
    EXPECT_EQ(0u, rom.CountTrace("ASSOCIATED")) << "no association on USB";
}

TEST_F(ImxRecovery, RecoveryOverUsb)
{
    ASSERT_TRUE(rom.Start({"--kind", "sdp", "--hid"}));
    bus.Option("--imxrom", RomKeys(true));
    RunResult r = bus.RunUpdater({"-U", "-t", "RECOVER", "-s", "USB", "-u", server.URL(), "-i", bus.Store()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    ExpectLoaderStarted();
    ExpectFirmwareInFlash(r);
}

TEST_F(ImxRecovery, RecoveryOverAPacedSerialLine)
{
    ASSERT_TRUE(rom.Start({"--kind", "sdp", "--baud", "115200"}));
    bus.Option("--imxrom", RomKeys(false));
    RunResult r = bus.RunUpdater({"-U", "-t", "RECOVER", "-s", rom.PtyPath(), "-u", server.URL(), "-i", bus.Store()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    ExpectLoaderStarted();
    ExpectFirmwareInFlash(r);
    EXPECT_EQ(1u, rom.CountTrace("ASSOCIATED"));
}

// A ROM that is not on the bus, and one whose node an ordinary user may not
// open: each gets a line with the cause before the chip's silence.
TEST_F(ImxRecovery, AHidRomThatCannotBeReachedIsNamed)
{
    RunResult none = bus.RunUpdater({"-N", "-s", "USB", "-u", server.URL(), "-i", bus.Store()});
    EXPECT_EQ(1, none.status);
    EXPECT_TRUE(Contains(none.err, "No i.MX boot ROM (USB 1FC9:0130) found")) << none.err;
    EXPECT_TRUE(Contains(none.err, "Got no response from chip")) << none.err;

    if (geteuid() != 0)
        GTEST_SKIP() << "the run as another user needs the superuser";
    ASSERT_TRUE(rom.Start({"--kind", "sdp", "--hid"}));
    UsbBusRunner guarded;
    guarded.Option("--imxrom", RomKeys(true) + ",mode=0600");
    guarded.Option("--user", "65534");
    ASSERT_EQ(0, chmod(guarded.Folder().c_str(), 0777));
    RunResult denied = guarded.RunUpdater({"-N", "-s", "USB", "-u", server.URL(), "-i", guarded.Folder() + "/store"});
    EXPECT_EQ(1, denied.status);
    EXPECT_TRUE(Contains(denied.err, "Permission denied on /dev/hidraw0 (the i.MX boot ROM, USB 1FC9:0130)"))
        << denied.out << denied.err;
    EXPECT_EQ(0u, rom.CountTrace("CMD ")) << "nothing reached the ROM";
}

// Recovery from a local file names the device; the freshly started loader
// still answers as DEADDEAD, for the fingerprint and for the firmware.
TEST_F(ImxRecovery, RecoveryFromAFileWithTheSerialNumberOverUsb)
{
    RecoverFromFile(true);
}

TEST_F(ImxRecovery, RecoveryFromAFileWithTheSerialNumberOverAPacedSerialLine)
{
    RecoverFromFile(false);
    EXPECT_EQ(1u, rom.CountTrace("ASSOCIATED"));
}

// A chip whose security is closed takes the loader but will not run it: the
// run ends at once with the cause, and the ROM hears nothing after the jump.
TEST_F(ImxRecovery, AClosedChipThatRefusesTheLoaderIsNamed)
{
    for (bool hid : {true, false}) {
        SCOPED_TRACE(hid ? "USB" : "serial line");
        BootRomHarness closed;
        ASSERT_TRUE(hid ? closed.Start({"--kind", "sdp", "--hid", "--hab", "closed"})
                        : closed.Start({"--kind", "sdp", "--hab", "closed", "--baud", "115200"}));
        UsbBusRunner closedBus;
        std::string keys = "trace=" + closed.Folder() + "/trace.txt";
        if (hid)
            keys += ",pty=" + closed.PtyPath();
        closedBus.Option("--imxrom", keys);
        closedBus.Module(std::string("serial=DEADDEAD,model=13,plugged=0,") + LOADER_UID);

        typedef std::chrono::steady_clock Clock;
        Clock::time_point refused{};
        RunOptions options;
        options.environment = {"HOME=" + closedBus.Store()};
        options.timeoutMs = 120000;
        options.whileRunning = [&](pid_t) {
            if (refused == Clock::time_point{} && closed.CountTrace("REFUSED JUMP") > 0)
                refused = Clock::now();
        };
        RunResult r = RunProgram(closedBus.Argv(closedBus.UpdaterCommand(
                                     {"-U", "-t", "RECOVER", "-s", hid ? "USB" : closed.PtyPath(), "-u", server.URL(),
                                      "-i", closedBus.Store()})),
                                 options);
        const Clock::time_point ended = Clock::now();
        EXPECT_EQ(1, r.status) << r.out << r.err;
        EXPECT_TRUE(Contains(r.err, "The chip's security is closed: it runs only signed images, and this recovery "
                                    "loader is not signed for it"))
            << r.err;
        ASSERT_NE(Clock::time_point{}, refused) << "the ROM refused the jump";
        // Looking for a loader that never starts took 15 s; the refusal is
        // read from the ROM's answer instead.
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - refused).count(), 5000);

        std::vector<std::string> trace = closed.Trace();
        size_t at = 0;
        while (at < trace.size() && trace[at].find("REFUSED JUMP 20002000") == std::string::npos)
            ++at;
        ASSERT_LT(at, trace.size());
        for (size_t i = at + 1; i < trace.size(); ++i)
            EXPECT_NE(0u, trace[i].find("rx")) << "sent after the jump: " << trace[i];
        std::string events;
        for (const std::string& line : closedBus.Events())
            events += line + "\n";
        EXPECT_FALSE(Contains(events, "plug module DEADDEAD")) << events;
    }
}
