// The simulated boot ROM as a program: --help answers on standard output with
// exit status 0 and names every option and fault; bad command lines exit 2.
#include <gtest/gtest.h>

#include "support/BootRomHarness.h"
#include "support/ProgramRunner.h"

TEST(BootRomHelp, DocumentsTheOptionsAndBadOptionsAreRefused)
{
    for (const char* word : {"--help", "-h"}) {
        RunResult help = RunProgram({BootRomHarness::ProgramPath(), "--kind", "isp", word});
        EXPECT_EQ(help.status, 0) << word;
        EXPECT_TRUE(help.err.empty()) << help.err;
        for (const char* text : {"--kind", "--uid", "--echo", "--fault", "--trace", "--dump-dir", "--control-stdin",
                 "--lifetime", "--baud", "--hab", "silent", "badsum-once", "garble", "early", "badstatus", "DUMP",
                 "FAULT +NAME", "READY"})
            EXPECT_NE(help.out.find(text), std::string::npos) << text;
    }
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--kind", "arm"}, {"--kind", "isp", "--uid", "1,2,3"}, {"--kind", "sdp", "--colour"},
             {"--kind", "sdp", "--hab", "ajar"}, {"--kind", "isp", "--hab", "closed"}}) {
        bad.insert(bad.begin(), BootRomHarness::ProgramPath());
        RunResult r = RunProgram(bad);
        EXPECT_EQ(r.status, 2) << bad.size();
        EXPECT_NE(r.err.find("see --help"), std::string::npos) << r.err;
    }
}
