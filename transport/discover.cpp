#include "transport/discover.h"

#include <arpa/inet.h>
#include <cstring>

#include "transport/unix_discovery.h"

unsigned aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                                     uint32_t networkInterface)
{
    // The USB and TCPIP searches use every interface.
    switch (type) {
    case USB: return aDiscovery_EnumerateUSB(callback, reference);
    case TCPIP: return aDiscovery_EnumerateTCPIP(callback, reference);
    case AETHER: return aDiscovery_Enumerate_aEtherModules(callback, reference, networkInterface);
    default: return 0;
    }
}

namespace {
struct Finder {
    uint32_t serialNumber; // 0: the first module with any serial number
    linkSpec found;
    bool have;
};
} // namespace

static bool sFind(const linkSpec* spec, bool* success, void* reference)
{
    Finder* f = static_cast<Finder*>(reference);
    bool match = f->serialNumber ? spec->serialNumber == f->serialNumber : spec->serialNumber != 0;
    if (!match)
        return true;
    f->found = *spec;
    f->have = true;
    *success = true;
    return false;
}

static linkSpec* sFindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface)
{
    Finder f;
    std::memset(&f, 0, sizeof f);
    f.serialNumber = serialNumber;
    aDiscovery_EnumerateModules(type, sFind, &f, networkInterface);
    return f.have ? aLinkSpec_Copy(f.found) : nullptr;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface)
{
    // Serial number 0 names no module; it would otherwise match the first.
    if (serialNumber == 0)
        return nullptr;
    return sFindModule(type, serialNumber, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface)
{
    return sFindModule(type, 0, networkInterface);
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length)
{
    if (!buffer || length < INET_ADDRSTRLEN)
        return 0;
    std::memset(buffer, 0, length);
    struct in_addr a;
    a.s_addr = address;
    if (!inet_ntop(AF_INET, &a, buffer, static_cast<socklen_t>(length)))
        return 0;
    return std::strlen(buffer);
}
