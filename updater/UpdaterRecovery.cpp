// Recovery and fingerprint. Placeholder until the boot protocol clients are in place.
#include "updater/Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&, uint32_t,
                              bool)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Reading fingerprints is not available in this build yet");
    return false;
}

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Recovery is not available in this build yet");
    return false;
}
