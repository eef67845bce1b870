#include "app/CLI_Display.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string sReadAll(FILE* f)
{
    std::string text;
    fflush(f);
    rewind(f);
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    return text;
}

// A display whose output stream is a pseudo-terminal in raw mode and whose
// error stream is a temporary file.
class TerminalDisplay : public ::testing::Test {
protected:
    void SetUp() override
    {
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        struct termios raw;
        ASSERT_EQ(tcgetattr(slave, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
        out = fdopen(slave, "w");
        ASSERT_NE(out, nullptr);
        err = tmpfile();
        ASSERT_NE(err, nullptr);
        display = new CLI_Display(out, err);
    }
    void TearDown() override
    {
        delete display;
        if (out)
            fclose(out);
        if (err)
            fclose(err);
        if (master >= 0)
            close(master);
    }

    // Reads exactly n bytes from the terminal, waiting at most 5 s.
    std::string Take(size_t n)
    {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (text.size() < n && std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[512];
            size_t want = std::min(sizeof buf, n - text.size());
            ssize_t got = read(master, buf, want);
            if (got <= 0)
                break;
            text.append(buf, size_t(got));
        }
        return text;
    }
    // Reads one spinner line: from its leading carriage return up to the end
    // marker (at most 5 s, at most 256 bytes).
    std::string TakeLine(const std::string& end)
    {
        std::string text = Take(1);
        while (text.size() < 256 &&
               (text.size() <= end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0)) {
            std::string c = Take(1);
            if (c.empty())
                break;
            text += c;
        }
        return text;
    }
    // True when the terminal has nothing more to read.
    bool Quiet()
    {
        struct pollfd p = {master, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    void Expect(const std::string& expected)
    {
        EXPECT_EQ(Take(expected.size()), expected);
        EXPECT_TRUE(Quiet());
    }

    int master = -1;
    FILE* out = nullptr;
    FILE* err = nullptr;
    CLI_Display* display = nullptr;
};

std::string sBar(int filled, int spaces)
{
    return std::string(size_t(filled), '=') + ">" + std::string(size_t(spaces), ' ');
}

const std::string CLEAR = "\r" + std::string(88, ' ') + "\r";

TEST_F(TerminalDisplay, ProgressBarWithoutLabel)
{
    display->display_progress(true);
    EXPECT_TRUE(Quiet());
    display->update_progress(0.0, nullptr);
    Expect("\r[" + sBar(0, 68) + "] (  0% ) ");
    display->update_progress(0.5, nullptr);
    Expect("\r[" + sBar(34, 34) + "] ( 50% ) ");
    // The full bar still pads one column after the ">".
    display->update_progress(1.0, nullptr);
    Expect("\r[" + sBar(69, 1) + "] (100% ) ");
    display->display_progress(false);
    Expect(CLEAR);
}

TEST_F(TerminalDisplay, ProgressBarWithLabel)
{
    display->update_progress(0.25, "Flash");
    Expect("\r (Flash) [" + sBar(15, 44) + "] ( 25% ) ");
    display->update_progress(0.999, "Flash");
    Expect("\r (Flash) [" + sBar(59, 0) + "] ( 99% ) ");
}

TEST_F(TerminalDisplay, ProgressBarSurvivesOddInput)
{
    // A label that leaves no room, and fractions outside 0..1, draw a sane line.
    const std::string label(80, 'L');
    display->update_progress(0.5, label.c_str());
    Expect("\r (" + label + ") [>" + std::string(1, ' ') + "] ( 50% ) ");
    display->update_progress(7.0, nullptr);
    Expect("\r[" + sBar(69, 1) + "] (100% ) ");
    display->update_progress(-1.0, nullptr);
    Expect("\r[" + sBar(0, 68) + "] (  0% ) ");
}

TEST_F(TerminalDisplay, SpinnerCyclesAndCarriesOver)
{
    const std::vector<std::string> cycle = {".", "..", "...", "....", ".....", "....", "...", ".."};
    const std::string pad = "      \r";
    std::vector<std::string> frames;
    for (int i = 0; i < 5; ++i) {
        display->update_spinner(true, "Downloading");
        const std::string line = TakeLine(pad);
        const std::string prefix = "\r (Downloading) ";
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
        frames.push_back(line.substr(prefix.size(), line.size() - prefix.size() - pad.size()));
    }
    // A second display continues the same cycle, and works without a label.
    CLI_Display other(out, err);
    for (int i = 0; i < 5; ++i) {
        other.update_spinner(true, nullptr);
        const std::string line = TakeLine(pad);
        ASSERT_EQ(line.compare(0, 2, "\r "), 0) << line;
        frames.push_back(line.substr(2, line.size() - 2 - pad.size()));
    }
    EXPECT_TRUE(Quiet());
    bool found = false;
    for (size_t start = 0; start < cycle.size() && !found; ++start) {
        bool all = true;
        for (size_t i = 0; i < frames.size(); ++i)
            all = all && frames[i] == cycle[(start + i) % cycle.size()];
        found = all;
    }
    EXPECT_TRUE(found) << ::testing::PrintToString(frames);
    display->update_spinner(false, "Downloading");
    Expect(CLEAR);
}

TEST_F(TerminalDisplay, MutedMessagesStillDrawProgress)
{
    display->mute_messages(true);
    display->message(UpdaterDisplayInterface::LEVEL_INFO, "hidden %d", 1);
    display->message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden too");
    EXPECT_TRUE(Quiet());
    display->update_progress(0.0, nullptr);
    Expect("\r[" + sBar(0, 68) + "] (  0% ) ");
    display->mute_messages(false);
    display->message(UpdaterDisplayInterface::LEVEL_INFO, "shown %s", "now");
    Expect("shown now\n");
    EXPECT_EQ(sReadAll(err), "");
    EXPECT_EQ(display->error_count(), 0u);
}

TEST(CLI_DisplayRedirected, NoProgressOrSpinnerOnAFile)
{
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    ASSERT_TRUE(out && err);
    {
        CLI_Display display(out, err);
        display.display_progress(true);
        display.update_progress(0.5, "x");
        display.display_progress(false);
        display.update_spinner(true, "Downloading");
        display.update_spinner(false, nullptr);
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "info %u", 7u);
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %s", "line");
        display.message(static_cast<UpdaterDisplayInterface::Level>(5), "other level");
        EXPECT_EQ(display.error_count(), 1u);
    }
    EXPECT_EQ(sReadAll(out), "info 7\nother level\n");
    EXPECT_EQ(sReadAll(err), "error line\n");
    fclose(out);
    fclose(err);
}

TEST(CLI_DisplayRedirected, LongMessagesAreCut)
{
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    CLI_Display display(out, out);
    const std::string big(5000, 'x');
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s%s", big.c_str(), "tail");
    EXPECT_EQ(sReadAll(out), std::string(2047, 'x') + "\n");
    fclose(out);
}

} // namespace
