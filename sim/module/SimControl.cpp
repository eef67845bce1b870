// The simulator's side channels: answers to the network discovery search,
// and the control commands a test harness sends on standard input.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sim/module/SimServer.h"

namespace sim {

namespace {

bool sNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

bool SimServer::openDiscovery(std::string& error)
{
    in_addr ifaddr{};
    if (inet_pton(AF_INET, config_.discoveryInterface.c_str(), &ifaddr) != 1) {
        error = "bad discovery interface " + config_.discoveryInterface;
        return false;
    }
    discoveryFd_ = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(discoveryFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9888);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq mreq{};
    inet_pton(AF_INET, "232.2.2.2", &mreq.imr_multiaddr);
    mreq.imr_interface = ifaddr;
    if (bind(discoveryFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        setsockopt(discoveryFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        error = "cannot join discovery group on " + config_.discoveryInterface + ": " + std::strerror(errno);
        return false;
    }
    sNonBlocking(discoveryFd_);
    // Replies leave from the interface address, which the host takes as
    // the module's address.
    replyFd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr = ifaddr;
    if (bind(replyFd_, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
        error = "cannot bind discovery replies to " + config_.discoveryInterface;
        return false;
    }
    if (config_.bindAddress == "127.0.0.1")
        std::fprintf(stderr, "corvestel-sim: warning: discovery answers %s but the modules listen on 127.0.0.1; "
                             "use --bind %s or --bind 0.0.0.0\n",
            config_.discoveryInterface.c_str(), config_.discoveryInterface.c_str());
    return true;
}

void SimServer::answerDiscovery()
{
    for (;;) {
        uint8_t req[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(discoveryFd_, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return;
        if (n != 16)
            continue;
        from.sin_port = htons(9889);
        for (auto& e : endpoints_) {
            const ModuleConfig& m = e->module->config();
            if (m.pty)
                continue;
            uint8_t rec[16] = {0};
            rec[1] = m.address;
            rec[2] = uint8_t(e->port);
            rec[3] = uint8_t(e->port >> 8);
            rec[4] = uint8_t(m.serial);
            rec[5] = uint8_t(m.serial >> 8);
            rec[6] = uint8_t(m.serial >> 16);
            rec[7] = uint8_t(m.serial >> 24);
            rec[12] = m.model;
            sendto(replyFd_, rec, sizeof rec, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
            char who[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &from.sin_addr, who, sizeof who);
            trace_.event(m.serial, std::string("discovery answer to ") + who);
        }
    }
}

SimModule* SimServer::findModule(uint32_t serial)
{
    for (auto& e : endpoints_) {
        if (e->module->serial() == serial)
            return e->module.get();
        for (SimModule* b : e->module->behindModules())
            if (b->serial() == serial)
                return b;
    }
    return nullptr;
}

void SimServer::dumpAll()
{
    if (config_.flashDir.empty())
        return;
    for (auto& e : endpoints_) {
        e->module->dumpMemory(config_.flashDir);
        for (SimModule* b : e->module->behindModules())
            b->dumpMemory(config_.flashDir);
    }
}

std::string SimServer::controlCommand(const std::string& line)
{
    std::istringstream in(line);
    std::string cmd, serialText, rest;
    in >> cmd >> serialText;
    std::getline(in, rest);
    rest.erase(0, rest.find_first_not_of(" \t"));
    if (cmd == "ping")
        return "OK pong";
    if (cmd == "quit") {
        stop_ = true;
        return "OK quit";
    }
    if (cmd == "dump") {
        if (config_.flashDir.empty())
            return "ERR no --flash-dir";
        dumpAll();
        return "OK dumped";
    }
    if (cmd != "fault" && cmd != "set" && cmd != "counters")
        return "ERR unknown command";
    SimModule* m = findModule(uint32_t(std::strtoul(serialText.c_str(), nullptr, 16)));
    if (!m)
        return "ERR no module " + serialText;
    std::string error;
    if (cmd == "counters") {
        Counters& c = m->counters();
        return "OK hb=" + std::to_string(c.heartbeats) + " hbanswers=" + std::to_string(c.heartbeatAnswers) +
               " connects=" + std::to_string(c.connects) + " reboots=" + std::to_string(c.reboots);
    }
    if (cmd == "fault") {
        FaultSpec f;
        if (!parseFault(rest, f, error))
            return "ERR " + error;
        m->addFault(f);
        return "OK fault";
    }
    if (!m->reconfigure(rest, error))
        return "ERR " + error;
    return "OK set";
}

void SimServer::controlInput()
{
    char buf[1024];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            stop_ = true; // the harness went away
        return;
    }
    stdinBuffer_.append(buf, size_t(n));
    size_t nl;
    while ((nl = stdinBuffer_.find('\n')) != std::string::npos) {
        std::string line = stdinBuffer_.substr(0, nl);
        stdinBuffer_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        std::string answer = controlCommand(line);
        std::fprintf(stdout, "%s\n", answer.c_str());
        std::fflush(stdout);
    }
}

} // namespace sim
