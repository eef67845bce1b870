// The replay's player (corvestel-sim --replay): the modules' side of a
// recording, step by step in the recorded order, on one thread. Its links
// and the boot ROM's HID device are in ReplayPlayer.cpp, the searches and
// the update server in ReplayServices.cpp.
#ifndef CORVESTEL_SIM_REPLAYPLAYER_H
#define CORVESTEL_SIM_REPLAYPLAYER_H

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/module/ReplayFile.h"
#include "sim/module/SimReplay.h"

namespace sim {
namespace replay {

// How much longer than it took when recorded the host may take for its next
// step before the replay calls it silent: start-up, a busy machine.
const uint64_t SLACK_MS = 15000;
const uint16_t SEARCH_PORT = 9888;
const uint16_t ANSWER_PORT = 9889;

uint64_t nowMs();
std::string hexText(const Bytes& b);
void setNonBlocking(int fd);
// Waits until fd is ready for events or the deadline passes.
bool awaitFd(int fd, short events, uint64_t deadline);
// A heartbeat answer: the host sends it whenever its receive thread saw a
// beat, so where it falls among the other packets is not the host's choice.
bool isHeartbeatAnswer(const Bytes& p);
// The link's handshake: the host probes (address 0xAD, no data) until two
// answers (the module's address, no data) came back in step. How many probes
// it takes depends on how fast the answers come, so the replay answers each
// probe as it comes, as the module does, and passes over the recorded ones.
bool isProbe(const Bytes& p);
bool isProbeAnswer(const Bytes& p);

struct Diverged {
    size_t line;
    std::string expected;
    std::string got;
    std::string context;
};

// Plays a recording checked whole: start() makes the endpoints and prints
// the ready report, run() plays every step and prints the verdict.
class Replayer {
public:
    Replayer(const ReplayOptions& o, Recording& r) : opt_(o), rec_(r) {}
    ~Replayer();
    bool start(std::string& error);
    int run();

private:
    struct Endpoint {
        std::string address; // a USB module's: its serial-number string
        bool usb = false;
        uint16_t recorded = 0;
        uint16_t actual = 0;
        int fd = -1;
    };
    struct Connection {
        Endpoint* endpoint = nullptr;
        int fd = -1;
        Bytes in;
        bool left = false; // the USB module left the bus: the host's writes went nowhere
        Bytes probeAnswer; // what the module answered the link's probes with; empty: nothing
    };

    Endpoint* endpoint(const std::string& address, uint16_t port);
    Endpoint* endpoint(const ReplayStep& open);
    Endpoint* usbEndpoint(const std::string& serial);
    bool listenOn(Endpoint& e, uint16_t port);
    std::string context(const ReplayStep& s) const;
    [[noreturn]] void diverge(const ReplayStep& s, const std::string& expected, const std::string& got);
    uint64_t hostDeadline(const ReplayStep& s) const;
    void pace(const ReplayStep& s);
    int acceptOn(int listenFd, uint64_t deadline);
    // The host's next packet on c; empty with closed set when it closed,
    // empty when nothing came in time.
    Bytes hostPacket(Connection& c, uint64_t deadline, bool& closed);
    void play(const ReplayStep& s);
    void playHttp(const ReplayStep& s);
    void playSearch(const ReplayStep& s);
    void playAnswer(const ReplayStep& s);
    void playHid(const ReplayStep& s);
    bool startAether(std::string& error);
    void playAetherQuery(const ReplayStep& s);
    void playAetherAnswer(const ReplayStep& s);
    bool startBeacons(std::string& error);
    void playAetherBeacon(const ReplayStep& s);
    void playAetherHeard(const ReplayStep& s);
    void sendAll(Connection& c, const Bytes& bytes, const ReplayStep& s);

    const ReplayOptions& opt_;
    Recording& rec_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::map<uint32_t, Connection> links_;
    int discoveryFd_ = -1;
    int replyFd_ = -1;
    sockaddr_in asker_{};
    int httpFd_ = -1;
    uint16_t httpPort_ = 0;
    // The boot ROM's HID device on the bus (corvestel-usbbus --replay)
    // connects here: the host's reports come framed "W", length (16 bits,
    // little-endian), the report; the ROM's go "R", report id, length, the
    // report's bytes after its id.
    int hidListenFd_ = -1;
    uint16_t hidPort_ = 0;
    Connection hid_;
    // AETHER servers in local mode: each recorded query's slot held (its
    // port of the group, on loopback), and the socket that answers.
    std::map<uint16_t, int> aetherSlots_;
    int aetherAnswerFd_ = -1;
    uint16_t aetherAsked_ = AETHER_QUERY_PORT; // the port of the last query
    // AETHER servers on the network: the beacon port, where the host's
    // beacon is heard, and the socket that sends the servers' beacons from
    // the --discovery interface to its broadcast address.
    int beaconFd_ = -1;
    int beaconSendFd_ = -1;
    sockaddr_in broadcast_{};
    uint64_t end_ = 0;      // the lifetime's end
    uint64_t lastDone_ = 0; // when the step before was played
    uint64_t lastT_ = 0;    // its recorded time, microseconds
};

} // namespace replay
} // namespace sim

#endif
