// Discovery inside a private network namespace against simulated modules
// that answer the network search: the Updater's -D lists end to end, and
// the discovery commands in process for what the lists do not show.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "app/RecordingDisplay.h"
#include "link/Link.h"
#include "link/aDebugging.h"
#include "support/ProgramRunner.h"
#include "support/SimHarness.h"
#include "updater/Updater.h"

namespace {

const char* IFADDR = "198.18.0.1";

std::vector<std::string> sModules()
{
    return {"--bind", IFADDR, "--discovery", IFADDR,
        "--module", "serial=40F5849A,model=19,address=4,version=2.15.3,build=1234,name=Alpha,router=4",
        "--behind", "serial=55556666,address=10,model=26,version=1.2.3,build=77",
        "--behind", "serial=77778888,address=6,model=13,name=Six",
        "--module", "serial=0000BEEF,model=26,build=99"};
}

std::string sTcpLine(uint32_t serial, int module, int router, const char* model, const char* version,
    unsigned build, const char* name)
{
    char line[256];
    std::snprintf(line, sizeof line, "    %08X  %02X       %02X      %-12s %s (%10u)        %-17s  %s", serial, module,
        router, model, version, build, "[198.18.0.1]", name);
    return line;
}

class Discover : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.Start(sModules())) << sim.Stderr(); }

    RunResult Run(const std::vector<std::string>& words)
    {
        std::vector<std::string> argv{UpdaterProgramPath()};
        argv.insert(argv.end(), words.begin(), words.end());
        RunOptions options;
        options.environment = {"HOME=" + sim.Folder()};
        options.timeoutMs = 120000;
        return RunProgram(argv, options);
    }

    SimHarness sim;
};

} // namespace

