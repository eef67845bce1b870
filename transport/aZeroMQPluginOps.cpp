// The plugin's side: the one exported table of the ZeroMQ code.
#include "transport/aZeroMQPlugin.h"
#include "transport/aStream_ZeroMQClient.h"
#include "transport/zBeaconInterface.h"

extern "C" __attribute__((visibility("default"))) const aZeroMQPluginOps* aZeroMQ_PluginOps()
{
    static const aZeroMQPluginOps ops = {
        aZEROMQ_PLUGIN_VERSION,
        aServer_Create,
        aServer_Start,
        aServer_Destroy,
        aServer_GetPort,
        aServer_GetInterface,
        aServer_SetModuleAddress,
        aServer_SetModel,
        aServer_FlushFIFO,
        aStream_CreateClient,
        zBeaconInterface_setAndLock,
        zBeaconInterface_backupSetAndLock,
        zBeaconInterface_restoreAndUnlock,
        zBeaconInterface_unlock,
        zBeaconInterface_get,
        zBeaconInterface_getAndLock,
        zBeaconInterface_getBackup,
        zBeaconInterface_getBackupAndLock,
        aDiscovery_GetIPv4Interfaces,
        aDiscovery_Enumerate_aEtherModules,
    };
    return &ops;
}
