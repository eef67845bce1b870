// The option table and the table-driven matcher that walks the command line.
// Words that do not begin with "-" are passed over (reported as skipped). An option may be given
// as a unique prefix of its text ("-OVER" for "-OVERRIDE"), and an argument
// either after "=" or as the next word.
#ifndef UPDATER_APP_OPTIONMATCHER_H
#define UPDATER_APP_OPTIONMATCHER_H

#include <string>

enum OptionGroup {
    OPTION_END = -1,
    OPTION_HELP = 0,
    OPTION_COMMAND = 1,
    OPTION_PARAMETER = 2,
    // Options added beside the original table: matched only when the word
    // is the whole option text, so that no word that was an abbreviation or
    // an error entry before means something else now.
    OPTION_EXACT = 3,
};

struct OptionSpec {
    const char* text; // null for the end marker
    int id;           // OptionGroup
    bool needs_argument;
};

// The table, in matching order, closed by an entry with id OPTION_END.
extern const OptionSpec OPTION_TABLE[];

// Why a word was skipped.
enum SkipReason {
    SKIP_NONE = 0,
    SKIP_UNKNOWN,          // matches no option
    SKIP_AMBIGUOUS,        // a prefix of two options equally well
    SKIP_MISSING_ARGUMENT, // its argument is missing or looks like an option
    SKIP_UNEXPECTED_ARGUMENT, // "=value" on an option that takes none
    SKIP_NOT_OPTION,       // does not begin with "-" and is no option's argument
};

struct OptionEntry {
    const OptionSpec* option = nullptr; // null for an error entry
    std::string argument;               // the option's argument, when it takes one
    bool error = false;                 // a skipped word: see reason
    SkipReason reason = SKIP_NONE;
    std::string word;                   // the word as typed ("-d=1" whole)
};

// The words of a reason for a warning line ("unknown option").
const char* SkipReasonText(SkipReason reason);

class OptionMatcher {
public:
    // argv[0] is the program name and is not examined.
    OptionMatcher(int argc, const char* const* argv, const OptionSpec* table = OPTION_TABLE);

    // The next entry; false when the words are used up. Every word is
    // accounted for: an option, an option's argument, or an error entry
    // naming the word and why it was skipped.
    bool Next(OptionEntry& entry);

    // The option a word names: exact match first, else the longest prefix
    // match among texts with the same number of leading dashes (OPTION_EXACT
    // entries never match a prefix); null when there is none or two match
    // equally well (then *ambiguous is set).
    static const OptionSpec* Match(const OptionSpec* table, const std::string& word,
                                   bool* ambiguous = nullptr);

private:
    int argc;
    const char* const* argv;
    const OptionSpec* table;
    int index = 1;
};

#endif
