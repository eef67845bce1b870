#include "sim/module/ReplayPlayer.h"

#include <arpa/inet.h>
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

uint64_t nowMs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count());
}

std::string hexText(const Bytes& b)
{
    static const char D[] = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += D[c >> 4];
        s += D[c & 15];
    }
    return s;
}

void setNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool awaitFd(int fd, short events, uint64_t deadline)
{
    for (;;) {
        uint64_t now = nowMs();
        if (now >= deadline)
            return false;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, int(deadline - now > 1000 ? 1000 : deadline - now));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

bool isHeartbeatAnswer(const Bytes& p)
{
    return p.size() == 4 && p[1] == 2 && p[2] == 0 && (p[3] == 2 || p[3] == 3);
}

bool isProbe(const Bytes& p)
{
    return p.size() == 2 && p[0] == 0xAD && p[1] == 0;
}

bool isProbeAnswer(const Bytes& p)
{
    return p.size() == 2 && p[1] == 0 && p[0] != 0 && (p[0] & 1) == 0;
}

Replayer::~Replayer()
{
    for (auto& l : links_)
        if (l.second.fd >= 0)
            close(l.second.fd);
    for (auto& e : endpoints_)
        if (e->fd >= 0)
            close(e->fd);
    if (hid_.fd >= 0)
        close(hid_.fd);
    for (auto& slot : aetherSlots_)
        close(slot.second);
    for (int fd : {beaconFd_, beaconSendFd_})
        if (fd >= 0)
            close(fd);
    if (aetherAnswerFd_ >= 0)
        close(aetherAnswerFd_);
    for (int fd : {discoveryFd_, replyFd_, httpFd_, hidListenFd_})
        if (fd >= 0)
            close(fd);
}

Replayer::Endpoint* Replayer::endpoint(const std::string& address, uint16_t port)
{
    for (auto& e : endpoints_)
        if (e->address == address && e->recorded == port)
            return e.get();
    return nullptr;
}

// The endpoint a link_open takes its connection on.
Replayer::Endpoint* Replayer::endpoint(const ReplayStep& open)
{
    return open.serial.empty() ? endpoint(open.address, open.port) : usbEndpoint(open.serial);
}

Replayer::Endpoint* Replayer::usbEndpoint(const std::string& serial)
{
    for (auto& e : endpoints_)
        if (e->usb && e->address == serial)
            return e.get();
    return nullptr;
}

// Listens on every address (a USB module's bridge: on loopback) at port,
// or on one the system gives.
bool Replayer::listenOn(Endpoint& e, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.usb ? INADDR_LOOPBACK : INADDR_ANY);
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return false;
    }
    e.fd = fd;
    e.actual = ntohs(a.sin_port);
    return true;
}

std::string Replayer::context(const ReplayStep& s) const
{
    std::ostringstream o;
    auto it = links_.find(s.link);
    if (s.kind == ReplayStep::Http) {
        o << "update server, GET " << s.target;
    } else if (s.kind == ReplayStep::HidHost || s.kind == ReplayStep::HidRom) {
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", rec_.hid.vendor, rec_.hid.product);
        o << "HID device " << id;
    } else if (s.kind == ReplayStep::Search || s.kind == ReplayStep::Answer) {
        o << "discovery";
    } else if (s.kind == ReplayStep::AetherBeacon || s.kind == ReplayStep::AetherHeard) {
        o << "AETHER beacon";
    } else if (s.kind == ReplayStep::AetherQuery || s.kind == ReplayStep::AetherAnswer) {
        o << "AETHER query on port " << (s.kind == ReplayStep::AetherQuery ? s.port : aetherAsked_);
    } else {
        o << "link " << s.link;
        if ((it != links_.end() && it->second.endpoint && it->second.endpoint->usb) || !s.serial.empty())
            o << " on USB";
        else if (it != links_.end() && it->second.endpoint)
            o << " to " << it->second.endpoint->address << ":" << it->second.endpoint->recorded;
        else if (!s.address.empty())
            o << " to " << s.address << ":" << s.port;
        for (auto& m : rec_.modules)
            if (m.first == s.link)
                o << ", module " << m.second;
    }
    return o.str();
}

void Replayer::diverge(const ReplayStep& s, const std::string& expected, const std::string& got)
{
    throw Diverged{s.line, expected, got, context(s)};
}

