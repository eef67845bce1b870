// One simulated module: its system entity, capability queries, debug echo,
// store slots, factory data, stream control, I2C bus and upgrade loader.
// It turns one request packet into replies; the connection side (framing,
// probes, routing, timers) lives in SimServer. Single-threaded.
#ifndef CORVESTEL_SIM_SIMMODULE_H
#define CORVESTEL_SIM_SIMMODULE_H

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/module/SimBytes.h"
#include "sim/module/SimConfig.h"
#include "sim/module/SimFlash.h"

namespace sim {

// State of one connection that a request arrived on.
struct LinkState {
    bool forceRoute = false;
    std::vector<uint32_t> streamKeys; // keys the host enabled on this link
};

// What handling a request asks of the connection.
struct Effects {
    std::vector<Packet> replies;
    bool dropLink = false;  // close the module's direct connections after the replies
    int dropAfterMs = 0;    // ... this much later, ignoring requests meanwhile
    std::vector<std::string> events;
};

struct Counters {
    unsigned heartbeats = 0;
    unsigned heartbeatAnswers = 0;
    unsigned connects = 0;
    unsigned reboots = 0;
};

class SimModule {
public:
    SimModule(const ModuleConfig& config, uint64_t startMs);

    // Handles a request addressed to this module at time nowMs.
    void handle(const Packet& request, LinkState& link, Effects& fx, uint64_t nowMs);

    uint8_t address() const { return config_.address; }
    uint32_t serial() const { return config_.serial; }
    const ModuleConfig& config() const { return config_; }
    bool routeToMe() const { return routeToMe_; }

    // The module behind this router at that address, or null.
    SimModule* behind(uint8_t address);
    std::vector<SimModule*> behindModules();

    // Finds an armed fault of that kind matching the request data and marks
    // it fired; null when none.
    FaultSpec* takeFault(FaultSpec::Kind kind, const Bytes& data);
    // True (and the fault fired) when an armed disconnect fault's byte count
    // has been reached on a connection.
    bool takeDisconnect(uint64_t bytesIn);
    void addFault(const FaultSpec& fault) { config_.faults.push_back(fault); }
    // Applies module keys at run time; false with a message.
    bool reconfigure(const std::string& keys, std::string& error);

    // Stream sources and one sample of a source at time nowMs.
    std::vector<StreamSource> streamSources() const;
    Packet makeSample(const StreamSource& source, uint64_t nowMs);

    Counters& counters() { return counters_; }

    // Writes DIR/SERIAL.flash; false on a write error.
    bool dumpMemory(const std::string& dir) const;

    const SimMemory& flash() const { return flash_; }
    const SimMemory& loaderMemory() const { return loaderMem_; }

private:
    enum Access { GET = 1, SET = 2, CALL = 4 };
    enum Kind { U8, U32, BYTES, NONE };
    struct OptionInfo {
        Kind kind;
        int access;
    };
    static const OptionInfo* sOptionInfo(uint8_t option);

    void resetValues();
    bool hasOption(uint8_t option) const;
    uint32_t optionValue(uint8_t option, uint64_t nowMs) const;

    void system(const Packet& rq, Effects& fx, uint64_t nowMs);
    void systemSetBytes(const Packet& rq, uint8_t option, Effects& fx);
    void query(const Packet& rq, Effects& fx);
    uint8_t hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;
    void storeSlot(const Packet& rq, Effects& fx);
    void factoryData(const Packet& rq, Effects& fx);
    void streamControl(const Packet& rq, LinkState& link, Effects& fx);
    void i2c(const Packet& rq, Effects& fx);
    void upgrade(const Packet& rq, Effects& fx);
    void upgradeBytes(const Packet& rq, Effects& fx);
    void loaderStatus(const Packet& rq, Effects& fx, uint8_t status, const Bytes& extra);
    void commitLoaderPiece();
    void reboot(Effects& fx);

    void reply(Effects& fx, Bytes data) const;
    void ueiError(const Packet& rq, uint8_t code, Effects& fx) const;
    void sendBytesValue(const Packet& rq, uint8_t option, const Bytes& value, Effects& fx) const;

    ModuleConfig config_;
    uint64_t startMs_;
    std::map<uint8_t, uint32_t> values_;
    std::map<uint8_t, Bytes> bytesValues_;
    bool routeToMe_ = false;
    std::vector<std::unique_ptr<SimModule>> behind_;
    Counters counters_;
    uint32_t sampleCounter_ = 0;

    // Incoming bytes value of a SET, by option (system entity or loader).
    struct BytesIn {
        uint8_t option = 0xFF;
        uint8_t sequence = 0;
        Bytes data;
    };
    BytesIn bytesIn_;

    // Store slots: three stores, open handles.
    std::array<std::vector<Bytes>, 3> stores_;
    struct Handle {
        uint8_t store, slot;
        bool writing;
        size_t position;
    };
    std::map<uint8_t, Handle> handles_;

    // Factory data transfer in progress.
    struct FactoryTransfer {
        bool active = false;
        bool writing = false;
        uint8_t kind = 0;
        size_t position = 0;
        Bytes data;
    };
    FactoryTransfer factoryXfer_;

    // Upgrade loader.
    bool loaderRunning_ = false;
    bool blockOpen_ = false;
    uint32_t blockAddress_ = 0;
    Bytes pending_;
    BytesIn loaderIn_;
    SimMemory loaderMem_;
    SimMemory flash_;
};

} // namespace sim

#endif
