#include "PyDiscovery.h"

#include "PyErrors.h"

#include <pybind11/stl.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

namespace py = pybind11;
using Quorvane::Corvestel::Module;
using Quorvane::Corvestel::SystemClass;

namespace corvestel_py {

namespace {

bool sCollect(const linkSpec* spec, bool* success, void* reference)
{
    auto* found = static_cast<std::vector<ModuleInfo>*>(reference);
    // A module heard twice (two interfaces, two answers) is listed once.
    for (const ModuleInfo& info : *found)
        if (info.spec.serialNumber == spec->serialNumber)
            return true;
    ModuleInfo info;
    info.spec = *spec;
    info.model = static_cast<uint8_t>(spec->model);
    found->push_back(info);
    *success = true;
    return true;
}

void sIdentify(ModuleInfo& info)
{
    const uint8_t address = info.spec.module != 0 ? static_cast<uint8_t>(info.spec.module) : 2;
    Module module(address, 0);
    aErr err = setNetworking(module, info.spec.type == Quorvane::Corvestel::AETHER);
    if (err == aErrNone)
        err = module.connectFromSpec(info.spec);
    if (err == aErrNone) {
        SystemClass system;
        system.init(&module, 0);
        uint8_t model = 0;
        err = system.getModel(&model);
        if (aError_HasValue(err)) {
            info.model = model;
            err = system.getVersion(&info.version);
        }
        if (aError_HasValue(err))
            err = module.getBuild(&info.build);
        if (aError_HasValue(err)) {
            uint8_t name[64];
            size_t count = 0;
            // A module without a name is identified all the same.
            if (system.getName(name, sizeof name, &count) == aErrNone) {
                info.name.assign(reinterpret_cast<const char*>(name), std::min(count, sizeof name));
                info.name.erase(std::find(info.name.begin(), info.name.end(), '\0'), info.name.end());
            }
            info.identified = true;
            err = aErrNone;
        }
        if (info.spec.type != Quorvane::Corvestel::USB || info.spec.module == 0)
            info.spec.module = module.getModuleAddress();
        module.disconnect();
    }
    info.error = err;
}

py::object sOptional(bool present, py::object value)
{
    return present ? value : py::none();
}

} // namespace

linkType parseTransport(const std::string& name)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == "usb")
        return Quorvane::Corvestel::USB;
    if (lower == "tcpip")
        return Quorvane::Corvestel::TCPIP;
    if (lower == "aether")
        return Quorvane::Corvestel::AETHER;
    throw py::value_error("transport must be \"usb\", \"tcpip\" or \"aether\", not \"" + name + "\"");
}

const char* transportName(linkType type)
{
    switch (type) {
    case Quorvane::Corvestel::USB: return "USB";
    case Quorvane::Corvestel::TCPIP: return "TCPIP";
    case Quorvane::Corvestel::SERIAL: return "SERIAL";
    case Quorvane::Corvestel::AETHER: return "AETHER";
    default: return "UNKNOWN";
    }
}

std::string versionText(uint32_t version)
{
    char text[40];
    aVersion_ParseString(version, text, sizeof text);
    return text;
}

py::tuple versionTuple(uint32_t version)
{
    return py::make_tuple(aVersion_ParseMajor(version), aVersion_ParseMinor(version), aVersion_ParsePatch(version));
}

aErr setNetworking(Module& module, bool on)
{
    aEtherConfig config;
    aErr err = module.getConfig(&config);
    if (err != aErrNone)
        return err;
    config.enabled = on ? 1 : 0;
    config.fallback = 0;
    return module.setConfig(config);
}

std::string ModuleInfo::serialText() const
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", spec.serialNumber);
    return text;
}

