#include "app/OptionMatcher.h"

#include <cstring>

const OptionSpec OPTION_TABLE[] = {
    {"-B", OPTION_COMMAND, false},
    {"-L", OPTION_COMMAND, false},
    {"-D", OPTION_COMMAND, false},
    {"-G", OPTION_COMMAND, false},
    {"-I", OPTION_COMMAND, false},
    {"-U", OPTION_COMMAND, false},
    {"-OVERRIDE", OPTION_COMMAND, false},
    {"-N", OPTION_COMMAND, false},
    {"-Y", OPTION_COMMAND, false},
    {"-C", OPTION_COMMAND, false},
    {"-J", OPTION_COMMAND, false},
    {"-h", OPTION_HELP, false},
    {"-H", OPTION_HELP, false},
    {"-n", OPTION_PARAMETER, false},
    {"-X", OPTION_PARAMETER, true},
    {"-Z", OPTION_PARAMETER, true},
    {"-m", OPTION_PARAMETER, true},
    {"-i", OPTION_PARAMETER, true},
    {"-b", OPTION_PARAMETER, true},
    {"-d", OPTION_PARAMETER, true},
    {"-t", OPTION_PARAMETER, true},
    {"-f", OPTION_PARAMETER, true},
    {"-r", OPTION_PARAMETER, true},
    {"-s", OPTION_PARAMETER, true},
    {"-o", OPTION_PARAMETER, true},
    {"-e", OPTION_PARAMETER, false},
    {"-l", OPTION_PARAMETER, true},
    {"-k", OPTION_PARAMETER, true},
    {"-u", OPTION_PARAMETER, true},
    {"--help", OPTION_HELP, false},
    {"--json", OPTION_EXACT, false},
    {"--check", OPTION_EXACT, false},
    {"--history", OPTION_EXACT, false},
    {"--all", OPTION_EXACT, false},
    {"--jobs", OPTION_EXACT, true},
    {"--record", OPTION_EXACT, true},
    {nullptr, OPTION_END, false},
};

namespace {

size_t sDashes(const char* text)
{
    size_t n = 0;
    while (text[n] == '-')
        ++n;
    return n;
}

bool sIsOptionWord(const char* word)
{
    return word && word[0] == '-';
}

} // namespace

OptionMatcher::OptionMatcher(int argc_, const char* const* argv_, const OptionSpec* table_)
    : argc(argc_), argv(argv_), table(table_)
{
}

const char* SkipReasonText(SkipReason reason)
{
    switch (reason) {
    case SKIP_UNKNOWN: return "unknown option";
    case SKIP_AMBIGUOUS: return "ambiguous option";
    case SKIP_MISSING_ARGUMENT: return "its value is missing";
    case SKIP_UNEXPECTED_ARGUMENT: return "takes no value";
    case SKIP_NOT_OPTION: return "not an option";
    default: return "";
    }
}

const OptionSpec* OptionMatcher::Match(const OptionSpec* table, const std::string& word, bool* ambiguousOut)
{
    const size_t dashes = sDashes(word.c_str());
    const OptionSpec* best = nullptr;
    size_t bestLength = 0;
    bool ambiguous = false;
    for (const OptionSpec* o = table; o->id != OPTION_END && o->text; ++o) {
        if (sDashes(o->text) != dashes)
            continue;
        if (word == o->text)
            return o;
        if (o->id == OPTION_EXACT)
            continue;
        // A shorter prefix needs at least one character after the dashes.
        size_t length = word.size();
        if (length <= dashes || length >= std::strlen(o->text) ||
            std::strncmp(o->text, word.c_str(), length) != 0)
            continue;
        if (length > bestLength) {
            best = o;
            bestLength = length;
            ambiguous = false;
        } else if (length == bestLength) {
            ambiguous = true;
        }
    }
    if (ambiguousOut)
        *ambiguousOut = ambiguous;
    return ambiguous ? nullptr : best;
}

bool OptionMatcher::Next(OptionEntry& entry)
{
    if (index >= argc)
        return false;

    entry = OptionEntry();
    entry.word = argv[index] ? argv[index] : "";
    ++index;
    if (!sIsOptionWord(entry.word.c_str())) {
        entry.error = true;
        entry.reason = SKIP_NOT_OPTION;
        return true;
    }
    std::string word = entry.word;
    bool hasInlineArgument = false;
    const size_t equals = word.find('=');
    if (equals != std::string::npos) {
        entry.argument = word.substr(equals + 1);
        word.erase(equals);
        hasInlineArgument = true;
    }

    bool ambiguous = false;
    entry.option = Match(table, word, &ambiguous);
    if (!entry.option) {
        entry.error = true;
        entry.reason = ambiguous ? SKIP_AMBIGUOUS : SKIP_UNKNOWN;
        return true;
    }
    if (!entry.option->needs_argument) {
        if (hasInlineArgument) {
            entry.error = true;
            entry.reason = SKIP_UNEXPECTED_ARGUMENT;
            entry.argument.clear();
        }
        return true;
    }
    if (hasInlineArgument)
        return true;
    // The argument is the next word, unless that looks like an option: then
    // this entry is in error and the next word is examined on its own.
    if (index < argc && !sIsOptionWord(argv[index])) {
        entry.argument = argv[index++];
        return true;
    }
    entry.error = true;
    entry.reason = SKIP_MISSING_ARGUMENT;
    return true;
}
