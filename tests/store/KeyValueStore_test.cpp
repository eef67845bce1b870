#include <algorithm>
#include <cctype>
#include <csignal>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "LogCapture.h"
#include "TempDir.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"

namespace {

// ctime text without the newline: "Tue Dec  8 16:31:48 2026". In the
// pattern, A is an upper-case letter, a a lower-case one, 9 a digit and
// _ a blank or a digit; everything else stands for itself.
bool isStamp(const std::string& text)
{
    const std::string pattern = "Aaa Aaa _9 99:99:99 9999";
    if (text.size() != pattern.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char p = pattern[i], c = text[i];
        bool ok = p == 'A' ? std::isupper(static_cast<unsigned char>(c)) != 0
                : p == 'a' ? std::islower(static_cast<unsigned char>(c)) != 0
                : p == '9' ? std::isdigit(static_cast<unsigned char>(c)) != 0
                : p == '_' ? (c == ' ' || std::isdigit(static_cast<unsigned char>(c)))
                           : c == p;
        if (!ok)
            return false;
    }
    return true;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    if (start < text.size())
        out.push_back(text.substr(start));
    return out;
}

std::vector<std::string> entriesOf(const TempDir& tmp)
{
    std::vector<std::string> names;
    DIR* d = opendir(tmp.path().c_str());
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.' || std::string(e->d_name).size() > 2)
            names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

TEST(KeyValueStoreTest, MissingFileIsCreatedWithTwoTimeStamps)
{
    TempDir tmp;
    LogCapture log(DEBUG_Attributes);
    std::string path = tmp.sub(".settings");
    KeyValueStore kv(path.c_str());
    EXPECT_FALSE(kv.IsModified());
    EXPECT_EQ(path, kv.FileName());
    EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));

    std::vector<std::string> l = lines(tmp.read(".settings"));
    ASSERT_EQ(2u, l.size());
    ASSERT_EQ(0u, l[0].find("CREATED_TIME="));
    ASSERT_EQ(0u, l[1].find("UPDATED_TIME="));
    std::string created = l[0].substr(13);
    EXPECT_TRUE(isStamp(created)) << created;
    EXPECT_EQ(24u, created.size());
    EXPECT_EQ(created, l[1].substr(13));
    EXPECT_EQ(created, kv.GetString("CREATED_TIME", nullptr));

    // Loading the file back reads the two keys and changes nothing.
    KeyValueStore again(path.c_str());
    EXPECT_EQ(2u, again.Entries().size());
    EXPECT_FALSE(again.IsModified());
}

TEST(KeyValueStoreTest, LoadRules)
{
    TempDir tmp;
    tmp.write("s", "  NAME  =  some value = x \r\n"
                   "#COMMENT=1\n"
                   " #KEY=2\n"
                   "a\n"
                   "b=\n"
                   "NOEQUALS  \n"
                   "DUP=first\n"
                   "\tTAB\t=\tv\t\n"
                   "DUP=second\n"
                   "=empty key\n"
                   "LAST=no newline");
    KeyValueStore kv;
    EXPECT_TRUE(kv.Load(tmp.sub("s").c_str()));
    EXPECT_STREQ("some value = x", kv["NAME"]);
    EXPECT_EQ(nullptr, kv["#COMMENT"]);
    EXPECT_STREQ("2", kv["#KEY"]);
    EXPECT_EQ(nullptr, kv["a"]);
    EXPECT_STREQ("", kv["b"]);
    EXPECT_STREQ("", kv["NOEQUALS"]);
    EXPECT_STREQ("second", kv["DUP"]);
    EXPECT_STREQ("v", kv["TAB"]);
    EXPECT_STREQ("empty key", kv[""]);
    EXPECT_STREQ("no newline", kv["LAST"]);
    EXPECT_FALSE(kv.IsModified());
}

TEST(KeyValueStoreTest, LoadMergesAndStopsAtAnOverlongLine)
{
    TempDir tmp;
    tmp.write("s", "A=1\nB=2\n" + std::string(3000, 'L') + "=x\nC=3\n");
    KeyValueStore kv;
    kv.Add("OLD", "kept");
    kv.Add("A", "0");
    EXPECT_TRUE(kv.Load(tmp.sub("s").c_str()));
    EXPECT_FALSE(kv.IsModified()); // Load clears the flag
    EXPECT_STREQ("kept", kv["OLD"]);
    EXPECT_STREQ("1", kv["A"]);
    EXPECT_STREQ("2", kv["B"]);
    EXPECT_EQ(nullptr, kv["C"]);
    EXPECT_EQ(3u, kv.Entries().size());

    // A line that just fits with its newline is read.
    tmp.write("t", std::string(2039, 'K') + "=123456\nD=4\n");
    KeyValueStore fits(tmp.sub("t").c_str());
    EXPECT_STREQ("123456", fits[std::string(2039, 'K')]);
    EXPECT_STREQ("4", fits["D"]);
}

