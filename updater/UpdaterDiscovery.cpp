// Discovery commands: the modules reachable directly (USB, TCPIP) and the
// modules behind a router on its I2C network, each asked for its version,
// build, addresses, model and name. Also the module steps that the update
// and recovery commands share.
#include "updater/UpdaterDiscovery.h"

#include <arpa/inet.h>

#include <cstring>

#include "base/Log.h"
#include "link/I2CClass.h"
#include "link/ModuleReturn.h"
#include "link/SystemClass.h"
#include "link/aVersion.h"
#include "transport/discover.h"

using Quorvane::Corvestel::I2CClass;
using Quorvane::Corvestel::Module;
using Quorvane::Corvestel::ModuleReturn;
using Quorvane::Corvestel::SystemClass;

namespace {

// Discovery always searches through the loopback interface setting.
const uint32_t LOOPBACK_INTERFACE = 0x0100007F;
const uint8_t DEFAULT_ADDRESS = 2;
const uint8_t ANY_MODEL = 0;
const uint8_t FIRST_NETWORK_ADDRESS = 2;
const unsigned LAST_NETWORK_ADDRESS = 253;
const uint8_t SCAN_I2C_SPEED = 3;
const size_t NAME_CAPACITY = 32;
// Bytes 24 to 127 of a linkSpec: how the router itself is reached.
const size_t SPEC_ADDRESS_PART = 24;

bool _collect(const linkSpec* spec, bool* success, void* reference)
{
    static_cast<std::vector<DeviceInfo>*>(reference)->push_back(DeviceInfo(*spec));
    *success = true;
    return true;
}

// Servers that serve on a network interface answer beacons there, not the
// query on loopback: search the first interface too, each module once.
void _collect_network_servers(std::vector<DeviceInfo>& devices)
{
    uint32_t addresses[16];
    const unsigned count = aDiscovery_GetIPv4Interfaces(addresses, 16);
    for (unsigned i = 0; i < count; i++) {
        if ((ntohl(addresses[i]) >> 24) == 127)
            continue;
        std::vector<DeviceInfo> found;
        aDiscovery_EnumerateModules(AETHER, _collect, &found, addresses[i]);
        for (const DeviceInfo& d : found) {
            bool known = false;
            for (const DeviceInfo& k : devices)
                known = known || k.serialNumber == d.serialNumber;
            if (!known)
                devices.push_back(d);
        }
        break;
    }
}

struct SerialSearch {
    uint32_t serialNumber;
    linkType found;
};

bool _match_serial(const linkSpec* spec, bool* success, void* reference)
{
    SerialSearch* search = static_cast<SerialSearch*>(reference);
    if (spec->serialNumber != search->serialNumber)
        return true;
    Log::log(DEBUG_Network_100, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
        static_cast<int>(spec->type));
    search->found = spec->type;
    *success = true;
    return false;
}

} // namespace

void _identify(DeviceInfo& info, UpdaterDisplayInterface& display)
{
    info.modelName = aDefs_GetModelName(info.model);
    Module module(DEFAULT_ADDRESS, ANY_MODEL);
    aErr err = _network_off(module, display);
    if (err != aErrNone) {
        // The module was never reached; the entry shows why.
        info.error = err;
        return;
    }
    err = module.connectFromSpec(info);
    if (err != aErrNone) {
        info.error = err;
    } else {
        info.buildNumber = _get_build_number(module);
        info.error = _get_version(module, info);
        if (info.error == aErrNone)
            info.error = _get_name(module, info);
    }
    module.disconnect();
}

namespace {

// One address behind the router; true with info filled when a module
// answered there.
bool _probe_network_address(Module& router, const linkSpec& routerSpec, linkType type, uint32_t routerSerial,
    uint8_t address, UpdaterDisplayInterface& display, DeviceInfo& info)
{
    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, ANY_MODEL);
    _network_off(module, display);
    if (module.connectThroughLinkModule(&router) != aErrNone)
        return false;
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        module.disconnect();
        return false;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

    std::memcpy(reinterpret_cast<uint8_t*>(static_cast<linkSpec*>(&info)) + SPEC_ADDRESS_PART,
        reinterpret_cast<const uint8_t*>(&routerSpec) + SPEC_ADDRESS_PART, sizeof(linkSpec) - SPEC_ADDRESS_PART);
    info.type = type;
    info.serialNumber = serial;
    info.router = router.getModuleAddress();
    info.routerSerialNumber = routerSerial;
    info.networkAddress = address;
    info.buildNumber = _get_build_number(module);
    info.error = _get_version(module, info);
    uint8_t model = 0;
    aErr err = system.getModel(&model);
    if (err != aErrNone) {
        info.error = err;
    } else {
        info.model = model;
        info.modelName = aDefs_GetModelName(model);
    }
    module.disconnect();
    return true;
}

} // namespace

