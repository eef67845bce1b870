// The parts of discovery that need czmq (the interface list and the AETHER
// search by beacon or multicast query); they live in the ZeroMQ plugin.
#include "transport/discover.h"

#include <arpa/inet.h>
#include <cstring>
#include <czmq.h>
#include <vector>

#include "link/aDebugging.h"
#include "transport/aMulticast.h"
#include "transport/aRecord.h"
#include "transport/aServer_ZeroMQ.h"
#include "transport/zBeaconInterface.h"

unsigned aDiscovery_GetIPv4Interfaces(uint32_t* addresses, unsigned maximum)
{
    if (!addresses)
        return 0;
    unsigned count = 0;
    ziflist_t* list = ziflist_new();
    if (!list)
        return 0;
    for (const char* name = ziflist_first(list); name && count < maximum; name = ziflist_next(list)) {
        struct in_addr a;
        const char* text = ziflist_address(list);
        if (text && inet_pton(AF_INET, text, &a) == 1)
            addresses[count++] = a.s_addr;
    }
    ziflist_destroy(&list);
    return count;
}

namespace {

const unsigned AETHER_MAX_INTERFACES = 50;
const int BEACON_ATTEMPTS = 22;
const int BEACON_INTERVAL_MS = 100;
const int BEACON_RECEIVE_MS = 100;
const uint8_t QUERY_BYTES[4] = {0xBA, 0xDC, 0xCD, 0xAB};

// One AETHER search: the modules reported so far (by serial number), the
// caller's callback and the count.
struct sAetherSearch {
    aDiscoveryModuleFoundProc callback;
    void* reference;
    bool localOnly;
    std::vector<linkSpec> seen;
    unsigned count = 0;
    bool stop = false;

    bool Seen(uint32_t serialNumber) const
    {
        for (const linkSpec& spec : seen) {
            if (spec.serialNumber == serialNumber)
                return true;
        }
        return false;
    }

