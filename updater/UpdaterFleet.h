// Fleet check: for every module found (directly over one link type, behind
// a router, or one module by serial number), its running version and build
// against the newest build the update server offers for it, or, when the
// server can't be reached or knows nothing of it, the newest build the
// store holds. Read-only: nothing is sent to a loader and nothing is
// written to the store. Runs on the caller's thread.
#ifndef UPDATER_UPDATER_UPDATERFLEET_H
#define UPDATER_UPDATER_UPDATERFLEET_H

#include <cstdint>
#include <string>
#include <vector>

#include "updater/Updater.h"

enum CheckStatus {
    CHECK_UNKNOWN = 0,
    CHECK_CURRENT,
    CHECK_UPDATE_AVAILABLE,
    CHECK_NEWER,
};

// "current", "update available", "newer than offered", "unknown".
const char* CheckStatusText(CheckStatus status);

enum CheckSource {
    SOURCE_NONE = 0, // neither the server nor the store named a build
    SOURCE_SERVER,
    SOURCE_STORE,
};

// "server", "store", or null.
const char* CheckSourceText(CheckSource source);

struct ModuleCheck {
    DeviceInfo device;           // as discovery found it
    bool found = true;           // false: a module asked for by -d that did not answer
    uint32_t latestBuild = 0;    // 0: none known
    std::string latestVersion;   // empty: not known
    CheckSource source = SOURCE_NONE;
    CheckStatus status = CHECK_UNKNOWN;
};

struct FleetCheck {
    bool serverReached = false;
    std::vector<ModuleCheck> modules;
};

// Where the newest stored build of a device is: its number and the version
// its file names. Reads the folder only (no settings file is created).
// False when the folder holds no readable BIRD file.
bool NewestStoredBuild(const std::string& storage, uint32_t serialNumber, uint32_t& build,
                       std::string& version);

// How a module's running build and version compare with the newest one
// offered: equal builds are current; otherwise the versions decide when both
// are three numbers and differ, else the build numbers. Unknown when the
// module's build or the offered build is not known.
CheckStatus CompareWithLatest(const DeviceInfo& device, uint32_t latestBuild, const std::string& latestVersion);

#endif
