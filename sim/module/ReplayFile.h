// A recording of a host's run, read and checked whole before a replay serves
// anything: the steps the modules' side plays, in the recorded order.
#ifndef CORVESTEL_SIM_REPLAYFILE_H
#define CORVESTEL_SIM_REPLAYFILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/module/SimBytes.h"

namespace sim {

// AETHER servers answer the multicast query on one of these ports of the
// group each (their slot), and send the answer to the same slot's reply
// port.
const uint16_t AETHER_QUERY_PORT = 9850;
const uint16_t AETHER_REPLY_PORT = 9950;
const uint16_t AETHER_SLOTS = 50;
const uint16_t AETHER_BEACON_PORT = 8585;

struct ReplayStep {
    enum Kind {
        Open,       // the host opened link `link` to address:port
        HostPacket, // the host sent `bytes` on `link`
        ModulePacket, // the module sent `bytes` on `link`
        Reconnect,  // the module closed address:port; the host connected again
        Close,      // the host closed `link`
        Search,     // the host sent the discovery request `bytes`
        Answer,     // a module answered the search with `bytes` from address
        Http,       // the host asked the update server for `target`
        Leave,      // the USB module of `link` left the bus (it restarts)
        HidHost,    // the host wrote the HID report `bytes` (report id first)
        HidRom,     // the boot ROM's HID device answered with the report `bytes`
        AetherQuery,  // the host sent the AETHER query `bytes` to the group's `port`
        AetherAnswer, // a server answered the last query with `bytes` from address
        AetherBeacon, // the host started publishing the beacon `bytes`
        AetherHeard,  // the host heard a server's beacon `bytes` from address
    };
    Kind kind = Open;
    size_t line = 0;       // line number in the file, from 1
    uint64_t t = 0;        // microseconds since the recording began
    uint32_t link = 0;
    std::string address;   // dotted IPv4 (Open, Reconnect, Answer)
    std::string serial;    // Open of a USB link: the module's serial-number string
    uint16_t port = 0;     // TCP port (Open, Reconnect)
    bool reconnected = true; // Reconnect: the host's new connection was made
    Bytes bytes;           // packet wire bytes or datagram
    std::string target;    // Http: path and query of the request
    int status = 0;        // Http: the status answered, 0 when the request failed
    std::string body;      // Http: the answer
};

struct UsbModule {
    std::string serial;    // its serial-number string
    uint16_t product = 0;  // its USB product id (the model)
};

// The HID device a boot ROM on USB was reached as.
struct HidDevice {
    uint16_t vendor = 0;
    uint16_t product = 0;
};

struct Recording {
    std::vector<ReplayStep> steps;
    size_t lines = 0;      // records read
    bool complete = false; // it has the exit record
    std::string module;    // serial of the first link's module, for context
    std::vector<std::pair<uint32_t, std::string>> modules; // link -> serial
    std::vector<UsbModule> usb; // the USB modules the links were opened to, each once
    bool hasHid = false;   // the host opened a HID device (hid)
    HidDevice hid;
};

// Reads path; false with "line N: ..." in error for anything it can't
// play: a line that is no JSON object, an unknown kind, a field missing or
// of the wrong type, a packet longer than a packet can be, a link that is
// neither a TCP nor a USB one. A last line cut in the middle (no line end) is dropped: the
// host was killed while writing it.
bool readRecording(const std::string& path, Recording& recording, std::string& error);

} // namespace sim

#endif
