#include "app/OptionMatcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One entry as the matcher reports it: option text and argument, or for a
// skipped word "!" with its reason's text and the word as typed.
struct Seen {
    std::string option;
    std::string argument;
    bool operator==(const Seen& o) const { return option == o.option && argument == o.argument; }
};

std::ostream& operator<<(std::ostream& os, const Seen& s)
{
    return os << "{" << s.option << "," << s.argument << "}";
}

std::vector<Seen> sWalk(std::vector<const char*> words)
{
    words.insert(words.begin(), "Updater");
    OptionMatcher matcher(int(words.size()), words.data());
    std::vector<Seen> seen;
    OptionEntry entry;
    while (matcher.Next(entry)) {
        if (entry.error)
            seen.push_back({std::string("!") + SkipReasonText(entry.reason), entry.word});
        else
            seen.push_back({entry.option->text, entry.argument});
    }
    return seen;
}

struct MatchCase {
    const char* word;
    const char* expected; // null: no match
};

TEST(OptionMatcher, MatchesExactlyOrByLongestUniquePrefix)
{
    const MatchCase cases[] = {
        {"-B", "-B"},           {"-OVERRIDE", "-OVERRIDE"}, {"-O", "-OVERRIDE"},
        {"-OVER", "-OVERRIDE"}, {"-OVERRID", "-OVERRIDE"},  {"--help", "--help"},
        {"--h", "--help"},      {"--he", "--help"},         {"-h", "-h"},
        {"-H", "-H"},           {"-d", "-d"},               {"-u", "-u"},
        // Case matters, and so does the number of dashes.
        {"-o", "-o"},           {"-b", "-b"},               {"-help", nullptr},
        {"--B", nullptr},       {"-OVERRIDEX", nullptr},    {"-override", nullptr},
        {"-", nullptr},         {"--", nullptr},            {"-x", nullptr},
        {"---help", nullptr},   {"-dd", nullptr},
    };
    for (const MatchCase& c : cases) {
        const OptionSpec* o = OptionMatcher::Match(OPTION_TABLE, c.word);
        if (c.expected) {
            ASSERT_NE(o, nullptr) << c.word;
            EXPECT_STREQ(o->text, c.expected) << c.word;
        } else {
            EXPECT_EQ(o, nullptr) << c.word << " matched " << (o ? o->text : "");
        }
    }
}

// Options added beside the original table (--json) answer to their whole
// text only: every other word matches what it matched without them.
TEST(OptionMatcher, AddedOptionsChangeNoOtherWord)
{
    std::vector<OptionSpec> original;
    size_t added = 0;
    std::vector<std::string> words = {"-", "--", "---", "--j", "--js", "--jso", "--jsonx", "-json", "-j"};
    for (const OptionSpec* o = OPTION_TABLE; o->id != OPTION_END; ++o) {
        if (o->id != OPTION_EXACT)
            original.push_back(*o);
        else
            ++added;
        // Every prefix of every text, with one dash more and one less.
        const std::string text = o->text;
        for (size_t n = 1; n <= text.size(); ++n) {
            words.push_back(text.substr(0, n));
            words.push_back("-" + text.substr(0, n));
            if (n > 1)
                words.push_back(text.substr(1, n - 1));
        }
    }
    original.push_back({nullptr, OPTION_END, false});
    ASSERT_GT(added, 0u);
    for (const std::string& w : words) {
        const OptionSpec* now = OptionMatcher::Match(OPTION_TABLE, w);
        if (now && now->id == OPTION_EXACT) {
            EXPECT_EQ(w, now->text);
            continue;
        }
        const OptionSpec* before = OptionMatcher::Match(original.data(), w);
        EXPECT_EQ(now ? now->text : "", before ? before->text : "") << w;
    }
    EXPECT_STREQ(OptionMatcher::Match(OPTION_TABLE, "--json")->text, "--json");
}

TEST(OptionMatcher, PrefixSharedByTwoOptionsIsAmbiguous)
{
    const OptionSpec table[] = {
        {"-alpha", OPTION_COMMAND, false},
        {"-alps", OPTION_COMMAND, false},
        {"-beta", OPTION_COMMAND, false},
        {"-al", OPTION_COMMAND, false},
        {nullptr, OPTION_END, false},
    };
    bool ambiguous = false;
    EXPECT_EQ(OptionMatcher::Match(table, "-alp", &ambiguous), nullptr);
    EXPECT_TRUE(ambiguous);
    EXPECT_EQ(OptionMatcher::Match(table, "-x", &ambiguous), nullptr);
    EXPECT_FALSE(ambiguous);
    EXPECT_STREQ(OptionMatcher::Match(table, "-alph")->text, "-alpha");
    EXPECT_STREQ(OptionMatcher::Match(table, "-b")->text, "-beta");
    // An exact match wins over being a prefix of longer texts.
    EXPECT_STREQ(OptionMatcher::Match(table, "-al")->text, "-al");
    EXPECT_EQ(OptionMatcher::Match(table, "-a"), nullptr);
}

TEST(OptionMatcher, WalksWordsAndArguments)
{
    struct WalkCase {
        std::vector<const char*> words;
        std::vector<Seen> expected;
    };
    const WalkCase cases[] = {
        {{}, {}},
        // Words that are not options are passed over, and named.
        {{"stray", "-D", "more"}, {{"!not an option", "stray"}, {"-D", ""}, {"!not an option", "more"}}},
        {{"-d", "40F5849A"}, {{"-d", "40F5849A"}}},
        {{"-d=40F5849A"}, {{"-d", "40F5849A"}}},
        // Split at the first "=" only; an empty "=" argument is still given.
        {{"-u=http://h/a=b"}, {{"-u", "http://h/a=b"}}},
        {{"-d="}, {{"-d", ""}}},
        // A required argument that looks like an option is not taken.
        {{"-d", "-U"}, {{"!its value is missing", "-d"}, {"-U", ""}}},
        {{"-d"}, {{"!its value is missing", "-d"}}},
        // An option without argument refuses an "=" argument.
        {{"-D=1", "-G"}, {{"!takes no value", "-D=1"}, {"-G", ""}}},
        {{"-OVER", "-X", "0x20"}, {{"-OVERRIDE", ""}, {"-X", "0x20"}}},
        {{"-q", "-Z", "any"}, {{"!unknown option", "-q"}, {"-Z", "any"}}},
        {{"--dry-run", "-U"}, {{"!unknown option", "--dry-run"}, {"-U", ""}}},
        {{"-Z"}, {{"!its value is missing", "-Z"}}},
        {{"--he"}, {{"--help", ""}}},
        {{""}, {{"!not an option", ""}}},
        // The word after a taken argument is examined afresh.
        {{"-b", "12", "34", "-L"}, {{"-b", "12"}, {"!not an option", "34"}, {"-L", ""}}},
    };
    for (const WalkCase& c : cases) {
        std::string name;
        for (const char* w : c.words)
            name += std::string(w) + " ";
        EXPECT_EQ(sWalk(c.words), c.expected) << name;
    }
}

} // namespace
