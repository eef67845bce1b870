// -U end to end inside a private network namespace: the Updater program
// finds simulated modules by the network search, installs BIRD files from
// the command line, the store or a preceding -G, directly and through a
// router, and the simulated flash is compared byte for byte with the file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/RecordingDisplay.h"
#include "support/ProgramRunner.h"
#include "support/SimHarness.h"
#include "support/TestImages.h"
#include "support/UpdateServerHarness.h"
#include "updater/Updater.h"
#include "UpdateFixtures.h"

using namespace updtest;
using srvtest::ReadWholeFile;
using srvtest::TempDir;
using srvtest::WriteWholeFile;

namespace {

const uint32_t DEVICE = 0x40F5849A;
const uint32_t ROUTER = 0xD272031D;
const uint32_t BEHIND = 0x2181F0EE;
const char* const IFADDR = SimHarness::NETNS_ADDRESS;

const size_t IMAGE_SIZE = 1500;
const uint32_t SERIAL_OFFSET = 0x100;
const uint32_t DESCRIPTOR_OFFSET = 0x120;

// The firmware image of the test files (vector table summed) and what the
// module must hold after an update of the module with that serial number.
Bytes Image()
{
    return VectorImage(IMAGE_SIZE, 11);
}

std::string Installed(uint32_t serial)
{
    return testimages::SerialPatched(Image(), serial, SERIAL_OFFSET, DESCRIPTOR_OFFSET);
}

Bytes Loader()
{
    return Pattern(90, 5);
}

// A BIRD file like the server's: loader, firmware at 0, serial offsets, info.
BirdWriter Bird(const std::string& model, uint32_t build = 2000, const std::string& version = "2.16.0")
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, Loader());
    writer.AddFirmware(0, Image());
    writer.AddSerialOffsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET);
    writer.AddInfo(build, version, 0, model);
    return writer;
}

class Update : public ::testing::Test {
protected:
    void StartSim(const std::vector<std::string>& modules)
    {
        std::vector<std::string> options{"--bind", IFADDR, "--discovery", IFADDR};
        options.insert(options.end(), modules.begin(), modules.end());
        ASSERT_TRUE(sim.Start(options)) << sim.Stderr();
    }

    void StartDevice(const std::string& keys = "")
    {
        StartSim({"--module", "serial=40F5849A,model=13,block=512,newversion=2.16.0,newbuild=2000" + keys});
    }

    RunResult Run(const std::vector<std::string>& words, const std::string& url = "")
    {
        std::vector<std::string> argv{UpdaterProgramPath()};
        argv.insert(argv.end(), words.begin(), words.end());
        argv.insert(argv.end(), {"-u", url.empty() ? UpdateServerHarness::DeadURL() : url, "-i", store.Path()});
        RunOptions options;
        options.environment = {"HOME=" + store.Path()};
        options.timeoutMs = 180000;
        RunResult r = RunProgram(argv, options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        return r;
    }

    std::string Folder(uint32_t serial) const
    {
        return store.Path() + "/updater/" + UpdateServerHarness::Hex(serial);
    }
    void MakeFolder(uint32_t serial) const
    {
        ::mkdir((store.Path() + "/updater").c_str(), 0755);
        ::mkdir(Folder(serial).c_str(), 0755);
    }
    std::string Settings(uint32_t serial) const { return ReadWholeFile(Folder(serial) + "/.settings"); }
    std::string WriteBird(const BirdWriter& writer, const std::string& name = "new.bird")
    {
        const std::string path = files.Path() + "/" + name;
        EXPECT_EQ(writer.Write(path), aErrNone);
        return path;
    }

    SimHarness sim;
    TempDir store;
    TempDir files;
};

} // namespace

