// Private state of a Link, shared by the Link units (connection and
// messages, slot and factory transfers, the packet log file, streams).
// The identifier is atomic because any thread may ask whether the link is
// connected; the stream map and the async state are guarded by the stream
// map mutex; registrations are serialised by the registration mutex, which
// is always taken before the stream map mutex and never on the receive
// thread.
#ifndef CORVESTEL_LINK_LINKIMPL_H
#define CORVESTEL_LINK_LINKIMPL_H

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "link/Link.h"
#include "link/LocklessQueue_SPSC.h"
#include "transport/unix_file.h"

namespace Quorvane {
namespace Corvestel {

// One registered or seen stream.
struct StreamEntry {
    uint64_t key = 0;
    uint8_t fresh = 0;
    aStreamCallback callback = nullptr;
    void* reference = nullptr;
    uint32_t value = 0;
};

// A callback waiting for the async thread, with its own packet copy.
struct asyncPacket {
    aStreamCallback callback = nullptr;
    void* reference = nullptr;
    aPacket* packet = nullptr;
};

// What the async thread shares with the link: it outlives a detached thread
// that still runs after the link let go of it.
struct AsyncCallbacks {
    static const uint16_t SLOTS = 500;
    LocklessQueue_SPSC<asyncPacket> queue{SLOTS};
    std::promise<void> stop;
    std::shared_future<void> stopped{stop.get_future().share()};
    ~AsyncCallbacks();
};

#define aLINKLOGWRITERCHECK 0xDEED

// Writes a link's packet log records to a text file on its own thread.
struct aLinkLogWriter {
    uint16_t tag = aLINKLOGWRITERCHECK;
    aFileRef file = nullptr;
    std::atomic<uint32_t> identifier{0};
    std::atomic<bool> enabled{false};
    std::thread thread;
};

struct Link::impl {
    Link* link = nullptr;
    std::atomic<uint32_t> identifier{0};
    aLinkLogWriter* logWriter = nullptr;
    aEtherConfig config;

    std::map<uint64_t, StreamEntry> streamMap;  // under streamMapMutex
    std::shared_ptr<AsyncCallbacks> async;      // under streamMapMutex
    std::thread asyncThread;                    // under registrationMutex
    uint32_t filterLink = 0;                    // under registrationMutex
    std::atomic<uint32_t> streamDrops{0};       // callbacks a full queue dropped
    std::mutex streamMapMutex;
    std::mutex registrationMutex;

    char* name = nullptr;
    linkSpec* spec = nullptr;

    // Removes the stream filter from the engine link, empties the map and
    // ends the async thread. Takes the registration mutex.
    void removeStreamFilter();
    // Puts the stream filter back after an engine reset dropped it.
    void reinstallStreamFilter();
    // Ends the packet log writer's thread (the writer record stays).
    aErr stopLogWriter();
    void destroyLogWriter();
};

// Shared helpers of the Link units.
bool linkValidModule(uint8_t module);
// Puts a packet of address and data; aErrResource when it cannot be made.
aErr linkPutData(uint32_t identifier, uint8_t address, uint8_t length, const uint8_t* data);

} // namespace Corvestel
} // namespace Quorvane

#endif
