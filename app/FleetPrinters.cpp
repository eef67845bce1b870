#include "app/FleetPrinters.h"

#include <string>

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

// "2.15.0 (1000)", or "-" when nothing is known.
std::string sVersionBuild(const std::string& version, uint32_t build)
{
    if (build == 0 && version.empty())
        return "-";
    return (version.empty() ? std::string("?") : version) + " (" + (build ? std::to_string(build) : "?") + ")";
}

std::string sRunning(const ModuleCheck& m)
{
    if (!m.found || m.device.error != 0 || m.device.buildNumber == 0)
        return "-";
    return sVersionBuild(std::to_string(m.device.versionMajor) + "." + std::to_string(m.device.versionMinor) + "." +
                             std::to_string(m.device.versionPatch),
                         m.device.buildNumber);
}

// Texts from modules and files, cut to a column and without control characters.
std::string sColumn(const std::string& text, size_t width)
{
    std::string out;
    for (char c : text.substr(0, width))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return out;
}

} // namespace

void PrintFleetCheck(UpdaterDisplayInterface& display, const FleetCheck& check)
{
    display.message(INFO, "Firmware check:");
    if (check.modules.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    display.message(INFO, "    %-8s  %-12s  %-20s  %-20s  %-6s  %s", "Device", "Model", "Running (Build)",
                    "Latest (Build)", "Source", "Status");
    for (const ModuleCheck& m : check.modules) {
        const char* source = CheckSourceText(m.source);
        display.message(INFO, "    %08X  %-12s  %-20s  %-20s  %-6s  %s", m.device.serialNumber,
                        sColumn(m.device.modelName, 12).c_str(), sRunning(m).c_str(),
                        sColumn(sVersionBuild(m.latestVersion, m.latestBuild), 20).c_str(), source ? source : "-",
                        CheckStatusText(m.status));
    }
}
