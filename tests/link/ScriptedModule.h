// A module stand-in on a loopback TCP port whose answers the test writes: a
// handler sees every packet the host sends (address, then data) on the
// module's own thread and may answer with any bytes, well-formed or not.
// Probes to 0xAD are answered with the module's address unless the handler
// takes them. The thread ends in the destructor.
#ifndef TESTS_LINK_SCRIPTEDMODULE_H
#define TESTS_LINK_SCRIPTEDMODULE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "link/aDefs.h"

namespace linktest {

class ScriptedModule {
public:
    using Bytes = std::vector<uint8_t>;
    // Returns true when it handled the packet (answered or chose silence).
    using Handler = std::function<bool(ScriptedModule& module, uint8_t address, const Bytes& data)>;

    explicit ScriptedModule(uint8_t address);
    ~ScriptedModule();
    ScriptedModule(const ScriptedModule&) = delete;
    ScriptedModule& operator=(const ScriptedModule&) = delete;

    void setHandler(Handler handler);
    // A TCPIP specifier for the port.
    linkSpec spec() const;
    uint8_t address() const { return mAddress; }

    // Sends a packet from this module (address, length, data).
    void reply(const Bytes& data) { reply(mAddress, data); }
    void reply(uint8_t from, const Bytes& data);
    // Sends raw bytes.
    void sendRaw(const Bytes& bytes);

    // Packets received so far (address then data), in order.
    std::vector<Bytes> received();
    size_t countReceived(uint8_t command);

private:
    void serve();
    void handle(uint8_t address, const Bytes& data);

    uint8_t mAddress;
    int mListener = -1;
    std::atomic<int> mFd{-1};
    int mWake[2] = {-1, -1};
    uint16_t mPort = 0;
    std::mutex mLock; // guards mHandler, mReceived and writes
    Handler mHandler;
    std::vector<Bytes> mReceived;
    std::thread mThread;
};

} // namespace linktest

#endif
