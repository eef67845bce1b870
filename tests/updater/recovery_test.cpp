// -N and -U -t RECOVER end to end: the real Updater program against the
// simulated boot ROMs on pseudo-terminals and the simulated update server,
// with a store in a temporary folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "store/BirdWriter.h"
#include "store/DeviceLock.h"
#include "store/UpdaterStore.h"
#include "support/BootRomHarness.h"
#include "support/ProgramRunner.h"
#include "support/TestImages.h"
#include "support/UpdateServerHarness.h"

using namespace testimages;
using srvtest::TempDir;
using srvtest::WriteWholeFile;

namespace {

const uint32_t UID[4] = {0xDEADBEEF, 0x00000001, 0x80000000, 0x7FFFFFFF};
const char* const UID_OPTION = "DEADBEEF,1,80000000,7FFFFFFF";
const uint32_t DEVICE = 0x5A17C0DE;
const char* const BUILD = "5120";

class RecoveryCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        first = RandomBytes(10000, 1);
        second = RandomBytes(300, 2);
        BirdWriter w;
        w.AddInfo(5120, "3.1.4", DEVICE, "CVR-IO");
        w.AddFirmware(0x0, EncodeForChip(first, UID));
        w.AddFirmware(0x10000, EncodeForChip(second, UID));
        w.AddFirmware(0x20000, Bytes(4, 0)); // end marker: never written
        Bytes file = w.File();
        server.SetLatest(DEVICE, BUILD, "FW-R1");
        server.SetBuilds(DEVICE, std::string(BUILD) + ";3.1.4\n");
        server.AddBird(DEVICE, BUILD, AsString(file));
        server.AddFingerprint(UID, DEVICE, BUILD);
        ASSERT_TRUE(server.Start());
    }

    RunResult Run(std::vector<std::string> args, std::string url = "", std::function<void(pid_t)> watch = nullptr)
    {
        std::vector<std::string> argv = {UpdaterProgramPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"-u", url.empty() ? server.URL() : url, "-i", store.Path()});
        RunOptions options;
        options.timeoutMs = 120000;
        options.whileRunning = watch;
        RunResult result = RunProgram(argv, options);
        EXPECT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    Bytes first, second;
    UpdateServerHarness server;
    TempDir store;
    BootRomHarness rom;
};

} // namespace

TEST_F(RecoveryCommands, FingerprintOfAnLpcInIspMode)
{
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", UID_OPTION}));
    RunResult r = Run({"-N", "-s", rom.PtyPath()});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(Contains(r.out, "[ DEADBEEF 00000001 80000000 7FFFFFFF ]")) << r.out;
    EXPECT_EQ(0u, rom.CountTrace("RUN")) << "identification leaves the chip in its ROM";

    // The chip is still synchronised from the first run: a second run finds
    // it ready for commands instead of waiting for "Synchronized".
    RunResult again = Run({"-N", "-s", rom.PtyPath()});
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_TRUE(Contains(again.out, "[ DEADBEEF 00000001 80000000 7FFFFFFF ]")) << again.out;
    EXPECT_EQ(1u, rom.CountTrace("AUTOBAUD"));

    RunResult missing = Run({"-N"});
    EXPECT_EQ(1, missing.status);
    EXPECT_TRUE(Contains(missing.err, "Must specify the serial port used for connecting")) << missing.err;
}

TEST_F(RecoveryCommands, FingerprintFailsWithoutAnAnsweringChip)
{
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--fault", "silent"}));
    RunResult r = Run({"-N", "-s", rom.PtyPath()}, UpdateServerHarness::DeadURL());
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Contains(r.err, "Got no response from chip")) << r.err;
    EXPECT_FALSE(Contains(r.out, "[ ")) << r.out;

    // A port that cannot carry the dialogue gets a line with the cause.
    RunResult noPort = Run({"-N", "-s", "/nonexistent/serial-port"}, UpdateServerHarness::DeadURL());
    EXPECT_EQ(1, noPort.status);
    EXPECT_TRUE(Contains(noPort.err, "Serial port /nonexistent/serial-port does not exist")) << noPort.err;
    EXPECT_TRUE(Contains(noPort.err, "Got no response from chip")) << noPort.err;
    RunResult notTerminal = Run({"-U", "-t", "RECOVER", "-s", "/dev/null"}, UpdateServerHarness::DeadURL());
    EXPECT_EQ(1, notTerminal.status);
    EXPECT_TRUE(Contains(notTerminal.err, "/dev/null is not a serial port (not a terminal)")) << notTerminal.err;
    EXPECT_TRUE(Contains(notTerminal.err, "Could not get Device Identifier")) << notTerminal.err;
}

