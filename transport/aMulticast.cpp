#include "transport/aMulticast.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/aDebugging.h"
#include "transport/aRecord.h"

struct aMulticast {
    bool sender;
    struct addrinfo* group;
    struct addrinfo* bindAddress;
    struct addrinfo* interfaceAddress;
    int fd;
};

static void sText(uint32_t address, char* text, size_t size)
{
    struct in_addr a;
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, static_cast<socklen_t>(size));
}

static bool sIPv4(const struct addrinfo* info, const char* what)
{
    if (info->ai_family == AF_INET)
        return true;
    aDebugging_Trace(aDEBUG_MULTICAST, "Attempting to %s for invalid address family!", what);
    return false;
}

static void sFree(aMulticast* m)
{
    if (m->fd >= 0)
        close(m->fd);
    if (m->group)
        freeaddrinfo(m->group);
    if (m->bindAddress)
        freeaddrinfo(m->bindAddress);
    if (m->interfaceAddress)
        freeaddrinfo(m->interfaceAddress);
    std::free(m);
}

static bool sOptions(aMulticast* m)
{
    const struct sockaddr_in* group = reinterpret_cast<const sockaddr_in*>(m->group->ai_addr);
    const struct sockaddr_in* itf = reinterpret_cast<const sockaddr_in*>(m->interfaceAddress->ai_addr);

    if (!sIPv4(m->group, "join multicast group"))
        return false;
    struct ip_mreq join;
    join.imr_multiaddr = group->sin_addr;
    join.imr_interface = itf->sin_addr;
    if (setsockopt(m->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "JoinMulticastGroup: setsockopt failed with error code %d\n", errno);
        return false;
    }
    if (!sIPv4(m->interfaceAddress, "set sent interface"))
        return false;
    if (setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_IF, &itf->sin_addr, sizeof itf->sin_addr) != 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "Failed to set send interface. error code %d\n", errno);
        return false;
    }
    unsigned char ttl = 1;
    if (!sIPv4(m->group, "set TTL"))
        return false;
    if (setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "SetMulticastTtl: setsockopt() failed with error code %d\n", errno);
        return false;
    }
    struct timeval second = {1, 0};
    if (!sIPv4(m->group, "set Timeout"))
        return false;
    if (setsockopt(m->fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second) != 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "SetReceivTimeout: setsockopt() failed with error code %d\n", errno);
        return false;
    }
    unsigned char loop = 1;
    if (!sIPv4(m->group, "set multicast loopback"))
        return false;
    if (setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "SetMulticastLoopBack: setsockopt() failed with error code %d\n", errno);
        return false;
    }
    return true;
}

aMulticastRef aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender)
{
    if (interfaceAddress == 0)
        interfaceAddress = htonl(INADDR_LOOPBACK);
    char groupText[INET_ADDRSTRLEN], itfText[INET_ADDRSTRLEN], portText[8];
    sText(groupAddress, groupText, sizeof groupText);
    sText(interfaceAddress, itfText, sizeof itfText);
    std::snprintf(portText, sizeof portText, "%u", port);

    aMulticast* m = static_cast<aMulticast*>(std::calloc(1, sizeof(aMulticast)));
    if (!m)
        return nullptr;
    m->fd = -1;
    m->sender = sender;

    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    int rc = getaddrinfo(groupText, portText, &hints, &m->group);
    if (rc != 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "Unable to convert multicast address '%s - port: %s': Error %d\n",
                         groupText, portText, rc);
        sFree(m);
        return nullptr;
    }
    hints.ai_family = m->group->ai_family;
    if (sender) {
        rc = getaddrinfo(itfText, "0", &hints, &m->bindAddress);
    } else {
        hints.ai_flags = AI_PASSIVE;
        rc = getaddrinfo(nullptr, portText, &hints, &m->bindAddress);
        hints.ai_flags = 0;
    }
    if (rc != 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "Unable to convert bind address '%s': Error %d\n", itfText, rc);
        sFree(m);
        return nullptr;
    }
    rc = getaddrinfo(itfText, "0", &hints, &m->interfaceAddress);
    if (rc != 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "Unable to convert interface address '%s': Error %d\n", itfText, rc);
        sFree(m);
        return nullptr;
    }

    m->fd = socket(m->group->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m->fd < 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "socket() failed with with error code %d\n", errno);
        sFree(m);
        return nullptr;
    }
    // No address reuse: a second receiver on a port fails to bind, which is
    // how a taken port is recognised.
    int off = 0;
    if (setsockopt(m->fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "Failed to set reuse %d\n", errno);
        sFree(m);
        return nullptr;
    }
    if (!sender && bind(m->fd, m->bindAddress->ai_addr, m->bindAddress->ai_addrlen) != 0) {
        if (errno != EADDRINUSE)
            aDebugging_Trace(aDEBUG_MULTICAST, "bind() failed with error code %d\n", errno);
        sFree(m);
        return nullptr;
    }
    if (!sOptions(m)) {
        sFree(m);
        return nullptr;
    }
    return m;
}

int aMulticast_Send(aMulticastRef m, const void* data, size_t length)
{
    if (!m)
        return aMULTICAST_NULL;
    if (!m->sender)
        return aMULTICAST_WRONGWAY;
    if (!data)
        return aMULTICAST_FAILED;
    ssize_t n = sendto(m->fd, data, length, MSG_NOSIGNAL, m->group->ai_addr, m->group->ai_addrlen);
    if (n >= 0 && aRecord_IsOn() && m->group->ai_family == AF_INET) {
        const sockaddr_in* to = reinterpret_cast<const sockaddr_in*>(m->group->ai_addr);
        aRecord_AetherDatagram(false, true, to->sin_addr.s_addr, ntohs(to->sin_port),
                               static_cast<const uint8_t*>(data), static_cast<uint32_t>(n));
    }
    if (n < 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "sendto() failed with error code %d\n", errno);
        return aMULTICAST_FAILED;
    }
    return static_cast<int>(n);
}

int aMulticast_Receive(aMulticastRef m, void* buffer, size_t size)
{
    if (!m)
        return aMULTICAST_NULL;
    if (m->sender)
        return aMULTICAST_WRONGWAY;
    if (!buffer)
        return aMULTICAST_FAILED;
    ssize_t n;
    sockaddr_storage from{};
    do {
        socklen_t fromLength = sizeof from;
        n = recvfrom(m->fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && aRecord_IsOn() && from.ss_family == AF_INET) {
        const sockaddr_in* peer = reinterpret_cast<const sockaddr_in*>(&from);
        aRecord_AetherDatagram(false, false, peer->sin_addr.s_addr, ntohs(peer->sin_port),
                               static_cast<const uint8_t*>(buffer), static_cast<uint32_t>(n));
    }
    if (n < 0) {
        aDebugging_Trace(aDEBUG_MULTICAST, "recvfrom() failed with error code %d\n", errno);
        return aMULTICAST_FAILED;
    }
    return static_cast<int>(n);
}

int aMulticast_Destroy(aMulticastRef* ref)
{
    if (!ref || !*ref)
        return aMULTICAST_NULL;
    sFree(*ref);
    *ref = nullptr;
    return 0;
}