TEST(KeyValueStoreTest, SettersFormatTheirValuesAndSaveSortsKeys)
{
    TempDir tmp;
    KeyValueStore kv;
    kv.AddHex("HEX", 255);
    kv.Add("DBL", 1.5);
    kv.Add("INT", -3);
    kv.Add("STR", std::string("text"));
    kv.Add("lower", "x");
    kv.Add("LATEST_DOWNLOAD", "1234.bird");
    kv.Add("LAST_TRANSFER_DATE", "now");
    EXPECT_TRUE(kv.IsModified());
    EXPECT_TRUE(kv.Save(tmp.sub("s").c_str()));
    EXPECT_FALSE(kv.IsModified());
    std::vector<std::string> l = lines(tmp.read("s"));
    ASSERT_EQ(8u, l.size());
    EXPECT_EQ("DBL=1.500000", l[0]);
    EXPECT_EQ("HEX=0x000000FF", l[1]);
    EXPECT_EQ("INT=-3", l[2]);
    EXPECT_EQ("LAST_TRANSFER_DATE=now", l[3]);
    EXPECT_EQ("LATEST_DOWNLOAD=1234.bird", l[4]);
    EXPECT_EQ("STR=text", l[5]);
    EXPECT_EQ(0u, l[6].find("UPDATED_TIME="));
    EXPECT_EQ("lower=x", l[7]);
}

TEST(KeyValueStoreTest, TypedGetters)
{
    KeyValueStore kv;
    kv.Add("I", "42abc");
    kv.Add("H", "0x1aF");
    kv.Add("H2", "ff");
    kv.Add("B0", "0");
    kv.Add("B1", "7");
    kv.Add("BT", "true");
    kv.Add("D", "2.25");
    kv.Add("E", "");
    kv.Add("BUILD", "1234.bird");
    EXPECT_EQ(42, kv.GetInt("I", -1));
    EXPECT_EQ(1234, kv.GetInt("BUILD", 0));
    EXPECT_EQ(0x1AFu, kv.GetHex("H", 0));
    EXPECT_EQ(0xFFu, kv.GetHex("H2", 0));
    EXPECT_FALSE(kv.GetBOOL("B0", true));
    EXPECT_TRUE(kv.GetBOOL("B1", false));
    EXPECT_FALSE(kv.GetBOOL("BT", true)); // booleans are numbers
    EXPECT_DOUBLE_EQ(2.25, kv.GetDouble("D", 0));
    EXPECT_EQ(9, kv.GetInt("E", 9));
    EXPECT_EQ(0xABu, kv.GetHex("E", 0xAB));
    EXPECT_TRUE(kv.GetBOOL("E", true));
    EXPECT_DOUBLE_EQ(0.5, kv.GetDouble("E", 0.5));
    EXPECT_EQ("", kv.GetString("E", "default"));
    EXPECT_EQ("default", kv.GetString("NONE", "default"));
    EXPECT_EQ("", kv.GetString("NONE", nullptr));
    EXPECT_EQ(nullptr, kv["NONE"]);
}

TEST(KeyValueStoreTest, NumericReadOfAnAbsentKeyAddsItEmpty)
{
    TempDir tmp;
    KeyValueStore kv;
    kv.Add("A", 1);
    ASSERT_TRUE(kv.Save(tmp.sub("s").c_str()));
    EXPECT_EQ(77, kv.GetInt("LATEST_TRANSFER", 77));
    EXPECT_FALSE(kv.IsModified());
    EXPECT_STREQ("", kv["LATEST_TRANSFER"]);
    ASSERT_TRUE(kv.Save());
    std::vector<std::string> l = lines(tmp.read("s"));
    ASSERT_EQ(3u, l.size());
    EXPECT_EQ("LATEST_TRANSFER=", l[1]);
    KeyValueStore back(tmp.sub("s").c_str());
    EXPECT_EQ(5, back.GetInt("LATEST_TRANSFER", 5));
}

TEST(KeyValueStoreTest, ModifiedFlagDecidesTheUpdatedTime)
{
    TempDir tmp;
    std::string path = tmp.sub("s");
    tmp.write("s", "UPDATED_TIME=old\nX=1\n");
    KeyValueStore kv(path.c_str());
    kv.Add("X", 1);
    kv.Add("X", std::string("1"));
    EXPECT_FALSE(kv.IsModified());
    ASSERT_TRUE(kv.Save());
    EXPECT_EQ("UPDATED_TIME=old\nX=1\n", tmp.read("s"));

    kv.Add("X", 2);
    EXPECT_TRUE(kv.IsModified());
    ASSERT_TRUE(kv.Save());
    EXPECT_TRUE(isStamp(kv.GetString("UPDATED_TIME", nullptr)));

    // Copying a store counts as a change even when no value differs.
    KeyValueStore same;
    same.Add("X", 2);
    kv.Add(same);
    EXPECT_TRUE(kv.IsModified());
    KeyValueStore empty;
    KeyValueStore other;
    other.Add(empty);
    EXPECT_FALSE(other.IsModified());

    kv.Clear();
    EXPECT_TRUE(kv.IsModified());
    EXPECT_TRUE(kv.Entries().empty());
}