uint64_t Replayer::hostDeadline(const ReplayStep& s) const
{
    uint64_t gap = s.t > lastT_ ? (s.t - lastT_) / 1000 : 0;
    uint64_t d = nowMs() + gap + SLACK_MS;
    return d < end_ ? d : end_;
}

// At the recorded pace, a module's step waits as long after the step
// before as it did when recorded.
void Replayer::pace(const ReplayStep& s)
{
    if (opt_.maxSpeed || s.t <= lastT_)
        return;
    uint64_t due = lastDone_ + (s.t - lastT_) / 1000;
    uint64_t now = nowMs();
    if (due > now)
        std::this_thread::sleep_for(std::chrono::milliseconds(due - now));
}

bool Replayer::start(std::string& error)
{
    // Every TCP endpoint of the recording, on its recorded port when that
    // is free, else on one the system gives.
    // A USB module's bus (corvestel-usbbus --replay) bridges its bulk
    // endpoints to a port of loopback: the host's claim of the module's
    // interface connects, its release closes.
    for (const ReplayStep& s : rec_.steps) {
        if (s.kind != ReplayStep::Open || endpoint(s))
            continue;
        std::unique_ptr<Endpoint> e(new Endpoint);
        e->usb = !s.serial.empty();
        e->address = e->usb ? s.serial : s.address;
        e->recorded = s.port;
        if (e->usb ? !listenOn(*e, 0) : !listenOn(*e, s.port) && !listenOn(*e, 0)) {
            error = "cannot listen for " + s.address + ":" + std::to_string(s.port);
            return false;
        }
        endpoints_.push_back(std::move(e));
    }

    bool searches = false, http = false;
    for (const ReplayStep& s : rec_.steps) {
        searches = searches || s.kind == ReplayStep::Search;
        http = http || s.kind == ReplayStep::Http;
    }
    if (searches) {
        in_addr ifaddr{};
        if (opt_.discovery.empty() || inet_pton(AF_INET, opt_.discovery.c_str(), &ifaddr) != 1) {
            error = "the recording holds discovery searches: --discovery IFADDR must name the interface "
                    "that answers them";
            return false;
        }
        discoveryFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(discoveryFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(SEARCH_PORT);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        ip_mreq mreq{};
        inet_pton(AF_INET, "232.2.2.2", &mreq.imr_multiaddr);
        mreq.imr_interface = ifaddr;
        if (bind(discoveryFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
            || setsockopt(discoveryFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
            error = "cannot join the discovery group on " + opt_.discovery + ": " + std::strerror(errno);
            return false;
        }
        // Answers leave from the interface address, which the host takes as
        // the module's address.
        replyFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr = ifaddr;
        if (bind(replyFd_, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
            error = "cannot answer discovery from " + opt_.discovery;
            return false;
        }
    }
    if (http) {
        httpFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(httpFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(httpFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(httpFd_, 8) != 0
            || getsockname(httpFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            error = "cannot listen for the update server's requests";
            return false;
        }
        httpPort_ = ntohs(a.sin_port);
    }

    bool hid = false;
    for (const ReplayStep& s : rec_.steps)
        hid = hid || s.kind == ReplayStep::HidHost || s.kind == ReplayStep::HidRom;
    if (hid) {
        Endpoint e;
        e.usb = true;
        if (!listenOn(e, 0)) {
            error = "cannot listen for the HID device";
            return false;
        }
        hidListenFd_ = e.fd;
        hidPort_ = e.actual;
    }

    if (!startAether(error) || !startBeacons(error))
        return false;

    std::ostringstream r;
    for (auto& e : endpoints_)
        if (!e->usb)
            r << "LISTEN " << e->address << " " << e->recorded << " " << e->actual << "\n";
    for (const UsbModule& m : rec_.usb)
        r << "USB " << m.serial << " " << m.product << " " << usbEndpoint(m.serial)->actual << "\n";
    for (auto& slot : aetherSlots_)
        r << "AETHER 127.0.0.1 " << slot.first << "\n";
    if (hid)
        r << "HID " << rec_.hid.vendor << " " << rec_.hid.product << " " << hidPort_ << "\n";
    if (searches)
        r << "DISCOVERY " << opt_.discovery << "\n";
    if (http)
        r << "HTTP http://127.0.0.1:" << httpPort_ << "\n";
    r << "READY\n";
    const std::string text = r.str();
    if (!opt_.readyFile.empty()) {
        const std::string tmp = opt_.readyFile + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "w");
        if (f) {
            std::fputs(text.c_str(), f);
            std::fclose(f);
            std::rename(tmp.c_str(), opt_.readyFile.c_str());
        }
    }
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return true;
}

int Replayer::acceptOn(int listenFd, uint64_t deadline)
{
    if (!awaitFd(listenFd, POLLIN, deadline))
        return -1;
    int fd = accept(listenFd, nullptr, nullptr);
    if (fd < 0)
        return -1;
    setNonBlocking(fd);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

Bytes Replayer::hostPacket(Connection& c, uint64_t deadline, bool& closed)
{
    closed = false;
    for (;;) {
        // A whole packet (address, length, data) in what came so far; a
        // length no packet can have is handed over as it is, to differ.
        if (c.in.size() >= 2 && (c.in[1] > MAX_DATA || c.in.size() >= size_t(c.in[1]) + 2)) {
            size_t n = c.in[1] > MAX_DATA ? c.in.size() : size_t(c.in[1]) + 2;
            Bytes p(c.in.begin(), c.in.begin() + long(n));
            c.in.erase(c.in.begin(), c.in.begin() + long(n));
            if (isHeartbeatAnswer(p))
                continue;
            if (isProbe(p)) {
                if (!c.probeAnswer.empty())
                    (void)!send(c.fd, c.probeAnswer.data(), c.probeAnswer.size(), MSG_NOSIGNAL);
                continue;
            }
            return p;
        }
        if (c.fd < 0 || !awaitFd(c.fd, POLLIN, deadline)) {
            closed = c.fd < 0;
            return Bytes();
        }
        uint8_t buf[4096];
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n > 0) {
            c.in.insert(c.in.end(), buf, buf + n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (!c.in.empty()) {
                Bytes rest = c.in;
                c.in.clear();
                return rest;
            }
            closed = true;
            return Bytes();
        }
    }
}

void Replayer::sendAll(Connection& c, const Bytes& bytes, const ReplayStep& s)
{
    size_t done = 0;
    while (c.fd >= 0 && done < bytes.size() && awaitFd(c.fd, POLLOUT, end_)) {
        ssize_t n = send(c.fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0)
            done += size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    if (done < bytes.size())
        diverge(s, "to send " + hexText(s.bytes), "closed");
}

void Replayer::playHid(const ReplayStep& s)
{
    if (hid_.fd < 0) {
        hid_ = Connection();
        hid_.fd = acceptOn(hidListenFd_, hostDeadline(s));
        if (hid_.fd < 0)
            diverge(s, "the HID device on the bus", "nothing");
    }
    if (s.kind == ReplayStep::HidRom) {
        pace(s);
        const size_t n = s.bytes.size() - 1;
        Bytes frame = {'R', s.bytes[0], uint8_t(n), uint8_t(n >> 8)};
        frame.insert(frame.end(), s.bytes.begin() + 1, s.bytes.end());
        sendAll(hid_, frame, s);
        return;
    }
    const uint64_t deadline = hostDeadline(s);
    for (;;) {
        Bytes& in = hid_.in;
        if (!in.empty() && in[0] != 'W') {
            Bytes got = in;
            in.clear();
            diverge(s, hexText(s.bytes), hexText(got));
        }
        if (in.size() >= 3 && in.size() >= 3u + (in[1] | in[2] << 8)) {
            const size_t n = size_t(in[1] | in[2] << 8);
            Bytes got(in.begin() + 3, in.begin() + 3 + long(n));
            in.erase(in.begin(), in.begin() + 3 + long(n));
            if (got != s.bytes)
                diverge(s, hexText(s.bytes), hexText(got));
            return;
        }
        if (!awaitFd(hid_.fd, POLLIN, deadline))
            diverge(s, hexText(s.bytes), "nothing");
        uint8_t buf[4096];
        ssize_t n = read(hid_.fd, buf, sizeof buf);
        if (n > 0)
            in.insert(in.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            diverge(s, hexText(s.bytes), "closed");
    }
}

void Replayer::play(const ReplayStep& s)
{
    switch (s.kind) {
    case ReplayStep::Open: {
        Connection& c = links_[s.link];
        if (c.fd >= 0)
            close(c.fd);
        c = Connection();
        c.endpoint = endpoint(s);
        if (hid_.fd >= 0 && c.endpoint->usb) {
            // A USB module after the boot ROM: the ROM has jumped to its
            // loader, and its HID device leaves the bus.
            close(hid_.fd);
            hid_.fd = -1;
        }
        for (const ReplayStep& later : rec_.steps)
            if (later.link == s.link && later.kind == ReplayStep::ModulePacket && isProbeAnswer(later.bytes)) {
                c.probeAnswer = later.bytes;
                break;
            }
        c.fd = acceptOn(c.endpoint->fd, hostDeadline(s));
        if (c.fd < 0)
            diverge(s, c.endpoint->usb ? "the host to open USB module " + s.serial
                                       : "a connection to port " + std::to_string(c.endpoint->actual),
                    "nothing");
        break;
    }
    case ReplayStep::Leave: {
        // The bus takes the module away when its connection closes, and
        // brings it back as a new device.
        pace(s);
        Connection& c = links_[s.link];
        if (c.fd >= 0)
            close(c.fd);
        c.fd = -1;
        c.in.clear();
        c.left = true;
        break;
    }
    case ReplayStep::HostPacket: {
        // Heartbeat answers come when the host's threads like; what the
        // host wrote to a module that had left the bus went nowhere.
        if (isHeartbeatAnswer(s.bytes) || isProbe(s.bytes) || links_[s.link].left)
            break;
        bool closed = false;
        Bytes got = hostPacket(links_[s.link], hostDeadline(s), closed);
        if (got != s.bytes)
            diverge(s, hexText(s.bytes), closed ? "closed" : got.empty() ? "nothing" : hexText(got));
        break;
    }
    case ReplayStep::ModulePacket: {
        if (isProbeAnswer(s.bytes))
            break;
        pace(s);
        Connection& c = links_[s.link];
        size_t done = 0;
        while (c.fd >= 0 && done < s.bytes.size() && awaitFd(c.fd, POLLOUT, end_)) {
            ssize_t n = send(c.fd, s.bytes.data() + done, s.bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0)
                done += size_t(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
        if (done < s.bytes.size())
            diverge(s, "to send " + hexText(s.bytes), "closed");
        break;
    }
    case ReplayStep::Reconnect: {
        // The module closed the connection here (a restart); the host came
        // back on a new one.
        for (auto& l : links_) {
            Connection& c = l.second;
            if (c.fd < 0 || !c.endpoint || c.endpoint->address != s.address || c.endpoint->recorded != s.port)
                continue;
            pace(s);
            close(c.fd);
            c.in.clear();
            c.fd = -1;
            if (s.reconnected) {
                c.fd = acceptOn(c.endpoint->fd, hostDeadline(s));
                if (c.fd < 0)
                    diverge(s, "a new connection to port " + std::to_string(c.endpoint->actual), "nothing");
            }
            break;
        }
        break;
    }
    case ReplayStep::Close: {
        Connection& c = links_[s.link];
        if (c.left)
            break;
        bool closed = false;
        Bytes got = hostPacket(c, hostDeadline(s), closed);
        if (!closed)
            diverge(s, "the link closed", got.empty() ? "nothing" : hexText(got));
        if (c.fd >= 0)
            close(c.fd);
        c.fd = -1;
        break;
    }
    case ReplayStep::Search: playSearch(s); break;
    case ReplayStep::Answer: playAnswer(s); break;
    case ReplayStep::Http: playHttp(s); break;
    case ReplayStep::HidHost:
    case ReplayStep::HidRom: playHid(s); break;
    case ReplayStep::AetherQuery: playAetherQuery(s); break;
    case ReplayStep::AetherAnswer: playAetherAnswer(s); break;
    case ReplayStep::AetherBeacon: playAetherBeacon(s); break;
    case ReplayStep::AetherHeard: playAetherHeard(s); break;
    }
    lastDone_ = nowMs();
    lastT_ = s.t;
}

int Replayer::run()
{
    end_ = nowMs() + uint64_t(opt_.lifetimeSeconds) * 1000;
    lastDone_ = nowMs();
    try {
        for (const ReplayStep& s : rec_.steps)
            play(s);
    } catch (const Diverged& d) {
        std::printf("replay diverged at record %zu: expected %s, got %s (%s)\n", d.line, d.expected.c_str(),
                    d.got.c_str(), d.context.c_str());
        std::fflush(stdout);
        return 1;
    }
    if (rec_.complete)
        std::printf("replay complete: %zu records\n", rec_.lines);
    else
        std::printf("replay ended at record %zu: the recording was cut there\n", rec_.lines);
    std::fflush(stdout);
    return 0;
}

} // namespace replay
} // namespace sim
