// Server mode: a USB link shared with other processes through a local
// network server, handed back as the client link to that server. The server
// belongs to the USB link's entry, which destroys it with its last use.
#include "link/aLink.h"

#include <mutex>

#include "link/aDebugging.h"
#include "link/aDefs.h"
#include "link/aLinkManagerInternal.h"
#include "transport/aServer_ZeroMQ.h"

namespace {

const int SERVER_CONFIGURE_ATTEMPTS = 5;
const uint32_t SERVER_CONFIGURE_PAUSE_MS = 10;
const uint32_t SERVER_QUERY_TIMEOUT_MS = 1000;

// The USB link's last use takes its server down with it.
void sDestroyServer(void* server)
{
    aServerRef ref = static_cast<aServerRef>(server);
    aServer_Destroy(&ref);
}

// The next incoming packet, which must come within the time-out.
aPacket* sAwaitNext(uint32_t link)
{
    return aLink_AwaitPacket(link, SERVER_QUERY_TIMEOUT_MS);
}

// Asks the module behind link for its address.
//   aErrTimeout  no answer; aErrIO  an answer of the wrong shape
aErr sQueryModuleAddress(uint32_t link, uint8_t* address)
{
    const uint8_t none = 0;
    aPacket* probe = aPacket_CreateWithData(cmdMODULEADDRESS, 0, &none);
    if (!probe)
        return aErrMemory;
    aErr err = aLink_PutPacket(link, probe);
    aPacket_Destroy(&probe);
    if (err != aErrNone)
        return err;
    aPacket* answer = sAwaitNext(link);
    if (!answer)
        return aErrTimeout;
    err = (answer->length == 0 && answer->address != 0) ? aErrNone : aErrIO;
    if (err == aErrNone)
        *address = answer->address;
    aPacket_Destroy(&answer);
    aDebugging_Trace(aDEBUG_ADDRESS, "module address: %d (%s)\n", *address, aError_GetErrorText(err));
    return err;
}

// Reads the module's model with a raw system GET.
aErr sQueryModel(uint32_t link, uint8_t module, uint8_t* model)
{
    const uint8_t get[] = {cmdSYSTEMCLASS, 0x48, 0x20};
    aPacket* request = aPacket_CreateWithData(module, sizeof get, get);
    if (!request)
        return aErrMemory;
    aErr err = aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    if (err != aErrNone)
        return err;
    aPacket* answer = sAwaitNext(link);
    if (!answer)
        return aErrTimeout;
    err = (answer->length == 4 && answer->address == module && answer->data[0] == cmdSYSTEMCLASS) ? aErrNone
                                                                                                  : aErrIO;
    if (err == aErrNone)
        *model = answer->data[3];
    aPacket_Destroy(&answer);
    return err;
}

// Tells the server who it serves, asking through the client link.
aErr sConfigureServer(aServerRef server, uint32_t client)
{
    aErr err = aErrNotReady;
    for (int attempt = 0; attempt < SERVER_CONFIGURE_ATTEMPTS; attempt++) {
        if (attempt > 0)
            aTime_MSSleep(SERVER_CONFIGURE_PAUSE_MS);
        uint8_t address = 0;
        uint8_t model = 0;
        err = sQueryModuleAddress(client, &address);
        if (err == aErrNone)
            err = aServer_SetModuleAddress(server, address);
        if (err == aErrNone)
            err = sQueryModel(client, address, &model);
        if (err == aErrNone)
            err = aServer_SetModel(server, model);
        if (err == aErrNone)
            return aErrNone;
        aServer_FlushFIFO(server);
    }
    return err;
}

// Takes down what the server path made: the server (also when the USB link
// is shared with other holders) and our uses of both links.
uint32_t sServerFailed(const char* step, uint32_t usb, uint32_t client, const aLinkEntryRef& entry)
{
    aDebugging_Trace(aDEBUG_SERVER, "FAIL: %s\n", step);
    aDebugging_Trace(aDEBUG_SERVER, "Failed to create server\n");
    if (entry) {
        aServerRef server = nullptr;
        {
            std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
            server = static_cast<aServerRef>(entry->server);
            entry->server = nullptr;
        }
        if (server)
            aServer_Destroy(&server);
    }
    // A client made by the server path takes its USB link down with it.
    if (client)
        aLink_Destroy(&client);
    else if (usb)
        aLink_Destroy(&usb);
    return 0;
}

} // namespace

uint32_t aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* address, uint16_t option)
{
    if (!port || !address)
        return 0;
    uint32_t usb = aLink_CreateUSB(serialNumber);
    if (!usb)
        return sServerFailed("aLink_CreateUSB:", 0, 0, nullptr);
    aLinkEntryRef entry = aLinkManager_LookupByID(usb);
    if (!entry)
        return sServerFailed("sLookupEntryByID:", usb, 0, nullptr);
    aServerRef server = aServer_Create(usb, *address, option);
    if (!server)
        return sServerFailed("aServer_Create:", usb, 0, nullptr);
    {
        // From here on the USB link owns the server and destroys it with
        // itself; a USB creation elsewhere now sees it.
        std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
        entry->server = server;
        entry->serverDestroy = sDestroyServer;
    }
    if (aServer_Start(server) != aErrNone)
        return sServerFailed("aServer_Start:", usb, 0, entry);
    uint16_t serverPort = 0;
    uint32_t serverAddress = 0;
    if (aServer_GetPort(server, &serverPort) != aErrNone)
        return sServerFailed("aServer_GetPort:", usb, 0, entry);
    if (aServer_GetInterface(server, &serverAddress) != aErrNone)
        return sServerFailed("aServer_GetInterface:", usb, 0, entry);
    uint32_t client = aLink_CreateClient(serverAddress, serverPort, 0);
    if (!client)
        return sServerFailed("aLink_CreateClient:", usb, 0, entry);
    aLinkEntryRef clientEntry = aLinkManager_LookupByID(client);
    if (!clientEntry) {
        aLink_Destroy(&client);
        return sServerFailed("NULL != clientItem:", usb, 0, entry);
    }
    clientEntry->parent = usb;
    if (sConfigureServer(server, client) != aErrNone)
        return sServerFailed("NULL != _getDeviceInfo:", usb, client, entry);
    *port = serverPort;
    *address = serverAddress;
    return client;
}
