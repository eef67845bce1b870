#include "app/ParameterReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "RecordingDisplay.h"
#include "base/Log.h"
#include "link/aDefs.h"

namespace {

class ParameterReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Log::DeactivatePackage(0xFFFFFFFF);
        trace = tmpfile();
        ASSERT_NE(trace, nullptr);
        Log::SetOutput(trace);
    }
    void TearDown() override
    {
        Log::DeactivatePackage(0xFFFFFFFF);
        Log::SetOutput(nullptr);
        fclose(trace);
    }

    int Parse(std::vector<const char*> words, const char* program = "/usr/local/bin/Updater")
    {
        words.insert(words.begin(), program);
        return ReadParameters(display, int(words.size()), words.data(), p);
    }

    std::string Trace()
    {
        std::string text;
        fflush(trace);
        rewind(trace);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, trace)) > 0)
            text.append(buf, n);
        return text;
    }

    FILE* trace = nullptr;
    RecordingDisplay display;
    Parameters p;
};

TEST_F(ParameterReaderTest, DefaultsWithoutOptions)
{
    EXPECT_EQ(Parse({}, "C:\\tools\\Updater.exe"), 0);
    EXPECT_EQ(p.commands.Get(), 0u);
    EXPECT_EQ(p.transport, 1u);
    EXPECT_FALSE(p.transport_given);
    EXPECT_EQ(p.baud_rate, 115200u);
    EXPECT_EQ(p.server_url, "http://update.quorvane.com/cgi/u");
    EXPECT_EQ(p.log_file, "Updater.log");
    EXPECT_TRUE(p.uei_bytes_load);
    EXPECT_FALSE(p.override_model);
    EXPECT_TRUE(p.build.empty());
    EXPECT_TRUE(p.storage_directory.empty());
    EXPECT_EQ(p.program_name, "Updater.exe");
    EXPECT_FALSE(p.home_directory.empty());
    EXPECT_GE(p.home_directory.capacity(), 2048u);
    EXPECT_TRUE(display.errors.empty());
}

struct ParseCase {
    std::vector<const char*> words;
    int status;
    std::vector<std::string> errors;
    std::function<void(const Parameters&)> check;
};

