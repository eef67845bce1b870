// The ZeroMQ and czmq code (local network server, AETHER client stream,
// beacon interface, AETHER discovery) lives in a plugin that is loaded on
// first use, so that a run that needs none of it does not load ZeroMQ. The
// plugin exports one table; the functions of aServer_ZeroMQ.h,
// aStream_ZeroMQClient.h, zBeaconInterface.h and the AETHER search of
// discover.h forward to it. Loading is thread-safe and happens once.
#ifndef CORVESTEL_TRANSPORT_AZEROMQPLUGIN_H
#define CORVESTEL_TRANSPORT_AZEROMQPLUGIN_H

#include <cstdint>
#include <string>

#include "link/aDefs.h"
#include "transport/aServer_ZeroMQ.h"
#include "transport/aStream.h"
#include "transport/discover.h"

#define aZEROMQ_PLUGIN_NAME "libcorvestel_zmq.so"
#define aZEROMQ_PLUGIN_ENTRY "aZeroMQ_PluginOps"
#define aZEROMQ_PLUGIN_VERSION 1

struct aZeroMQPluginOps {
    uint32_t version; // aZEROMQ_PLUGIN_VERSION
    aServerRef (*serverCreate)(uint32_t, uint32_t, uint16_t);
    aErr (*serverStart)(aServerRef);
    aErr (*serverDestroy)(aServerRef*);
    aErr (*serverGetPort)(aServerRef, uint16_t*);
    aErr (*serverGetInterface)(aServerRef, uint32_t*);
    aErr (*serverSetModuleAddress)(aServerRef, uint8_t);
    aErr (*serverSetModel)(aServerRef, uint8_t);
    aErr (*serverFlushFIFO)(aServerRef);
    aErr (*streamCreateClient)(uint32_t, uint16_t, aStreamRef*);
    int (*beaconSetAndLock)(const char*);
    int (*beaconBackupSetAndLock)(const char*);
    void (*beaconRestoreAndUnlock)();
    void (*beaconUnlock)();
    std::string (*beaconGet)();
    std::string (*beaconGetAndLock)();
    std::string (*beaconGetBackup)();
    std::string (*beaconGetBackupAndLock)();
    unsigned (*discoveryGetIPv4Interfaces)(uint32_t*, unsigned);
    unsigned (*discoveryEnumerateAether)(aDiscoveryModuleFoundProc, void*, uint32_t);
};

typedef const aZeroMQPluginOps* (*aZeroMQPluginEntry)();

// The plugin's table, loading it on first use; null (traced) when the
// plugin can't be found or loaded. It is looked for in one folder only:
// "corvestel" beside the shared library, or the build tree's plugin folder
// when the library is linked into a program.
const aZeroMQPluginOps* aZeroMQ_Plugin();

#endif
