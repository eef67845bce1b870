// The six server requests against the simulated server: the exact URLs on
// the wire and how each answer is read, including answers the server should
// not send.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/UpdateServerHarness.h"
#include "server/UpdateServerRequest.h"

namespace {

const uint32_t SERIAL = 0x40F5849A;

class ServerRequests : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = new UpdateServerHarness();
        server->SetLatest(SERIAL, "4711", "FWID-7");
        server->SetBuilds(SERIAL, "4711;1.2.3\n4700;1.2.10\n");
        server->AddBird(SERIAL, "4711", "bird-bytes");
        server->SetToken(SERIAL, "hdr.payload.sig");
        const uint32_t fp[4] = {0x1, 0xA0B0C0D0, 0x3, 0xFFFFFFFF};
        server->AddFingerprint(fp, SERIAL, "4711");
        server->Start();
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    void SetUp() override
    {
        ASSERT_GT(server->Port(), 0);
        server->SetFaults("");
        seen = server->Requests().size();
    }
    // Serves the given bytes as the answer to every request.
    void Answer(const std::string& body)
    {
        server->WriteFile("answer", body);
        server->SetFaults("body:answer\n");
    }
    std::vector<std::string> NewRequests() const
    {
        auto all = server->Requests();
        return std::vector<std::string>(all.begin() + static_cast<long>(seen), all.end());
    }
    const char* url() const
    {
        urlText = server->URL();
        return urlText.c_str();
    }

    static UpdateServerHarness* server;
    size_t seen = 0;
    mutable std::string urlText;
};

UpdateServerHarness* ServerRequests::server = nullptr;

} // namespace

TEST_F(ServerRequests, EachRequestSendsItsExactQuery)
{
    std::string build, fw, firmware, token;
    UpdateServerRequest::BuildMap builds;
    uint32_t serial = 0, recovered = 0;
    const uint32_t fp[4] = {0x1, 0xA0B0C0D0, 0x3, 0xFFFFFFFF};

    EXPECT_TRUE(UpdateServerRequest::ping(url()));
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, build, fw, url()));
    EXPECT_TRUE(UpdateServerRequest::GetBuild(SERIAL, fw, build, firmware, url(), false));
    EXPECT_TRUE(UpdateServerRequest::GetBuild(SERIAL, fw, build, firmware, url(), true));
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, url()));
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, recovered, url()));
    EXPECT_TRUE(UpdateServerRequest::GetDeviceJWT(0x0000ABCD, token, url()) == false); // unknown device
    EXPECT_TRUE(UpdateServerRequest::GetDeviceJWT(SERIAL, token, url()));

    const std::string u = server->URL();
    std::vector<std::string> expected = {
        u + "?op=hi&rv=2&",
        u + "?op=qu&sn=40F5849A&",
        u + "?bld=4711&fw=FWID-7&no_cal=false&op=bird&sn=40F5849A&",
        u + "?bld=4711&fw=FWID-7&no_cal=true&op=bird&sn=40F5849A&",
        u + "?op=builds&sn=40F5849A&",
        u + "?brief=true&fp=00000001%20A0B0C0D0%2000000003%20FFFFFFFF&op=fix&",
        u + "?json=false&op=ent_jwt&sn=0000ABCD&",
        u + "?json=false&op=ent_jwt&sn=40F5849A&",
    };
    EXPECT_EQ(NewRequests(), expected);

    EXPECT_EQ(build, "4711");
    EXPECT_EQ(fw, "FWID-7");
    EXPECT_EQ(firmware, "YmlyZC1ieXRlcw=="); // "bird-bytes"
    EXPECT_EQ(builds, (UpdateServerRequest::BuildMap{{"4700", "1.2.10"}, {"4711", "1.2.3"}}));
    EXPECT_EQ(serial, SERIAL);
    EXPECT_EQ(recovered, 4711u);
    EXPECT_EQ(token, "hdr.payload.sig");
}

TEST_F(ServerRequests, OkLineRules)
{
    Answer("okay\n");
    EXPECT_TRUE(UpdateServerRequest::ping(url()));
    Answer("\n\nok\n");
    EXPECT_TRUE(UpdateServerRequest::ping(url())); // empty lines are skipped
    Answer("ok\r\n");
    EXPECT_TRUE(UpdateServerRequest::ping(url()));
    Answer("OK\n");
    EXPECT_FALSE(UpdateServerRequest::ping(url()));
    Answer(" ok\n");
    EXPECT_FALSE(UpdateServerRequest::ping(url()));
    Answer("o");
    EXPECT_FALSE(UpdateServerRequest::ping(url()));
    Answer("");
    EXPECT_FALSE(UpdateServerRequest::ping(url()));
}

