// --check, -U --all and --history end to end inside a private network
// namespace: the Updater program against several simulated modules on the
// namespace's network and behind a router, in mixed states, with the
// simulated update server or without one.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "store/DeviceLock.h"
#include "support/ProgramRunner.h"
#include "support/SimHarness.h"
#include "support/TestImages.h"
#include "support/UpdateServerHarness.h"
#include "UpdateFixtures.h"

using namespace updtest;
using json = nlohmann::json;
using srvtest::ReadWholeFile;
using srvtest::TempDir;
using srvtest::WriteWholeFile;

namespace {

const char* const IFADDR = SimHarness::NETNS_ADDRESS;
const size_t IMAGE_SIZE = 1500;
const uint32_t SERIAL_OFFSET = 0x100;
const uint32_t DESCRIPTOR_OFFSET = 0x120;

// The modules of the mixed fleet: out of date, current, newer than the
// server offers, and one the server knows nothing of.
const uint32_t OLD = 0x40F5849A;
const uint32_t CURRENT = 0x6A3C0012;
const uint32_t NEWER = 0x11112222;
const uint32_t STRANGER = 0x33334444;
const uint32_t ROUTER = 0xD272031D;
const uint32_t BEHIND_OLD = 0x2181F0EE;
const uint32_t BEHIND_CURRENT = 0x2181F0EF;

BirdWriter Bird(uint32_t build, const std::string& version)
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, Pattern(90, 5));
    writer.AddFirmware(0, VectorImage(IMAGE_SIZE, 11));
    writer.AddSerialOffsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET);
    writer.AddInfo(build, version, 0, "Pilgrim");
    return writer;
}

std::string Hex(uint32_t serial)
{
    return UpdateServerHarness::Hex(serial);
}

// A module the simulator plays, running build, offered 2000 (2.16.0).
std::string Keys(uint32_t serial, uint32_t build, const std::string& version, const std::string& more = "")
{
    return "serial=" + Hex(serial) + ",model=13,block=512,build=" + std::to_string(build) + ",version=" + version +
           ",newversion=2.16.0,newbuild=2000" + more;
}

class Fleet : public ::testing::Test {
protected:
    void StartSim(const std::vector<std::string>& modules)
    {
        std::vector<std::string> options{"--bind", IFADDR, "--discovery", IFADDR};
        options.insert(options.end(), modules.begin(), modules.end());
        ASSERT_TRUE(sim.Start(options)) << sim.Stderr();
    }

    // The server offers build 2000 (2.16.0) to every module but STRANGER.
    void Offer(const std::vector<uint32_t>& serials)
    {
        const BirdWriter::Bytes file = Bird(2000, "2.16.0").File();
        for (uint32_t serial : serials) {
            server.SetLatest(serial, "2000", "FW-" + Hex(serial));
            server.SetBuilds(serial, "1000;2.15.0\n2000;2.16.0\n");
            server.AddBird(serial, "2000", std::string(file.begin(), file.end()));
        }
    }

    RunResult Run(const std::vector<std::string>& words, const std::string& url, const RunOptions& more = RunOptions())
    {
        std::vector<std::string> argv{UpdaterProgramPath()};
        argv.insert(argv.end(), words.begin(), words.end());
        argv.insert(argv.end(), {"-u", url, "-i", store.Path()});
        RunOptions options = more;
        options.environment.push_back("HOME=" + store.Path());
        options.timeoutMs = 240000;
        RunResult r = RunProgram(argv, options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        return r;
    }

    // The report of a --json run, or null when it does not parse.
    static json Report(const RunResult& r)
    {
        return json::parse(r.out, nullptr, false);
    }

    // serial -> one field of each module of a report's list.
    static std::map<std::string, std::string> Field(const json& modules, const char* key)
    {
        std::map<std::string, std::string> out;
        for (const json& m : modules)
            out[m.value("serial", "")] = m[key].is_string() ? m[key].get<std::string>() : m[key].dump();
        return out;
    }

    std::string Folder(uint32_t serial) const { return store.Path() + "/updater/" + Hex(serial); }

    // Every path below the store, for checks that a command wrote nothing.
    std::set<std::string> StoreEntries() const
    {
        std::set<std::string> names;
        std::vector<std::string> pending{store.Path()};
        while (!pending.empty()) {
            const std::string dir = pending.back();
            pending.pop_back();
            DIR* d = ::opendir(dir.c_str());
            if (!d)
                continue;
            while (struct dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..")
                    continue;
                const std::string path = dir + "/" + name;
                struct stat st;
                names.insert(path + ":" + (::stat(path.c_str(), &st) == 0 ? std::to_string(st.st_size) : "?"));
                if (e->d_type == DT_DIR)
                    pending.push_back(path);
            }
            ::closedir(d);
        }
        return names;
    }

    SimHarness sim;
    UpdateServerHarness server;
    TempDir store;
};

} // namespace