TEST_F(ParameterReaderTest, OptionValuesAndTheirErrors)
{
    const ParseCase cases[] = {
        {{"-d", "40F5849A"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.serial_number, 0x40F5849Au); }},
        {{"-d", "0x40F5849A"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.serial_number, 0x40F5849Au); }},
        {{"-d=0X40f5849a"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.serial_number, 0x40F5849Au); }},
        {{"-d", "0"}, 1, {"Invalid serial number obtained from argument [0]"}, nullptr},
        {{"-d", "xyz"}, 1, {"Invalid serial number obtained from argument [xyz]"}, nullptr},
        {{"-d", "40F5849G"}, 1, {"Invalid serial number obtained from argument [40F5849G]"}, nullptr},
        {{"-d", "0x"}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
        {{"-d="}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
        // A value beyond 32 bits is refused rather than cut to another device.
        {{"-d", "140F5849A"},
         1,
         {"Invalid format for \"-d\" parameter, unprocessed characters [140F5849A]",
          "Invalid serial number obtained from argument [140F5849A]"},
         [](const Parameters& q) { EXPECT_EQ(q.serial_number, 0u); }},
        {{"-r", "0xD272031D"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.router_serial, 0xD272031Du); }},
        {{"-r", "0x0"}, 1, {"Invalid router serial number obtained from argument [0]"}, nullptr},
        {{"-r", "1FFFFFFFF"},
         1,
         {"Invalid format for \"1FFFFFFFF\" parameter, unprocessed characters [1FFFFFFFF]",
          "Invalid router serial number obtained from argument [1FFFFFFFF]"},
         nullptr},
        {{"-t", "USB"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.transport, uint32_t(USB)); }},
        {{"-t", "TCP"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.transport, uint32_t(TCPIP)); }},
        {{"-t", "TCPIP"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.transport, uint32_t(TCPIP)); }},
        {{"-t", "RECOVER"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.transport, 255u); }},
        {{"-t", "usb"},
         1,
         {"Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"},
         [](const Parameters& q) {
             EXPECT_EQ(q.transport, 0u);
             EXPECT_TRUE(q.transport_given);
         }},
        {{"-t", "RECOVE"}, 1, {"Invalid transport type:[RECOVE]\nMust be one of the following: USB, TCPIP, RECOVER"},
         nullptr},
        {{"-b", "99528558"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.build, "99528558"); }},
        {{"-b", "007"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.build, "7"); }},
        {{"-b", "abc"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.build, "0"); }},
        {{"-b", "4294967296"},
         1,
         {"Invalid format for \"-b\" parameter, unprocessed characters [4294967296]"},
         [](const Parameters& q) { EXPECT_EQ(q.build, "0"); }},
        {{"-o", "9600"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.baud_rate, 9600u); }},
        {{"-o", "fast"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.baud_rate, 0u); }},
        {{"-m", "0"}, 0, {}, [](const Parameters& q) { EXPECT_FALSE(q.uei_bytes_load); }},
        {{"-m", "10"}, 0, {}, [](const Parameters& q) { EXPECT_TRUE(q.uei_bytes_load); }},
        {{"-m", "trueish"}, 0, {}, [](const Parameters& q) { EXPECT_TRUE(q.uei_bytes_load); }},
        {{"-m", "TRUE"}, 0, {}, [](const Parameters& q) { EXPECT_FALSE(q.uei_bytes_load); }},
        {{"-Y"}, 1, {"Unhandled command: [-Y]"}, nullptr},
        {{"-O"}, 0, {}, [](const Parameters& q) { EXPECT_TRUE(q.override_model); }},
        {{"-Z", "x"}, 0, {}, [](const Parameters& q) { EXPECT_EQ(q.commands.Get(), uint32_t(CMD_Z)); }},
        {{"-e", "-n", "-f", "a.bird", "-i", "/s", "-k", "l.log", "-l", "msg", "-s", "/dev/ttyS0", "-u", "http://x/y"},
         0,
         {},
         [](const Parameters& q) {
             EXPECT_TRUE(q.echo_bytes);
             EXPECT_TRUE(q.option_n);
             EXPECT_EQ(q.bird_file, "a.bird");
             EXPECT_EQ(q.storage_directory, "/s");
             EXPECT_EQ(q.log_file, "l.log");
             EXPECT_EQ(q.history_message, "msg");
             EXPECT_EQ(q.serial_port, "/dev/ttyS0");
             EXPECT_EQ(q.server_url, "http://x/y");
         }},
        {{"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J"},
         0,
         {},
         [](const Parameters& q) { EXPECT_EQ(q.commands.Get(), 0x37Fu); }},
        // Several bad values are all reported in one run.
        {{"-d", "0", "-t", "x", "-Y"},
         1,
         {"Invalid serial number obtained from argument [0]",
          "Invalid transport type:[x]\nMust be one of the following: USB, TCPIP, RECOVER", "Unhandled command: [-Y]"},
         nullptr},
        // Skipped words are named, one warning each, and do not change the status.
        {{"-bogus", "-D=1", "stray", "-d"},
         0,
         {"Warning: skipped [-bogus]: unknown option", "Warning: skipped [-D=1]: takes no value",
          "Warning: skipped [stray]: not an option", "Warning: skipped [-d]: its value is missing"},
         [](const Parameters& q) {
             EXPECT_EQ(q.commands.Get(), 0u);
             EXPECT_EQ(q.skipped_words, (std::vector<std::string>{"-bogus", "-D=1", "stray", "-d"}));
         }},
        {{"-d", "-U"},
         0,
         {"Warning: skipped [-d]: its value is missing"},
         [](const Parameters& q) {
             EXPECT_EQ(q.serial_number, 0u);
             EXPECT_TRUE(q.commands.IsSet(CMD_UPDATE));
         }},
        {{"-D", "-d", "40F5849A"}, 0, {}, [](const Parameters& q) { EXPECT_TRUE(q.skipped_words.empty()); }},
        // Help ends the parse: earlier errors no longer count, later words are not read.
        {{"-t", "foo", "-h", "-Y"},
         0,
         {"Invalid transport type:[foo]\nMust be one of the following: USB, TCPIP, RECOVER"},
         [](const Parameters& q) {
             EXPECT_TRUE(q.help_requested);
             EXPECT_TRUE(q.commands.IsSet(CMD_HELP));
         }},
        {{"-h", "-X", "1"}, 0, {}, [](const Parameters& q) { EXPECT_FALSE(q.debug_mask_given); }},
        {{"--he"}, 0, {}, [](const Parameters& q) { EXPECT_TRUE(q.help_requested); }},
    };
    for (const ParseCase& c : cases) {
        std::string name;
        for (const char* w : c.words)
            name += std::string(w) + " ";
        SCOPED_TRACE(name);
        display.errors.clear();
        EXPECT_EQ(Parse(c.words), c.status);
        EXPECT_EQ(display.errors, c.errors);
        EXPECT_TRUE(display.info.empty());
        if (c.check)
            c.check(p);
    }
}

