#include "sim/module/SimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "link/aDefs.h"

namespace sim {

uint64_t nowMs()
{
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {

// Bytes held for a host that does not read before giving up on it.
const size_t MAX_UNSENT = 4 * 1024 * 1024;

bool sNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string sHex8(uint32_t v)
{
    char b[12];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

} // namespace

SimServer::SimServer(const SimConfig& config) : config_(config) {}

SimServer::~SimServer()
{
    for (auto& e : endpoints_) {
        for (auto& s : e->sessions)
            if (s->fd >= 0 && !s->pty)
                close(s->fd);
        if (e->listenFd >= 0)
            close(e->listenFd);
        if (e->ptySlave >= 0)
            close(e->ptySlave);
        for (auto& s : e->sessions)
            if (s->fd >= 0 && s->pty)
                close(s->fd);
    }
    for (int fd : {signalFd_, discoveryFd_, replyFd_})
        if (fd >= 0)
            close(fd);
}

bool SimServer::openEndpoint(Endpoint& e, std::string& error)
{
    const ModuleConfig& m = e.module->config();
    if (m.pty) {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            error = "cannot open a pseudo-terminal: " + std::string(std::strerror(errno));
            if (master >= 0)
                close(master);
            return false;
        }
        const char* name = ptsname(master);
        e.ptyPath = name ? name : "";
        e.ptySlave = open(e.ptyPath.c_str(), O_RDWR | O_NOCTTY);
        if (e.ptySlave >= 0) {
            // Raw bytes both ways: no echo, no line editing, no CR/LF mapping.
            struct termios t;
            if (tcgetattr(e.ptySlave, &t) == 0) {
                cfmakeraw(&t);
                tcsetattr(e.ptySlave, TCSANOW, &t);
            }
        }
        sNonBlocking(master);
        std::unique_ptr<Session> s(new Session);
        s->endpoint = &e;
        s->fd = master;
        s->pty = true;
        if (m.heartbeatMs > 0)
            s->nextHeartbeat = nowMs() + uint64_t(m.heartbeatMs);
        e.sessions.push_back(std::move(s));
        return true;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(m.port);
    if (inet_pton(AF_INET, config_.bindAddress.c_str(), &a.sin_addr) != 1) {
        error = "bad bind address " + config_.bindAddress;
        close(fd);
        return false;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
        error = "cannot listen on " + config_.bindAddress + ":" + std::to_string(m.port) + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    e.port = ntohs(a.sin_port);
    sNonBlocking(fd);
    e.listenFd = fd;
    return true;
}

bool SimServer::start(std::string& error)
{
    startMs_ = nowMs();
    if (!config_.tracePath.empty() && !trace_.open(config_.tracePath)) {
        error = "cannot create trace file " + config_.tracePath;
        return false;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0) {
        error = "signalfd failed";
        return false;
    }
    for (const ModuleConfig& m : config_.modules) {
        std::unique_ptr<Endpoint> e(new Endpoint);
        e->module.reset(new SimModule(m, startMs_));
        if (!openEndpoint(*e, error))
            return false;
        endpoints_.push_back(std::move(e));
    }
    if (!config_.discoveryInterface.empty() && !openDiscovery(error))
        return false;
    readyReport();
    return true;
}

void SimServer::readyReport()
{
    std::ostringstream r;
    for (auto& e : endpoints_) {
        const ModuleConfig& m = e->module->config();
        if (m.pty)
            r << "MODULE " << sHex8(m.serial) << " pty " << e->ptyPath << " " << int(m.address) << "\n";
        else
            r << "MODULE " << sHex8(m.serial) << " tcp " << config_.bindAddress << " " << e->port << " "
              << int(m.address) << "\n";
        for (const ModuleConfig& b : m.behind)
            r << "BEHIND " << sHex8(b.serial) << " " << sHex8(m.serial) << " " << int(b.address) << "\n";
    }
    if (!config_.discoveryInterface.empty())
        r << "DISCOVERY " << config_.discoveryInterface << "\n";
    r << "READY\n";
    std::string text = r.str();
    if (!config_.readyFile.empty()) {
        std::string tmp = config_.readyFile + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "w");
        if (f) {
            std::fputs(text.c_str(), f);
            std::fclose(f);
            std::rename(tmp.c_str(), config_.readyFile.c_str());
        }
    }
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void SimServer::acceptOn(Endpoint& e, uint64_t now)
{
    for (;;) {
        int fd = accept(e.listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        uint32_t serial = e.module->serial();
        if (now < e.downUntil) {
            trace_.event(serial, "connection refused while rebooting");
            close(fd);
            continue;
        }
        sNonBlocking(fd);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
        std::unique_ptr<Session> s(new Session);
        s->endpoint = &e;
        s->fd = fd;
        const ModuleConfig& m = e.module->config();
        if (m.heartbeatMs > 0)
            s->nextHeartbeat = now + uint64_t(m.heartbeatMs);
        ++e.module->counters().connects;
        trace_.event(serial, "connect");
        e.sessions.push_back(std::move(s));
    }
}

void SimServer::closeSession(Session& s, const std::string& why)
{
    if (s.dead)
        return;
    trace_.event(s.endpoint->module->serial(), why);
    if (s.pty) {
        // A pseudo-terminal cannot hang up: start over instead.
        s.queue.clear();
        s.out.clear();
        s.state = 0;
        s.link = LinkState();
        s.closeWhenSent = false;
        return;
    }
    close(s.fd);
    s.fd = -1;
    s.dead = true;
}

void SimServer::dropSessions(Endpoint& e, const std::string& why)
{
    for (auto& s : e.sessions)
        closeSession(*s, why);
}

void SimServer::readFrom(Session& s, uint64_t now)
{
    uint8_t buf[4096];
    ssize_t n = read(s.fd, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        if (!s.pty)
            closeSession(s, "disconnect");
        return;
    }
    for (ssize_t i = 0; i < n && !s.dead; ++i) {
        ++s.bytesIn;
        feed(s, buf[i], now);
        if (!s.dead && s.endpoint->module->takeDisconnect(s.bytesIn)) {
            closeSession(s, "fault disconnect after " + std::to_string(s.bytesIn) + " bytes");
            return;
        }
    }
}

void SimServer::feed(Session& s, uint8_t byte, uint64_t now)
{
    uint32_t serial = s.endpoint->module->serial();
    switch (s.state) {
    case 0:
        if (byte == 0) {
            trace_.event(serial, "framing: address byte 00 skipped");
            return;
        }
        s.incoming = Packet();
        s.incoming.address = byte;
        s.state = 1;
        return;
    case 1:
        if (byte > MAX_DATA) {
            trace_.event(serial, "framing: length " + std::to_string(byte) + " dropped");
            s.state = 0;
            return;
        }
        s.expected = byte;
        if (byte == 0) {
            s.state = 0;
            onPacket(s, s.incoming, now);
        } else {
            s.state = 2;
        }
        return;
    default:
        s.incoming.data.push_back(byte);
        if (s.incoming.data.size() == s.expected) {
            s.state = 0;
            onPacket(s, s.incoming, now);
        }
        return;
    }
}

void SimServer::queue(Session& s, uint64_t due, Bytes bytes, bool packet)
{
    auto it = std::upper_bound(s.queue.begin(), s.queue.end(), due,
        [](uint64_t d, const Outgoing& o) { return d < o.due; });
    s.queue.insert(it, Outgoing{due, std::move(bytes), packet});
}

void SimServer::onPacket(Session& s, const Packet& p, uint64_t now)
{
    Endpoint& e = *s.endpoint;
    SimModule& direct = *e.module;
    uint32_t serial = direct.serial();
    trace_.packet(serial, true, p.wire());
    if (now < e.downUntil) {
        trace_.event(serial, "rebooting: packet ignored");
        return;
    }
    if (e.dropAt) {
        trace_.event(serial, "restarting: packet ignored");
        return;
    }
    uint64_t due = now;
    if (FaultSpec* f = direct.takeFault(FaultSpec::Slow, p.data))
        due += f->arg;
    if (p.address == cmdMODULEADDRESS) {
        Packet r;
        r.address = direct.address();
        queue(s, due, r.wire(), true);
        return;
    }
    if (p.address == cmdFORCEROUTE) {
        s.link.forceRoute = p.data.size() == 1 && p.data[0] != 0;
        trace_.event(serial, s.link.forceRoute ? "force route on" : "force route off");
        return;
    }
    if (p.data.size() == 2 && p.data[0] == cmdHEARTBEAT) {
        if (p.data[1] == 2 || p.data[1] == 3)
            ++direct.counters().heartbeatAnswers;
        else
            trace_.event(serial, "unexpected heartbeat answer");
        return;
    }
    SimModule* target = nullptr;
    if (p.address == direct.address()) {
        target = &direct;
    } else if (SimModule* b = direct.behind(p.address)) {
        if (s.link.forceRoute || direct.routeToMe())
            target = b;
        else
            trace_.event(serial, "not routed: packet for " + std::to_string(p.address) + " ignored");
    } else {
        trace_.event(serial, "no module at address " + std::to_string(p.address));
    }
    if (!target)
        return;
    Effects fx;
    target->handle(p, s.link, fx, now);
    for (const std::string& ev : fx.events)
        trace_.event(serial, target == &direct ? ev : sHex8(target->serial()) + ": " + ev);
    if (target != &direct) {
        if (FaultSpec* f = target->takeFault(FaultSpec::Slow, p.data))
            due += f->arg;
    }
    if (!fx.replies.empty()) {
        if (target->takeFault(FaultSpec::Drop, p.data)) {
            trace_.event(serial, "fault drop");
            fx.replies.clear();
        }
    }
    if (!fx.replies.empty()) {
        if (FaultSpec* f = target->takeFault(FaultSpec::Delay, p.data)) {
            trace_.event(serial, "fault delay " + std::to_string(f->arg));
            due += f->arg;
        }
        if (FaultSpec* f = target->takeFault(FaultSpec::Garbage, p.data))
            queue(s, due, Bytes(f->arg, 0xFF), false);
        for (const Packet& r : fx.replies)
            queue(s, due, r.wire(), true);
    }
    if (fx.dropLink) {
        if (!config_.flashDir.empty())
            target->dumpMemory(config_.flashDir);
        if (target == &direct && fx.dropAfterMs > 0) {
            e.dropAt = now + uint64_t(fx.dropAfterMs);
        } else if (target == &direct) {
            e.downUntil = now + uint64_t(direct.config().rebootMs);
            for (auto& other : e.sessions)
                if (other.get() != &s)
                    closeSession(*other, "drop");
            if (s.queue.empty())
                closeSession(s, "drop");
            else
                s.closeWhenSent = true;
        }
    } else if (target->counters().reboots && !config_.flashDir.empty() && p.data.size() >= 2 &&
               p.data[0] == cmdUPGRADE && p.data[1] == 6) {
        target->dumpMemory(config_.flashDir);
    }
}

void SimServer::timers(Session& s, uint64_t now)
{
    SimModule& m = *s.endpoint->module;
    const ModuleConfig& c = m.config();
    if (c.heartbeatMs > 0 && s.nextHeartbeat && now >= s.nextHeartbeat) {
        Packet hb;
        hb.address = m.address();
        hb.data = Bytes{cmdHEARTBEAT, s.beat};
        s.beat ^= 1;
        ++m.counters().heartbeats;
        queue(s, now, hb.wire(), true);
        s.nextHeartbeat = now + uint64_t(c.heartbeatMs);
    }
    if (!s.link.streamKeys.empty() && now >= s.nextSample) {
        std::vector<SimModule*> modules{&m};
        for (SimModule* b : m.behindModules())
            modules.push_back(b);
        for (SimModule* mod : modules) {
            for (const StreamSource& src : mod->streamSources()) {
                bool on = false;
                for (uint32_t key : s.link.streamKeys) {
                    uint8_t lanes[4] = {uint8_t(key >> 24), uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)};
                    uint8_t want[4] = {mod->address(), src.command, src.option, src.index};
                    bool match = lanes[0] == want[0];
                    for (int i = 1; i < 4 && match; ++i)
                        match = lanes[i] == 0xFF || lanes[i] == want[i];
                    on = on || match;
                }
                if (on)
                    queue(s, now, mod->makeSample(src, now).wire(), true);
            }
        }
        s.nextSample = now + uint64_t(std::max(1, c.streamMs));
    }
}

void SimServer::pump(Session& s, uint64_t now)
{
    if (s.dead)
        return;
    uint32_t serial = s.endpoint->module->serial();
    while (!s.queue.empty() && s.queue.front().due <= now) {
        Outgoing& o = s.queue.front();
        if (o.packet)
            trace_.packet(serial, false, o.bytes);
        else
            trace_.event(serial, "garbage " + hexText(o.bytes.data(), o.bytes.size()));
        s.out.insert(s.out.end(), o.bytes.begin(), o.bytes.end());
        s.queue.erase(s.queue.begin());
    }
    if (s.out.size() > MAX_UNSENT) {
        // The host has stopped reading (streams and heartbeats keep coming).
        if (!s.pty) {
            closeSession(s, "disconnect (host not reading)");
            return;
        }
        s.out.erase(s.out.begin(), s.out.end() - long(MAX_UNSENT / 2));
    }
    while (!s.out.empty()) {
        ssize_t n = s.pty ? write(s.fd, s.out.data(), s.out.size())
                          : send(s.fd, s.out.data(), s.out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            if (s.pty) {
                // Nobody reads the terminal's other end yet: forget the bytes.
                s.out.clear();
                break;
            }
            closeSession(s, "disconnect (write failed)");
            return;
        }
        s.out.erase(s.out.begin(), s.out.begin() + n);
    }
    if (s.closeWhenSent && s.queue.empty() && s.out.empty())
        closeSession(s, "drop");
}

uint64_t SimServer::nextWake(uint64_t now) const
{
    uint64_t wake = now + 1000;
    if (config_.lifetimeSeconds > 0)
        wake = std::min(wake, startMs_ + uint64_t(config_.lifetimeSeconds) * 1000);
    for (const auto& e : endpoints_) {
        const ModuleConfig& c = e->module->config();
        if (e->dropAt)
            wake = std::min(wake, e->dropAt);
        for (const auto& s : e->sessions) {
            if (s->dead)
                continue;
            if (!s->queue.empty())
                wake = std::min(wake, s->queue.front().due);
            if (c.heartbeatMs > 0 && s->nextHeartbeat)
                wake = std::min(wake, s->nextHeartbeat);
            if (!s->link.streamKeys.empty())
                wake = std::min(wake, s->nextSample);
        }
    }
    return wake;
}

int SimServer::run()
{
    if (config_.controlStdin)
        sNonBlocking(STDIN_FILENO);
    while (!stop_) {
        uint64_t now = nowMs();
        if (config_.lifetimeSeconds > 0 && now >= startMs_ + uint64_t(config_.lifetimeSeconds) * 1000)
            break;
        std::vector<pollfd> fds;
        std::vector<std::pair<Endpoint*, Session*>> owners;
        auto add = [&](int fd, short events, Endpoint* e, Session* s) {
            fds.push_back(pollfd{fd, events, 0});
            owners.push_back({e, s});
        };
        add(signalFd_, POLLIN, nullptr, nullptr);
        if (discoveryFd_ >= 0)
            add(discoveryFd_, POLLIN, nullptr, nullptr);
        for (auto& e : endpoints_) {
            if (e->listenFd >= 0)
                add(e->listenFd, POLLIN, e.get(), nullptr);
            for (auto& s : e->sessions)
                if (!s->dead)
                    add(s->fd, short(POLLIN | (s->out.empty() ? 0 : POLLOUT)), e.get(), s.get());
        }
        // Standard input last: the packets that arrived before a command are
        // handled before it.
        if (config_.controlStdin)
            add(STDIN_FILENO, POLLIN, nullptr, nullptr);
        uint64_t wake = nextWake(now);
        int timeout = wake > now ? int(wake - now) : 0;
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            return 1;
        now = nowMs();
        for (size_t i = 0; i < fds.size() && !stop_; ++i) {
            if (!fds[i].revents)
                continue;
            Endpoint* e = owners[i].first;
            Session* s = owners[i].second;
            if (fds[i].fd == signalFd_) {
                signalfd_siginfo si;
                while (read(signalFd_, &si, sizeof si) == ssize_t(sizeof si)) {
                    if (si.ssi_signo == SIGUSR1)
                        dumpAll();
                    else
                        stop_ = true;
                }
            } else if (fds[i].fd == discoveryFd_) {
                answerDiscovery();
            } else if (s) {
                if (!s->dead && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    readFrom(*s, now);
            } else if (e) {
                acceptOn(*e, now);
            } else if (fds[i].fd == STDIN_FILENO) {
                controlInput();
            }
        }
        for (auto& e : endpoints_) {
            if (e->dropAt && now >= e->dropAt) {
                // The restart the module announced: its connections close.
                e->dropAt = 0;
                e->downUntil = now + uint64_t(e->module->config().rebootMs);
                dropSessions(*e, "drop");
            }
            for (auto& s : e->sessions) {
                timers(*s, now);
                pump(*s, now);
            }
            e->sessions.erase(std::remove_if(e->sessions.begin(), e->sessions.end(),
                                  [](const std::unique_ptr<Session>& s) { return s->dead; }),
                e->sessions.end());
        }
    }
    dumpAll();
    return exitStatus_;
}

} // namespace sim
