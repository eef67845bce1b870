// Discovery for Python: corvestel.discover() and the ModuleInfo records it
// returns. A search runs with the GIL released; any number of threads may
// search at once (discovery shares nothing but the libusb context).
#ifndef PYTHON_PYDISCOVERY_H
#define PYTHON_PYDISCOVERY_H

#include <corvestel/corvestel.h>

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace corvestel_py {

// "usb", "tcpip", "aether" (any case) to the link type; ValueError otherwise.
linkType parseTransport(const std::string& name);
// "USB", "TCPIP", "SERIAL", "AETHER" or "UNKNOWN".
const char* transportName(linkType type);
// "2.15.7" of a packed version word.
std::string versionText(uint32_t version);
pybind11::tuple versionTuple(uint32_t version);

// Networking on for an AETHER link (and for a USB module served to other
// processes), without the fallback to the other link type.
aErr setNetworking(Quorvane::Corvestel::Module& module, bool on);

// One module found by discovery, with what it told about itself when asked.
struct ModuleInfo {
    linkSpec spec;
    bool identified = false;  // version, build and name were read
    uint8_t model = 0;        // the module's own answer when identified, else the search's
    uint32_t version = 0;
    uint32_t build = 0;
    std::string name;
    aErr error = aErrNone;    // why identification failed

    std::string serialText() const;
    std::string ipAddress() const; // dotted text for TCPIP and AETHER, else ""
    std::string repr() const;
};

// The modules that answer over a transport; with identify, each is
// connected in turn to read its model, version, build and name.
std::vector<ModuleInfo> discover(linkType type, bool identify, uint32_t networkInterface);

void registerDiscovery(pybind11::module_& m);

} // namespace corvestel_py

#endif
