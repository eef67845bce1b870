#include "app/ParameterReader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/Log.h"
#include "server/HTTPRequest.h"
#include "app/OptionMatcher.h"
#include "link/aDefs.h"
#include "store/aDirectory.h"

namespace {

const char HEX_DIGITS[] = "0123456789ABCDEFabcdef";
const char DECIMAL_DIGITS[] = "0123456789";

uint32_t sReadDigits(const char* text, const char** end, const char* digits, int base)
{
    if (!end || !text)
        return 0;
    if (text[std::strspn(text, digits)] != '\0')
        return 0;
    errno = 0;
    char* stop = nullptr;
    unsigned long long value = std::strtoull(text, &stop, base);
    if (errno == ERANGE || value > 0xFFFFFFFFull) {
        // Too large for 32 bits: nothing is taken, so the caller sees the
        // whole text as unprocessed instead of a silently cut value.
        *end = text;
        return 0;
    }
    *end = stop;
    return static_cast<uint32_t>(value);
}

bool sHasHexPrefix(const std::string& text)
{
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

void sUnprocessed(UpdaterDisplayInterface& display, const char* name, const char* rest)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid format for \"%s\" parameter, unprocessed characters [%s]", name, rest);
}

// -d and -r: a non-zero hexadecimal serial number, with or without "0x".
int sReadSerial(UpdaterDisplayInterface& display, const OptionEntry& entry, uint32_t& out)
{
    const bool router = entry.option->text[1] == 'r';
    std::string value = entry.argument;
    if (sHasHexPrefix(value)) {
        value.erase(0, 2);
        Log::log(DEBUG_Updater, router ? "Discarding '0x' router serial number prefix\n"
                                       : "Discarding '0x' serial number prefix\n");
    }
    const char* end = nullptr;
    out = ReadHexArgument(value.c_str(), &end);
    if (end && *end)
        sUnprocessed(display, router ? entry.argument.c_str() : entry.option->text, end);
    if (out == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        router ? "Invalid router serial number obtained from argument [%s]"
                               : "Invalid serial number obtained from argument [%s]",
                        value.c_str());
        return 1;
    }
    return 0;
}

int sReadTransport(UpdaterDisplayInterface& display, const std::string& value, Parameters& p)
{
    p.transport_given = true;
    if (value.compare(0, 3, "USB") == 0) {
        p.transport = USB;
    } else if (value.compare(0, 3, "TCP") == 0) {
        p.transport = TCPIP;
    } else if (value.compare(0, 6, "AETHER") == 0) {
        p.transport = AETHER; // modules shared by local network servers (-D)
    } else if (value.compare(0, 7, "RECOVER") == 0) {
        p.transport = TRANSPORT_RECOVER;
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                        value.c_str());
        p.transport = 0;
        return 1;
    }
    return 0;
}

// -b and -o: decimal numbers; a value with a non-digit reads as 0.
int sReadDecimal(UpdaterDisplayInterface& display, const OptionEntry& entry, uint32_t& out)
{
    const char* end = nullptr;
    out = ReadDecimalArgument(entry.argument.c_str(), &end);
    if (end && *end) {
        sUnprocessed(display, entry.option->text, end);
        return 1;
    }
    return 0;
}

void sReadDebugMask(UpdaterDisplayInterface& display, const OptionEntry& entry, Parameters& p)
{
    p.debug_mask_given = true;
    const char* text = entry.argument.c_str();
    char* end = nullptr;
    p.debug_mask = static_cast<uint32_t>(std::strtoul(text, &end, sHasHexPrefix(entry.argument) ? 16 : 10));
    if (end && *end) {
        // A mask with stray characters switches nothing on.
        sUnprocessed(display, entry.option->text, end);
        return;
    }
    Log::ActivatePackage(p.debug_mask);
}

int sCommand(UpdaterDisplayInterface& display, const OptionSpec& option, Parameters& p)
{
    switch (option.text[1]) {
    case 'B': p.commands.Set(CMD_LIST_BUILDS); break;
    case 'L': p.commands.Set(CMD_LIST_LOCAL); break;
    case 'D': p.commands.Set(CMD_DISCOVER); break;
    case 'G': p.commands.Set(CMD_GET); break;
    case 'I': p.commands.Set(CMD_INFO); break;
    case 'U': p.commands.Set(CMD_UPDATE); break;
    case 'O': p.override_model = true; break;
    case 'N': p.commands.Set(CMD_FINGERPRINT); break;
    case 'C': p.commands.Set(CMD_CHECK); break;
    case 'J': p.commands.Set(CMD_JWT); break;
    default:
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", option.text);
        return 1;
    }
    return 0;
}

