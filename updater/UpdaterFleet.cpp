// Fleet check: find the modules, read each one's version and build, and
// compare them with the newest build offered for it.
#include "updater/UpdaterFleet.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "base/Log.h"
#include "link/ModuleReturn.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "store/UpdaterStore.h"
#include "transport/discover.h"
#include "updater/UpdaterDiscovery.h"

namespace {

typedef UpdaterDisplayInterface::Level Level;
const Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Discovery always searches through the loopback interface setting.
const uint32_t LOOPBACK_INTERFACE = 0x0100007F;
// A version text from the server is kept up to this length.
const size_t VERSION_TEXT_MAX = 32;
// A stored build file is named by at most ten digits followed by ".bird".
const size_t BUILD_DIGITS_MAX = 10;

struct SerialFilter {
    uint32_t serialNumber;
    std::vector<DeviceInfo>* found;
};

bool _collect_serial(const linkSpec* spec, bool* success, void* reference)
{
    SerialFilter* filter = static_cast<SerialFilter*>(reference);
    if (spec->serialNumber != filter->serialNumber)
        return true;
    filter->found->push_back(DeviceInfo(*spec));
    *success = true;
    return false;
}

// The build number of a stored file's name ("4711.bird"); 0 for any other name.
uint32_t _build_of_name(const std::string& name)
{
    const size_t dot = name.size() > 5 ? name.size() - 5 : 0;
    if (dot == 0 || dot > BUILD_DIGITS_MAX || name.compare(dot, std::string::npos, ".bird") != 0)
        return 0;
    for (size_t i = 0; i < dot; ++i)
        if (name[i] < '0' || name[i] > '9')
            return 0;
    const unsigned long long value = std::strtoull(name.c_str(), nullptr, 10);
    return value <= 0xFFFFFFFFull ? uint32_t(value) : 0;
}

// Three numbers "major.minor.patch"; false for any other text.
bool _parse_version(const std::string& text, unsigned long v[3])
{
    const char* p = text.c_str();
    for (int i = 0; i < 3; ++i) {
        if (*p < '0' || *p > '9')
            return false;
        char* end = nullptr;
        v[i] = std::strtoul(p, &end, 10);
        p = end;
        if (i < 2) {
            if (*p != '.')
                return false;
            ++p;
        }
    }
    return *p == '\0';
}

// The newest build offered by the server for a device; false when the
// server names none.
bool _server_latest(const std::string& url, uint32_t serialNumber, uint32_t& build, std::string& version)
{
    const char* requestUrl = url.empty() ? nullptr : url.c_str();
    std::string latest, firmwareId;
    if (!UpdateServerRequest::QueryBuild(serialNumber, latest, firmwareId, requestUrl))
        return false;
    // The number alone: blanks and a carriage return around it are no part of it.
    const size_t first = latest.find_first_not_of(" \t\r\n");
    const size_t last = latest.find_last_not_of(" \t\r\n");
    const std::string digits = first == std::string::npos ? std::string() : latest.substr(first, last - first + 1);
    const uint32_t number = _build_of_name(digits + ".bird");
    if (number == 0) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
        return false;
    }
    build = number;
    version.clear();
    UpdateServerRequest::BuildMap builds;
    if (UpdateServerRequest::GetBuildList(serialNumber, builds, requestUrl)) {
        for (const auto& entry : builds)
            if (_build_of_name(entry.first + ".bird") == number)
                version = entry.second.substr(0, VERSION_TEXT_MAX);
    }
    return true;
}

} // namespace

const char* CheckStatusText(CheckStatus status)
{
    switch (status) {
    case CHECK_CURRENT: return "current";
    case CHECK_UPDATE_AVAILABLE: return "update available";
    case CHECK_NEWER: return "newer than offered";
    default: return "unknown";
    }
}

const char* CheckSourceText(CheckSource source)
{
    switch (source) {
    case SOURCE_SERVER: return "server";
    case SOURCE_STORE: return "store";
    default: return nullptr;
    }
}

