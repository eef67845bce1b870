// Module steps shared by the Updater's commands (discovery, update,
// recovery): the network-off preparation, the build, version and name
// queries, and the search for the link type over which a module is
// reachable. Each runs on the caller's thread against a caller-owned Module.
#ifndef UPDATER_UPDATER_UPDATERDISCOVERY_H
#define UPDATER_UPDATER_UPDATERDISCOVERY_H

#include <cstdint>
#include <string>
#include <vector>

#include "base/UpdaterDisplayInterface.h"
#include "link/Module.h"
#include "updater/Updater.h"

// Keeps the module's own network server off for this program's connections:
// networking, fallback off; local only; port 0; interface 127.0.0.1. A
// failure (the module is already connected: aErrMode) writes the error
// "Failed to SET network configuration" and is returned.
aErr _network_off(Quorvane::Corvestel::Module& module, UpdaterDisplayInterface& display);

// The module's firmware build number (Module::getBuild); 0 when it does not
// answer or answers with a reply of the wrong length.
uint32_t _get_build_number(Quorvane::Corvestel::Module& module);

// Version (major, minor, patch), then module and router address from the
// system entity into info; the first failing call's code, fields of later
// steps untouched.
aErr _get_version(Quorvane::Corvestel::Module& module, DeviceInfo& info);

// The module's name (up to 32 bytes) into info.deviceName; on failure the
// code, and the name stays empty.
aErr _get_name(Quorvane::Corvestel::Module& module, DeviceInfo& info);

// One error line per module node on USB that a search or an open passed
// over because this user may not open it (nodes), naming the node and how
// to grant access. True when there was one.
bool _report_refused_usb(UpdaterDisplayInterface& display, const std::vector<std::string>& nodes);

// One module directly reached: connects with its own specifier and asks
// for its model name, build, version and name; the first failing step's
// code goes into info.error.
void _identify(DeviceInfo& info, UpdaterDisplayInterface& display);

// USB, else TCPIP, when a module with this serial number is found there;
// 0 when neither finds it.
linkType _find_link_type(uint32_t serialNumber);

#endif
