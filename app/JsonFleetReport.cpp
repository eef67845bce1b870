// The fleet commands' parts of the --json report: check, update_all, history.
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "app/FleetUpdate.h"
#include "app/JsonReport.h"
#include "updater/UpdaterFleet.h"

using json = nlohmann::ordered_json;

namespace {

std::string sHex(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

json sText(const char* text)
{
    return text ? json(text) : json(nullptr);
}

} // namespace

void JsonReport::Check(const FleetCheck& check)
{
    json j;
    j["server_reached"] = check.serverReached;
    json list = json::array();
    for (const ModuleCheck& m : check.modules) {
        const DeviceInfo& d = m.device;
        const bool known = m.found && d.error == 0 && d.buildNumber != 0;
        json e;
        e["serial"] = sHex(d.serialNumber);
        e["model"] = m.found ? json(d.model) : json(nullptr);
        e["model_name"] = m.found ? json(d.modelName) : json(nullptr);
        e["name"] = m.found && !d.deviceName.empty() ? json(d.deviceName) : json(nullptr);
        e["version"] = known ? json(std::to_string(d.versionMajor) + "." + std::to_string(d.versionMinor) + "." +
                                    std::to_string(d.versionPatch))
                             : json(nullptr);
        e["build"] = known ? json(d.buildNumber) : json(nullptr);
        e["latest_build"] = m.latestBuild ? json(m.latestBuild) : json(nullptr);
        e["latest_version"] = m.latestVersion.empty() ? json(nullptr) : json(m.latestVersion);
        e["status"] = CheckStatusText(m.status);
        e["source"] = sText(CheckSourceText(m.source));
        // A module reached directly names itself as its router.
        e["router_serial"] = d.networkAddress ? json(sHex(d.routerSerialNumber)) : json(nullptr);
        list.push_back(e);
    }
    j["modules"] = list;
    (*doc)["commands"].push_back("check");
    (*doc)["check"] = j;
}

void JsonReport::History(uint32_t serialNumber, const std::vector<json>& entries, unsigned skipped)
{
    json j;
    j["serial"] = sHex(serialNumber);
    j["entries"] = entries;
    j["skipped_lines"] = skipped;
    (*doc)["commands"].push_back("history");
    (*doc)["history"] = j;
}

void JsonReport::UpdateAll(const FleetOutcome& outcome)
{
    json j;
    j["changed"] = outcome.changed;
    json counts;
    for (int r = 0; r < FLEET_RESULT_COUNT; ++r)
        counts[FleetResultText(FleetResult(r))] = outcome.counts[r];
    j["counts"] = counts;
    json list = json::array();
    for (const FleetModuleOutcome& m : outcome.modules) {
        json e;
        e["serial"] = sHex(m.serialNumber);
        e["result"] = FleetResultText(m.result);
        e["build_before"] = m.buildBefore ? json(m.buildBefore) : json(nullptr);
        e["build_after"] = m.buildAfter ? json(m.buildAfter) : json(nullptr);
        e["version_before"] = m.versionBefore.empty() ? json(nullptr) : json(m.versionBefore);
        e["version_after"] = m.versionAfter.empty() ? json(nullptr) : json(m.versionAfter);
        e["error"] = m.error.empty() ? json(nullptr) : json(m.error);
        list.push_back(e);
    }
    j["modules"] = list;
    (*doc)["commands"].push_back("update_all");
    (*doc)["update_all"] = j;
}
