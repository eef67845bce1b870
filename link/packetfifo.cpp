#include "link/packetfifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

struct SerialPacket {
    int32_t serial;
    PacketPtr packet;
};

// Serial numbers wrap; differences are taken in 32-bit two's complement.
int32_t sSerialDiff(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

int32_t sSerialNext(int32_t a)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + 1u);
}

struct packetFifo {
    std::deque<SerialPacket> queue;
    std::condition_variable changed;
    std::mutex lock;
    std::atomic<bool> active{true};
    // Serial of the front packet, or of the next packet when empty.
    std::atomic<int32_t> windowStart{0};
    std::atomic<int32_t> nextSerial{0};
    uint32_t wakes = 0; // under lock: calls of aPacketFifo_Wake

    // Caller holds lock.
    void syncWindow()
    {
        windowStart.store(queue.empty() ? nextSerial.load() : queue.front().serial);
    }

    // Takes the entry at position; caller holds lock. Null (entry kept)
    // when the copy fails.
    aPacket* take(std::deque<SerialPacket>::iterator position)
    {
        aPacket* copy = aPacket_Copy(position->packet.get());
        if (!copy)
            return nullptr;
        queue.erase(position);
        syncWindow();
        return copy;
    }
};

typedef std::shared_ptr<packetFifo> FifoPtr;

std::atomic<uint64_t> gpSequentialId{0};

// The registry lives for the whole process (never destroyed), so that a
// link thread still running at exit never meets a dead map.
struct Registry {
    std::mutex gpPacketFifoDictionaryMutex;
    std::map<uint64_t, FifoPtr> gpPacketFifoDictionary;
};

Registry& sRegistry()
{
    static Registry* registry = new Registry;
    return *registry;
}

FifoPtr sLookup(uint64_t identifier)
{
    if (identifier == 0)
        return nullptr;
    Registry& r = sRegistry();
    std::lock_guard<std::mutex> guard(r.gpPacketFifoDictionaryMutex);
    auto found = r.gpPacketFifoDictionary.find(identifier);
    return found == r.gpPacketFifoDictionary.end() ? nullptr : found->second;
}

std::chrono::steady_clock::time_point sDeadline(uint32_t timeoutMs)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

} // namespace

