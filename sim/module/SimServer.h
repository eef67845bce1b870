// The simulator's event loop: one thread polls every listening socket,
// connection, pseudo-terminal, the discovery socket, the signal descriptor
// and (optionally) the control commands on standard input; nothing is shared
// between threads.
#ifndef CORVESTEL_SIM_SIMSERVER_H
#define CORVESTEL_SIM_SIMSERVER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/module/SimConfig.h"
#include "sim/module/SimModule.h"
#include "sim/module/SimTrace.h"

namespace sim {

class SimServer {
public:
    explicit SimServer(const SimConfig& config);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Opens listeners, pseudo-terminals and the discovery socket, then
    // prints (and writes) the ready report. False with a message on error.
    bool start(std::string& error);
    // Runs until a signal, "quit", the end of standard input (with
    // --control-stdin) or the lifetime. Returns the exit status.
    int run();

private:
    struct Outgoing {
        uint64_t due;
        Bytes bytes;
        bool packet; // trace as a packet, else as raw bytes
    };
    struct Endpoint;
    struct Session {
        Endpoint* endpoint = nullptr;
        int fd = -1;
        bool pty = false;
        LinkState link;
        int state = 0; // framing: 0 address, 1 length, 2 data
        Packet incoming;
        uint8_t expected = 0;
        uint64_t bytesIn = 0;
        std::vector<Outgoing> queue; // ordered by due time
        Bytes out;                   // due bytes not yet written
        bool closeWhenSent = false;
        bool dead = false;
        uint64_t nextHeartbeat = 0;
        uint8_t beat = 0;
        uint64_t nextSample = 0;
    };
    struct Endpoint {
        std::unique_ptr<SimModule> module;
        int listenFd = -1;
        uint16_t port = 0;
        int ptySlave = -1; // held open so the master never hangs up
        std::string ptyPath;
        uint64_t downUntil = 0;
        uint64_t dropAt = 0; // a restart under way: deaf until then, then the drop
        std::vector<std::unique_ptr<Session>> sessions;
    };

    bool openEndpoint(Endpoint& e, std::string& error);
    void readyReport();
    void acceptOn(Endpoint& e, uint64_t now);
    void readFrom(Session& s, uint64_t now);
    void feed(Session& s, uint8_t byte, uint64_t now);
    void onPacket(Session& s, const Packet& p, uint64_t now);
    void queue(Session& s, uint64_t due, Bytes bytes, bool packet);
    void pump(Session& s, uint64_t now);
    void timers(Session& s, uint64_t now);
    void dropSessions(Endpoint& e, const std::string& why);
    void closeSession(Session& s, const std::string& why);
    bool openDiscovery(std::string& error);
    void answerDiscovery();
    void controlInput();
    std::string controlCommand(const std::string& line);
    SimModule* findModule(uint32_t serial);
    void dumpAll();
    uint64_t nextWake(uint64_t now) const;

    SimConfig config_;
    SimTrace trace_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    int signalFd_ = -1;
    int discoveryFd_ = -1;
    int replyFd_ = -1;
    std::string stdinBuffer_;
    bool stop_ = false;
    int exitStatus_ = 0;
    uint64_t startMs_ = 0;
};

// Monotonic milliseconds.
uint64_t nowMs();

} // namespace sim

#endif
