// Link: value streams. The stream filter runs on the engine's receive
// thread, consumes stream samples, keeps the last value per stream and
// queues callbacks for the async thread, so user code never runs on the
// receive thread and the receive thread never waits for it.
#include <chrono>
#include <cstring>

#include "link/Link.h"
#include "link/LinkImpl.h"
#include "link/aDebugging.h"
#include "link/aLink.h"

namespace Quorvane {
namespace Corvestel {

namespace {

const uint8_t ANY = 0xFF;
const uint8_t BYTES_STREAM = 4;
const uint32_t STREAM_CONTROL_ENABLE = 1;
const uint32_t STREAM_CONTROL_DISABLE = 2;
const int WILDCARD_SHAPES = 15;

// Lane shifts of a stream key.
enum : unsigned {
    SHIFT_INDEX = 0,
    SHIFT_OPTION = 8,
    SHIFT_COMMAND = 16,
    SHIFT_MODULE = 24,
    SHIFT_SUBINDEX = 32,
};

uint8_t sLane(uint64_t key, unsigned shift)
{
    return static_cast<uint8_t>(key >> shift);
}

// True when every lane of the wide key is ANY or equal to the narrow key's.
bool sCovers(uint64_t wide, uint64_t narrow)
{
    for (unsigned shift = 0; shift <= SHIFT_SUBINDEX; shift += 8) {
        uint8_t w = sLane(wide, shift);
        if (w != ANY && w != sLane(narrow, shift))
            return false;
    }
    return true;
}

bool sIsConcrete(uint64_t key)
{
    for (unsigned shift = 0; shift <= SHIFT_SUBINDEX; shift += 8)
        if (sLane(key, shift) == ANY)
            return false;
    return true;
}

// The key with the lanes of one wildcard shape set to ANY. Shapes 1..15
// count through index (1), option (2), command (4) and sub-index (8).
uint64_t sWildcard(uint64_t key, int shape)
{
    static const unsigned lanes[4] = {SHIFT_INDEX, SHIFT_OPTION, SHIFT_COMMAND, SHIFT_SUBINDEX};
    for (int bit = 0; bit < 4; ++bit)
        if (shape & (1 << bit))
            key |= uint64_t(ANY) << lanes[bit];
    return key;
}

size_t sSampleLength(uint8_t type)
{
    switch (type) {
    case 1: return 14;
    case 2: return 15;
    case 3: return 17;
    case 5: return 15;
    case 6: return 16;
    case 7: return 18;
    default: return 0;
    }
}

const uint32_t DROP_TRACE_EVERY = 100;

void sQueueCallback(Link::impl* self, AsyncCallbacks* async, const StreamEntry& entry, const aPacket* packet)
{
    if (!entry.callback || !async)
        return;
    asyncPacket item;
    item.callback = entry.callback;
    item.reference = entry.reference;
    item.packet = aPacket_Copy(packet);
    // A full queue drops the callback (the receive thread never waits), and
    // counts it so the holder can tell that its callback is too slow.
    if (item.packet && async->queue.push(item))
        return;
    aPacket_Destroy(&item.packet);
    const uint32_t dropped = ++self->streamDrops;
    if (dropped == 1 || dropped % DROP_TRACE_EVERY == 0)
        aDebugging_Trace(aDEBUG_LINK, "Stream callback queue full: %u callbacks dropped\n", dropped);
}

uint8_t sStreamFilter(const aPacket* packet, void* reference)
{
    Link::impl* self = static_cast<Link::impl*>(reference);
    uint8_t type = 0;
    if (!Link::getStreamPacketType(packet, &type))
        return 0;

    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0;
    const bool bytesStream = type == BYTES_STREAM;
    if (!bytesStream && Link::getStreamSample(packet, &timestamp, &value, &subindex) != aErrNone)
        return 1; // a sample of the wrong length: consumed, nothing kept

    const uint64_t exact = Link::createStreamKey(packet->address, packet->data[0], packet->data[1] & 0x3F,
        packet->data[2] & 0x1F, subindex);

    std::lock_guard<std::mutex> lock(self->streamMapMutex);
    AsyncCallbacks* async = self->async.get();
    auto found = self->streamMap.find(exact);
    if (found != self->streamMap.end()) {
        sQueueCallback(self, async, found->second, packet);
        if (!bytesStream) {
            found->second.value = value;
            found->second.fresh = 1;
        }
    }
    uint64_t seen[WILDCARD_SHAPES];
    int seenCount = 0;
    bool wildcardMatched = false;
    for (int shape = 1; shape <= WILDCARD_SHAPES; ++shape) {
        uint64_t key = sWildcard(exact, shape);
        if (key == exact)
            continue;
        bool repeated = false;
        for (int i = 0; i < seenCount; ++i)
            repeated = repeated || seen[i] == key;
        if (repeated)
            continue;
        seen[seenCount++] = key;
        auto w = self->streamMap.find(key);
        if (w == self->streamMap.end())
            continue;
        wildcardMatched = true;
        sQueueCallback(self, async, w->second, packet);
    }
    if (found == self->streamMap.end() && wildcardMatched && !bytesStream) {
        StreamEntry entry;
        entry.key = exact;
        entry.value = value;
        entry.fresh = 1;
        self->streamMap.emplace(exact, entry);
    }
    return 1;
}

void sAsyncLoop(std::shared_ptr<AsyncCallbacks> async)
{
    for (;;) {
        if (async->stopped.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            break;
        asyncPacket item;
        if (async->queue.pop(item)) {
            item.callback(item.packet, item.reference);
            aPacket_Destroy(&item.packet);
            continue;
        }
        if (async->stopped.wait_for(std::chrono::milliseconds(1)) == std::future_status::ready)
            break;
    }
}

} // namespace

AsyncCallbacks::~AsyncCallbacks()
{
    asyncPacket item;
    while (queue.pop(item))
        aPacket_Destroy(&item.packet);
}

void Link::impl::removeStreamFilter()
{
    std::shared_ptr<AsyncCallbacks> ending;
    std::thread thread;
    {
        std::lock_guard<std::mutex> registration(registrationMutex);
        if (filterLink != 0) {
            // Once this returns the receive thread is out of the filter.
            aLink_InstallUserPacketFilter(filterLink, nullptr, nullptr);
            filterLink = 0;
        }
        {
            std::lock_guard<std::mutex> lock(streamMapMutex);
            streamMap.clear();
            ending.swap(async);
        }
        thread.swap(asyncThread);
    }
    if (ending)
        ending->stop.set_value();
    if (thread.joinable()) {
        // A callback that ends its own link's streams cannot wait for
        // itself; the shared state keeps the detached thread safe. The
        // registration mutex is free here, so a callback blocked on it
        // finishes and the thread sees its stop signal.
        if (std::this_thread::get_id() == thread.get_id())
            thread.detach();
        else
            thread.join();
    }
}

void Link::impl::reinstallStreamFilter()
{
    std::lock_guard<std::mutex> registration(registrationMutex);
    if (filterLink != 0)
        aLink_InstallUserPacketFilter(filterLink, sStreamFilter, this);
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, nullptr, nullptr);
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
    aStreamCallback callback, void* reference)
{
    if (!linkValidModule(module) || module == ANY)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    const uint64_t key = createStreamKey(module, command, option, index, ANY);
    impl& d = *m_impl;
    std::unique_lock<std::mutex> registration(d.registrationMutex);

    auto removeCovered = [&]() {
        std::lock_guard<std::mutex> lock(d.streamMapMutex);
        for (auto it = d.streamMap.begin(); it != d.streamMap.end();) {
            if (sLane(it->first, SHIFT_MODULE) == module && sCovers(key, it->first))
                it = d.streamMap.erase(it);
            else
                ++it;
        }
        return d.streamMap.empty();
    };

    bool empty = false;
    if (enable) {
        std::lock_guard<std::mutex> lock(d.streamMapMutex);
        StreamEntry& entry = d.streamMap[key];
        entry.key = key;
        entry.callback = callback;
        entry.reference = reference;
    } else {
        empty = removeCovered();
    }

    // The filter is on the engine link while the map holds anything.
    aErr err = aErrNone;
    const uint32_t id = d.identifier;
    if (!empty && d.filterLink == 0) {
        if (!d.asyncThread.joinable()) {
            auto async = std::make_shared<AsyncCallbacks>();
            try {
                d.asyncThread = std::thread(sAsyncLoop, async);
            } catch (...) {
                err = aErrResource;
            }
            if (err == aErrNone) {
                std::lock_guard<std::mutex> lock(d.streamMapMutex);
                d.async = async;
            }
        }
        if (err == aErrNone) {
            err = aLink_InstallUserPacketFilter(id, sStreamFilter, &d);
            if (err == aErrNone)
                d.filterLink = id;
        }
    }

    if (err == aErrNone) {
        uei request{};
        request.module = module;
        request.command = cmdSTREAMCONTROL;
        const uint8_t control = enable ? STREAM_CONTROL_ENABLE : STREAM_CONTROL_DISABLE;
        request.option = static_cast<uint8_t>(control | ueiOPTION_SET);
        request.specifier = ueiINDEX_REQUEST;
        request.type = UEI_INT;
        request.value.intVal = static_cast<uint32_t>(key);
        err = sendUEI(request);
        if (err == aErrNone) {
            uei reply{};
            err = receiveUEI(module, cmdSTREAMCONTROL, static_cast<uint8_t>(control | 0xC0), 0, &reply);
            if (err == aErrNone && (reply.specifier & ueiINDEX_ERROR))
                err = static_cast<aErr>(reply.value.byteVal);
        }
    }

    if (err != aErrNone)
        empty = removeCovered();
    if (empty) {
        registration.unlock();
        d.removeStreamFilter();
    }
    return err;
}

uint32_t Link::getStreamDropCount() const
{
    return m_impl->streamDrops.load();
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
    uint32_t* value)
{
    if (!value)
        return aErrParam;
    const uint64_t key = createStreamKey(module, command, option, index, subindex);
    std::lock_guard<std::mutex> lock(m_impl->streamMapMutex);
    auto it = m_impl->streamMap.find(key);
    if (it == m_impl->streamMap.end())
        return aErrNotFound;
    *value = it->second.value;
    if (!it->second.fresh)
        return aErrStreamStale;
    it->second.fresh = 0;
    return aErrNone;
}

std::list<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
    uint8_t subindex, bool lock)
{
    const uint64_t pattern = createStreamKey(module, command, option, index, subindex);
    std::unique_lock<std::mutex> guard(m_impl->streamMapMutex, std::defer_lock);
    if (lock)
        guard.lock();
    std::list<uint64_t> keys;
    for (const auto& e : m_impl->streamMap)
        if (sCovers(pattern, e.first))
            keys.push_back(e.first);
    return keys;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
    StreamStatusEntry* entries, size_t capacity, size_t* count)
{
    if (!isConnected())
        return aErrConnection;
    if (!entries || !count || capacity == 0)
        return aErrParam;
    *count = 0;
    std::lock_guard<std::mutex> lock(m_impl->streamMapMutex);
    for (uint64_t key : filterActiveStreamKeys(module, command, option, index, subindex, false)) {
        if (!sIsConcrete(key))
            continue;
        if (*count == capacity)
            return aErrSize;
        entries[*count].key = key;
        entries[*count].value = m_impl->streamMap[key].value;
        ++*count;
    }
    return aErrNone;
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* state)
{
    if (!state)
        return aErrParam;
    uei request{};
    request.module = module;
    request.command = cmdSTREAMCONTROL;
    request.option = static_cast<uint8_t>(STREAM_CONTROL_ENABLE | ueiOPTION_GET);
    request.specifier = ueiINDEX_REQUEST;
    request.type = UEI_VOID;
    aErr err = sendUEI(request);
    if (err != aErrNone)
        return err;
    uei reply{};
    err = receiveUEI(module, cmdSTREAMCONTROL, STREAM_CONTROL_ENABLE, 0, &reply);
    if (err != aErrNone)
        return err;
    if (reply.specifier & ueiINDEX_ERROR)
        return static_cast<aErr>(reply.value.byteVal);
    if (reply.type != UEI_BYTE)
        return aErrSize;
    *state = reply.value.byteVal;
    return aErrNone;
}

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex)
{
    return uint64_t(subindex) << SHIFT_SUBINDEX | uint64_t(module) << SHIFT_MODULE
        | uint64_t(command) << SHIFT_COMMAND | uint64_t(option) << SHIFT_OPTION | uint64_t(index) << SHIFT_INDEX;
}

