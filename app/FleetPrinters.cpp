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

// A text field of a record, or "-".
std::string sField(const nlohmann::ordered_json& record, const char* key, size_t width)
{
    const auto it = record.find(key);
    if (it == record.end() || !it->is_string())
        return "-";
    return sColumn(it->get<std::string>(), width);
}

// A build field of a record, or "?".
std::string sBuildField(const nlohmann::ordered_json& record, const char* key)
{
    const auto it = record.find(key);
    if (it == record.end() || !it->is_number_unsigned())
        return "?";
    return std::to_string(it->get<uint64_t>());
}

std::string sVersionField(const nlohmann::ordered_json& record, const char* version, const char* build)
{
    const auto v = record.find(version);
    const auto b = record.find(build);
    if ((v == record.end() || v->is_null()) && (b == record.end() || b->is_null()))
        return "-";
    return sField(record, version, 16) + " (" + sBuildField(record, build) + ")";
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

void PrintHistory(UpdaterDisplayInterface& display, uint32_t serialNumber,
                  const std::vector<nlohmann::ordered_json>& entries, unsigned skipped)
{
    if (entries.empty()) {
        display.message(INFO, "No history for device [%08X]", serialNumber);
    } else {
        display.message(INFO, "History of device [%08X]:", serialNumber);
        for (const nlohmann::ordered_json& e : entries) {
            const auto seconds = e.find("seconds");
            const double s = seconds != e.end() && seconds->is_number() ? seconds->get<double>() : 0.0;
            const std::string message = sField(e, "message", 200);
            display.message(INFO, "    %s  %s@%s  %-8s  %s -> %s  %-7s  %8.1f s  sha256 %s%s%s",
                            sField(e, "time", 24).c_str(), sField(e, "user", 32).c_str(), sField(e, "host", 64).c_str(),
                            sField(e, "command", 8).c_str(), sVersionField(e, "version_before", "build_before").c_str(),
                            sVersionField(e, "version_after", "build_after").c_str(), sField(e, "result", 7).c_str(), s,
                            sField(e, "sha256", 16).c_str(), message == "-" ? "" : "  ", message == "-" ? "" : message.c_str());
        }
    }
    if (skipped)
        display.message(INFO, "%u damaged history lines passed over", skipped);
}