uint64_t aPacketFifo_Create()
{
    try {
        Registry& r = sRegistry();
        FifoPtr fifo = std::make_shared<packetFifo>();
        std::lock_guard<std::mutex> guard(r.gpPacketFifoDictionaryMutex);
        uint64_t identifier = 0;
        while (identifier == 0)
            identifier = gpSequentialId.fetch_add(1);
        r.gpPacketFifoDictionary.emplace(identifier, std::move(fifo));
        return identifier;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(uint64_t* identifier)
{
    if (!identifier)
        return aErrParam;
    try {
        FifoPtr fifo;
        {
            Registry& r = sRegistry();
            std::lock_guard<std::mutex> guard(r.gpPacketFifoDictionaryMutex);
            auto found = r.gpPacketFifoDictionary.find(*identifier);
            if (found == r.gpPacketFifoDictionary.end() || *identifier == 0)
                return aErrNotFound;
            fifo = std::move(found->second);
            r.gpPacketFifoDictionary.erase(found);
        }
        {
            std::lock_guard<std::mutex> guard(fifo->lock);
            fifo->queue.clear();
            fifo->active.store(false);
            fifo->syncWindow();
        }
        fifo->changed.notify_all();
        *identifier = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(uint64_t identifier)
{
    try {
        FifoPtr fifo = sLookup(identifier);
        if (!fifo)
            return 0;
        std::lock_guard<std::mutex> guard(fifo->lock);
        return fifo->queue.size();
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Put(uint64_t identifier, const aPacket* packet)
{
    try {
        FifoPtr fifo = sLookup(identifier);
        if (!fifo || !aVALIDPACKET(packet))
            return aErrParam;
        {
            std::lock_guard<std::mutex> guard(fifo->lock);
            if (!fifo->active.load())
                return aErrParam;
            int32_t serial = fifo->nextSerial.load();
            fifo->nextSerial.store(sSerialNext(serial));
            PacketPtr copy(aPacket_Copy(packet));
            if (!copy)
                return aErrParam;
            try {
                fifo->queue.push_back(SerialPacket{serial, std::move(copy)});
            } catch (...) {
                return aErrResource;
            }
            fifo->syncWindow();
            if (fifo->queue.size() > aPACKETFIFO_CAPACITY) {
                // Nobody is reading: drop the backlog rather than grow.
                fifo->queue.clear();
                fifo->syncWindow();
                return aErrNone;
            }
        }
        fifo->changed.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrResource;
    }
}

aErr aPacketFifo_Wake(uint64_t identifier)
{
    try {
        FifoPtr fifo = sLookup(identifier);
        if (!fifo)
            return aErrNotFound;
        {
            std::lock_guard<std::mutex> guard(fifo->lock);
            fifo->wakes++;
        }
        fifo->changed.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

aPacket* aPacketFifo_Get(uint64_t identifier)
{
    try {
        FifoPtr fifo = sLookup(identifier);
        if (!fifo)
            return nullptr;
        std::lock_guard<std::mutex> guard(fifo->lock);
        if (fifo->queue.empty())
            return nullptr;
        return fifo->take(fifo->queue.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_Await(uint64_t identifier, uint32_t timeoutMs)
{
    try {
        auto deadline = sDeadline(timeoutMs);
        FifoPtr fifo = sLookup(identifier);
        if (!fifo)
            return nullptr;
        std::unique_lock<std::mutex> guard(fifo->lock);
        const uint32_t wakes = fifo->wakes;
        bool ready = fifo->changed.wait_until(guard, deadline,
            [&] { return !fifo->queue.empty() || !fifo->active.load() || fifo->wakes != wakes; });
        if (!ready || fifo->queue.empty())
            return nullptr;
        return fifo->take(fifo->queue.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_GetFirst(uint64_t identifier, PacketMatchProc match, const void* reference)
{
    if (!match)
        return nullptr;
    try {
        FifoPtr fifo = sLookup(identifier);
        if (!fifo)
            return nullptr;
        std::lock_guard<std::mutex> guard(fifo->lock);
        for (auto entry = fifo->queue.begin(); entry != fifo->queue.end(); ++entry) {
            if (match(entry->packet.get(), reference))
                return fifo->take(entry);
        }
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_AwaitFirst(uint64_t identifier, PacketMatchProc match,
    const void* reference, uint32_t timeoutMs)
{
    aPacketFifoCursor cursor{0, 0};
    return aPacketFifo_AwaitFirstFrom(identifier, match, reference, timeoutMs, &cursor);
}

aPacket* aPacketFifo_AwaitFirstFrom(uint64_t identifier, PacketMatchProc match,
    const void* reference, uint32_t timeoutMs, aPacketFifoCursor* cursor)
{
    if (!match || !cursor)
        return nullptr;
    try {
        auto deadline = sDeadline(timeoutMs);
        FifoPtr fifo = sLookup(identifier);
        if (!fifo)
            return nullptr;
        std::unique_lock<std::mutex> guard(fifo->lock);

        // Every packet up to lastTested has been offered to match in this
        // wait; a wake-up only looks at what came after it.
        if (cursor->fifo != identifier) {
            cursor->fifo = identifier;
            cursor->lastTested = static_cast<int32_t>(static_cast<uint32_t>(fifo->windowStart.load()) - 1u);
        }
        int32_t& lastTested = cursor->lastTested;
        std::deque<SerialPacket>::iterator found;
        bool matched = false;
        auto scan = [&] {
            if (!fifo->active.load())
                return true;
            for (auto entry = fifo->queue.begin(); entry != fifo->queue.end(); ++entry) {
                if (sSerialDiff(entry->serial, lastTested) <= 0)
                    continue;
                lastTested = entry->serial;
                if (match(entry->packet.get(), reference)) {
                    found = entry;
                    matched = true;
                    return true;
                }
            }
            return false;
        };
        if (timeoutMs == 0)
            scan();
        else
            fifo->changed.wait_until(guard, deadline, scan);
        if (!matched || !fifo->active.load())
            return nullptr;
        return fifo->take(found);
    } catch (...) {
        return nullptr;
    }
}

size_t aPacketFifo_DrainPackets(uint64_t identifier, PacketMatchProc match, const void* reference)
{
    if (!match)
        return 0;
    try {
        FifoPtr fifo = sLookup(identifier);
        if (!fifo)
            return 0;
        std::lock_guard<std::mutex> guard(fifo->lock);
        size_t before = fifo->queue.size();
        for (auto entry = fifo->queue.begin(); entry != fifo->queue.end();) {
            if (match(entry->packet.get(), reference))
                entry = fifo->queue.erase(entry);
            else
                ++entry;
        }
        fifo->syncWindow();
        return before - fifo->queue.size();
    } catch (...) {
        return 0;
    }
}