TEST_F(Discover, ListsEveryNetworkModule)
{
    RunResult r = Run({"-D", "-t", "TCPIP"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[1], "Searching for Corvestel devices");
    EXPECT_EQ(lines[2], "Discovered Devices: (TCPIP)");
    std::vector<std::string> devices(lines.begin() + 4, lines.end());
    std::sort(devices.begin(), devices.end());
    EXPECT_EQ(devices[0], sTcpLine(0x0000BEEF, 2, 2, "Oriel", "  2.15.0", 99, ""));
    EXPECT_EQ(devices[1], sTcpLine(0x40F5849A, 4, 4, "Saltire", "  2.15.3", 1234, "Alpha"));
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(Discover, ListsTheModulesBehindARouterInAddressOrder)
{
    RunResult r = Run({"-D", "-r", "40F5849A"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[1], "Searching for Corvestel Network devices connected to 40F5849A");
    // The network scan does not ask for names.
    EXPECT_EQ(lines[4], sTcpLine(0x77778888, 6, 4, "Pilgrim", "  2.15.0", 1000, ""));
    EXPECT_EQ(lines[5], sTcpLine(0x55556666, 10, 4, "Oriel", "  1.2.3", 77, ""));
    // The router's own address is never probed; routing ends switched off.
    EXPECT_EQ(sim.CountTrace("40F5849A rx 04 07 08 00 04 "), 0u);
    EXPECT_EQ(sim.CountTrace("40F5849A rx 04 07 08 00 "), 125u);
    EXPECT_TRUE(sim.WaitForTrace("route to me off"));
}

TEST_F(Discover, NoUsbModuleGivesTheEmptyList)
{
    RunResult r = Run({"-D"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Discovered Devices: (USB)\n    No devices found.\n"), std::string::npos) << r.out;
    RunResult none = Run({"-D", "-r", "12345678"});
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.out.find("    No devices found."), std::string::npos) << none.out;
}

TEST_F(Discover, InProcessEntriesCarryAddressesAndErrors)
{
    // The second module stops answering version queries.
    ASSERT_EQ(sim.Command("fault 0000BEEF drop@0347*0").substr(0, 2), "OK");
    RecordingDisplay display;
    Updater updater("", sim.Folder().c_str(), display);

    std::vector<DeviceInfo> direct = updater.Discover_Devices(0);
    ASSERT_EQ(direct.size(), 2u);
    for (const DeviceInfo& d : direct) {
        EXPECT_EQ(d.type, uint32_t(TCPIP));
        if (d.serialNumber == 0x0000BEEF) {
            EXPECT_EQ(d.error, uint32_t(aErrTimeout));
            EXPECT_EQ(d.buildNumber, 99u);
            EXPECT_EQ(d.modelName, "Oriel");
        } else {
            EXPECT_EQ(d.error, 0u);
            EXPECT_EQ(d.versionMinor, 15);
            EXPECT_EQ(d.deviceName, "Alpha");
        }
    }

    std::vector<DeviceInfo> behind = updater.Discover_CVNetwork_Devices(0x40F5849A, 0);
    ASSERT_EQ(behind.size(), 2u);
    EXPECT_EQ(behind[0].networkAddress, 6);
    EXPECT_EQ(behind[1].networkAddress, 10);
    for (const DeviceInfo& d : behind) {
        EXPECT_EQ(d.routerSerialNumber, 0x40F5849Au);
        EXPECT_EQ(d.router, 4u);
        EXPECT_EQ(d.module, uint32_t(d.networkAddress));
        EXPECT_EQ(d.type, uint32_t(TCPIP));
        EXPECT_EQ(d.p.ipPort, uint32_t(sim.Port(0x40F5849A)));
        EXPECT_EQ(d.error, 0u);
    }
    EXPECT_EQ(behind[1].versionMajor, 1);
    EXPECT_EQ(behind[1].versionPatch, 3u);
    EXPECT_EQ(behind[1].buildNumber, 77u);
    EXPECT_TRUE(display.errors.empty());

    // A router that refuses to route gives one error line and no list.
    ASSERT_EQ(sim.Command("fault 40F5849A error:5@0394*0").substr(0, 2), "OK");
    EXPECT_TRUE(updater.Discover_CVNetwork_Devices(0x40F5849A, TCPIP).empty());
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0], "Error 5 on route to me");
}

TEST_F(Discover, UsbConnectionFallsBackOnce)
{
    using Quorvane::Corvestel::Link;
    Link link("fallback");
    aCorvestelDebuggingEnable = true;
    aCorvestelDebuggingLevel = aDEBUG_LINK;
    // Networking off (the default): a USB module is looked for on USB only.
    testing::internal::CaptureStdout();
    aErr err = link.discoverAndConnect(USB, 0x40F5849A, 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, aErrNotFound);
    EXPECT_EQ(out.find("Executing Fallback"), std::string::npos) << out;
    // Networking on: then also through a local server.
    aEtherConfig on;
    on.enabled = 1;
    ASSERT_EQ(link.setConfig(on), aErrNone);
    testing::internal::CaptureStdout();
    err = link.discoverAndConnect(USB, 0x40F5849A, 0);
    out = testing::internal::GetCapturedStdout();
    aCorvestelDebuggingEnable = false;
    EXPECT_EQ(err, aErrNotFound);
    EXPECT_NE(out.find("Executing Fallback: aEther\n"), std::string::npos) << out;

    // Over TCPIP there is no fallback and the module is found.
    EXPECT_EQ(link.discoverAndConnect(TCPIP, 0x40F5849A, 0), aErrNone);
    EXPECT_TRUE(link.isConnected());
    linkSpec spec{};
    EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, 0x40F5849Au);

    // Without a serial number the first module of the model is taken.
    Link byModel("model");
    EXPECT_EQ(byModel.discoverAndConnect(TCPIP, 0, 26), aErrNone);
    EXPECT_EQ(byModel.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, 0x0000BEEFu);
    Link none("none");
    EXPECT_EQ(none.discoverAndConnect(TCPIP, 0, 5), aErrNotFound);
}