bool NewestStoredBuild(const std::string& storage, uint32_t serialNumber, uint32_t& build, std::string& version)
{
    const std::string folder = storage + "/" + UpdaterStore::FolderName(serialNumber);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return false;
    build = 0;
    version.clear();
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const uint32_t number = _build_of_name(name);
        if (number == 0 || number <= build)
            continue;
        const std::string path = folder + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !BirdFile::VerifyFile(path))
            continue;
        BirdFile bird;
        bird.path = path;
        if (!bird.Load())
            continue;
        build = number;
        version = bird.GetVersion();
    }
    ::closedir(dir);
    return build != 0;
}

CheckStatus CompareWithLatest(const DeviceInfo& device, uint32_t latestBuild, const std::string& latestVersion)
{
    if (device.error != 0 || device.buildNumber == 0 || latestBuild == 0)
        return CHECK_UNKNOWN;
    if (device.buildNumber == latestBuild)
        return CHECK_CURRENT;
    unsigned long offered[3];
    if (_parse_version(latestVersion, offered)) {
        const unsigned long running[3] = {device.versionMajor, device.versionMinor, device.versionPatch};
        for (int i = 0; i < 3; ++i) {
            if (running[i] != offered[i])
                return running[i] < offered[i] ? CHECK_UPDATE_AVAILABLE : CHECK_NEWER;
        }
    }
    return device.buildNumber < latestBuild ? CHECK_UPDATE_AVAILABLE : CHECK_NEWER;
}

FleetCheck Updater::Check_Devices(linkType type, uint32_t routerSerial, uint32_t serialNumber)
{
    FleetCheck result;
    std::vector<DeviceInfo> devices;
    if (routerSerial) {
        devices = Discover_CVNetwork_Devices(routerSerial, type);
    } else if (serialNumber) {
        // One module: only it is connected to and asked.
        std::vector<linkType> types;
        if (type == 0)
            types = {USB, TCPIP};
        else
            types = {type};
        std::vector<std::string> refused;
        for (linkType t : types) {
            SerialFilter filter{serialNumber, &devices};
            aDiscovery_EnumerateModules(t, _collect_serial, &filter, LOOPBACK_INTERFACE);
            if (t == USB)
                refused = Quorvane::Corvestel::ModuleReturn::refusedUsbNodes();
            if (!devices.empty())
                break;
        }
        for (DeviceInfo& info : devices)
            _identify(info, display);
        _report_refused_usb(display, refused);
    } else {
        devices = Discover_Devices(type == 0 ? linkType(USB) : type);
    }

    if (serialNumber) {
        std::vector<DeviceInfo> wanted;
        for (const DeviceInfo& d : devices)
            if (d.serialNumber == serialNumber)
                wanted.push_back(d);
        devices = wanted;
        if (devices.empty()) {
            display.message(ERROR, "Module [%08X] was not found", serialNumber);
            ModuleCheck missing;
            missing.found = false;
            missing.device.serialNumber = serialNumber;
            missing.device.routerSerialNumber = routerSerial;
            result.modules.push_back(missing);
            return result;
        }
    }
    if (devices.empty())
        return result;

    result.serverReached = UpdateServerRequest::ping(url.empty() ? nullptr : url.c_str());
    if (!result.serverReached)
        display.message(INFO, "The update server %s cannot be reached: the modules are compared with the newest "
                              "builds in the store",
                        url.empty() ? UpdateServerRequest::default_url : url.c_str());
    for (const DeviceInfo& device : devices) {
        ModuleCheck check;
        check.device = device;
        if (result.serverReached && _server_latest(url, device.serialNumber, check.latestBuild, check.latestVersion)) {
            check.source = SOURCE_SERVER;
        } else if (NewestStoredBuild(storage, device.serialNumber, check.latestBuild, check.latestVersion)) {
            check.source = SOURCE_STORE;
            if (result.serverReached)
                display.message(INFO, "The update server names no build for [%08X]: compared with the newest "
                                      "build in the store",
                                device.serialNumber);
        }
        check.status = CompareWithLatest(device, check.latestBuild, check.latestVersion);
        result.modules.push_back(check);
    }
    return result;
}