TEST_F(Fleet, CheckTellsEachModulesStateWithoutChangingAnything)
{
    StartSim({"--module", Keys(OLD, 1000, "2.15.0"), "--module", Keys(CURRENT, 2000, "2.16.0"), "--module",
              Keys(NEWER, 3000, "2.17.0"), "--module", Keys(STRANGER, 1000, "2.15.0")});
    Offer({OLD, CURRENT, NEWER});
    ASSERT_TRUE(server.Start());
    ::mkdir((store.Path() + "/updater").c_str(), 0755);
    const std::set<std::string> before = StoreEntries();

    RunResult r = Run({"--check", "-t", "TCPIP", "--json"}, server.URL());
    // The stranger's state can't be determined: exit status 1.
    EXPECT_EQ(r.status, 1) << r.err;
    const json report = Report(r);
    ASSERT_TRUE(report.is_object()) << r.out;
    const json& modules = report["check"]["modules"];
    ASSERT_EQ(modules.size(), 4u) << r.out;
    EXPECT_EQ(Field(modules, "status"), (std::map<std::string, std::string>{{Hex(OLD), "update available"},
                                                                            {Hex(CURRENT), "current"},
                                                                            {Hex(NEWER), "newer than offered"},
                                                                            {Hex(STRANGER), "unknown"}}));
    for (const json& m : modules) {
        if (m["serial"] == Hex(STRANGER)) {
            EXPECT_TRUE(m["latest_build"].is_null()) << m;
            EXPECT_TRUE(m["source"].is_null()) << m;
            continue;
        }
        EXPECT_EQ(m["latest_build"], 2000) << m;
        EXPECT_EQ(m["latest_version"], "2.16.0") << m;
        EXPECT_EQ(m["source"], "server") << m;
        EXPECT_EQ(m["model_name"], "Pilgrim") << m;
    }
    EXPECT_EQ(Field(modules, "build")[Hex(NEWER)], "3000");
    EXPECT_EQ(Field(modules, "version")[Hex(OLD)], "2.15.0");

    // Read-only: no loader was asked, nothing was stored.
    EXPECT_EQ(sim.CountTrace(" 5F "), 0u);
    EXPECT_EQ(StoreEntries(), before);

    // Without the stranger every state is known: exit 0, and the table.
    RunResult one = Run({"--check", "-d", Hex(OLD)}, server.URL());
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_TRUE(Contains(one.out, "    " + Hex(OLD) + "  Pilgrim       2.15.0 (1000)         2.16.0 (2000)         "
                                                        "server  update available\n"))
        << one.out;
    EXPECT_FALSE(Contains(one.out, Hex(CURRENT))) << one.out;

    RunResult missing = Run({"--check", "-d", "0BADCAFE", "-t", "TCPIP"}, server.URL());
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Contains(missing.err, "Module [0BADCAFE] was not found\n")) << missing.err;
}

