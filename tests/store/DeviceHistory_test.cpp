// The device history file: records appended whole, read back oldest first,
// damaged lines passed over, and a file that is not what it seems refused.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "store/DeviceHistory.h"
#include "store/Sha256.h"
#include "TempDir.h"

namespace {

using json = nlohmann::ordered_json;

HistoryRecord Record(const std::string& command, uint32_t buildAfter)
{
    HistoryRecord r;
    r.time = History_TimeNow();
    r.host = History_HostName();
    r.user = History_UserName();
    r.command = command;
    r.versionAfter = "2.16.0";
    r.buildAfter = buildAfter;
    r.result = "ok";
    r.seconds = 1.23456;
    return r;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(DeviceHistory, RecordsAreWholeLinesReadBackInOrder)
{
    TempDir dir;
    std::vector<json> none;
    unsigned skipped = 9;
    EXPECT_TRUE(History_Read(dir.path(), none, &skipped)); // no file yet: no records
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(skipped, 0u);

    HistoryRecord first = Record("download", 2000);
    first.sha256 = Sha256_Hex("abc", 3);
    ASSERT_EQ(History_Append(dir.path(), first), aErrNone);
    HistoryRecord second = Record("update", 2000);
    second.versionBefore = "2.15.0";
    second.buildBefore = 1000;
    // Text from the user need not be UTF-8, nor free of line ends.
    second.message = "line one\nline two \xff";
    ASSERT_EQ(History_Append(dir.path(), second), aErrNone);

    const std::string text = ReadAll(dir.sub(".history"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    struct stat st;
    ASSERT_EQ(::stat(dir.sub(".history").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    std::vector<json> records;
    ASSERT_TRUE(History_Read(dir.path(), records, &skipped));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(skipped, 0u);
    EXPECT_EQ(records[0]["command"], "download");
    // The digest of "abc" as every SHA-256 implementation gives it.
    EXPECT_EQ(records[0]["sha256"], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_TRUE(records[0]["version_before"].is_null());
    EXPECT_TRUE(records[0]["build_before"].is_null());
    EXPECT_TRUE(records[0]["message"].is_null());
    EXPECT_EQ(records[1]["build_before"], 1000);
    EXPECT_EQ(records[1]["seconds"], 1.235);
    EXPECT_EQ(records[1]["message"], "line one\nline two \xef\xbf\xbd");
    const std::string time = records[1]["time"];
    ASSERT_EQ(time.size(), 20u) << time;
    EXPECT_EQ(time[10], 'T');
    EXPECT_EQ(time.back(), 'Z');
}

TEST(DeviceHistory, DamagedLinesArePassedOverAndTheNextRecordStartsOnItsOwnLine)
{
    TempDir dir;
    ASSERT_EQ(History_Append(dir.path(), Record("update", 1)), aErrNone);
    // A record cut by a crash, a stray line, an array, a line far too long.
    std::string junk = ReadAll(dir.sub(".history"));
    junk += "[1,2]\nnot json\n{\"time\":\"x\"," + std::string(HISTORY_LINE_MAX, ' ') + "}\n";
    junk += "{\"time\":\"2026-01-01T00:00:00Z\",\"comm";
    dir.write(".history", junk);

    std::vector<json> records;
    unsigned skipped = 0;
    ASSERT_TRUE(History_Read(dir.path(), records, &skipped));
    EXPECT_EQ(records.size(), 1u);
    EXPECT_EQ(skipped, 4u);

    ASSERT_EQ(History_Append(dir.path(), Record("recover", 2)), aErrNone);
    records.clear();
    ASSERT_TRUE(History_Read(dir.path(), records, &skipped));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]["command"], "recover");
    EXPECT_EQ(skipped, 4u);

    // A record that only lost its line end is whole.
    std::string text = ReadAll(dir.sub(".history"));
    text.pop_back();
    dir.write(".history", text);
    records.clear();
    ASSERT_TRUE(History_Read(dir.path(), records, &skipped));
    EXPECT_EQ(records.size(), 2u);
}

TEST(DeviceHistory, AHistoryThatIsNoPlainFileIsRefused)
{
    TempDir dir;
    TempDir elsewhere;
    const std::string target = elsewhere.sub("planted");
    dir.write("x", "");
    ASSERT_EQ(::symlink(target.c_str(), dir.sub(".history").c_str()), 0);
    EXPECT_EQ(History_Append(dir.path(), Record("update", 1)), aErrNotFound);
    struct stat st;
    EXPECT_NE(::stat(target.c_str(), &st), 0); // nothing was written through the link
    std::vector<json> records;
    EXPECT_FALSE(History_Read(dir.path(), records));

    TempDir fifoDir;
    ASSERT_EQ(::mkfifo(fifoDir.sub(".history").c_str(), 0644), 0);
    EXPECT_EQ(History_Append(fifoDir.path(), Record("update", 1)), aErrNotFound);
    EXPECT_FALSE(History_Read(fifoDir.path(), records));
}

TEST(DeviceHistory, DigestOfAFile)
{
    TempDir dir;
    dir.write("f", "abc");
    EXPECT_EQ(Sha256_File(dir.sub("f")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256_File(dir.sub("missing")), "");
    EXPECT_EQ(Sha256_File(dir.path()), ""); // a folder is no file
}
