// Printers of command results; each writes information lines through the
// display.
#ifndef UPDATER_APP_RESULTPRINTERS_H
#define UPDATER_APP_RESULTPRINTERS_H

#include <string>
#include <vector>

#include "base/UpdaterDisplayInterface.h"
#include "link/aDefs.h"
#include "updater/Updater.h"

#define UPDATER_PROGRAM_NAME "Updater"
#define UPDATER_VERSION_TEXT "Version: 2.11.3 Jun  6 2025"

// "Updater (Version: ...)".
void PrintVersion(UpdaterDisplayInterface& display);
// The four words in order: "[ %08X %08X %08X %08X ]".
void PrintFingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void PrintToken(UpdaterDisplayInterface& display, const std::string& token);
// Title, header and one line per build, newest version first; both columns
// are cut at 15 characters.
void PrintBuildList(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serialNumber);
// Title naming the link type of the search, header, one line per device.
void PrintDeviceList(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                     linkType type);

#endif