TEST_F(RecoveryCommands, APortThatMayNotBeOpenedNamesTheDialoutGroup)
{
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", UID_OPTION}));
    ASSERT_EQ(0, chmod(rom.PtyPath().c_str(), 0));
    // The superuser opens anything: the run drops to an ordinary user.
    std::vector<std::string> argv;
    if (geteuid() == 0) {
        ASSERT_EQ(0, chmod(store.Path().c_str(), 0777));
        argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        std::vector<std::string> probe = argv;
        probe.push_back(UpdaterProgramPath());
        if (RunProgram(probe, RunOptions()).status != 0)
            GTEST_SKIP() << "an ordinary user cannot run " << UpdaterProgramPath() << " from this folder";
    }
    argv.insert(argv.end(), {UpdaterProgramPath(), "-N", "-s", rom.PtyPath()});
    argv.insert(argv.end(), {"-u", UpdateServerHarness::DeadURL(), "-i", store.Path()});
    RunOptions options;
    options.timeoutMs = 60000;
    RunResult r = RunProgram(argv, options);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Contains(r.err, "Permission denied on serial port " + rom.PtyPath() +
                                    ": add your user to the dialout group"))
        << r.err;
    EXPECT_TRUE(Contains(r.err, "Got no response from chip")) << r.err;
    EXPECT_EQ(0u, rom.CountTrace("AUTOBAUD"));
}

// On a line paced like a 115200-baud UART, as a real chip's.
TEST_F(RecoveryCommands, RecoversAnLpcThroughTheFingerprintMap)
{
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", UID_OPTION, "--baud", "115200"}));
    RunResult r = Run({"-U", "-t", "RECOVER", "-s", rom.PtyPath()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Transferring firmware block 1 of 2, 10000 bytes")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Transferring firmware block 2 of 2, 300 bytes")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Transferred 2 blocks, 10300 total bytes")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Rebooting Device")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Update time: ")) << r.out;

    std::string flash = rom.Flash();
    ASSERT_EQ(0x80000u, flash.size());
    EXPECT_EQ(AsString(first), flash.substr(0, first.size()));
    EXPECT_EQ(AsString(second), flash.substr(0x10000, second.size()));
    EXPECT_EQ(std::string(0x1000, '\xFF'), flash.substr(0x20000, 0x1000)) << "the end marker is not written";
    // Pieces of 4096, 4096 and 1808 bytes; the last copied as 4096; then the small block.
    EXPECT_EQ(1u, rom.CountTrace("COPY 0 268439552 4096"));
    EXPECT_EQ(1u, rom.CountTrace("COPY 4096 268439552 4096"));
    EXPECT_EQ(1u, rom.CountTrace("COPY 8192 268439552 4096"));
    EXPECT_EQ(1u, rom.CountTrace("COPY 65536 268439552 512"));
    EXPECT_EQ(1u, rom.CountTrace("ERASE 0 29"));
    EXPECT_EQ(1u, rom.CountTrace("RUN 0"));
    // The build came from the server into the device's folder.
    EXPECT_FALSE(srvtest::ReadWholeFile(store.Path() + "/updater/5A17C0DE/5120.bird").empty());

    // The stored file no longer matches what was downloaded: a second
    // recovery refuses it before the chip gets anything.
    const std::string settingsPath = store.Path() + "/updater/5A17C0DE/.settings";
    std::string settings = srvtest::ReadWholeFile(settingsPath);
    const size_t digest = settings.find("SHA256_5120.bird=");
    ASSERT_NE(std::string::npos, digest) << settings;
    settings[digest + 17] = settings[digest + 17] == '0' ? '1' : '0';
    ASSERT_TRUE(srvtest::WriteWholeFile(settingsPath, settings));
    rom.Stop(); // the chip runs its new firmware: back to its boot ROM
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", UID_OPTION, "--baud", "115200"}));
    RunResult changed = Run({"-U", "-t", "RECOVER", "-s", rom.PtyPath()});
    EXPECT_EQ(1, changed.status);
    EXPECT_TRUE(Contains(changed.err, "The stored file 5120.bird changed since it was downloaded; run -G again\n"))
        << changed.err;
    EXPECT_EQ(0u, rom.CountTrace("ERASE"));
    EXPECT_EQ(0u, rom.CountTrace("COPY"));
}