TEST_F(Fleet, CheckWithoutTheServerComparesWithTheStore)
{
    StartSim({"--module", Keys(OLD, 1000, "2.15.0"), "--module", Keys(CURRENT, 2000, "2.16.0")});
    ::mkdir((store.Path() + "/updater").c_str(), 0755);
    for (uint32_t serial : {OLD, CURRENT}) {
        ::mkdir(Folder(serial).c_str(), 0755);
        ASSERT_EQ(Bird(1500, "2.15.5").Write(Folder(serial) + "/1500.bird"), aErrNone);
        ASSERT_EQ(Bird(2000, "2.16.0").Write(Folder(serial) + "/2000.bird"), aErrNone);
    }
    // Not a build, and a build file that is no BIRD file: neither counts.
    ASSERT_TRUE(WriteWholeFile(Folder(OLD) + "/notes.txt", "x"));
    ASSERT_TRUE(WriteWholeFile(Folder(OLD) + "/9999.bird", "not a bird"));

    RunResult r = Run({"--check", "-t", "TCPIP", "--json"}, UpdateServerHarness::DeadURL());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "cannot be reached: the modules are compared with the newest builds in the store"))
        << r.err;
    const json report = Report(r);
    ASSERT_TRUE(report.is_object()) << r.out;
    EXPECT_EQ(report["check"]["server_reached"], false);
    const json& modules = report["check"]["modules"];
    EXPECT_EQ(Field(modules, "status"),
              (std::map<std::string, std::string>{{Hex(OLD), "update available"}, {Hex(CURRENT), "current"}}));
    EXPECT_EQ(Field(modules, "source"),
              (std::map<std::string, std::string>{{Hex(OLD), "store"}, {Hex(CURRENT), "store"}}));
    EXPECT_EQ(Field(modules, "latest_build")[Hex(OLD)], "2000");
}

TEST_F(Fleet, CheckBehindARouter)
{
    StartSim({"--module", "serial=D272031D,model=17,name=Router", "--behind",
              Keys(BEHIND_OLD, 1000, "2.15.0", ",address=4"), "--behind",
              Keys(BEHIND_CURRENT, 2000, "2.16.0", ",address=6")});
    Offer({BEHIND_OLD, BEHIND_CURRENT});
    // Answer lines that end in CR LF name the same builds.
    server.SetFaults("crlf\n");
    ASSERT_TRUE(server.Start());
    RunResult r = Run({"--check", "-r", Hex(ROUTER), "--json"}, server.URL());
    EXPECT_EQ(r.status, 0) << r.err;
    const json report = Report(r);
    ASSERT_TRUE(report.is_object()) << r.out;
    const json& modules = report["check"]["modules"];
    EXPECT_EQ(Field(modules, "status"), (std::map<std::string, std::string>{{Hex(BEHIND_OLD), "update available"},
                                                                            {Hex(BEHIND_CURRENT), "current"}}));
    EXPECT_EQ(Field(modules, "router_serial")[Hex(BEHIND_OLD)], Hex(ROUTER));
    EXPECT_EQ(Field(modules, "latest_version")[Hex(BEHIND_OLD)], "2.16.0");
    EXPECT_EQ(Field(modules, "source")[Hex(BEHIND_OLD)], "server");
}

