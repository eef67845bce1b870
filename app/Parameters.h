// What one run was asked to do: the command bits and every option value,
// filled once by the parameter reader and read by the dispatcher.
#ifndef UPDATER_APP_PARAMETERS_H
#define UPDATER_APP_PARAMETERS_H

#include <cstdint>
#include <string>
#include <vector>

// The default update server.
#define UPDATE_SERVER_HOST "update.quorvane.com"
#define UPDATE_SERVER_PORT "80"
#define UPDATE_SERVER_URL "http://" UPDATE_SERVER_HOST "/cgi/u"

// Modules that -U --all updates at once: the default and the limits of --jobs.
const uint32_t FLEET_JOBS_DEFAULT = 4;
const uint32_t FLEET_JOBS_MAX = 64;

// Transport value that selects recovery through the boot ROM.
const uint32_t TRANSPORT_RECOVER = 255;

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_LIST_BUILDS = 0x4,
    CMD_GET = 0x8,
    CMD_INFO = 0x10,
    CMD_CHECK = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_JWT = 0x100,
    CMD_LIST_LOCAL = 0x200,
    CMD_FLEET_CHECK = 0x400, // --check
    CMD_HISTORY = 0x800,     // --history
    CMD_HELP = 0x80000000,
};

// A run has a command when any of these bits is set.
const uint32_t CMD_ANY = 0x30FFF;

class CommandsClass {
public:
    void Set(uint32_t bits) { value |= bits; }
    // True when any of the given bits is set.
    bool IsSet(uint32_t bits) const { return (value & bits) != 0; }
    uint32_t Get() const { return value; }

private:
    uint32_t value = 0;
};

struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial = 0;
    uint32_t transport = 1; // linkType USB or TCPIP, TRANSPORT_RECOVER, 0 after a bad -t
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    std::string bird_file;
    std::string history_message;
    std::string build; // decimal text; empty means the latest
    bool echo_bytes = false;
    std::string server_url = UPDATE_SERVER_URL;
    bool option_n = false;
    std::string storage_directory;
    std::string program_name;
    std::string home_directory;
    std::string log_file = "Updater.log";
    bool override_model = false;
    bool uei_bytes_load = true;
    uint32_t debug_mask = 0;
    bool debug_mask_given = false;
    bool help_requested = false;
    bool json = false; // --json: one JSON document on standard output
    bool all = false;  // --all: -U updates every module found that needs it
    uint32_t jobs = FLEET_JOBS_DEFAULT; // --jobs: modules that -U --all updates at once
    std::string record_file; // --record FILE: the run's events as JSON lines
    // Words the matcher could not use, in command-line order; each was
    // warned about. A run that would change a module or the store refuses
    // to start while any are left.
    std::vector<std::string> skipped_words;
};

#endif
