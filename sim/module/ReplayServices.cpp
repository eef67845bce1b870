#include "sim/module/ReplayPlayer.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace sim {
namespace replay {

void Replayer::playSearch(const ReplayStep& s)
{
    const uint64_t deadline = hostDeadline(s);
    uint8_t req[64];
    for (;;) {
        if (!awaitFd(discoveryFd_, POLLIN, deadline))
            diverge(s, "search " + hexText(s.bytes), "nothing");
        socklen_t len = sizeof asker_;
        ssize_t n = recvfrom(discoveryFd_, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&asker_), &len);
        if (n < 0)
            continue;
        Bytes got(req, req + n);
        if (got != s.bytes)
            diverge(s, "search " + hexText(s.bytes), "search " + hexText(got));
        return;
    }
}

void Replayer::playAnswer(const ReplayStep& s)
{
    Bytes answer = s.bytes;
    // An answer names the module's port: the port it is served on now.
    if (answer.size() >= 4) {
        Endpoint* e = endpoint(s.address, uint16_t(answer[2] | answer[3] << 8));
        if (e) {
            answer[2] = uint8_t(e->actual);
            answer[3] = uint8_t(e->actual >> 8);
        }
    }
    pace(s);
    sockaddr_in to = asker_;
    to.sin_port = htons(ANSWER_PORT);
    sendto(replyFd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void Replayer::playHttp(const ReplayStep& s)
{
    const uint64_t deadline = hostDeadline(s);
    int fd = acceptOn(httpFd_, deadline);
    if (fd < 0)
        diverge(s, "GET " + s.target, "nothing");
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        if (!awaitFd(fd, POLLIN, deadline))
            break;
        char buf[2048];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            request.append(buf, size_t(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    std::string target;
    if (request.compare(0, 4, "GET ") == 0) {
        size_t end = request.find(' ', 4);
        if (end != std::string::npos)
            target = request.substr(4, end - 4);
    }
    if (target != s.target) {
        close(fd);
        diverge(s, "GET " + s.target, target.empty() ? "nothing" : "GET " + target);
    }
    pace(s);
    if (s.status != 0) {
        std::string answer = "HTTP/1.1 " + std::to_string(s.status) + " Recorded\r\nContent-Type: text/plain\r\n"
            "Content-Length: " + std::to_string(s.body.size()) + "\r\nConnection: close\r\n\r\n" + s.body;
        size_t done = 0;
        while (done < answer.size() && awaitFd(fd, POLLOUT, end_)) {
            ssize_t n = write(fd, answer.data() + done, answer.size() - done);
            if (n > 0)
                done += size_t(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
        shutdown(fd, SHUT_WR);
        // The client closes once it has the answer.
        char buf[256];
        while (awaitFd(fd, POLLIN, nowMs() + 2000) && read(fd, buf, sizeof buf) > 0) {
        }
    }
    // A request that failed when recorded gets no answer.
    close(fd);
}

// The multicast query goes to the group on loopback: the slots the recording
// queried are held, so that the host finds them taken and asks there.
bool Replayer::startAether(std::string& error)
{
    in_addr group{}, loopback{};
    inet_pton(AF_INET, "224.0.0.7", &group);
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    for (const ReplayStep& s : rec_.steps) {
        if (s.kind != ReplayStep::AetherQuery || aetherSlots_.count(s.port))
            continue;
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(s.port);
        ip_mreq join{};
        join.imr_multiaddr = group;
        join.imr_interface = loopback;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
            || setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
            error = "cannot hold the AETHER query port " + std::to_string(s.port) + ": " + std::strerror(errno);
            if (fd >= 0)
                close(fd);
            return false;
        }
        aetherSlots_[s.port] = fd;
    }
    if (aetherSlots_.empty())
        return true;
    aetherAnswerFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unsigned char ttl = 1, loop = 1;
    if (aetherAnswerFd_ < 0
        || setsockopt(aetherAnswerFd_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) != 0
        || setsockopt(aetherAnswerFd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0
        || setsockopt(aetherAnswerFd_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        error = "cannot answer AETHER queries on loopback";
        return false;
    }
    return true;
}

void Replayer::playAetherQuery(const ReplayStep& s)
{
    const uint64_t deadline = hostDeadline(s);
    const int fd = aetherSlots_[s.port];
    uint8_t query[512];
    for (;;) {
        if (!awaitFd(fd, POLLIN, deadline))
            diverge(s, "query " + hexText(s.bytes), "nothing");
        ssize_t n = recv(fd, query, sizeof query, 0);
        if (n < 0)
            continue;
        Bytes got(query, query + n);
        if (got != s.bytes)
            diverge(s, "query " + hexText(s.bytes), "query " + hexText(got));
        aetherAsked_ = s.port;
        return;
    }
}

void Replayer::playAetherAnswer(const ReplayStep& s)
{
    pace(s);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    inet_pton(AF_INET, "224.0.0.7", &to.sin_addr);
    to.sin_port = htons(uint16_t(AETHER_REPLY_PORT + (aetherAsked_ - AETHER_QUERY_PORT)));
    sendto(aetherAnswerFd_, s.bytes.data(), s.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// The beacon search: the host publishes its beacon on the beacon port to
// its interface's broadcast address, and servers on the network answer with
// beacons of their own from their address. The servers' beacons leave from
// the --discovery interface, which the host takes as the servers' address.
bool Replayer::startBeacons(std::string& error)
{
    bool beacons = false;
    for (const ReplayStep& s : rec_.steps)
        beacons = beacons || s.kind == ReplayStep::AetherBeacon || s.kind == ReplayStep::AetherHeard;
    if (!beacons)
        return true;
    in_addr ifaddr{};
    if (opt_.discovery.empty() || inet_pton(AF_INET, opt_.discovery.c_str(), &ifaddr) != 1) {
        error = "the recording holds AETHER beacons: --discovery IFADDR must name the interface that sends them";
        return false;
    }
    ifaddrs* list = nullptr;
    bool found = false;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask
                || reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr != ifaddr.s_addr)
                continue;
            // The broadcast address from the netmask, as the host's beacon
            // computes it (an interface may have none configured).
            const uint32_t mask = reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
            broadcast_.sin_addr.s_addr = ifaddr.s_addr | ~mask;
            found = true;
        }
        freeifaddrs(list);
    }
    if (!found) {
        error = "no interface with the address " + opt_.discovery;
        return false;
    }
    broadcast_.sin_family = AF_INET;
    broadcast_.sin_port = htons(AETHER_BEACON_PORT);
    // The host's own beacon socket shares the port.
    beaconFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(beaconFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(beaconFd_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(AETHER_BEACON_PORT);
    beaconSendFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr = ifaddr;
    if (bind(beaconFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
        || setsockopt(beaconSendFd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0
        || bind(beaconSendFd_, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
        error = "cannot listen for AETHER beacons on " + opt_.discovery + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Replayer::playAetherBeacon(const ReplayStep& s)
{
    // The host's beacon goes out again every interval: the first one heard
    // is compared.
    const uint64_t deadline = hostDeadline(s);
    uint8_t beacon[512];
    for (;;) {
        if (!awaitFd(beaconFd_, POLLIN, deadline))
            diverge(s, "beacon " + hexText(s.bytes), "nothing");
        ssize_t n = recv(beaconFd_, beacon, sizeof beacon, 0);
        if (n < 0)
            continue;
        Bytes got(beacon, beacon + n);
        if (got != s.bytes)
            diverge(s, "beacon " + hexText(s.bytes), "beacon " + hexText(got));
        return;
    }
}

void Replayer::playAetherHeard(const ReplayStep& s)
{
    pace(s);
    sendto(beaconSendFd_, s.bytes.data(), s.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&broadcast_),
           sizeof broadcast_);
}

} // namespace replay
} // namespace sim