namespace {

const uint32_t BROKEN = 0x55556666;

// The history records of a device, read as the program reads them.
std::vector<json> HistoryOf(const std::string& folder, unsigned* skipped = nullptr)
{
    std::vector<json> records;
    unsigned damaged = 0;
    for (const std::string& line : SplitLines(ReadWholeFile(folder + "/.history"))) {
        json j = json::parse(line, nullptr, false);
        if (j.is_object())
            records.push_back(j);
        else if (!line.empty())
            ++damaged;
    }
    if (skipped)
        *skipped = damaged;
    return records;
}

// Whether the host has spoken to a module's loader (upgrade commands 5F).
bool LoaderAtWork(const SimHarness& sim, uint32_t serial)
{
    for (const std::string& line : sim.Trace())
        if (line.compare(0, 12, Hex(serial) + " rx ") == 0 && line.find(" 5F ") != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST_F(Fleet, UpdateAllUpdatesExactlyTheOutOfDateModulesAndRecordsTheirHistory)
{
    // BROKEN answers every sum check wrongly: its update fails while the
    // others go on.
    StartSim({"--module", Keys(OLD, 1000, "2.15.0"), "--module", Keys(BROKEN, 1000, "2.15.0", ",fault=badsum*0"),
              "--module", Keys(CURRENT, 2000, "2.16.0"), "--module", Keys(NEWER, 3000, "2.17.0")});
    Offer({OLD, BROKEN, CURRENT, NEWER});
    ASSERT_TRUE(server.Start());

    RunResult r = Run({"-G", "-U", "--all", "-t", "TCPIP", "--jobs", "2", "--json", "-l", "fleet run"}, server.URL());
    EXPECT_EQ(r.status, 1) << r.err;
    const json report = Report(r);
    ASSERT_TRUE(report.is_object()) << r.out;
    const json& all = report["update_all"];
    EXPECT_EQ(all["changed"], true);
    EXPECT_EQ(all["counts"],
              json::parse(R"({"updated":1,"current":1,"newer than offered":1,"failed":1,"busy":0})"));
    EXPECT_EQ(Field(all["modules"], "result"), (std::map<std::string, std::string>{{Hex(OLD), "updated"},
                                                                                  {Hex(BROKEN), "failed"},
                                                                                  {Hex(CURRENT), "current"},
                                                                                  {Hex(NEWER), "newer than offered"}}));
    for (const json& m : all["modules"]) {
        if (m["serial"] == Hex(OLD)) {
            EXPECT_EQ(m["build_before"], 1000);
            EXPECT_EQ(m["version_before"], "2.15.0");
            EXPECT_EQ(m["build_after"], 2000);
            EXPECT_EQ(m["version_after"], "2.16.0");
            EXPECT_TRUE(m["error"].is_null()) << m;
        } else if (m["serial"] == Hex(BROKEN)) {
            EXPECT_TRUE(m["error"].is_string()) << m;
        }
    }
    EXPECT_TRUE(Contains(r.err, "1 updated, 1 current, 1 newer than offered, 1 failed\n")) << r.err;

    const std::string installed = testimages::SerialPatched(VectorImage(IMAGE_SIZE, 11), OLD, SERIAL_OFFSET,
                                                            DESCRIPTOR_OFFSET);
    EXPECT_EQ(sim.Flash(OLD).Read("flash", 0, IMAGE_SIZE), installed);
    for (uint32_t untouched : {CURRENT, NEWER}) {
        EXPECT_EQ(sim.Flash(untouched).reboots, 0u);
        EXPECT_EQ(sim.Flash(untouched).Size("flash"), 0u);
    }

    // Each attempt is in its device's history, with the -l message.
    const std::vector<json> old = HistoryOf(Folder(OLD));
    ASSERT_EQ(old.size(), 2u) << ReadWholeFile(Folder(OLD) + "/.history");
    EXPECT_EQ(old[0]["command"], "download");
    EXPECT_EQ(old[1]["command"], "update");
    EXPECT_EQ(old[1]["result"], "ok");
    EXPECT_EQ(old[1]["build_before"], 1000);
    EXPECT_EQ(old[1]["version_after"], "2.16.0");
    EXPECT_EQ(old[1]["build_after"], 2000);
    EXPECT_EQ(old[1]["message"], "fleet run");
    EXPECT_EQ(old[1]["sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(old[0]["sha256"], old[1]["sha256"]); // the file stored is the file sent
    const std::vector<json> broken = HistoryOf(Folder(BROKEN));
    ASSERT_EQ(broken.size(), 2u);
    EXPECT_EQ(broken[1]["result"], "failed");
    EXPECT_TRUE(broken[1]["build_after"].is_null());
    EXPECT_TRUE(HistoryOf(Folder(CURRENT)).empty());

    // Again: nothing left to change but the broken module, on a terminal.
    RunOptions terminal;
    terminal.stdoutTerminal = true;
    RunResult again = Run({"-U", "--all", "-t", "TCPIP"}, server.URL(), terminal);
    EXPECT_EQ(again.status, 1) << again.err;
    EXPECT_TRUE(Contains(again.out, "0 updated, 2 current, 1 newer than offered, 1 failed")) << again.out;
    EXPECT_EQ(sim.Flash(OLD).reboots, 1u);

    // --history prints the records oldest first; --json gives them whole.
    RunResult shown = Run({"--history", "-d", Hex(OLD)}, server.URL());
    EXPECT_EQ(shown.status, 0) << shown.err;
    const size_t download = shown.out.find(" download ");
    const size_t update = shown.out.find(" update ");
    EXPECT_NE(download, std::string::npos) << shown.out;
    EXPECT_NE(update, std::string::npos) << shown.out;
    EXPECT_LT(download, update) << shown.out;
    EXPECT_TRUE(Contains(shown.out, "2.15.0 (1000) -> 2.16.0 (2000)  ok ")) << shown.out;
    EXPECT_TRUE(Contains(shown.out, "  fleet run\n")) << shown.out;
    RunResult asJson = Run({"--history", "-d", Hex(OLD), "--json"}, server.URL());
    const json history = Report(asJson);
    ASSERT_TRUE(history.is_object()) << asJson.out;
    EXPECT_EQ(history["history"]["serial"], Hex(OLD));
    EXPECT_EQ(history["history"]["entries"].size(), 2u);
    EXPECT_EQ(history["history"]["entries"][1], old[1]);
}

TEST_F(Fleet, UpdateAllRefusesBadCombinationsBeforeSendingAnything)
{
    StartSim({"--module", Keys(OLD, 1000, "2.15.0")});
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"-U", "--all", "-d", Hex(OLD)}, {"-U", "--all", "-b", "2000"},
          {"-U", "--all", "-f", "/tmp/x.bird"}, {"-U", "--all", "--jobs", "0"}, {"-U", "--all", "--jobs", "65"},
          {"-U", "--all", "--jobs", "x"}, {"-D", "--all"}}) {
        RunResult r = Run(words, UpdateServerHarness::DeadURL());
        EXPECT_EQ(r.status, 1) << words[2];
    }
    // Nothing reached the module: not even a discovery connection.
    EXPECT_EQ(sim.Trace().size(), 0u) << sim.Trace()[0];
}

TEST_F(Fleet, ModuleUnderAnotherRunsLockIsBusy)
{
    StartSim({"--module", Keys(OLD, 1000, "2.15.0"), "--module", Keys(BROKEN, 1000, "2.15.0")});
    Offer({OLD, BROKEN});
    ASSERT_TRUE(server.Start());
    ::mkdir((store.Path() + "/updater").c_str(), 0755);
    ::mkdir(Folder(BROKEN).c_str(), 0755);
    DeviceLock other;
    ASSERT_EQ(other.TryLock(Folder(BROKEN)), aErrNone);

    RunResult r = Run({"-G", "-U", "--all", "-t", "TCPIP", "--json"}, server.URL());
    EXPECT_EQ(r.status, 1) << r.err;
    const json report = Report(r);
    ASSERT_TRUE(report.is_object()) << r.out;
    EXPECT_EQ(Field(report["update_all"]["modules"], "result"),
              (std::map<std::string, std::string>{{Hex(OLD), "updated"}, {Hex(BROKEN), "busy"}}));
    EXPECT_EQ(report["update_all"]["counts"]["busy"], 1);
    EXPECT_TRUE(Contains(r.err, "1 updated, 0 current, 0 newer than offered, 0 failed, 1 busy\n")) << r.err;
    EXPECT_EQ(sim.Flash(BROKEN).Size("flash"), 0u);
}

TEST_F(Fleet, UpdateAllBehindARouterOneAtATime)
{
    StartSim({"--module", "serial=D272031D,model=17,name=Router", "--behind",
              Keys(BEHIND_OLD, 1000, "2.15.0", ",address=4"), "--behind",
              Keys(BEHIND_CURRENT, 1000, "2.15.0", ",address=6")});
    Offer({BEHIND_OLD, BEHIND_CURRENT});
    ASSERT_TRUE(server.Start());
    RunResult r = Run({"-G", "-U", "--all", "-r", Hex(ROUTER), "--jobs", "4"}, server.URL());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "2 updated, 0 current, 0 newer than offered, 0 failed\n")) << r.out;
    for (uint32_t serial : {BEHIND_OLD, BEHIND_CURRENT})
        EXPECT_EQ(sim.Flash(serial).reboots, 1u) << Hex(serial);
    // One after the other: the second module's download ends after the
    // first one's update (in whole seconds).
    const std::vector<json> a = HistoryOf(Folder(BEHIND_OLD));
    const std::vector<json> b = HistoryOf(Folder(BEHIND_CURRENT));
    ASSERT_EQ(a.size(), 2u);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_GE(b[0]["time"].get<std::string>(), a[1]["time"].get<std::string>());
}

