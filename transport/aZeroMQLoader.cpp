// Loads the ZeroMQ plugin on first use and forwards the public functions of
// the server, the client stream, the beacon interface and the AETHER search
// to it. Without the plugin those report failure as their headers describe
// (no server, no stream, nothing found) after one line on standard error.
#include "transport/aZeroMQPlugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <mutex>
#include <string>

#include "transport/aStream_ZeroMQClient.h"
#include "transport/zBeaconInterface.h"

// The build tree's plugin folder, fixed when the library is built.
#ifndef CORVESTEL_PLUGIN_BUILD_DIR
#define CORVESTEL_PLUGIN_BUILD_DIR ""
#endif

namespace {

std::string sRealPath(const char* path)
{
    char real[PATH_MAX];
    return path && realpath(path, real) ? std::string(real) : std::string();
}

// The one folder the plugin is loaded from. Built into the shared library,
// the code looks in the "corvestel" folder beside that library: the
// installed library folder, whatever the prefix, or the build tree, where
// the library and that folder lie side by side. Linked into a program (the
// build tree's tests), it looks in the build tree's plugin folder. Never in
// a place relative to the program: a program kept in a folder that others
// can write to must not load what they put next to it.
std::string sPluginFolder()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&sPluginFolder), &info) == 0 || !info.dli_fname)
        return std::string();
    const std::string object = sRealPath(info.dli_fname);
    const std::string program = sRealPath("/proc/self/exe");
    if (object.empty() || object == program)
        return CORVESTEL_PLUGIN_BUILD_DIR;
    const size_t slash = object.rfind('/');
    return slash == std::string::npos ? std::string() : object.substr(0, slash) + "/corvestel";
}

const aZeroMQPluginOps* sLoad()
{
    const std::string place = sPluginFolder();
    std::string failure = "not found";
    if (!place.empty() && place[0] == '/') {
        const std::string path = place + "/" aZEROMQ_PLUGIN_NAME;
        if (access(path.c_str(), R_OK) == 0) {
            void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                const char* why = dlerror();
                failure = why ? why : "cannot be loaded";
            } else {
                auto entry = reinterpret_cast<aZeroMQPluginEntry>(dlsym(handle, aZEROMQ_PLUGIN_ENTRY));
                const aZeroMQPluginOps* ops = entry ? entry() : nullptr;
                if (ops && ops->version == aZEROMQ_PLUGIN_VERSION)
                    return ops; // stays loaded for the rest of the run
                failure = path + " is not this library's plugin";
                dlclose(handle);
            }
        } else {
            failure = "not found in " + place;
        }
    }
    std::fprintf(stderr, "Cannot load the network plugin %s (%s): reinstall the program.\n", aZEROMQ_PLUGIN_NAME,
                 failure.c_str());
    return nullptr;
}

} // namespace

const aZeroMQPluginOps* aZeroMQ_Plugin()
{
    static std::once_flag once;
    static const aZeroMQPluginOps* ops = nullptr;
    std::call_once(once, [] { ops = sLoad(); });
    return ops;
}

aServerRef aServer_Create(uint32_t linkIdentifier, uint32_t networkInterface, uint16_t localOnly)
{
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->serverCreate(linkIdentifier, networkInterface, localOnly) : nullptr;
}

// A server exists only when the plugin made it, so the others need no check
// beyond the one a null server gets.
aErr aServer_Start(aServerRef server)
{
    return server ? aZeroMQ_Plugin()->serverStart(server) : aErrParam;
}

aErr aServer_Destroy(aServerRef* server)
{
    return server && *server ? aZeroMQ_Plugin()->serverDestroy(server) : aErrParam;
}

aErr aServer_GetPort(aServerRef server, uint16_t* port)
{
    return server ? aZeroMQ_Plugin()->serverGetPort(server, port) : aErrParam;
}

aErr aServer_GetInterface(aServerRef server, uint32_t* address)
{
    return server ? aZeroMQ_Plugin()->serverGetInterface(server, address) : aErrParam;
}

aErr aServer_SetModuleAddress(aServerRef server, uint8_t address)
{
    return server ? aZeroMQ_Plugin()->serverSetModuleAddress(server, address) : aErrParam;
}

aErr aServer_SetModel(aServerRef server, uint8_t model)
{
    return server ? aZeroMQ_Plugin()->serverSetModel(server, model) : aErrParam;
}

aErr aServer_FlushFIFO(aServerRef server)
{
    return server ? aZeroMQ_Plugin()->serverFlushFIFO(server) : aErrParam;
}

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream)
{
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->streamCreateClient(address, port, stream) : aErrResource;
}

int zBeaconInterface_setAndLock(const char* text)
{
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->beaconSetAndLock(text) : 0;
}

int zBeaconInterface_backupSetAndLock(const char* text)
{
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->beaconBackupSetAndLock(text) : 0;
}

void zBeaconInterface_restoreAndUnlock()
{
    if (const aZeroMQPluginOps* p = aZeroMQ_Plugin())
        p->beaconRestoreAndUnlock();
}

void zBeaconInterface_unlock()
{
    if (const aZeroMQPluginOps* p = aZeroMQ_Plugin())
        p->beaconUnlock();
}

std::string zBeaconInterface_get()
{
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->beaconGet() : std::string();
}

std::string zBeaconInterface_getAndLock()
{
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->beaconGetAndLock() : std::string();
}

std::string zBeaconInterface_getBackup()
{
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->beaconGetBackup() : std::string();
}

std::string zBeaconInterface_getBackupAndLock()
{
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->beaconGetBackupAndLock() : std::string();
}

unsigned aDiscovery_GetIPv4Interfaces(uint32_t* addresses, unsigned maximum)
{
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->discoveryGetIPv4Interfaces(addresses, maximum) : 0;
}

unsigned aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* reference,
                                            uint32_t networkInterface)
{
    const aZeroMQPluginOps* p = aZeroMQ_Plugin();
    return p ? p->discoveryEnumerateAether(callback, reference, networkInterface) : 0;
}

#if defined(__SANITIZE_THREAD__)
// libzmq and czmq (and libsodium, which encrypts for libzmq) are not built
// for ThreadSanitizer: the lock-free queues
// between their own threads and ours are invisible to it, so what it reports
// inside them is noise. The sanitizer looks this up by name, so it stays
// exported from a program or library built with hidden symbols.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions()
{
    return "race:libzmq.so\n"
           "race:libczmq.so\n"
           "race:libsodium.so\n"
           "called_from_lib:libzmq.so\n"
           "called_from_lib:libczmq.so\n"
           "called_from_lib:libsodium.so\n";
}
#endif