int sParameter(UpdaterDisplayInterface& display, const OptionEntry& entry, Parameters& p)
{
    const std::string& arg = entry.argument;
    switch (entry.option->text[1]) {
    case 'd': return sReadSerial(display, entry, p.serial_number);
    case 'r': return sReadSerial(display, entry, p.router_serial);
    case 't': return sReadTransport(display, arg, p);
    case 'b': {
        uint32_t build = 0;
        int status = sReadDecimal(display, entry, build);
        p.build = std::to_string(build);
        return status;
    }
    case 'o': return sReadDecimal(display, entry, p.baud_rate);
    case 'X': sReadDebugMask(display, entry, p); return 0;
    case 'm': p.uei_bytes_load = arg.compare(0, 1, "1") == 0 || arg.compare(0, 4, "true") == 0; return 0;
    case 'Z': p.commands.Set(CMD_Z); return 0;
    case 'e': p.echo_bytes = true; return 0;
    case 'n': p.option_n = true; return 0;
    case 'f': p.bird_file = arg; return 0;
    case 'i': p.storage_directory = arg; return 0;
    case 'k': p.log_file = arg; return 0;
    case 'l': p.history_message = arg; return 0;
    case 's': p.serial_port = arg; return 0;
    case 'u': p.server_url = arg; return 0;
    default: return 0;
    }
}

// The options that only match in full ("--json").
int sLongOption(UpdaterDisplayInterface& display, const OptionEntry& entry, Parameters& p)
{
    const std::string text = entry.option->text;
    if (text == "--json") {
        p.json = true;
    } else if (text == "--check") {
        p.commands.Set(CMD_FLEET_CHECK);
    } else if (text == "--history") {
        p.commands.Set(CMD_HISTORY);
    } else if (text == "--all") {
        p.all = true;
    } else if (text == "--jobs") {
        const char* end = nullptr;
        const uint32_t jobs = ReadDecimalArgument(entry.argument.c_str(), &end);
        if (!end || *end || jobs < 1 || jobs > FLEET_JOBS_MAX) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid value [%s] for --jobs: a number from 1 to %u",
                            entry.argument.c_str(), unsigned(FLEET_JOBS_MAX));
            return 1;
        }
        p.jobs = jobs;
    } else if (text == "--record") {
        p.record_file = entry.argument;
    }
    return 0;
}

std::string sProgramName(const char* argv0)
{
    if (!argv0)
        return std::string();
    const char* name = argv0;
    for (const char* c = argv0; *c; ++c)
        if (*c == '/' || *c == '\\')
            name = c + 1;
    return name;
}

} // namespace

uint32_t ReadHexArgument(const char* text, const char** end)
{
    return sReadDigits(text, end, HEX_DIGITS, 16);
}

uint32_t ReadDecimalArgument(const char* text, const char** end)
{
    return sReadDigits(text, end, DECIMAL_DIGITS, 10);
}

int ReadParameters(UpdaterDisplayInterface& display, int argc, const char* const* argv, Parameters& p)
{
    p = Parameters();
    p.program_name = sProgramName(argc > 0 ? argv[0] : nullptr);
    char home[aDIR_PATH_MAX] = "";
    if (aDirectory_GetHomeDirectory(home, sizeof home) != aErrNone)
        home[0] = '\0';
    p.home_directory.reserve(aDIR_PATH_MAX);
    p.home_directory = home;
    Log::log(DEBUG_APP, "Home directory:[%s]\n", p.home_directory.c_str());

    int status = 0;
    OptionMatcher matcher(argc, argv);
    OptionEntry entry;
    while (matcher.Next(entry)) {
        if (entry.error) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Warning: skipped [%s]: %s",
                            entry.word.c_str(), SkipReasonText(entry.reason));
            p.skipped_words.push_back(entry.word);
            continue;
        }
        switch (entry.option->id) {
        case OPTION_HELP:
            p.commands.Set(CMD_HELP);
            p.help_requested = true;
            return 0;
        case OPTION_COMMAND:
            if (sCommand(display, *entry.option, p))
                status = 1;
            break;
        case OPTION_EXACT:
            if (sLongOption(display, entry, p))
                status = 1;
            break;
        default:
            if (sParameter(display, entry, p))
                status = 1;
            break;
        }
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p.program_name.c_str());
    for (int i = 0; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", HTTPRequest::Shown(argv[i] ? argv[i] : "").c_str());
    return status;
}