TEST_F(ServerRequests, QueryBuildLines)
{
    std::string build = "old", fw = "old";
    Answer("ok\n4711\nX\r\n");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, build, fw, url()));
    EXPECT_EQ(build, "4711");
    EXPECT_EQ(fw, "X");

    // The build line keeps a carriage return; the identifier does not.
    Answer("ok\r\n4712\r\nY\r\n");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, build, fw, url()));
    EXPECT_EQ(build, "4712\r");
    EXPECT_EQ(fw, "Y");

    Answer("ok\n\n4713\n");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, build, fw, url()));
    EXPECT_EQ(build, "4713");
    EXPECT_EQ(fw, "Y"); // missing line leaves it

    Answer("ok\n");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, build, fw, url()));
    EXPECT_EQ(build, "4713");

    Answer("error\n9\n9\n");
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(SERIAL, build, fw, url()));
    EXPECT_EQ(build, "4713");
}

TEST_F(ServerRequests, GetBuildClearsOnlyAfterOk)
{
    std::string firmware = "previous";
    server->SetFaults("notok\n");
    EXPECT_FALSE(UpdateServerRequest::GetBuild(SERIAL, "F", "4711", firmware, url()));
    EXPECT_EQ(firmware, "previous");
    Answer("ok\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "F", "4711", firmware, url()));
    EXPECT_EQ(firmware, "");
    server->SetFaults("truncate\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "F", "4711", firmware, url()));
    EXPECT_EQ(firmware, "YmlyZC1ieXRlcw");
}

TEST_F(ServerRequests, BuildListLines)
{
    UpdateServerRequest::BuildMap builds{{"stale", "x"}};
    Answer("ok\n100;1.2.3\nx\n101\n100;9.9.9\n102;2.0.0\r\n103\r\n;;\n");
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, url()));
    EXPECT_EQ(builds, (UpdateServerRequest::BuildMap{
                          {"100", "1.2.3"}, {"101", ""}, {"102", "2.0.0"}, {"103", ""}}));

    builds = {{"stale", "x"}};
    server->SetFaults("status500\n");
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(SERIAL, builds, url()));
    EXPECT_TRUE(builds.empty()); // cleared before asking
}

TEST_F(ServerRequests, RecoveryInfoNumberBases)
{
    const uint32_t fp[4] = {1, 2, 3, 4};
    uint32_t serial = 7, build = 7;
    Answer("ok\n0000ABCD\n0x20\n");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, build, url()));
    EXPECT_EQ(serial, 0xABCDu);
    EXPECT_EQ(build, 32u);
    Answer("ok\nabcd\n010\n");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, build, url()));
    EXPECT_EQ(build, 8u);
    Answer("ok\n12\n");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, build, url()));
    EXPECT_EQ(serial, 0x12u);
    EXPECT_EQ(build, 8u);
    Answer("ok\nzz\n4711\r\n");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, build, url()));
    EXPECT_EQ(serial, 0u);
    EXPECT_EQ(build, 4711u);
}

TEST_F(ServerRequests, TokenNeedsThreeParts)
{
    struct Case {
        const char* body;
        bool ok;
        const char* token;
    } cases[] = {
        {"ok\nhh.pp.ss\n", true, "hh.pp.ss"},
        {"ok\nhh.pp.ss\r\n", true, "hh.pp.ss"},
        {"ok\nhh.pp.ss.tt\n", true, "hh.pp.ss.tt"},
        {"ok\nhh.pp\n", false, ""},
        {"ok\nh.pp.ss\n", false, ""},
        {"ok\nhh.p.ss\n", false, ""},
        {"ok\nhh.pp.s\n", false, ""},
        {"ok\nhh.pp.s\r\n", false, ""},
        {"ok\nhh..ss\n", false, ""},
        {"ok\n..\n", false, ""},
        {"ok\n", false, ""},
    };
    for (const auto& c : cases) {
        std::string token;
        Answer(c.body);
        EXPECT_EQ(UpdateServerRequest::GetDeviceJWT(SERIAL, token, url()), c.ok) << c.body;
        EXPECT_EQ(token, c.token) << c.body;
    }
}

