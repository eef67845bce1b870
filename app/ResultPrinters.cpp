#include "app/ResultPrinters.h"

#include <cstdio>
#include <cstring>

#include "server/UpdateServerRequest.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

const char* sLinkTypeName(linkType type)
{
    switch (type) {
    case USB: return "USB";
    case TCPIP: return "TCPIP";
    case AETHER: return "AETHER";
    default: return "Unknown";
    }
}

} // namespace

void PrintVersion(UpdaterDisplayInterface& display)
{
    display.message(INFO, "%s (%s)", UPDATER_PROGRAM_NAME, UPDATER_VERSION_TEXT);
}

void PrintFingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint)
{
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                    fingerprint.words[2], fingerprint.words[3]);
}

void PrintToken(UpdaterDisplayInterface& display, const std::string& token)
{
    display.message(INFO, "%s", token.c_str());
}

void PrintBuildList(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serialNumber)
{
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serialNumber);
        return;
    }
    display.message(INFO, "Build List for device [%08X]:\n", serialNumber);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(INFO, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
}

void PrintDeviceList(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                     linkType type)
{
    display.message(INFO, "Discovered Devices: (%s)", sLinkTypeName(type));
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name");

    for (const DeviceInfo& d : devices) {
        if (d.type == TCPIP || d.type == AETHER) {
            // The address bytes in the order they are stored (network order).
            unsigned char ip[4];
            std::memcpy(ip, &d.t.ipAddress, sizeof ip);
            char address[20];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                            d.serialNumber, d.module, d.router, d.modelName.c_str(), int(d.versionMajor),
                            int(d.versionMinor), int(d.versionPatch), d.buildNumber, address,
                            d.deviceName.c_str());
        } else if (d.error != 0) {
            display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                            d.serialNumber, int(d.error));
        } else {
            display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                            d.serialNumber, d.module, d.router, d.modelName.c_str(), int(d.versionMajor),
                            int(d.versionMinor), int(d.versionPatch), d.buildNumber, d.deviceName.c_str());
        }
    }
}
