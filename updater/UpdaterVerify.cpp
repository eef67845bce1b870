#include "updater/UpdaterVerify.h"

#include <cstdio>
#include <string>

#include "base/Log.h"
#include "link/ModuleReturn.h"
#include "link/SystemClass.h"
#include "link/aVersion.h"
#include "updater/UpdaterDiscovery.h"

using Quorvane::Corvestel::Module;
using Quorvane::Corvestel::ModuleReturn;
using Quorvane::Corvestel::ReturnPolicy;
using Quorvane::Corvestel::SystemClass;

namespace {

const char* const VERIFYING = "Verifying Update";

std::string _version_text(uint32_t major, uint32_t minor, uint32_t patch)
{
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

} // namespace

bool _read_back(Module& module, UpdateVerification& result)
{
    uint32_t build = _get_build_number(module);
    if (build == 0)
        return false;
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    if (system.getVersion(&version) != aErrNone)
        return false;
    result.build = build;
    result.version = _version_text(aVersion_ParseMajor(version), aVersion_ParseMinor(version),
                                   aVersion_ParsePatch(version));
    return true;
}

std::string _bird_version(const BirdFile& bird)
{
    unsigned major = 0, minor = 0, patch = 0;
    char rest = 0;
    const std::string text = bird.GetVersion();
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &rest) != 3)
        return std::string();
    return _version_text(major, minor, patch);
}

bool _verify_update(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird, uint32_t serialNumber,
                    bool indirect, uint32_t timeoutMs, UpdateVerification& result)
{
    result = UpdateVerification();
    ReturnPolicy policy;
    policy.attempts = timeoutMs == 0 ? 1 : 0;
    policy.deadlineMs = timeoutMs;
    policy.pauseMs = VERIFY_RETRY_MS;
    // A USB module that reboots leaves the bus and comes back: its arrival
    // ends the pause between attempts.
    policy.watchBus = !indirect;
    // A direct link that dropped, or whose stream had to connect again, is
    // opened anew: the restarted module is a new peer. Behind a router the
    // shared link stays as it is.
    policy.connect = !indirect;
    policy.keepIfConnected = true;
    policy.disconnectBeforeConnect = true;
    policy.onAttempt = [&display](unsigned) { display.update_spinner(true, VERIFYING); };
    policy.reached = [&module, &result](unsigned attempt, aErr) {
        Log::log(DEBUG_Updater, "Verifying update, attempt %u\n", attempt);
        return module.isConnected() && _read_back(module, result);
    };
    result.reached = ModuleReturn(module).await(policy) == aErrNone;
    display.update_spinner(false, VERIFYING);
    if (!result.reached) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Could not reach module [%08X] after its reboot to verify the update", serialNumber);
        return true;
    }

    const uint32_t build = bird.GetBuild();
    const std::string version = _bird_version(bird);
    result.matches = (build == 0 || build == result.build) && (version.empty() || version == result.version);
    if (!result.matches) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Update not taken: module [%08X] runs version %s, build %u; the file holds version %s, "
                        "build %u",
                        serialNumber, result.version.c_str(), result.build,
                        version.empty() ? "?" : version.c_str(), build);
        return false;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Module [%08X] now runs version %s, build %u",
                    serialNumber, result.version.c_str(), result.build);
    return true;
}
