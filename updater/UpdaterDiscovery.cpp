// Discovery commands. Placeholder until the device link library is in place.
#include "updater/Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Device discovery is not available in this build yet");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(uint32_t, linkType)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Network discovery is not available in this build yet");
    return {};
}
