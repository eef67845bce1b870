// Printers of the fleet commands' results (--check, -U --all, --history);
// each writes information lines through the display.
#ifndef UPDATER_APP_FLEETPRINTERS_H
#define UPDATER_APP_FLEETPRINTERS_H

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/UpdaterDisplayInterface.h"
#include "updater/UpdaterFleet.h"

// Title, header and one line per module: serial, model, running version and
// build, the newest offered, where that came from, and the status.
void PrintFleetCheck(UpdaterDisplayInterface& display, const FleetCheck& check);

// Title and one line per history record, oldest first: time, user and
// host, command, version and build before and after, result, seconds, the
// start of the file's SHA-256 and the message. Every text is cut and freed
// of control characters (the file is writable by others than this run).
void PrintHistory(UpdaterDisplayInterface& display, uint32_t serialNumber,
                  const std::vector<nlohmann::ordered_json>& entries, unsigned skipped);

#endif
