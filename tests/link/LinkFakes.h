// Test doubles for the link engine: a scripted in-memory port wrapped in a
// stream, and a fake module that answers over a file descriptor (a loopback
// TCP connection or a pseudo-terminal). Every thread they start ends in the
// destructor.
#ifndef TESTS_LINK_LINKFAKES_H
#define TESTS_LINK_LINKFAKES_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "link/aPacket.h"
#include "transport/aStream.h"

namespace linktest {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Waits until condition holds or the limit passes; true when it held.
inline bool eventually(const std::function<bool()>& condition,
    std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Bytes the test feeds to the link and the blocks the link writes. The
// test owns the port; the stream made by makeStream must be handed to a
// link that is destroyed before the port.
class ScriptedPort {
public:
    aStreamRef makeStream();

    void feed(const Bytes& bytes);
    // Bytes fed but not yet read by the link.
    size_t pending();
    // Every block the link wrote so far.
    std::vector<Bytes> writes();
    // All written bytes, concatenated.
    Bytes written();
    void clearWrites();
    // Makes every get fail with this code (aErrNone: back to normal).
    void failReads(aErr err) { mReadError = err; }
    // Makes every write fail with this code, writing nothing (aErrNone: back
    // to normal).
    void failWrites(aErr err) { mWriteError = err; }
    // While held, writes wait (up to 10 s) until released.
    void holdWrites(bool hold);
    // Streams made after this wait for bytes: a wait ends only when bytes
    // are fed or the stream is woken, never by its time-out (after 10 s
    // it gives up and counts a late wake); a zero wait only looks.
    void enableWait() { mWaits = true; }
    std::atomic<int> waitingWrites{0};
    std::atomic<int> gets{0};
    std::atomic<int> lateWakes{0};
    // What the stream's reconnection counter answers.
    std::atomic<uint32_t> reconnects{0};

private:
    static aErr sGet(uint8_t* byte, void* reference);
    static aErr sPut(uint8_t byte, void* reference);
    static aErr sWrite(const uint8_t* data, uint32_t length, void* reference);
    static aErr sWait(uint32_t timeoutMs, void* reference);
    static aErr sWake(void* reference);
    static uint32_t sReconnects(void* reference);

    std::mutex mLock;
    std::deque<uint8_t> mInbound;
    std::vector<Bytes> mWrites;
    std::atomic<aErr> mReadError{aErrNone};
    std::atomic<aErr> mWriteError{aErrNone};
    std::condition_variable mGate;
    std::condition_variable mArrived;
    bool mHeld = false;
    bool mWaits = false;
    bool mWoken = false;
};

// A module at the far end of a descriptor: it answers 0xAD probes with its
// address, echoes debug-echo packets (command 23) and keeps everything it
// received. For TCP it listens on 127.0.0.1 and accepts again after a drop.
class FakeModule {
public:
    enum Mode { Answering, Silent };

    // Listens on a loopback TCP port.
    explicit FakeModule(uint8_t address, Mode mode = Answering);
    // Serves the master side of a new pseudo-terminal.
    static FakeModule* onPty(uint8_t address);
    ~FakeModule();

    uint16_t port() const { return mPort; }
    uint32_t loopbackAddress() const; // 127.0.0.1 in network order
    const char* ptyPath() const { return mPtyPath; }

    // Sends raw bytes to the host (over TCP, once its first connection was
    // accepted).
    void send(const Bytes& bytes);
    // Closes the current connection; a TCP module accepts the next one.
    void drop();
    void setMode(Mode mode) { mMode = mode; }

    // Packets received (address, length, data bytes), in order.
    std::vector<Bytes> received();
    size_t countReceived(uint8_t address);
    std::atomic<int> connections{0};
    std::atomic<int> routeOn{0}, routeOff{0};

private:
    FakeModule() = default;
    void serve();
    void handle(const Bytes& packet);
    bool writeAll(const Bytes& bytes);

    uint8_t mAddress = 2;
    std::atomic<Mode> mMode{Answering};
    int mListener = -1;
    std::atomic<int> mFd{-1};
    uint16_t mPort = 0;
    char mPtyPath[128] = {};
    int mWake[2] = {-1, -1};
    std::thread mThread;
    std::mutex mLock;
    std::vector<Bytes> mReceived;
    Bytes mPartial;
    bool mPty = false;
};

} // namespace linktest

#endif
