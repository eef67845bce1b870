#include "app/serve/ServeOptions.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

namespace {

// Eight hexadecimal digits at most, as serial numbers are written.
bool sParseSerial(const char* text, uint32_t& serial)
{
    size_t length = std::strlen(text);
    if (length == 0 || length > 8 || std::strspn(text, "0123456789abcdefABCDEF") != length)
        return false;
    serial = static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
    return serial != 0;
}

} // namespace

const char* ServeUsage()
{
    return "Usage: corvestel-serve -d SERIAL [--network ADDR] [--foreground]\n"
           "Shares the Corvestel module with this serial number, attached by USB, with other programs.\n"
           "  -d SERIAL         the module's serial number (eight hexadecimal digits)\n"
           "  --network ADDR    serve on the interface with this IPv4 address (default: this host only)\n"
           "  --foreground      stay in the foreground (for systemd and terminals)\n"
           "  -h, --help        this text\n";
}

bool ParseServeOptions(int argc, char** argv, ServeOptions& options, std::string& error)
{
    bool haveSerial = false;
    for (int i = 1; i < argc; i++) {
        const std::string word = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) {
                error = word + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        const char* text = nullptr;
        if (word == "-h" || word == "--help") {
            options.help = true;
        } else if (word == "--foreground") {
            options.foreground = true;
        } else if (word == "-d") {
            if (!value(text))
                return false;
            if (!sParseSerial(text, options.serial)) {
                error = std::string("Invalid serial number: ") + text + " (eight hexadecimal digits)";
                return false;
            }
            haveSerial = true;
        } else if (word == "--network") {
            if (!value(text))
                return false;
            struct in_addr a;
            if (inet_pton(AF_INET, text, &a) != 1) {
                error = std::string("Invalid network address: ") + text + " (an IPv4 address of this host)";
                return false;
            }
            options.network = true;
            options.address = a.s_addr;
        } else {
            error = "Unknown option: " + word;
            return false;
        }
    }
    if (!haveSerial && !options.help) {
        error = "No module given: -d SERIAL";
        return false;
    }
    return true;
}