TEST(KeyValueStoreTest, CopiesSaveIndependently)
{
    TempDir tmp;
    KeyValueStore a;
    a.Add("K", "a");
    ASSERT_TRUE(a.Save(tmp.sub("s").c_str()));
    KeyValueStore b = a;
    b.Add("K", "b");
    EXPECT_STREQ("a", a["K"]);
    EXPECT_EQ(a.FileName(), b.FileName());
    ASSERT_TRUE(b.Save());
    EXPECT_EQ(0u, tmp.read("s").find("K=b\n"));
}

TEST(KeyValueStoreTest, SaveWithoutANameUsesTheDefaultInTheCurrentFolder)
{
    TempDir tmp;
    char old[4096];
    ASSERT_NE(nullptr, getcwd(old, sizeof old));
    ASSERT_EQ(0, chdir(tmp.path().c_str()));
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv;
    kv.Add("K", 1);
    EXPECT_TRUE(kv.Save());
    EXPECT_EQ(".settings", kv.FileName());
    EXPECT_TRUE(log.contains("using default:[.settings]"));
    ASSERT_EQ(0, chdir(old));
    EXPECT_NE(std::string::npos, tmp.read(".settings").find("K=1\n"));
}

// Runs body with the process's file size limit set to bytes; writes past it
// fail with EFBIG instead of raising a signal.
template <typename F> void withFileSizeLimit(rlim_t bytes, F body)
{
    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit lim = old;
    lim.rlim_cur = bytes;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &lim));
    body();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
}

TEST(KeyValueStoreTest, FailedSaveLeavesTheOldFileAndNoTemporary)
{
    TempDir tmp;
    std::string path = tmp.sub(".settings");
    KeyValueStore kv(path.c_str());
    std::string before = tmp.read(".settings");
    kv.Add("BIG", std::string(20000, 'v'));
    withFileSizeLimit(4096, [&] { EXPECT_FALSE(kv.Save()); });
    EXPECT_TRUE(kv.IsModified());
    EXPECT_EQ(before, tmp.read(".settings"));
    EXPECT_EQ(std::vector<std::string>{".settings"}, entriesOf(tmp));

    // The same save succeeds once there is room.
    EXPECT_TRUE(kv.Save());
    EXPECT_NE(std::string::npos, tmp.read(".settings").find(std::string(20000, 'v')));
    EXPECT_EQ(std::vector<std::string>{".settings"}, entriesOf(tmp));

    // A folder that does not exist: nothing is written, the store stays in memory.
    KeyValueStore lost(tmp.sub("no/such/.settings").c_str());
    EXPECT_TRUE(isStamp(lost.GetString("CREATED_TIME", nullptr)));
    EXPECT_TRUE(isStamp(lost.GetString("UPDATED_TIME", nullptr)));
}

TEST(KeyValueStoreTest, AtomicWriteKeepsPermissionsAndRejectsBadArguments)
{
    TempDir tmp;
    std::string path = tmp.sub("f");
    ASSERT_EQ(aErrNone, AtomicFile_Write(path, "abc", 3));
    ASSERT_EQ(0, chmod(path.c_str(), 0640));
    ASSERT_EQ(aErrNone, AtomicFile_Write(path, "defg", 4));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ("defg", tmp.read("f"));
    EXPECT_EQ(aErrNone, AtomicFile_Write(path, nullptr, 0));
    EXPECT_EQ("", tmp.read("f"));
    EXPECT_EQ(aErrParam, AtomicFile_Write(path, nullptr, 1));
    EXPECT_EQ(aErrParam, AtomicFile_Write("", "x", 1));
    EXPECT_EQ(aErrNotFound, AtomicFile_Write(tmp.sub("none/f"), "x", 1));
    // Renaming a file over a folder fails; the folder stays.
    ASSERT_EQ(aErrNone, aDirectory_Ensure(tmp.sub("dir").c_str(), 0755));
    EXPECT_EQ(aErrIO, AtomicFile_Write(tmp.sub("dir"), "x", 1));
    EXPECT_TRUE(aDirectory_Exists(tmp.sub("dir").c_str()));
    std::vector<std::string> names = entriesOf(tmp);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"dir", "f"}), names);
}

} // namespace
