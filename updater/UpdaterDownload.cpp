// Server commands. Placeholder until the update server client is in place.
#include "updater/Updater.h"

uint32_t Updater::Download_Firmware(uint32_t, const std::string&, bool, bool)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Firmware download is not available in this build yet");
    return 0;
}

BuildList Updater::Get_BuildList(uint32_t)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Server build lists are not available in this build yet");
    return {};
}

std::string Updater::Get_JWT(uint32_t)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Device tokens are not available in this build yet");
    return {};
}