TEST_F(Fleet, CtrlCStopsEveryModuleAndPrintsTheSummary)
{
    // Slow modules: every reply 100 ms late.
    StartSim({"--module", Keys(OLD, 1000, "2.15.0", ",fault=slow:100"), "--module",
              Keys(BROKEN, 1000, "2.15.0", ",fault=slow:100"), "--module", Keys(CURRENT, 2000, "2.16.0")});
    Offer({OLD, BROKEN, CURRENT});
    ASSERT_TRUE(server.Start());
    RunOptions options;
    bool sent = false;
    options.whileRunning = [&](pid_t pid) {
        // Once both modules' loaders are at work, as a terminal's Ctrl-C does
        // (to the whole process group).
        if (!sent && LoaderAtWork(sim, OLD) && LoaderAtWork(sim, BROKEN)) {
            ::kill(-pid, SIGINT);
            sent = true;
        }
    };
    RunResult r = Run({"-G", "-U", "--all", "-t", "TCPIP", "--jobs", "4", "--json"}, server.URL(), options);
    ASSERT_TRUE(sent);
    EXPECT_EQ(r.status, 1) << r.err;
    const json report = Report(r);
    ASSERT_TRUE(report.is_object()) << r.out;
    EXPECT_EQ(report["update_all"]["counts"]["current"], 1);
    EXPECT_EQ(report["update_all"]["counts"]["failed"], 2) << report;
    EXPECT_TRUE(Contains(r.err, "0 updated, 1 current, 0 newer than offered, 2 failed\n")) << r.err;
    // Each stopped update says so in its history.
    for (uint32_t serial : {OLD, BROKEN}) {
        const std::vector<json> h = HistoryOf(Folder(serial));
        ASSERT_FALSE(h.empty()) << Hex(serial);
        EXPECT_EQ(h.back()["result"], "stopped") << h.back();
    }
}

