// Printers of the fleet commands' results (--check, -U --all, --history);
// each writes information lines through the display.
#ifndef UPDATER_APP_FLEETPRINTERS_H
#define UPDATER_APP_FLEETPRINTERS_H

#include "app/UpdaterDisplayInterface.h"
#include "updater/UpdaterFleet.h"

// Title, header and one line per module: serial, model, running version and
// build, the newest offered, where that came from, and the status.
void PrintFleetCheck(UpdaterDisplayInterface& display, const FleetCheck& check);

#endif
