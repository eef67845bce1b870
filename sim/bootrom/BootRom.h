// Shared pieces of the simulated boot ROMs: the options, the trace and the
// interface each ROM kind fills. The program is single-threaded: one loop
// feeds bytes from the pseudo-terminal to the ROM and writes its answers.
#ifndef SIM_BOOTROM_BOOTROM_H
#define SIM_BOOTROM_BOOTROM_H

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

struct RomOptions {
    std::string kind = "isp";   // isp or sdp
    uint32_t uid[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
    bool echo = true;           // isp: echo at start
    std::set<std::string> faults; // silent, badsum-once, garble, early, badstatus
    std::string tracePath;
    std::string dumpDir;
    int lifetimeSeconds = 300;
    bool controlStdin = false;
    int baud = 0;               // line pacing; 0 = none
    bool hid = false;           // sdp: the ROM as a USB HID device behind the bus
    bool habClosed = false;     // sdp: security closed, only signed images run
};

// Trace file: one line per event, flushed at once so tests can read it live.
class RomTrace {
public:
    bool Open(const std::string& path);
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Bytes(const char* tag, const std::string& bytes);
    ~RomTrace();

private:
    FILE* file = nullptr;
};

class Rom {
public:
    virtual ~Rom() {}
    // Takes bytes from the host; returns the bytes to send back.
    virtual std::string Feed(const std::string& bytes) = 0;
    // Writes the memory files into dir; false on failure.
    virtual bool Dump(const std::string& dir) = 0;
    // Switches a fault on ("+name") or off ("-name").
    void SetFault(const std::string& name, bool on)
    {
        if (on)
            options.faults.insert(name);
        else
            options.faults.erase(name);
    }

protected:
    Rom(const RomOptions& o, RomTrace& t) : options(o), trace(t) {}
    bool Fault(const char* name) const { return options.faults.count(name) != 0; }
    RomOptions options;
    RomTrace& trace;
};

Rom* MakeIspRom(const RomOptions& options, RomTrace& trace);
Rom* MakeSdpRom(const RomOptions& options, RomTrace& trace);

#endif
