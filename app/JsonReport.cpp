#include "app/JsonReport.h"

#include <cstring>

#include <nlohmann/json.hpp>

#include "app/ParameterReader.h"
#include "app/ResultPrinters.h"
#include "link/aError.h"
#include "link/aVersion.h"
#include "server/UpdateServerRequest.h"

using json = nlohmann::ordered_json;

namespace {

std::string sHex(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

// A serial number as scripts use it: the folder and option text, or null.
json sSerial(uint32_t value)
{
    return value ? json(sHex(value)) : json(nullptr);
}

json sLinkType(uint32_t type)
{
    switch (type) {
    case USB: return "USB";
    case TCPIP: return "TCPIP";
    case SERIAL: return "SERIAL";
    case AETHER: return "AETHER";
    default: return nullptr;
    }
}

json sVersion(uint32_t major, uint32_t minor, uint32_t patch)
{
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

const char* sChipName(uint8_t chip)
{
    switch (chip) {
    case CHIP_IMXRT1050: return "i.MX RT1050";
    case CHIP_LPC17XX: return "LPC17xx";
    default: return nullptr;
    }
}

} // namespace

JsonReport::JsonReport() : doc(new json(json::object()))
{
    json& d = *doc;
    d["program"] = UPDATER_PROGRAM_NAME;
    // "Version: 2.11.3 Jun  6 2025": the number for scripts, and the whole text.
    const std::string text = UPDATER_VERSION_TEXT;
    const size_t start = text.find(' ') + 1;
    d["version"] = text.substr(start, text.find(' ', start) - start);
    d["version_text"] = text;
    d["commands"] = json::array();
}

JsonReport::~JsonReport() = default;

void JsonReport::Help()
{
    (*doc)["commands"].push_back("help");
}

json JsonReport::Device(const DeviceInfo& d)
{
    json j;
    j["serial"] = sHex(d.serialNumber);
    j["model"] = d.model;
    j["model_name"] = d.modelName;
    j["name"] = d.deviceName;
    j["version"] = sVersion(d.versionMajor, d.versionMinor, d.versionPatch);
    j["build"] = d.buildNumber;
    j["link_type"] = sLinkType(d.type);
    j["module_address"] = d.module;
    j["router_address"] = d.router;
    j["router_serial"] = sSerial(d.routerSerialNumber);
    j["network_address"] = d.networkAddress ? json(d.networkAddress) : json(nullptr);
    if (d.type == TCPIP || d.type == AETHER) {
        // Stored in network order: the bytes as they lie are the address.
        unsigned char ip[4];
        std::memcpy(ip, &d.t.ipAddress, sizeof ip);
        j["ip_address"] = std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) +
                          "." + std::to_string(ip[3]);
        j["port"] = d.p.ipPort;
    } else {
        j["ip_address"] = nullptr;
        j["port"] = nullptr;
    }
    j["error_code"] = d.error;
    j["error_name"] = aError_GetErrorText(d.error);
    return j;
}

void JsonReport::Fingerprint(const std::string& port, const ::Fingerprint* fingerprint, uint8_t chip)
{
    json j;
    j["port"] = port;
    if (fingerprint) {
        json words = json::array();
        std::string text;
        for (uint32_t w : fingerprint->words) {
            words.push_back(sHex(w));
            text += sHex(w);
        }
        j["words"] = words;
        j["fingerprint"] = text;
    } else {
        j["words"] = nullptr;
        j["fingerprint"] = nullptr;
    }
    const char* name = sChipName(chip);
    j["chip"] = name ? json(name) : json(nullptr);
    (*doc)["commands"].push_back("fingerprint");
    (*doc)["fingerprint"] = j;
}

void JsonReport::Download(uint32_t serialNumber, const std::string& requested, uint32_t stored)
{
    json j;
    j["serial"] = sHex(serialNumber);
    j["requested_build"] = requested.empty() ? json(nullptr) : json(requested);
    j["build"] = stored ? json(stored) : json(nullptr);
    j["file"] = stored ? json(std::to_string(stored) + ".bird") : json(nullptr);
    (*doc)["commands"].push_back("download");
    (*doc)["download"] = j;
}

void JsonReport::Devices(linkType searched, uint32_t routerSerial, const std::vector<DeviceInfo>& devices)
{
    json j;
    j["link_type"] = sLinkType(searched);
    j["router_serial"] = sSerial(routerSerial);
    json list = json::array();
    for (const DeviceInfo& d : devices)
        list.push_back(Device(d));
    j["devices"] = list;
    (*doc)["commands"].push_back("discover");
    (*doc)["discover"] = j;
}

void JsonReport::Builds(uint32_t serialNumber, bool local, const BuildList& builds)
{
    json j;
    j["serial"] = sHex(serialNumber);
    json list = json::array();
    // Newest version first, as the console list shows them.
    for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds)) {
        json b;
        const char* end = nullptr;
        const uint32_t number = ReadDecimalArgument(entry.first.c_str(), &end);
        b["build"] = end && !*end && !entry.first.empty() ? json(number) : json(entry.first);
        b["version"] = entry.second.empty() ? json(nullptr) : json(entry.second);
        list.push_back(b);
    }
    j["builds"] = list;
    const char* key = local ? "local_builds" : "builds";
    (*doc)["commands"].push_back(key);
    (*doc)[key] = j;
}

void JsonReport::Token(uint32_t serialNumber, const std::string& token)
{
    json j;
    j["serial"] = sHex(serialNumber);
    j["token"] = token.empty() ? json(nullptr) : json(token);
    (*doc)["commands"].push_back("token");
    (*doc)["token"] = j;
}

void JsonReport::Update(bool recovery, bool ok, const std::string& port, const UpdateReport& r)
{
    json j;
    j["ok"] = ok;
    j["serial"] = sSerial(r.serialNumber);
    j["port"] = recovery ? json(port) : json(nullptr);
    j["build"] = r.build ? json(r.build) : json(nullptr);
    j["file"] = r.birdFile.empty() ? json(nullptr) : json(r.birdFile);
    j["file_version"] = r.version.empty() ? json(nullptr) : json(r.version);
    j["bytes"] = ok ? json(r.bytes) : json(nullptr);
    j["seconds"] = r.seconds;
    j["written"] = r.written;
    j["version_read_back"] = r.readBack ? json(r.versionAfter) : json(nullptr);
    j["build_read_back"] = r.readBack ? json(r.buildAfter) : json(nullptr);
    const char* key = recovery ? "recover" : "update";
    (*doc)["commands"].push_back(key);
    (*doc)[key] = j;
}

std::string JsonReport::Text(int exitStatus, const std::vector<std::string>& errors) const
{
    json d = *doc;
    d["exit_status"] = exitStatus;
    d["errors"] = errors;
    // Texts from modules and files need not be UTF-8: replace what is not,
    // rather than fail to print the report.
    return d.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