TEST_F(ParameterReaderTest, DebugMaskActivatesPackages)
{
    EXPECT_EQ(Parse({"-X", "0x20"}), 0);
    EXPECT_EQ(Log::package_bitmask, 0x20u);
    EXPECT_TRUE(p.debug_mask_given);
    Log::DeactivatePackage(0xFFFFFFFF);

    EXPECT_EQ(Parse({"-X", "32"}), 0);
    EXPECT_EQ(Log::package_bitmask, 0x20u);
    Log::DeactivatePackage(0xFFFFFFFF);

    EXPECT_EQ(Parse({"-X", "0x10001"}), 0);
    EXPECT_EQ(Log::package_bitmask, 0x10001u);
    Log::DeactivatePackage(0xFFFFFFFF);

    // Stray characters switch nothing on and do not fail the parse.
    EXPECT_EQ(Parse({"-X", "0x2G"}), 0);
    EXPECT_EQ(Log::package_bitmask, 0u);
    EXPECT_TRUE(p.debug_mask_given);
    EXPECT_EQ(display.errors,
              std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [G]"});
}

TEST_F(ParameterReaderTest, TraceLinesOfTheParse)
{
    Log::ActivatePackage(DEBUG_APP | DEBUG_Updater);
    EXPECT_EQ(Parse({"-d", "0x12", "-r", "0X34", "x y"}, "./Updater"), 0);
    const std::string expected = "Home directory:[" + p.home_directory +
                                 "]\n"
                                 "Discarding '0x' serial number prefix\n"
                                 "Discarding '0x' router serial number prefix\n"
                                 "\nApplication parameters:[Updater]\n"
                                 "\t[./Updater]\n\t[-d]\n\t[0x12]\n\t[-r]\n\t[0X34]\n\t[x y]\n";
    EXPECT_EQ(Trace(), expected);
}

TEST_F(ParameterReaderTest, HelpSkipsTheClosingTrace)
{
    EXPECT_EQ(Parse({"-X", "0x10000", "-h"}), 0);
    const std::string trace = Trace();
    EXPECT_EQ(trace.find("Application parameters"), std::string::npos) << trace;
}

TEST(ArgumentReaders, HexAndDecimal)
{
    const char* end = nullptr;
    const char* text = "40F5849a";
    EXPECT_EQ(ReadHexArgument(text, &end), 0x40F5849Au);
    EXPECT_EQ(end, text + 8);

    // A bad character leaves the end pointer alone.
    const char* marker = "marker";
    end = marker;
    EXPECT_EQ(ReadHexArgument("12 ", &end), 0u);
    EXPECT_EQ(end, marker);
    EXPECT_EQ(ReadHexArgument("-1", &end), 0u);
    EXPECT_EQ(ReadHexArgument("0x10", &end), 0u);
    EXPECT_EQ(end, marker);

    // The empty text passes as 0; no end pointer gives 0.
    const char* empty = "";
    EXPECT_EQ(ReadHexArgument(empty, &end), 0u);
    EXPECT_EQ(end, empty);
    EXPECT_EQ(ReadHexArgument("FF", nullptr), 0u);

    EXPECT_EQ(ReadHexArgument("FFFFFFFF", &end), 0xFFFFFFFFu);
    const char* big = "100000000";
    EXPECT_EQ(ReadHexArgument(big, &end), 0u);
    EXPECT_EQ(end, big);

    EXPECT_EQ(ReadDecimalArgument("4294967295", &end), 4294967295u);
    EXPECT_EQ(*end, '\0');
    EXPECT_EQ(ReadDecimalArgument("12a", &end), 0u);
    EXPECT_EQ(ReadDecimalArgument("1A", &end), 0u);
    const char* huge = "99999999999999999999999";
    EXPECT_EQ(ReadDecimalArgument(huge, &end), 0u);
    EXPECT_EQ(end, huge);
}

} // namespace
