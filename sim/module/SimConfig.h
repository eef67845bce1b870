// Configuration of a simulator run: global options and one record per
// simulated module, from the command line and/or a config file.
#ifndef CORVESTEL_SIM_SIMCONFIG_H
#define CORVESTEL_SIM_SIMCONFIG_H

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/module/SimBytes.h"

namespace sim {

// One fault switch: KIND[:ARG][@MATCH][*COUNT]. MATCH is a hex prefix of the
// request's data bytes (empty matches every request); COUNT is how often the
// fault fires (0 = every time).
struct FaultSpec {
    enum Kind { Delay, Drop, Short, BadSum, Garbage, Disconnect, Slow, Status, Error };
    Kind kind = Drop;
    uint32_t arg = 0;
    Bytes match;
    int count = 1;
    int fired = 0;

    bool exhausted() const { return count > 0 && fired >= count; }
    bool matches(const Bytes& data) const
    {
        return match.size() <= data.size() && std::equal(match.begin(), match.end(), data.begin());
    }
};

// A value the module can stream once the host enables a key that covers it.
struct StreamSource {
    uint8_t command = 3;
    uint8_t option = 0;
    uint8_t index = 0;
    uint8_t type = 3;     // sample type 1..3 (no sub-index) or 5..7 (with one)
    uint8_t subindex = 0; // only for types 5..7
};

struct ModuleConfig {
    uint32_t serial = 0;
    uint8_t model = 13;
    uint8_t address = 2;
    uint16_t port = 0;           // 0: any free port
    bool pty = false;            // serve over a pseudo-terminal instead of TCP
    uint32_t version = 0x2F020F00;
    uint32_t build = 1000;
    std::string name;
    int routerAddress = -1;      // system option 2; -1: the router's or own address
    uint32_t features = 0;       // system option 45
    int heartbeatMs = 0;         // 0: no heartbeats
    uint16_t blockSize = 1024;   // answered to PREPARE
    uint32_t loadBase = 0x20000000;
    bool ueiData = true;         // has option 10 of the upgrade entity
    bool hasNewVersion = false;
    uint32_t newVersion = 0;
    bool hasNewBuild = false;
    uint32_t newBuild = 0;
    bool rebootDrops = true;     // REBOOT closes direct connections
    bool loadDrops = false;      // LOAD closes direct connections
    int loadDropMs = 0;          // ... this long after its reply, deaf meanwhile
    int rebootMs = 0;            // connections refused for this long after a reboot
    int streamMs = 50;           // interval between stream samples
    uint8_t slotsPerStore = 4;
    uint16_t slotCapacity = 1024;
    std::map<uint8_t, uint32_t> options;       // system option values set by optN=
    std::vector<uint32_t> uid;                 // system option 39 by sub-index (uid=); empty: none
    std::vector<uint8_t> missingOptions;       // system options this module lacks
    std::map<uint8_t, Bytes> factory;          // factory data per kind
    std::vector<FaultSpec> faults;
    std::vector<StreamSource> streams;         // empty: the default set
    std::vector<ModuleConfig> behind;          // modules on this router's I2C network
    uint32_t routerSerial = 0;                 // set for modules behind a router
};

struct SimConfig {
    std::string bindAddress = "127.0.0.1";
    std::string discoveryInterface;            // empty: no discovery answers
    std::string tracePath;
    std::string flashDir;
    std::string readyFile;
    int lifetimeSeconds = 0;
    bool controlStdin = false;
    std::vector<ModuleConfig> modules;         // directly reachable modules
};

// Parses the command line (argv[1..]) into config. Returns false with a
// message in error; sets wantHelp for --help.
bool parseCommandLine(int argc, char** argv, SimConfig& config, bool& wantHelp, std::string& error);

// Applies "KEY=VALUE,KEY=VALUE" to a module record; false with a message.
bool applyModuleKeys(const std::string& text, ModuleConfig& module, std::string& error);

// Parses one fault switch; false with a message.
bool parseFault(const std::string& text, FaultSpec& fault, std::string& error);

// Parses "2.15.7" (packed as the modules do) or a number; false on junk.
bool parseVersion(const std::string& text, uint32_t& word);

// Packs major.minor.patch into the module's version word.
uint32_t packVersion(uint32_t major, uint32_t minor, uint32_t patch);

// The --help text.
const char* helpText();

} // namespace sim

#endif