aErr _network_off(Module& module, UpdaterDisplayInterface& display)
{
    aEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    config.assignedPort = 0;
    config.networkInterface = LOOPBACK_INTERFACE;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
    return err;
}

uint32_t _get_build_number(Module& module)
{
    uint32_t build = 0;
    return module.getBuild(&build) == aErrNone ? build : 0;
}

aErr _get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    aErr err = system.getVersion(&version);
    if (err != aErrNone)
        return err;
    info.versionMajor = static_cast<uint8_t>(aVersion_ParseMajor(version));
    info.versionMinor = static_cast<uint8_t>(aVersion_ParseMinor(version));
    info.versionPatch = aVersion_ParsePatch(version);
    uint8_t value = 0;
    err = system.getModule(&value);
    if (err != aErrNone)
        return err;
    info.module = value;
    err = system.getRouter(&value);
    if (err != aErrNone)
        return err;
    info.router = value;
    return aErrNone;
}

aErr _get_name(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint8_t name[NAME_CAPACITY];
    size_t count = 0;
    aErr err = system.getName(name, sizeof name, &count);
    if (err != aErrNone)
        return err;
    info.deviceName.assign(reinterpret_cast<const char*>(name), count);
    return aErrNone;
}

bool _report_refused_usb(UpdaterDisplayInterface& display, const std::vector<std::string>& nodes)
{
    for (const std::string& node : nodes)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
            "Permission denied on %s (a Corvestel module, USB %04X): install the udev rules 70-corvestel.rules "
            "or add your user to the plugdev group, then plug the module in again",
            node.c_str(), static_cast<unsigned>(CORVESTEL_USB_VENDOR_ID));
    return !nodes.empty();
}

linkType _find_link_type(uint32_t serialNumber)
{
    for (linkType type : {linkType(USB), linkType(TCPIP)}) {
        SerialSearch search{serialNumber, 0};
        aDiscovery_EnumerateModules(type, _match_serial, &search, LOOPBACK_INTERFACE);
        if (search.found != 0)
            return search.found;
    }
    return 0;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type)
{
    std::vector<linkType> types;
    if (type == 0)
        types = {USB, TCPIP};
    else
        types = {type};
    std::vector<DeviceInfo> devices;
    std::vector<std::string> refused;
    for (linkType t : types) {
        aDiscovery_EnumerateModules(t, _collect, &devices, LOOPBACK_INTERFACE);
        if (t == USB)
            refused = ModuleReturn::refusedUsbNodes();
    }
    if (type == AETHER)
        _collect_network_servers(devices);
    for (DeviceInfo& info : devices)
        _identify(info, display);
    // A module this user may not open is not listed, but not kept quiet.
    _report_refused_usb(display, refused);
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(uint32_t routerSerial, linkType type)
{
    std::vector<DeviceInfo> devices;
    if (type == 0)
        type = _find_link_type(routerSerial);
    linkSpec* found = aDiscovery_FindModule(type, routerSerial, LOOPBACK_INTERFACE);
    if (!found)
        return devices;
    const linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);
    Log::log(DEBUG_Updater, "Found Link Module\n");

    Module router(DEFAULT_ADDRESS, ANY_MODEL);
    if (_network_off(router, display) != aErrNone)
        return devices;
    aErr err = router.connectFromSpec(routerSpec);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", static_cast<int>(err));
        router.disconnect();
        return devices;
    }

    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    err = routerSystem.routeToMe(1);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", static_cast<int>(err));
    } else {
        I2CClass i2c;
        i2c.init(&router, 0);
        i2c.setSpeed(SCAN_I2C_SPEED);
        const uint8_t probe[2] = {0, 0};
        for (unsigned address = FIRST_NETWORK_ADDRESS; address <= LAST_NETWORK_ADDRESS; address += 2) {
            if (address == router.getModuleAddress())
                continue;
            Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
            if (i2c.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone)
                continue;
            DeviceInfo info;
            if (_probe_network_address(router, routerSpec, type, routerSerial, static_cast<uint8_t>(address),
                    display, info))
                devices.push_back(info);
        }
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}
