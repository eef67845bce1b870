// -U --all: every module found whose status is "update available" is
// updated to its latest build, up to --jobs at a time; modules behind one
// router one after another (they share its bus). Each module's update runs
// in a child process of this program ("-U -d SERIAL -b BUILD --json"), which
// takes the device's lock and records the history as a single -U does: the
// link library's process-wide state (refused USB nodes, the stop flag, the
// display) then never has two updates in one process. This process only
// starts children, waits for them and reads their reports, on one thread.
#ifndef UPDATER_APP_FLEETUPDATE_H
#define UPDATER_APP_FLEETUPDATE_H

#include <cstdint>
#include <string>
#include <vector>

#include "app/CLI_Display.h"
#include "app/Parameters.h"
#include "updater/Updater.h"

class JsonReport;

// What became of one module.
enum FleetResult {
    FLEET_UPDATED = 0,
    FLEET_CURRENT,
    FLEET_NEWER,
    FLEET_FAILED,
    FLEET_BUSY,
    FLEET_RESULT_COUNT,
};

// "updated", "current", "newer than offered", "failed", "busy".
const char* FleetResultText(FleetResult result);

struct FleetModuleOutcome {
    uint32_t serialNumber = 0;
    FleetResult result = FLEET_FAILED;
    uint32_t buildBefore = 0; // 0: not known
    std::string versionBefore;
    uint32_t buildAfter = 0;
    std::string versionAfter;
    std::string error;        // empty unless failed or busy
    bool written = false;     // the module's loader was started
    double seconds = 0;
};

struct FleetOutcome {
    std::vector<FleetModuleOutcome> modules;
    unsigned counts[FLEET_RESULT_COUNT] = {0, 0, 0, 0, 0};
    bool changed = false; // some module was written
};

// The summary line: "2 updated, 1 current, 1 newer than offered, 0 failed"
// (", N busy" added when some were).
std::string FleetSummary(const FleetOutcome& outcome);

// Runs -U --all for the parsed command line; the updater has its storage
// and server. Returns the exit status: 0 when no module failed or was busy.
int RunUpdateAll(CLI_Display& display, Updater& updater, const Parameters& p, JsonReport* report);

#endif
