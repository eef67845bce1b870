// -L end to end: the real Updater program listing what a device's store
// folder holds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "TempDir.h"
#include "store/BirdWriter.h"
#include "store/UpdaterStore.h"
#include "support/ProgramRunner.h"

namespace {

class ListLocal : public ::testing::Test {
protected:
    TempDir tmp;

    std::string Folder(const std::string& serial) const { return tmp.sub("updater/" + serial); }

    void Put(const std::string& serial, const std::string& name, const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(aErrNone, aDirectory_Ensure(Folder(serial).c_str(), 0755));
        tmp.write("updater/" + serial + "/" + name, std::string(bytes.begin(), bytes.end()));
    }

    static std::vector<uint8_t> Bird(uint32_t build, const std::string& version)
    {
        BirdWriter w;
        w.AddFirmware(0, std::vector<uint8_t>(64, 0x5A));
        w.AddInfo(build, version, 0x0000ABCD, "Model");
        return w.File();
    }

    RunResult Run(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{UpdaterProgramPath(), "-i", tmp.path()};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = RunProgram(argv);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        return r;
    }
};

TEST_F(ListLocal, ListsBirdFilesWithVersionsAndOtherFilesWithout)
{
    Put("0000ABCD", "1234.bird", Bird(1234, "1.2.3"));
    Put("0000ABCD", "notes.txt", {'h', 'i', '\n'});
    RunResult r = Run({"-L", "-d", "0000ABCD"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Build List for device [0000ABCD]:"));
    EXPECT_NE(std::string::npos, r.out.find("1234           \t1.2.3          ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("notes.txt      \t               ")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find(".settings"));
}

TEST_F(ListLocal, BrokenAndForeignFilesStillList)
{
    Put("0000ABCD", "1300.bird", {'b', 'i', 'r', 'd', 1, 1, 0xDE, 0xAD}); // good header, bad body
    Put("0000ABCD", "1400.bird", {'n', 'o', 'p', 'e'});
    Put("0000ABCD", "1500.bird.old", Bird(1500, "1.5.0"));
    ASSERT_EQ(aErrNone, aDirectory_Ensure((Folder("0000ABCD") + "/sub").c_str(), 0755));
    RunResult r = Run({"-L", "-d", "0000ABCD"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("1300           \t               ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("1400           \t               ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("1500           \t1.5.0          ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("sub            \t               ")) << r.out;
}

TEST_F(ListLocal, UnknownDeviceHasNoBuilds)
{
    Put("0000ABCD", "1234.bird", Bird(1234, "1.2.3"));
    RunResult r = Run({"-L", "-d", "ABCE"});
    EXPECT_EQ(std::string::npos, r.out.find("1234"));
    EXPECT_NE(std::string::npos, r.out.find("No builds found for device [0000ABCE]")) << r.out;
}

// A decoy whose name holds the serial number is not the device's folder,
// and a device folder that is a link is refused by name.
TEST_F(ListLocal, DecoysAreIgnoredAndLinksRefused)
{
    Put("4-0000ABCD", "9999.bird", Bird(9999, "9.9.9"));
    Put("0000ABCD", "1234.bird", Bird(1234, "1.2.3"));
    RunResult r = Run({"-L", "-d", "0000ABCD"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("1234")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("9999")) << r.out;

    ASSERT_EQ(0, symlink(Folder("4-0000ABCD").c_str(), Folder("0000ABCE").c_str()));
    RunResult linked = Run({"-L", "-d", "0000ABCE"});
    EXPECT_EQ(1, linked.status);
    EXPECT_NE(std::string::npos, linked.err.find("The store entry " + Folder("0000ABCE") +
                                                 " is a symbolic link; the store follows no links: remove it\n"))
        << linked.err;
    EXPECT_EQ(std::string::npos, linked.out.find("9999")) << linked.out;
}

// Runs the program as another user, without a home when home is false.
RunResult sRunAs(unsigned uid, const std::vector<std::string>& args, bool home = true)
{
    std::vector<std::string> argv;
    if (!home)
        argv = {"/usr/bin/env", "-u", "HOME"};
    const std::string id = std::to_string(uid);
    argv.insert(argv.end(), {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                             UpdaterProgramPath()});
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
}

// A store that another user owns is refused with the fix, whoever runs; a
// run with no home and no -i says where the store should be given.
TEST_F(ListLocal, ForeignStoresAndNoHome)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "running as another user needs the superuser";
    if (sRunAs(65534, {"-h"}).status != 0)
        GTEST_SKIP() << "an ordinary user cannot run " << UpdaterProgramPath();
    Put("0000ABCD", "1234.bird", Bird(1234, "1.2.3"));
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));

    RunResult asNobody = sRunAs(65534, {"-L", "-d", "0000ABCD", "-i", tmp.path()});
    EXPECT_EQ(1, asNobody.status);
    EXPECT_NE(std::string::npos, asNobody.err.find("The store folder " + tmp.sub("updater") +
                                                   " belongs to another user (uid 0); give a store of your own "
                                                   "with -i DIR, or make it yours with chown\n"))
        << asNobody.err;
    EXPECT_EQ(std::string::npos, asNobody.out.find("1234")) << asNobody.out;

    ASSERT_EQ(0, chown(Folder("0000ABCD").c_str(), 65534, 65534));
    RunResult asRoot = Run({"-L", "-d", "0000ABCD"});
    EXPECT_EQ(1, asRoot.status);
    EXPECT_NE(std::string::npos, asRoot.err.find("The store folder " + Folder("0000ABCD") +
                                                 " belongs to another user (uid 65534)"))
        << asRoot.err;

    RunResult homeless = sRunAs(54321, {"-L", "-d", "0000ABCD"}, false);
    EXPECT_EQ(1, homeless.status);
    EXPECT_EQ("no home directory found (HOME unset, no password entry for uid 54321); give the store with -i DIR\n",
              homeless.err);
}

} // namespace
