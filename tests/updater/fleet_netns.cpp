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
    ASSERT_TRUE(server.Start());
    RunResult r = Run({"--check", "-r", Hex(ROUTER), "--json"}, server.URL());
    EXPECT_EQ(r.status, 0) << r.err;
    const json report = Report(r);
    ASSERT_TRUE(report.is_object()) << r.out;
    const json& modules = report["check"]["modules"];
    EXPECT_EQ(Field(modules, "status"), (std::map<std::string, std::string>{{Hex(BEHIND_OLD), "update available"},
                                                                            {Hex(BEHIND_CURRENT), "current"}}));
    EXPECT_EQ(Field(modules, "router_serial")[Hex(BEHIND_OLD)], Hex(ROUTER));
}
