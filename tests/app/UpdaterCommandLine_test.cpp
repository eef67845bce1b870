// The Updater program run as a user runs it: exit status and the exact text
// on standard output and standard error. Every run stores into a temporary
// folder given with -i, never into the real home directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/ProgramRunner.h"
#include "store/aDirectory.h"

namespace {

const std::string VERSION_LINE = "Updater (Version: 2.11.3 Jun  6 2025)\n";

std::string sGolden(const char* name)
{
    std::ifstream in(std::string(TEST_SOURCE_DIR) + "/tests/app/golden/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class UpdaterCommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/updater-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        shortUsage = sGolden("usage_short.txt");
        fullUsage = sGolden("usage_full.txt");
        extendedUsage = sGolden("usage_extended.txt");
        ASSERT_FALSE(shortUsage.empty());
    }
    void TearDown() override { aDirectory_DeleteTree(dir.c_str()); }

    RunResult Run(std::vector<std::string> words, bool withStore = true)
    {
        if (withStore) {
            words.push_back("-i");
            words.push_back(dir);
        }
        words.insert(words.begin(), UpdaterProgramPath());
        RunOptions options;
        options.environment = {"HOME=" + dir};
        options.timeoutMs = 60000;
        RunResult r = RunProgram(words, options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        return r;
    }

    std::string dir;
    std::string shortUsage, fullUsage, extendedUsage;
};

struct TextCase {
    std::vector<std::string> words;
    int status;
    std::string out;
    std::string err; // "@short", "@full" and "@extended" at the end stand for the usage texts
};

TEST_F(UpdaterCommandLine, ExactOutputOfHelpAndRefusals)
{
    const std::string transportError =
        "Invalid transport type:[foo]\nMust be one of the following: USB, TCPIP, RECOVER\n";
    const std::string REFUSED =
        "Not run: -U and -G need a command line without skipped words; nothing was sent or stored\n";
    const TextCase cases[] = {
        {{}, 0, VERSION_LINE, "@short"},
        {{"-h"}, 0, VERSION_LINE, "@full"},
        {{"-H"}, 0, VERSION_LINE, "@full"},
        {{"--help"}, 0, VERSION_LINE, "@full"},
        {{"--he"}, 0, VERSION_LINE, "@full"},
        {{"-X", "0x10000", "-h"}, 0, VERSION_LINE, "@extended"},
        {{"-X=1", "-H"}, 0, VERSION_LINE, "@extended"},
        {{"-h", "-X", "1"}, 0, VERSION_LINE, "@full"},
        {{"-X", "1"}, 0, VERSION_LINE, "@short"},
        {{"-D", "-h"}, 0, VERSION_LINE, "@full"},
        {{"-t", "foo", "-h"}, 0, VERSION_LINE, transportError + "@full"},
        {{"-Z"}, 0, VERSION_LINE, "Warning: skipped [-Z]: its value is missing\n@short"},
        {{"stray", "-q"},
         0,
         VERSION_LINE,
         "Warning: skipped [stray]: not an option\nWarning: skipped [-q]: unknown option\n@short"},
        {{"-Y"}, 1, VERSION_LINE, "Unhandled command: [-Y]\n@short"},
        {{"-t", "foo", "-D"}, 1, VERSION_LINE, transportError + "@short"},
        {{"-B", "-d", "0"}, 1, VERSION_LINE, "Invalid serial number obtained from argument [0]\n@short"},
        {{"-B", "-d", "40F5849G"}, 1, VERSION_LINE, "Invalid serial number obtained from argument [40F5849G]\n@short"},
        {{"-B"}, 1, VERSION_LINE, "Error must supply a serial number for the List Builds command\n@short"},
        {{"-L"}, 1, VERSION_LINE, "Error must supply a serial number for the List Local Builds command\n@short"},
        {{"-J"}, 1, VERSION_LINE, "Error must supply a serial number for the Get JWT command\n@short"},
        {{"-G"}, 1, VERSION_LINE, "-G must specify a specific device via -d\n--help for usage information\n"},
        {{"-U"}, 1, VERSION_LINE, "Must specify the specific device to be updated\n"},
        // A skipped word refuses a run that would change a module or the
        // store, before anything is sent; read-only commands still run.
        {{"-d", "-U"}, 1, VERSION_LINE, "Warning: skipped [-d]: its value is missing\n" + REFUSED},
        {{"-U", "-d", "40F5849A", "--dry-run"}, 1, VERSION_LINE, "Warning: skipped [--dry-run]: unknown option\n" + REFUSED},
        {{"-U", "-d", "40F5849A", "-f"}, 1, VERSION_LINE, "Warning: skipped [-f]: its value is missing\n" + REFUSED},
        {{"-G", "-d", "40F5849A", "-b", "12", "34"}, 1, VERSION_LINE, "Warning: skipped [34]: not an option\n" + REFUSED},
        {{"-L", "-d", "40F5849A", "--verbose"}, 0, VERSION_LINE + "No builds found for device [40F5849A]\n", "Warning: skipped [--verbose]: unknown option\n"},
        {{"-N"}, 1, VERSION_LINE, "Must specify the serial port used for connecting\n"},
        // -G fails before any main command runs.
        {{"-G", "-D"}, 1, VERSION_LINE, "-G must specify a specific device via -d\n--help for usage information\n"},
        // Commands that are accepted but run nothing.
        {{"-I"}, 0, VERSION_LINE, ""},
        {{"-C"}, 0, VERSION_LINE, ""},
        {{"-Z", "anything"}, 0, VERSION_LINE, ""},
        {{"-OVERRIDE", "-I", "-m", "0", "-e", "-n", "-l", "note", "-k", "x.log"}, 0, VERSION_LINE, ""},
    };
    for (const TextCase& c : cases) {
        std::string name;
        for (const std::string& w : c.words)
            name += w + " ";
        SCOPED_TRACE(name);
        std::string err = c.err;
        for (auto sub : {std::make_pair("@short", &shortUsage), std::make_pair("@full", &fullUsage),
                         std::make_pair("@extended", &extendedUsage)}) {
            size_t at = err.find(sub.first);
            if (at != std::string::npos)
                err.replace(at, std::string(sub.first).size(), *sub.second);
        }
        RunResult r = Run(c.words);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, err);
    }
}

TEST_F(UpdaterCommandLine, StorageDirectoryIsCreatedWithMode0755)
{
    const std::string nested = dir + "/a/b";
    RunResult r = Run({"-i", nested, "-L", "-d", "1"}, false);
    struct stat st;
    ASSERT_EQ(stat((nested + "/updater").c_str(), &st), 0) << r.err;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(r.out.compare(0, VERSION_LINE.size(), VERSION_LINE), 0) << r.out;

    // Help and refused command lines never touch the store.
    const std::string untouched = dir + "/untouched";
    Run({"-h", "-i", untouched}, false);
    Run({"-Y", "-i", untouched}, false);
    Run({"-i", untouched}, false);
    EXPECT_FALSE(aDirectory_Exists(untouched.c_str()));
}

TEST_F(UpdaterCommandLine, StorageDirectoryThatCannotBeMade)
{
    const std::string file = dir + "/plain";
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    RunResult r = Run({"-I", "-i", file}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, VERSION_LINE);
    EXPECT_EQ(r.err, "Could not find updater directory at " + file + "/updater\n");
}

TEST_F(UpdaterCommandLine, ParameterTraceWithDebugMask)
{
    RunResult r = Run({"-X", "0x10000", "-I", "extra word"}, true);
    EXPECT_EQ(r.status, 0);
    const std::string expected = "Warning: skipped [extra word]: not an option\n"
                                 "\nApplication parameters:[Updater]\n\t[" + UpdaterProgramPath() +
                                 "]\n\t[-X]\n\t[0x10000]\n\t[-I]\n\t[extra word]\n\t[-i]\n\t[" + dir + "]\n";
    EXPECT_EQ(r.err, expected);

    // A mask with stray characters is reported but does not fail the run.
    r = Run({"-X", "0x2G", "-I"}, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Invalid format for \"-X\" parameter, unprocessed characters [G]\n");
}

TEST_F(UpdaterCommandLine, GetAnnouncesTheBuildItAsksFor)
{
    // Nothing listens on this loopback port, so the download itself fails.
    const std::string dead = "http://127.0.0.1:1/cgi/u";
    RunResult r = Run({"-G", "-d", "0x40F5849A", "-u", dead});
    EXPECT_EQ(r.status, 1);
    const std::string announced = VERSION_LINE +
                                  "Retrieving firmware for device with serial number 40F5849A\n"
                                  "No build specified\nUsing Latest build\n";
    EXPECT_EQ(r.out.compare(0, announced.size(), announced), 0) << r.out;

    // A build that is not a number is asked for as build 0.
    r = Run({"-G", "-d", "40F5849A", "-b", "abc", "-u", dead});
    EXPECT_EQ(r.status, 1);
    const std::string zero = VERSION_LINE + "Retrieving firmware for device with serial number 40F5849A\n"
                                            "Retrieving firmware build 0\n";
    EXPECT_EQ(r.out.compare(0, zero.size(), zero), 0) << r.out;
    EXPECT_FALSE(r.err.empty());
}

} // namespace

TEST_F(UpdaterCommandLine, HelpLoadsNeitherZeroMQNorLibcurl)
{
    // The dynamic loader names every library it starts; ZeroMQ and libcurl
    // come only with a server, an AETHER link or a server command.
    RunOptions options;
    options.environment = {"HOME=" + dir, "LD_DEBUG=files"};
    options.timeoutMs = 60000;
    RunResult r = RunProgram({UpdaterProgramPath(), "-h"}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("calling init:"), std::string::npos) << r.err;
    for (const char* library : {"libzmq.so", "libczmq.so", "libcurl.so"})
        EXPECT_EQ(r.err.find(library), std::string::npos) << library;
}