uint8_t Link::getStreamKeyElement(uint64_t key, uint8_t element)
{
    switch (element) {
    case 0: return sLane(key, SHIFT_MODULE);
    case 1: return sLane(key, SHIFT_COMMAND);
    case 2: return sLane(key, SHIFT_OPTION);
    case 3: return sLane(key, SHIFT_INDEX);
    case 4: return sLane(key, SHIFT_SUBINDEX);
    default: return 0;
    }
}

bool Link::isStreamPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->length <= aPACKETMAXDATA && aUEI_isStreamPacket(packet);
}

bool Link::getStreamPacketType(const aPacket* packet, uint8_t* type)
{
    uint8_t t = 0;
    bool known = false;
    if (isStreamPacket(packet)) {
        if (packet->data[packet->length - 1] != 0) {
            t = BYTES_STREAM;
            known = true;
        } else if (packet->data[3] >= 1 && packet->data[3] <= 7) {
            t = packet->data[3];
            known = true;
        }
    }
    if (type)
        *type = t;
    return known;
}

bool Link::isStreamSample(const aPacket* packet)
{
    uint8_t type = 0;
    return getStreamPacketType(packet, &type) && type != BYTES_STREAM && packet->length == sSampleLength(type);
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex)
{
    if (!isStreamPacket(packet))
        return aErrParam;
    uint8_t type = 0;
    if (!getStreamPacketType(packet, &type))
        return aErrPacket;
    if (type == BYTES_STREAM)
        return aErrSize;
    if (packet->length != sSampleLength(type))
        return aErrPacket;
    const uint8_t* p = packet->data + 4;
    uint8_t sub = 0;
    if (type >= 5)
        sub = *p++;
    const uint64_t stamp = uint64_t(aUEI_RetrieveInt(p)) << 32 | aUEI_RetrieveInt(p + 4);
    p += 8;
    uint32_t v = 0;
    switch (type & 3) {
    case 1: v = p[0]; break;
    case 2: v = aUEI_RetrieveShort(p); break;
    default: v = aUEI_RetrieveInt(p); break;
    }
    if (timestamp)
        *timestamp = stamp;
    if (value)
        *value = v;
    if (subindex)
        *subindex = sub;
    return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower)
{
    if (upper)
        *upper = static_cast<uint32_t>(timestamp >> 32);
    if (lower)
        *lower = static_cast<uint32_t>(timestamp);
}

} // namespace Corvestel
} // namespace Quorvane
