// Firmware update. Placeholder until the device link library is in place.
#include "updater/Updater.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, const std::string&, uint8_t, uint32_t, bool)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Firmware update is not available in this build yet");
    return false;
}