std::string ModuleInfo::ipAddress() const
{
    if (spec.type != Quorvane::Corvestel::TCPIP && spec.type != Quorvane::Corvestel::AETHER)
        return "";
    char text[INET_ADDRSTRLEN] = {0};
    in_addr address;
    address.s_addr = spec.t.ipAddress;
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string ModuleInfo::repr() const
{
    std::string text = "<corvestel.ModuleInfo " + serialText() + " " + transportName(spec.type) + " model " +
        std::to_string(model) + " (" + aDefs_GetModelName(model) + ")";
    if (identified)
        text += " version " + versionText(version) + " build " + std::to_string(build);
    return text + ">";
}

std::vector<ModuleInfo> discover(linkType type, bool identify, uint32_t networkInterface)
{
    std::vector<ModuleInfo> found;
    aDiscovery_EnumerateModules(type, sCollect, &found, networkInterface);
    std::sort(found.begin(), found.end(),
        [](const ModuleInfo& a, const ModuleInfo& b) { return a.spec.serialNumber < b.spec.serialNumber; });
    if (identify)
        for (ModuleInfo& info : found)
            sIdentify(info);
    return found;
}

void registerDiscovery(py::module_& m)
{
    py::class_<ModuleInfo>(m, "ModuleInfo",
        "A module found by discover(): how it is reached and, when it was asked, what it is.\n\n"
        "Pass it to Module.connect() to connect without searching again.")
        .def_property_readonly("serial", [](const ModuleInfo& i) { return i.spec.serialNumber; },
            "Serial number (int).")
        .def_property_readonly("serial_text", &ModuleInfo::serialText, "Serial number as eight hexadecimal digits.")
        .def_property_readonly("model", [](const ModuleInfo& i) { return i.model; }, "Model number.")
        .def_property_readonly("model_name", [](const ModuleInfo& i) { return std::string(aDefs_GetModelName(i.model)); },
            "Model name (\"Unknown\" for numbers without one).")
        .def_property_readonly("version",
            [](const ModuleInfo& i) { return sOptional(i.identified, py::str(versionText(i.version))); },
            "Firmware version as text (\"2.15.7\"); None when the module was not asked or did not answer.")
        .def_property_readonly("version_tuple",
            [](const ModuleInfo& i) { return sOptional(i.identified, versionTuple(i.version)); },
            "Firmware version as (major, minor, patch), or None.")
        .def_property_readonly("build", [](const ModuleInfo& i) { return sOptional(i.identified, py::int_(i.build)); },
            "Firmware build number, or None.")
        .def_property_readonly("name", [](const ModuleInfo& i) { return sOptional(i.identified, py::str(i.name)); },
            "The module's name, or None.")
        .def_property_readonly("link_type", [](const ModuleInfo& i) { return std::string(transportName(i.spec.type)); },
            "\"USB\", \"TCPIP\" or \"AETHER\".")
        .def_property_readonly("module_address", [](const ModuleInfo& i) { return i.spec.module; },
            "Module address (0 over USB until the module was asked).")
        .def_property_readonly("router_address", [](const ModuleInfo& i) { return i.spec.router; },
            "Address of the module's router (0 over USB).")
        .def_property_readonly("ip_address",
            [](const ModuleInfo& i) { return sOptional(!i.ipAddress().empty(), py::str(i.ipAddress())); },
            "IPv4 address for TCPIP and AETHER, else None.")
        .def_property_readonly("port",
            [](const ModuleInfo& i) {
                return sOptional(i.spec.type == Quorvane::Corvestel::TCPIP || i.spec.type == Quorvane::Corvestel::AETHER,
                    py::int_(i.spec.p.ipPort));
            },
            "TCP port for TCPIP and AETHER, else None.")
        .def_property_readonly("error",
            [](const ModuleInfo& i) {
                return sOptional(i.error != aErrNone, py::str(aError_GetErrorText(i.error)));
            },
            "Why the module could not be asked (\"aErrTimeout\"), or None.")
        .def("__repr__", &ModuleInfo::repr);

    m.def("discover",
        [](const std::string& transport, bool identify, const std::string& interface) {
            const linkType type = parseTransport(transport);
            in_addr address{};
            if (inet_pton(AF_INET, interface.c_str(), &address) != 1)
                throw py::value_error("interface must be an IPv4 address, not \"" + interface + "\"");
            py::gil_scoped_release release;
            return discover(type, identify, address.s_addr);
        },
        py::arg("transport") = "usb", py::kw_only(), py::arg("identify") = true, py::arg("interface") = "127.0.0.1",
        "discover(transport=\"usb\", *, identify=True, interface=\"127.0.0.1\") -> list[ModuleInfo]\n\n"
        "The modules that answer over a transport (\"usb\", \"tcpip\" or \"aether\"), by serial number.\n"
        "With identify, each is connected in turn to read its version, build and name (a module that\n"
        "another program holds has None there and its error set). A TCPIP search waits 2 s for answers;\n"
        "interface chooses the network interface of an AETHER search (127.0.0.1: this host's servers).");
}

} // namespace corvestel_py