TEST_F(Update, FileFromTheCommandLineIsInstalledAndRecorded)
{
    StartDevice();
    MakeFolder(DEVICE);
    const std::string path = WriteBird(Bird("Pilgrim"));
    RunResult r = Run({"-U", "-d", "40F5849A", "-f", path, "-X", "0x400"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Updating from Birdfile: " + path + "\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Module [40F5849A] now runs version 2.16.0, build 2000\n")) << r.out;
    // The module's reboot closed the connection, which the stream opened
    // again at once: the reboot wait ended there, not after all its passes.
    size_t waits = 0;
    for (size_t at = r.err.find("Waiting for link to drop."); at != std::string::npos;
         at = r.err.find("Waiting for link to drop.", at + 1))
        ++waits;
    EXPECT_LT(waits, 20u) << r.err;
    EXPECT_TRUE(Contains(r.out, "Transferring loader block 1 of 1, 94 bytes\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Transferred 1 blocks, 1504 total bytes\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Update time: ")) << r.out;

    SimMemoryImage mem = sim.Flash(DEVICE);
    const std::string flash = mem.Read("flash", 0, IMAGE_SIZE);
    EXPECT_EQ(flash, Installed(DEVICE));
    EXPECT_EQ(mem.Size("flash"), IMAGE_SIZE);
    EXPECT_TRUE(VectorChecksumHolds(flash));
    EXPECT_EQ(mem.Read("loader", 0x20000000, 90), Str(Loader()));
    EXPECT_EQ(mem.reboots, 1u);

    const std::string settings = Settings(DEVICE);
    EXPECT_TRUE(Contains(settings, "LATEST_TRANSFER=" + path + "\n")) << settings;
    EXPECT_TRUE(Contains(settings, "LAST_TRANSFER_DATE=")) << settings;

    // The module answers with its new firmware's version and build.
    RunResult listed = Run({"-D", "-t", "TCPIP"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_TRUE(Contains(listed.out, "2.16.0 (      2000)")) << listed.out;
}

TEST_F(Update, LatestDownloadInTheStoreIsUsedWithoutAServer)
{
    StartDevice();
    MakeFolder(DEVICE);
    ASSERT_EQ(Bird("Pilgrim", 4711).Write(Folder(DEVICE) + "/4711.bird"), aErrNone);
    ASSERT_TRUE(WriteWholeFile(Folder(DEVICE) + "/.settings", "LATEST_DOWNLOAD=4711.bird\n"));
    ASSERT_EQ(sim.Command("set 40F5849A newbuild=4711"), "OK set");
    // -m 0: plain DATA packets instead of UEI bytes.
    RunResult r = Run({"-U", "-d", "40F5849A", "-m", "0"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Updating with the Latest Download\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Updating firmware with build: 4711\n")) << r.out;
    EXPECT_EQ(sim.Flash(DEVICE).Read("flash", 0, IMAGE_SIZE), Installed(DEVICE));
    EXPECT_GT(sim.CountTrace(" 1C 5F 01 "), 0u);
    EXPECT_EQ(sim.CountTrace(" 5F 8A "), 0u);
    const std::string settings = Settings(DEVICE);
    EXPECT_TRUE(Contains(settings, "LATEST_TRANSFER=4711.bird\n")) << settings;
    EXPECT_TRUE(Contains(settings, "LAST_TRANSFER_DATE=")) << settings;

    // By default the image goes as UEI bytes; a wrong sum once for a
    // firmware block is retried (this file has no loader, whose sum would
    // come first).
    BirdWriter firmwareOnly;
    firmwareOnly.AddFirmware(0, Image());
    firmwareOnly.AddSerialOffsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET);
    firmwareOnly.AddInfo(4712, "2.16.0", 0, "Pilgrim");
    ASSERT_EQ(sim.Command("fault 40F5849A badsum"), "OK fault");
    ASSERT_EQ(sim.Command("set 40F5849A newbuild=4712"), "OK set");
    RunResult again = Run({"-U", "-d", "40F5849A", "-f", WriteBird(firmwareOnly)});
    ASSERT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_TRUE(Contains(again.out, "  Retry 1\n")) << again.out;
    EXPECT_GT(sim.CountTrace(" 5F 8A "), 0u);
    EXPECT_EQ(sim.Flash(DEVICE).reboots, 2u);
}

TEST_F(Update, NothingToInstallOrAFileNotStored)
{
    StartDevice();
    RunResult none = Run({"-U", "-d", "40F5849A"});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(Contains(none.err, "Could not find valid build for this device.\n")) << none.err;

    RunResult missing = Run({"-U", "-d", "40F5849A", "-b", "4711"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Contains(missing.err, "Failed to load bird file\n")) << missing.err;
    EXPECT_EQ(sim.Flash(DEVICE).Size("flash"), 0u);
}

TEST_F(Update, WrongModelIsRefusedUnlessOverridden)
{
    StartDevice();
    const std::string path = WriteBird(Bird("Saltire"));
    RunResult r = Run({"-U", "-d", "40F5849A", "-f", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Connected device model and Bird file model do not match [Pilgrim] (0)\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Birdfile failed validation\n")) << r.err;
    EXPECT_EQ(sim.CountTrace(" 5F 00"), 0u); // the loader was never asked
    EXPECT_EQ(sim.Flash(DEVICE).Size("flash"), 0u);

    RunResult forced = Run({"-U", "-d", "40F5849A", "-f", path, "-OVERRIDE"});
    ASSERT_EQ(forced.status, 0) << forced.out << forced.err;
    EXPECT_EQ(sim.Flash(DEVICE).Read("flash", 0, IMAGE_SIZE), Installed(DEVICE));
}

TEST_F(Update, SilentLoaderFailsWithAnErrorInBoundedTime)
{
    StartDevice(",fault=drop@5F*0");
    const std::string path = WriteBird(Bird("Pilgrim"));
    const auto start = std::chrono::steady_clock::now();
    RunResult r = Run({"-U", "-d", "40F5849A", "-f", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Firmware update failed [18, ")) << r.out << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(sim.Flash(DEVICE).Size("flash"), 0u);
}

TEST_F(Update, UnknownDeviceFailsToConnect)
{
    StartDevice();
    const std::string path = WriteBird(Bird("Pilgrim"));
    RunResult r = Run({"-U", "-d", "0BADCAFE", "-f", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Failed to connect to module [0BADCAFE]\n")) << r.err;
}

TEST_F(Update, ModuleBehindARouter)
{
    StartSim({"--module", "serial=D272031D,model=17,name=Router", "--behind",
              "serial=2181F0EE,address=4,model=13,block=300,newversion=2.16.0,newbuild=2000"});
    const std::string path = WriteBird(Bird("Pilgrim"));
    RunResult r = Run({"-U", "-d", "2181F0EE", "-r", "D272031D", "-f", path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    SimMemoryImage mem = sim.Flash(BEHIND);
    EXPECT_EQ(mem.Read("flash", 0, IMAGE_SIZE), Installed(BEHIND));
    EXPECT_EQ(mem.reboots, 1u);
    EXPECT_EQ(sim.Flash(ROUTER).Size("flash"), 0u);

    RunResult lost = Run({"-U", "-d", "55556666", "-r", "D272031D", "-f", path});
    EXPECT_EQ(lost.status, 1);
    EXPECT_TRUE(Contains(lost.err, "could not find serial number [0x55556666] on network")) << lost.err;

    // A known module address needs no scan of the router's network.
    const size_t scans = sim.CountTrace("rx 02 07 08 00 ");
    EXPECT_GT(scans, 0u);
    RecordingDisplay display;
    Updater updater(UpdateServerHarness::DeadURL().c_str(), (store.Path() + "/updater").c_str(), display);
    ASSERT_TRUE(updater.Update_Firmware(BEHIND, 0, path, 4, ROUTER, false));
    EXPECT_EQ(sim.CountTrace("rx 02 07 08 00 "), scans);
    EXPECT_EQ(sim.Flash(BEHIND).reboots, 2u);
    EXPECT_TRUE(display.errors.empty());
}

// The module restarts into its loader as it answers LOAD, or 1.5 s later,
// long after the host stopped watching for it: then the first PREPARE goes
// unanswered, the connection drops, and the firmware phase starts again once.
TEST_F(Update, LoaderThatDropsTheConnectionEarlyOrLateStillCompletes)
{
    const std::string path = WriteBird(Bird("Pilgrim"));
    for (const char* keys : {",load=drop", ",load=drop,loadms=1500"}) {
        SCOPED_TRACE(keys);
        StartDevice(keys);
        RunResult r = Run({"-U", "-d", "40F5849A", "-f", path});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(sim.Flash(DEVICE).Read("flash", 0, IMAGE_SIZE), Installed(DEVICE));
        const bool late = std::string(keys).find("loadms") != std::string::npos;
        EXPECT_EQ(sim.CountTrace("ev restarting: packet ignored") > 0, late);
        sim.Stop();
    }
}

TEST_F(Update, ModuleThatKeepsItsOldFirmwareFailsTheUpdate)
{
    // Without newbuild and newversion the module still runs 2.15.0 (1000).
    StartSim({"--module", "serial=40F5849A,model=13,block=512"});
    MakeFolder(DEVICE);
    const std::string path = WriteBird(Bird("Pilgrim"));
    RunResult r = Run({"-U", "-d", "40F5849A", "-f", path});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, "Update not taken: module [40F5849A] runs version 2.15.0, build 1000; the file "
                                "holds version 2.16.0, build 2000\n"))
        << r.err;
    EXPECT_FALSE(Contains(Settings(DEVICE), "LATEST_TRANSFER=")) << Settings(DEVICE);
    EXPECT_EQ(sim.Flash(DEVICE).reboots, 1u);
}

TEST_F(Update, ModuleThatDoesNotComeBackIsReportedAndTheTransferKept)
{
    StartDevice(",rebootms=600000");
    MakeFolder(DEVICE);
    const std::string path = WriteBird(Bird("Pilgrim"));
    RecordingDisplay display;
    Updater updater(UpdateServerHarness::DeadURL().c_str(), (store.Path() + "/updater").c_str(), display);
    updater.Set_Verify_Timeout(1000);
    ASSERT_TRUE(updater.Update_Firmware(DEVICE, 0, path, 0, 0, false));
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0], "Could not reach module [40F5849A] after its reboot to verify the update");
    EXPECT_FALSE(updater.Last_Update_Verification().reached);
    EXPECT_TRUE(Contains(Settings(DEVICE), "LATEST_TRANSFER=" + path + "\n")) << Settings(DEVICE);
    EXPECT_EQ(sim.Flash(DEVICE).reboots, 1u);
}

TEST_F(Update, GetThenUpdateInstallsTheBuildJustDownloaded)
{
    StartDevice();
    UpdateServerHarness server;
    const BirdWriter::Bytes file = Bird("Pilgrim", 4800).File();
    server.SetLatest(DEVICE, "4800", "FW-A1");
    server.SetBuilds(DEVICE, "4700;2.15.0\n4800;2.16.0\n");
    server.AddBird(DEVICE, "4800", std::string(file.begin(), file.end()));
    ASSERT_TRUE(server.Start());

    // The server's latest build is not stored yet: -U alone falls back to
    // the latest download the store knows.
    MakeFolder(DEVICE);
    ASSERT_EQ(Bird("Pilgrim", 4711).Write(Folder(DEVICE) + "/4711.bird"), aErrNone);
    ASSERT_TRUE(WriteWholeFile(Folder(DEVICE) + "/.settings", "LATEST_DOWNLOAD=4711.bird\n"));
    ASSERT_EQ(sim.Command("set 40F5849A newbuild=4711"), "OK set");
    RunResult older = Run({"-U", "-d", "40F5849A"}, server.URL());
    ASSERT_EQ(older.status, 0) << older.out << older.err;
    EXPECT_TRUE(Contains(older.out, "New firmware is available.  Updater will proceed if valid firmware is found "
                                    "locally.\nUpdating with the Latest Download\nUpdating firmware with build: 4711\n"))
        << older.out;

    ASSERT_EQ(sim.Command("set 40F5849A newbuild=4800"), "OK set");
    RunResult r = Run({"-G", "-U", "-d", "40F5849A"}, server.URL());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Updating firmware with build: 4800\n")) << r.out;
    EXPECT_EQ(sim.Flash(DEVICE).Read("flash", 0, IMAGE_SIZE), Installed(DEVICE));
    const std::string settings = Settings(DEVICE);
    EXPECT_TRUE(Contains(settings, "LATEST_DOWNLOAD=4800.bird\n")) << settings;
    EXPECT_TRUE(Contains(settings, "LATEST_TRANSFER=4800.bird\n")) << settings;
}

// A stored build changed since its download, and a build older than the
// module runs that the user did not choose, are refused before anything is
// sent. With -b the user chose: a file put into the store by hand installs,
// with a line saying its origin cannot be checked.
TEST_F(Update, ChangedFilesAndOlderBuildsAreRefusedBeforeAnythingIsSent)
{
    StartDevice(",version=2.15.7,build=1234");
    UpdateServerHarness server;
    const BirdWriter::Bytes file = Bird("Pilgrim", 1200, "2.15.1").File();
    server.SetLatest(DEVICE, "1200", "FW-A1");
    server.SetBuilds(DEVICE, "1200;2.15.1\n");
    server.AddBird(DEVICE, "1200", std::string(file.begin(), file.end()));
    ASSERT_TRUE(server.Start());

    RunResult older = Run({"-G", "-U", "-d", "40F5849A"}, server.URL());
    EXPECT_EQ(older.status, 1);
    EXPECT_TRUE(Contains(older.err, "Module [40F5849A] runs 2.15.7 (build 1234), newer than build 1200 (2.15.1); "
                                    "give -b 1200 to install the older build\n"))
        << older.err;
    EXPECT_EQ(ReadWholeFile(Folder(DEVICE) + "/1200.bird"), std::string(file.begin(), file.end()));
    EXPECT_TRUE(Contains(Settings(DEVICE), "SHA256_1200.bird=")) << Settings(DEVICE);

    // Another valid image in place of the downloaded one.
    BirdWriter other = Bird("Pilgrim", 1200, "2.15.1");
    other.AddFirmware(0x8000, Pattern(64, 9));
    ASSERT_EQ(other.Write(Folder(DEVICE) + "/1200.bird"), aErrNone);
    RunResult changed = Run({"-U", "-d", "40F5849A", "-b", "1200"});
    EXPECT_EQ(changed.status, 1);
    EXPECT_TRUE(Contains(changed.err, "The stored file 1200.bird changed since it was downloaded; run -G again\n"))
        << changed.err;
    EXPECT_EQ(sim.Flash(DEVICE).Size("flash"), 0u);
    EXPECT_EQ(sim.Flash(DEVICE).reboots, 0u);
    EXPECT_FALSE(Contains(Settings(DEVICE), "LATEST_TRANSFER")) << Settings(DEVICE);

    ASSERT_EQ(Bird("Pilgrim", 1300, "2.15.1").Write(Folder(DEVICE) + "/1300.bird"), aErrNone);
    ASSERT_EQ(sim.Command("set 40F5849A newbuild=1300"), "OK set");
    ASSERT_EQ(sim.Command("set 40F5849A newversion=2.15.1"), "OK set");
    RunResult chosen = Run({"-U", "-d", "40F5849A", "-b", "1300"});
    ASSERT_EQ(chosen.status, 0) << chosen.out << chosen.err;
    EXPECT_TRUE(Contains(chosen.out, "The stored file 1300.bird was not downloaded by this program: its origin "
                                     "cannot be checked\n"))
        << chosen.out;
    EXPECT_EQ(sim.Flash(DEVICE).Read("flash", 0, IMAGE_SIZE), Installed(DEVICE));
}