TEST_F(ServerRequests, FailingServerFailsEveryRequest)
{
    for (const char* faults : {"status500\n", "notok\n"}) {
        server->SetFaults(faults);
        std::string build = "b", fw = "f", firmware = "x", token = "t";
        UpdateServerRequest::BuildMap builds;
        uint32_t serial = 5, recovered = 6;
        const uint32_t fp[4] = {0x1, 0xA0B0C0D0, 0x3, 0xFFFFFFFF};
        EXPECT_FALSE(UpdateServerRequest::ping(url()));
        EXPECT_FALSE(UpdateServerRequest::QueryBuild(SERIAL, build, fw, url()));
        EXPECT_FALSE(UpdateServerRequest::GetBuild(SERIAL, fw, build, firmware, url()));
        EXPECT_FALSE(UpdateServerRequest::GetBuildList(SERIAL, builds, url()));
        EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, serial, recovered, url()));
        EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(SERIAL, token, url()));
        EXPECT_EQ(build + fw + firmware + token, "bfxt");
        EXPECT_EQ(serial + recovered, 11u);
    }
    const std::string dead = UpdateServerHarness::DeadURL();
    std::string token;
    EXPECT_FALSE(UpdateServerRequest::ping(dead.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(SERIAL, token, dead.c_str()));
}

TEST(ServerVersions, SplitNeedsExactlyThreeParts)
{
    typedef std::vector<std::string> V;
    EXPECT_EQ(UpdateServerRequest::SplitCorvestelVersion("1.2.3"), (V{"1", "2", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitCorvestelVersion("1..3"), (V{"1", "", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitCorvestelVersion(".."), (V{"", "", ""}));
    EXPECT_TRUE(UpdateServerRequest::SplitCorvestelVersion("1.2").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitCorvestelVersion("1.2.3.4").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitCorvestelVersion("1.2.3.").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitCorvestelVersion("").empty());
}

TEST(ServerVersions, SortNewestFirst)
{
    auto keys = [](const UpdateServerRequest::BuildVector& v) {
        std::string s;
        for (const auto& e : v)
            s += e.first + " ";
        return s;
    };
    EXPECT_EQ(keys(UpdateServerRequest::SortBuildsByVersion({{"a", "1.0.0"}, {"b", "2.0.0"}, {"c", "1.10.0"}})),
              "b c a ");
    EXPECT_EQ(keys(UpdateServerRequest::SortBuildsByVersion({{"x", "1.2.9"}, {"y", "1.2.10"}, {"z", "1.9.9"}})),
              "z y x ");
    // Parts are compared as 8-bit values: 1.256.0 ranks as 1.0.0.
    EXPECT_EQ(keys(UpdateServerRequest::SortBuildsByVersion({{"p", "1.256.0"}, {"q", "1.1.0"}})), "q p ");
    // Versions that are not three numbers go last, in key order.
    EXPECT_EQ(keys(UpdateServerRequest::SortBuildsByVersion(
                  {{"1", ""}, {"2", "1.0.0"}, {"3", "beta"}, {"4", "x.y.z"}, {"5", "3.0.0"}, {"6", "1.2"}})),
              "5 2 1 3 4 6 ");
    EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion({}).empty());
}

TEST(ServerVersions, SortIsSafeOnManyEqualAndBrokenVersions)
{
    // Equal and malformed versions must not upset the sort (a comparison
    // that says "before" both ways runs std::sort off the end).
    UpdateServerRequest::BuildMap builds;
    for (int i = 0; i < 2000; ++i)
        builds[std::to_string(100000 + i)] = (i % 3 == 0) ? "1.0.0" : (i % 3 == 1 ? "bad" : "2.0.0");
    auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());
    for (size_t i = 0; i < sorted.size(); ++i) {
        const char* expected = i < 666 ? "2.0.0" : (i < 1333 ? "1.0.0" : "bad");
        ASSERT_EQ(sorted[i].second, expected) << i;
    }
}

TEST(ServerBuildNumbers, OnlyDecimalDigitsMakeABuild)
{
    uint32_t build = 0;
    EXPECT_TRUE(UpdateServerRequest::ReadBuildNumber("4711", build));
    EXPECT_EQ(build, 4711u);
    EXPECT_TRUE(UpdateServerRequest::ReadBuildNumber(" 12\r", build));
    EXPECT_EQ(build, 12u);
    EXPECT_TRUE(UpdateServerRequest::ReadBuildNumber("4294967295", build));
    for (const char* text : {"", "0", "4711abc", "x1", "-1", "+5", "1 2", "4294967296", "00000000004711", "12\x1b"}) {
        build = 99;
        EXPECT_FALSE(UpdateServerRequest::ReadBuildNumber(text, build)) << text;
        EXPECT_EQ(build, 99u) << text;
    }
}
