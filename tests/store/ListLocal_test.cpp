// -L end to end: the real Updater program listing what a device's store
// folder holds.
#include <gtest/gtest.h>
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

} // namespace
