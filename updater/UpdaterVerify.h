// The check after an update's reboot: find the module again and read the
// build and version it now runs. Runs on the caller's thread against the
// caller's Module.
#ifndef UPDATER_UPDATER_UPDATERVERIFY_H
#define UPDATER_UPDATER_UPDATERVERIFY_H

#include <cstdint>
#include <string>

#include "base/UpdaterDisplayInterface.h"
#include "link/Module.h"
#include "store/BirdFile.h"
#include "updater/Updater.h"

// Pause between two attempts to reach the restarted module.
const uint32_t VERIFY_RETRY_MS = 250;

// Build and version ("2.15.7") as the module reports them into result's
// build and version; false when it does not answer.
bool _read_back(Quorvane::Corvestel::Module& module, UpdateVerification& result);

// The file's version in the module's form ("2.16.0"); empty when the file
// states none that reads as three numbers.
std::string _bird_version(const BirdFile& bird);

// Reads the module back until it answers or timeoutMs passes: a direct link
// is connected again (the module dropped it when it restarted); a module
// behind a router is asked again over the router's link. Fills result and
// compares it with the file's build and version (those the file states).
// False only when the module answered with something else: the update did
// not take. A module that does not answer is reported, and true.
bool _verify_update(UpdaterDisplayInterface& display, Quorvane::Corvestel::Module& module, const BirdFile& bird,
                    uint32_t serialNumber, bool indirect, uint32_t timeoutMs, UpdateVerification& result);

#endif
