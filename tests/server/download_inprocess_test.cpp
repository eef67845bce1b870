// The download command called in-process: argument checks before any
// request, the spinner while the worker waits, and the store step.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "store/BirdWriter.h"
#include "support/UpdateServerHarness.h"
#include "updater/Updater.h"

using srvtest::ReadWholeFile;
using srvtest::TempDir;
using srvtest::WriteWholeFile;

namespace {

const uint32_t DEVICE = 0x0000ABCD;

std::string sTwelve()
{
    BirdWriter w;
    w.AddInfo(12, "1.0.0", DEVICE, "Model");
    std::vector<uint8_t> file = w.File();
    return std::string(file.begin(), file.end());
}

class Recorder : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool active, const char* label) override
    {
        spinner.push_back(active ? '+' : '-');
        labels.push_back(label ? label : "(null)");
    }
    void info_message(const char* text) override { info.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }

    std::string spinner;
    std::vector<std::string> labels;
    std::vector<std::string> info;
    std::vector<std::string> errors;
};

class DownloadInProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.SetLatest(DEVICE, "12", "ID");
        server.SetBuilds(DEVICE, "12;1.0.0\n");
        server.AddBird(DEVICE, "12", sTwelve());
        ASSERT_TRUE(server.Start());
        url = server.URL();
    }
    Updater MakeUpdater(const std::string& storage) { return Updater(url.c_str(), storage.c_str(), display); }

    UpdateServerHarness server;
    TempDir store;
    Recorder display;
    std::string url;
};

} // namespace

TEST_F(DownloadInProcess, RefusesBadArgumentsBeforeAnyRequest)
{
    Updater updater = MakeUpdater(store.Path());
    for (const char* build : {"abc", "", "99999999999", "-5", " x1"}) {
        display.errors.clear();
        uint32_t serial = *build ? DEVICE : 0;
        EXPECT_EQ(updater.Download_Firmware(serial, build, false, false), 0u) << build;
        ASSERT_EQ(display.errors.size(), 1u) << build;
        if (*build)
            EXPECT_EQ(display.errors[0], "Build number '" + std::string(build) + "' must be an number");
        else
            EXPECT_EQ(display.errors[0], "Serial Number must be non-zero");
    }
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(DownloadInProcess, LeadingDigitsMakeTheBuild)
{
    Updater updater = MakeUpdater(store.Path());
    EXPECT_EQ(updater.Download_Firmware(DEVICE, "12abc", false, true), 12u);
    EXPECT_EQ(server.Requests().back(), url + "?bld=12&fw=ID&no_cal=true&op=bird&sn=0000ABCD&");
    EXPECT_EQ(ReadWholeFile(store.Path() + "/0000ABCD/12.bird"), sTwelve());
}

TEST_F(DownloadInProcess, SpinsWhileTheWorkerWaits)
{
    server.SetFaults("slow:450 bird\n");
    Updater updater = MakeUpdater(store.Path());
    EXPECT_EQ(updater.Download_Firmware(DEVICE, "", false, false), 12u);
    // One frame at the start, one per 100 ms step without a result, then
    // the line is cleared.
    ASSERT_GE(display.spinner.size(), 4u);
    EXPECT_EQ(display.spinner.find('-'), display.spinner.size() - 1) << display.spinner;
    for (const auto& label : display.labels)
        EXPECT_EQ(label, "Downloading");
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(DownloadInProcess, StoreThatCannotBeMade)
{
    const std::string file = store.Path() + "/plain";
    ASSERT_TRUE(WriteWholeFile(file, "x"));
    Updater updater = MakeUpdater(file);
    EXPECT_EQ(updater.Download_Firmware(DEVICE, "", false, false), 0u);
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0], "Failed to Create UpdaterStore in: Download_Firmware - Exception: UpdaterStore: " +
                                     file + " exists and is a file");
}

TEST_F(DownloadInProcess, LatestBuildThatIsNotANumber)
{
    server.SetLatest(DEVICE, "next", "ID");
    Updater updater = MakeUpdater(store.Path());
    EXPECT_EQ(updater.Download_Firmware(DEVICE, "", false, false), 0u);
    // Not build 0, and no request for it.
    EXPECT_EQ(display.errors, (std::vector<std::string>{
                                  "The server named the build 'next', which is not a build number; nothing is stored"}));
    for (const auto& request : server.Requests())
        EXPECT_EQ(request.find("op=builds"), std::string::npos) << request;
}

TEST_F(DownloadInProcess, LatestBuildLineWithCarriageReturn)
{
    server.SetFaults("crlf qu\n");
    Updater updater = MakeUpdater(store.Path());
    EXPECT_EQ(updater.Download_Firmware(DEVICE, "", false, false), 12u);
    EXPECT_EQ(server.Requests().back(), url + "?bld=12&fw=ID&no_cal=false&op=bird&sn=0000ABCD&");
}

TEST_F(DownloadInProcess, ListAndToken)
{
    server.SetToken(DEVICE, "ab.cd.ef");
    Updater updater = MakeUpdater(store.Path());
    EXPECT_EQ(updater.Get_BuildList(DEVICE), (BuildList{{"12", "1.0.0"}}));
    EXPECT_EQ(updater.Get_JWT(DEVICE), "ab.cd.ef");
    EXPECT_EQ(updater.Get_JWT(0x12345678), "");
    EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to retrieve jwt for 12345678"}));
}