TEST_F(RecoveryCommands, RecoveryRidesOverAChecksumFailure)
{
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", UID_OPTION, "--fault", "badsum-once"}));
    RunResult r = Run({"-U", "-t", "RECOVER", "-s", rom.PtyPath()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ(1u, rom.CountTrace("SUM BAD"));
    std::string flash = rom.Flash();
    ASSERT_EQ(0x80000u, flash.size());
    EXPECT_EQ(AsString(first), flash.substr(0, first.size()));
}

TEST_F(RecoveryCommands, RecoveryFailuresAreReported)
{
    // A chip the server does not know.
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", "1,2,3,4"}));
    RunResult unknown = Run({"-U", "-t", "RECOVER", "-s", rom.PtyPath()});
    EXPECT_EQ(1, unknown.status);
    EXPECT_TRUE(Contains(unknown.err, "Failed to retrieve recovery information from Quorvane server")) << unknown.err;
    EXPECT_EQ(0u, rom.CountTrace("ERASE"));
    rom.Stop();

    // No chip answering at all.
    BootRomHarness silent;
    ASSERT_TRUE(silent.Start({"--kind", "isp", "--fault", "silent"}));
    RunResult none = Run({"-U", "-t", "RECOVER", "-s", silent.PtyPath()}, UpdateServerHarness::DeadURL());
    EXPECT_EQ(1, none.status);
    EXPECT_TRUE(Contains(none.err, "Could not get Device Identifier")) << none.err;
}

// While one recovery works through a port, a second recovery or an
// identification through the same port (under another name), and an update
// of the device being recovered, are refused before they touch anything:
// the first run's dialogue stays whole.
TEST_F(RecoveryCommands, OneRunAtATimePerPortAndPerDevice)
{
    // 48 KiB on a 115200-baud line: seconds of transfer to land in.
    const Bytes large = RandomBytes(48 * 1024, 8);
    BirdWriter w;
    w.AddInfo(5121, "3.1.5", DEVICE, "CVR-IO");
    w.AddFirmware(0x0, EncodeForChip(large, UID));
    const std::string path = store.Path() + "/large.bird";
    ASSERT_EQ(aErrNone, w.Write(path));
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", UID_OPTION, "--baud", "115200"}));
    const std::string alias = store.Path() + "/rom-port";
    ASSERT_EQ(0, symlink(rom.PtyPath().c_str(), alias.c_str()));

    std::vector<RunResult> others;
    auto second = [&](pid_t) {
        // Erasing: both locks are held and the flash is being written.
        if (!others.empty() || rom.CountTrace("ERASE") == 0)
            return;
        others.push_back(Run({"-U", "-t", "RECOVER", "-s", alias, "-d", "5A17C0DE", "-f", path}));
        others.push_back(Run({"-N", "-s", rom.PtyPath()}));
        others.push_back(Run({"-U", "-d", "5A17C0DE", "-f", path}));
    };
    RunResult first = Run({"-U", "-t", "RECOVER", "-s", rom.PtyPath(), "-d", "5A17C0DE", "-f", path}, "", second);
    ASSERT_EQ(3u, others.size()) << "the recovery ended before the second run could start";
    EXPECT_EQ(1, others[0].status);
    EXPECT_TRUE(Contains(others[0].err, "Device on port " + alias +
                                            " is busy: another Updater is working with it; try again when it is done"))
        << others[0].err;
    EXPECT_FALSE(Contains(others[0].err, "Could not get Device Identifier")) << others[0].err;
    EXPECT_EQ(1, others[1].status);
    EXPECT_TRUE(Contains(others[1].err, "Device on port " + rom.PtyPath() + " is busy")) << others[1].err;
    EXPECT_EQ(1, others[2].status);
    EXPECT_TRUE(Contains(others[2].err, "Device 5A17C0DE is busy: another Updater is working with it"))
        << others[2].err;

    ASSERT_EQ(0, first.status) << first.out << first.err;
    EXPECT_EQ(1u, rom.CountTrace("AUTOBAUD")) << "a second dialogue started";
    std::string flash = rom.Flash();
    ASSERT_EQ(0x80000u, flash.size());
    EXPECT_EQ(AsString(large), flash.substr(0, large.size()));
}

TEST_F(RecoveryCommands, FilesWithASerialNumberBlockAreRefused)
{
    BirdWriter w;
    w.AddInfo(77, "1.0.0", DEVICE, "CVR-IO");
    w.AddSerialOffsets(0x100, 0x200);
    w.AddFirmware(0, RandomBytes(512, 3));
    std::string path = store.Path() + "/personal.bird";
    ASSERT_EQ(aErrNone, w.Write(path));
    ASSERT_TRUE(rom.Start({"--kind", "isp", "--uid", UID_OPTION}));
    RunResult r = Run({"-U", "-t", "RECOVER", "-s", rom.PtyPath(), "-d", "5A17C0DE", "-f", path});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Contains(r.err, "Updater does not support offline recovery")) << r.err;
    EXPECT_EQ(0u, rom.CountTrace("ERASE"));
}

TEST_F(RecoveryCommands, ImxNeedsASerialNumberWithAGivenFile)
{
    ASSERT_TRUE(rom.Start({"--kind", "sdp"}));
    RunResult r = Run({"-U", "-t", "RECOVER", "-s", rom.PtyPath(), "-f", store.Path() + "/any.bird"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Contains(r.err, "Add serial number or remove the bird filename to use a default recovery image."))
        << r.err;
    EXPECT_TRUE(Contains(r.err, "Could not get Device Identifier")) << r.err;
}

// The i.MX path: the recovery loader for the placeholder serial number is
// downloaded, written through the serial download ROM and started; the
// started loader would answer on USB, which no test machine has, so the
// fingerprint fails after the connection attempts.
TEST_F(RecoveryCommands, ImxFingerprintStartsTheRecoveryLoader)
{
    Bytes code = RandomBytes(2500, 4), table = RandomBytes(64, 5);
    ServeRecoveryLoader(server, table, code);

    // Paced like a 115200-baud UART: 2500 bytes outlast the answer's time-out.
    ASSERT_TRUE(rom.Start({"--kind", "sdp", "--baud", "115200"}));
    RunResult r = Run({"-N", "-s", rom.PtyPath()});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Contains(r.err, "Got no response from chip")) << r.err;
    // The download ran muted.
    EXPECT_FALSE(Contains(r.out, "Retrieving")) << r.out;

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

// Every recovery loader answers on USB as the same placeholder module, so a
// second i.MX identification, from another serial port, waits its turn
// before it starts a loader that the first run could take for its own.
TEST_F(RecoveryCommands, ImxLoaderStartsOnlyWhileNoOtherRunUsesUsb)
{
    ServeRecoveryLoader(server, RandomBytes(64, 5), RandomBytes(500, 4));
    ASSERT_TRUE(rom.Start({"--kind", "sdp"}));
    UpdaterStore shared(store.Path() + "/updater");
    DeviceLock otherRun;
    ASSERT_EQ(aErrNone, otherRun.TryLock(shared.AddPort("USB")));

    RunResult r = Run({"-N", "-s", rom.PtyPath()});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Contains(r.err, "The recovery loader answers on USB, where another Updater is recovering a chip; "
                                "try again when it is done\n"))
        << r.err;
    std::vector<std::pair<uint32_t, std::string>> writes;
    bool jumped = false;
    uint32_t jump = 0;
    ASSERT_TRUE(rom.SdpState(writes, jumped, jump));
    EXPECT_TRUE(writes.empty());
    EXPECT_FALSE(jumped);
}

// Ctrl-C while the i.MX ROM takes the loader: the transfer ends between two
// pieces, the loader is neither completed nor started, and the line says
// what the chip needs before the next run.
TEST_F(RecoveryCommands, CtrlCDuringTheImxLoaderStopsBetweenPieces)
{
    // Larger than what the terminal buffers on its way to the chip (64 KiB),
    // so the transfer is still under way when the chip reads the command.
    Bytes code = RandomBytes(128 * 1024, 4), table = RandomBytes(64, 5);
    ServeRecoveryLoader(server, table, code);

    ASSERT_TRUE(rom.Start({"--kind", "sdp", "--baud", "115200"}));
    bool sent = false;
    auto interrupt = [&](pid_t pid) {
        if (!sent && rom.CountTrace("CMD 0404 20002000") > 0) {
            kill(pid, SIGINT);
            sent = true;
        }
    };
    RunResult r = Run({"-U", "-t", "RECOVER", "-s", rom.PtyPath()}, "", interrupt);
    ASSERT_TRUE(sent);
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Contains(r.err, "Recovery stopped: the chip is in its boot ROM; reset it and run the recovery again\n"))
        << r.err;
    EXPECT_FALSE(Contains(r.err, "Could not get Device Identifier")) << r.err;

    std::vector<std::pair<uint32_t, std::string>> writes;
    bool jumped = false;
    uint32_t jump = 0;
    ASSERT_TRUE(rom.SdpState(writes, jumped, jump));
    ASSERT_EQ(1u, writes.size()) << "the second file was completed";
    EXPECT_EQ(AsString(table), writes[0].second);
    EXPECT_FALSE(jumped);
}