    void Report(const linkSpec& spec)
    {
        seen.push_back(spec);
        bool success = false;
        if (!callback(&seen.back(), &success, reference))
            stop = true;
        if (success)
            count++;
    }
};

void sMulticastQuery(sAetherSearch* search)
{
    uint32_t group = inet_addr(aSERVER_MULTICAST_GROUP);
    for (int slot = 0; slot < aSERVER_MULTICAST_SLOTS && !search->stop; slot++) {
        aMulticastRef probe = aMulticast_Create(0, group, static_cast<uint16_t>(aSERVER_MULTICAST_PORT + slot), false);
        if (probe) {
            // Nobody holds the slot.
            aMulticast_Destroy(&probe);
            continue;
        }
        aMulticastRef receiver =
            aMulticast_Create(0, group, static_cast<uint16_t>(aSERVER_MULTICAST_REPLY_PORT + slot), false);
        aMulticastRef sender = aMulticast_Create(0, group, static_cast<uint16_t>(aSERVER_MULTICAST_PORT + slot), true);
        if (receiver && sender) {
            aMulticast_Send(sender, QUERY_BYTES, sizeof QUERY_BYTES);
            linkSpec spec;
            int got = aMulticast_Receive(receiver, &spec, sizeof spec);
            if (got == static_cast<int>(sizeof spec)) {
                aDebugging_Trace(aDEBUG_DISCOVERY,
                    "Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - Type: %d\n",
                    spec.serialNumber, static_cast<int>(spec.p.ipPort), static_cast<int>(spec.t.ipAddress),
                    static_cast<int>(spec.type));
                if (!search->Seen(spec.serialNumber)) {
                    if (search->localOnly && spec.t.ipAddress != htonl(INADDR_LOOPBACK))
                        aDebugging_Trace(aDEBUG_DISCOVERY, "We are in local mode, ignoring(2)\n");
                    else
                        search->Report(spec);
                }
            } else {
                aDebugging_Trace(aDEBUG_DISCOVERY, "Unknown Error sending request message: %d\n", got);
            }
        }
        aMulticast_Destroy(&receiver);
        aMulticast_Destroy(&sender);
    }
}

void sBeaconSearch(sAetherSearch* search)
{
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (!beacon)
        return;
    zsock_send(beacon, "si", "CONFIGURE", aSERVER_BEACON_PORT);
    char* hostname = zstr_recv(beacon);
    aDebugging_Trace(aDEBUG_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
        hostname ? hostname : "", aSERVER_BEACON_PORT);
    struct in_addr own;
    own.s_addr = 0;
    bool ready = hostname && *hostname && inet_pton(AF_INET, hostname, &own) == 1;
    zstr_free(&hostname);
    if (ready) {
        zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER, strlen(DISCOVERY_BEACON_FILTER),
            BEACON_INTERVAL_MS);
        // The beacon goes to the interface's broadcast address, every
        // interval: recorded once, with the interface's own address.
        if (aRecord_IsOn())
            aRecord_AetherDatagram(true, true, own.s_addr, aSERVER_BEACON_PORT,
                reinterpret_cast<const uint8_t*>(DISCOVERY_BEACON_FILTER),
                static_cast<uint32_t>(strlen(DISCOVERY_BEACON_FILTER)));
        zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
        zsock_set_rcvtimeo(beacon, BEACON_RECEIVE_MS);
        for (int attempt = 0; attempt < BEACON_ATTEMPTS && !search->stop; attempt++) {
            zmsg_t* msg = zmsg_recv(beacon);
            if (!msg)
                continue;
            char* sender = zmsg_popstr(msg);
            zframe_t* payload = zmsg_pop(msg);
            if (payload && aRecord_IsOn()) {
                struct in_addr from;
                from.s_addr = 0;
                if (sender)
                    inet_pton(AF_INET, sender, &from);
                aRecord_AetherDatagram(true, false, from.s_addr, aSERVER_BEACON_PORT, zframe_data(payload),
                    static_cast<uint32_t>(zframe_size(payload)));
            }
            if (payload && zframe_size(payload) == sizeof(linkSpec)) {
                linkSpec spec;
                std::memcpy(&spec, zframe_data(payload), sizeof spec);
                if (!search->Seen(spec.serialNumber)) {
                    aDebugging_Trace(aDEBUG_DISCOVERY,
                        "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - Model: %d\n",
                        spec.serialNumber, static_cast<int>(spec.p.ipPort), static_cast<int>(spec.t.ipAddress),
                        static_cast<int>(spec.type), static_cast<int>(spec.model));
                    bool local = spec.t.ipAddress == htonl(INADDR_LOOPBACK) || spec.t.ipAddress == own.s_addr;
                    if (search->localOnly && !local)
                        aDebugging_Trace(aDEBUG_DISCOVERY, "We are in local mode, ignoring(1)\n");
                    else
                        search->Report(spec);
                }
            }
            zstr_free(&sender);
            zframe_destroy(&payload);
            zmsg_destroy(&msg);
        }
        aDebugging_Trace(aDEBUG_DISCOVERY, "Done with discovery\n");
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zactor_destroy(&beacon);
}

} // namespace

unsigned aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* reference,
                                            uint32_t networkInterface)
{
    if (!callback)
        return 0;
    sAetherSearch search;
    search.callback = callback;
    search.reference = reference;
    bool local = networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK);
    uint32_t addresses[AETHER_MAX_INTERFACES];
    unsigned count = aDiscovery_GetIPv4Interfaces(addresses, AETHER_MAX_INTERFACES);
    aDebugging_Trace(aDEBUG_DISCOVERY, "aDiscovery_Enumerate_aEtherModules found count: %d\n", count);
    if (local || count == 0) {
        search.localOnly = true;
        sMulticastQuery(&search);
        return search.count;
    }
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) == 0)
        return 0;
    aDebugging_Trace(aDEBUG_DISCOVERY, "New Interface: %s\n", text);
    if (!zBeaconInterface_backupSetAndLock(text))
        return 0;
    search.localOnly = false;
    sBeaconSearch(&search);
    zBeaconInterface_restoreAndUnlock();
    return search.count;
}