TEST_F(Fleet, HistorySurvivesAKillDuringAnInstall)
{
    StartSim({"--module", Keys(OLD, 1000, "2.15.0")});
    Offer({OLD});
    ASSERT_TRUE(server.Start());
    RunResult first = Run({"-G", "-U", "-d", Hex(OLD)}, server.URL());
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_EQ(HistoryOf(Folder(OLD)).size(), 2u);

    ASSERT_EQ(sim.Command("set " + Hex(OLD) + " newbuild=2000"), "OK set");
    ASSERT_EQ(sim.Command("fault " + Hex(OLD) + " slow:100"), "OK fault");
    const size_t loaderBefore = sim.CountTrace(" 5F ");
    RunOptions options;
    bool killed = false;
    options.whileRunning = [&](pid_t pid) {
        if (!killed && sim.CountTrace(" 5F ") > loaderBefore + 2) {
            ::kill(-pid, SIGKILL);
            killed = true;
        }
    };
    Run({"-U", "-d", Hex(OLD), "-b", "2000"}, server.URL(), options);
    ASSERT_TRUE(killed);
    // The file still parses: the earlier records whole, the cut one absent.
    unsigned damaged = 0;
    EXPECT_EQ(HistoryOf(Folder(OLD), &damaged).size(), 2u);
    EXPECT_EQ(damaged, 0u);

    // A record that a crash cut short is passed over, and the next one
    // starts on a line of its own.
    ASSERT_TRUE(WriteWholeFile(Folder(OLD) + "/.history",
                               ReadWholeFile(Folder(OLD) + "/.history") + "{\"time\":\"2026-01-01T00:00:00Z\",\"ho"));
    RunResult shown = Run({"--history", "-d", Hex(OLD), "--json"}, server.URL());
    EXPECT_EQ(shown.status, 0);
    const json report = Report(shown);
    ASSERT_TRUE(report.is_object()) << shown.out;
    EXPECT_EQ(report["history"]["entries"].size(), 2u);
    EXPECT_EQ(report["history"]["skipped_lines"], 1);
    RunResult download = Run({"-G", "-d", Hex(OLD), "-l", "after the crash"}, server.URL());
    ASSERT_EQ(download.status, 0) << download.err;
    const std::vector<json> after = HistoryOf(Folder(OLD), &damaged);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after.back()["message"], "after the crash");
    EXPECT_EQ(damaged, 1u);
}
