// Link: store slot transfers and factory data, both plain request/reply
// exchanges of raw packets.
#include <algorithm>
#include <cstring>

#include "link/Link.h"
#include "link/LinkImpl.h"
#include "link/aLink.h"

namespace Quorvane {
namespace Corvestel {

namespace {

enum : uint8_t {
    SLOT_CAPACITY = 1,
    SLOT_SIZE = 2,
    SLOT_OPEN_READ = 3,
    SLOT_OPEN_WRITE = 4,
    SLOT_READ = 6,
    SLOT_WRITE = 7,
    SLOT_CLOSE = 8,
    SLOT_ERROR = 0x80,
    NO_HANDLE = 255,
};

const uint32_t OPEN_TIMEOUT_MS = 3000;
const uint32_t SLOT_TIMEOUT_MS = 1000;
const uint32_t FACTORY_TIMEOUT_MS = 1000;
const size_t SLOT_CHUNK = 25;
const size_t FACTORY_CHUNK = 26;

enum : uint8_t {
    FACTORY_WRITE = 0x10,
    FACTORY_CLOSE = 0x20,
    FACTORY_FIRST = 0x40,
    FACTORY_ERROR = 0x80,
};

// What a slot reply must echo: the sub-code and either store and slot
// (sub-codes 1-4) or the handle (5-8).
struct SlotRequest {
    uint8_t sub;
    uint8_t first;  // store, or handle
    uint8_t second; // slot
};

uint8_t sSlotMatch(const aPacket* packet, const void* reference)
{
    const SlotRequest* r = static_cast<const SlotRequest*>(reference);
    // Sub-codes 1-4 carry store and slot; 5-8 only the handle, so a read
    // reply with no bytes left (3 data bytes) is still recognised.
    const uint8_t needed = r->sub <= 4 ? 4 : 3;
    if (packet->length < needed || packet->data[0] != cmdSTORESLOT)
        return 0;
    if ((packet->data[1] & 0x7F) != r->sub)
        return 0;
    if (r->sub <= 4)
        return packet->data[2] == r->first && packet->data[3] == r->second;
    return packet->data[2] == r->first;
}

// Sends a slot request and waits for its reply; null on time-out.
aPacket* sSlotExchange(uint32_t id, uint8_t module, const SlotRequest& r, const uint8_t* extra,
    size_t extraLength, uint32_t timeoutMs)
{
    uint8_t data[aPACKETMAXDATA] = {cmdSTORESLOT, r.sub, r.first, r.second};
    uint8_t length = r.sub <= 4 ? 4 : 3;
    if (extraLength > 0) {
        std::memcpy(data + length, extra, extraLength);
        length = static_cast<uint8_t>(length + extraLength);
    }
    if (linkPutData(id, module, length, data) != aErrNone)
        return nullptr;
    return aLink_AwaitFirst(id, sSlotMatch, &r, timeoutMs);
}

// The module's error code of a flagged reply, found after the addressing
// bytes; aErrUnknown when the reply stops before it.
aErr sSlotErrorCode(const aPacket* reply, uint8_t sub)
{
    const uint8_t at = sub <= 4 ? 4 : 3;
    if (reply->length <= at)
        return aErrUnknown;
    return static_cast<aErr>(reply->data[at]);
}

bool sIsSlotError(const aPacket* reply)
{
    return (reply->data[1] & SLOT_ERROR) != 0;
}

// A 16-bit slot figure (capacity or size).
aErr sSlotFigure(uint32_t id, uint8_t module, uint8_t sub, uint8_t store, uint8_t slot, size_t* figure)
{
    SlotRequest r{sub, store, slot};
    aPacket* reply = sSlotExchange(id, module, r, nullptr, 0, SLOT_TIMEOUT_MS);
    if (!reply)
        return aErrTimeout;
    aErr err = aErrNone;
    if (sIsSlotError(reply))
        err = sSlotErrorCode(reply, sub);
    else if (reply->length == 6)
        *figure = static_cast<size_t>(reply->data[4]) << 8 | reply->data[5];
    else
        err = aErrUnknown;
    aPacket_Destroy(&reply);
    return err;
}

uint8_t sSlotOpen(uint32_t id, uint8_t module, uint8_t sub, uint8_t store, uint8_t slot)
{
    SlotRequest r{sub, store, slot};
    aPacket* reply = sSlotExchange(id, module, r, nullptr, 0, OPEN_TIMEOUT_MS);
    if (!reply)
        return NO_HANDLE;
    uint8_t handle = NO_HANDLE;
    if (!sIsSlotError(reply) && reply->length >= 5)
        handle = reply->data[4];
    aPacket_Destroy(&reply);
    return handle;
}

aErr sSlotClose(uint32_t id, uint8_t module, uint8_t handle)
{
    SlotRequest r{SLOT_CLOSE, handle, 0};
    aPacket* reply = sSlotExchange(id, module, r, nullptr, 0, SLOT_TIMEOUT_MS);
    if (!reply)
        return aErrTimeout;
    aErr err = aErrNone;
    if (reply->length != 4)
        err = aErrIO;
    else if (sIsSlotError(reply))
        err = static_cast<aErr>(reply->data[3]);
    aPacket_Destroy(&reply);
    return err;
}

struct FactoryRequest {
    uint8_t kind;
};

uint8_t sFactoryMatch(const aPacket* packet, const void* reference)
{
    const FactoryRequest* r = static_cast<const FactoryRequest*>(reference);
    return packet->length >= 2 && packet->data[0] == cmdFACTORYDATA
        && (packet->data[1] & 0x7F) == r->kind;
}

aPacket* sFactoryExchange(uint32_t id, uint8_t module, uint8_t replyKind, const uint8_t* data, uint8_t length)
{
    if (linkPutData(id, module, length, data) != aErrNone)
        return nullptr;
    FactoryRequest r{replyKind};
    return aLink_AwaitFirst(id, sFactoryMatch, &r, FACTORY_TIMEOUT_MS);
}

aErr sFactoryErrorCode(const aPacket* reply)
{
    return reply->length >= 3 ? static_cast<aErr>(reply->data[2]) : aErrUnknown;
}

// The closing message with the total moved; its reply is recognised as kind 0.
aErr sFactoryClose(uint32_t id, uint8_t module, size_t total)
{
    const uint8_t data[4] = {cmdFACTORYDATA, FACTORY_CLOSE, static_cast<uint8_t>(total >> 8),
        static_cast<uint8_t>(total)};
    aPacket* reply = sFactoryExchange(id, module, 0, data, sizeof data);
    if (!reply)
        return aErrTimeout;
    aErr err = aErrNone;
    if (reply->data[1] & FACTORY_ERROR)
        err = sFactoryErrorCode(reply);
    aPacket_Destroy(&reply);
    return err;
}

} // namespace

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    if (!capacity)
        return aErrParam;
    return sSlotFigure(m_impl->identifier, module, SLOT_CAPACITY, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    if (!size)
        return aErrParam;
    return sSlotFigure(m_impl->identifier, module, SLOT_SIZE, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    if (length > 0 && !data)
        return aErrParam;
    uint32_t id = m_impl->identifier;
    uint8_t handle = sSlotOpen(id, module, SLOT_OPEN_WRITE, store, slot);
    if (handle == NO_HANDLE)
        return aErrMedia;

    aErr err = aErrNone;
    for (size_t offset = 0; offset < length && err == aErrNone; offset += SLOT_CHUNK) {
        size_t n = std::min(SLOT_CHUNK, length - offset);
        uint8_t sum = 0;
        for (size_t i = 0; i < n; ++i)
            sum = static_cast<uint8_t>(sum + data[offset + i]);
        SlotRequest r{SLOT_WRITE, handle, 0};
        aPacket* reply = sSlotExchange(id, module, r, data + offset, n, SLOT_TIMEOUT_MS);
        if (!reply) {
            err = aErrTimeout;
            break;
        }
        if (sIsSlotError(reply))
            err = sSlotErrorCode(reply, SLOT_WRITE);
        else if (reply->length != 4 || reply->data[3] != sum)
            err = aErrIO;
        aPacket_Destroy(&reply);
    }
    aErr closed = sSlotClose(id, module, handle);
    return err != aErrNone ? err : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
    size_t* count)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    if (!count || (capacity > 0 && !buffer))
        return aErrParam;
    *count = 0;
    uint32_t id = m_impl->identifier;
    size_t size = 0;
    aErr err = sSlotFigure(id, module, SLOT_SIZE, store, slot, &size);
    if (err != aErrNone)
        return err;
    uint8_t handle = sSlotOpen(id, module, SLOT_OPEN_READ, store, slot);
    if (handle == NO_HANDLE)
        return aErrMedia;

    const size_t wanted = std::min(size, capacity);
    size_t received = 0;
    while (received < wanted) {
        SlotRequest r{SLOT_READ, handle, 0};
        aPacket* reply = sSlotExchange(id, module, r, nullptr, 0, SLOT_TIMEOUT_MS);
        if (!reply) {
            err = aErrTimeout;
            break;
        }
        if (sIsSlotError(reply)) {
            err = sSlotErrorCode(reply, SLOT_READ);
        } else if (reply->length <= 3) {
            err = aErrUnknown;
        } else {
            // A module that sends more than asked for never writes past
            // the caller's buffer.
            size_t n = std::min<size_t>(reply->length - 3u, wanted - received);
            std::memcpy(buffer + received, reply->data + 3, n);
            received += n;
        }
        aPacket_Destroy(&reply);
        if (err != aErrNone)
            break;
    }
    aErr closed = sSlotClose(id, module, handle);
    if (err == aErrNone)
        err = closed;
    if (err != aErrNone)
        return err;
    *count = wanted;
    return size > capacity ? aErrOverrun : aErrNone;
}

aErr Link::getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t capacity, size_t* count)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    if (!buffer || !count)
        return aErrParam;
    *count = 0;
    uint32_t id = m_impl->identifier;
    kind &= 0x0F;
    size_t total = 0;
    bool first = true;
    bool more = true;
    while (more) {
        const uint8_t request[2] = {cmdFACTORYDATA, static_cast<uint8_t>(first ? kind | FACTORY_FIRST : kind)};
        first = false;
        aPacket* reply = sFactoryExchange(id, module, kind, request, sizeof request);
        if (!reply)
            return aErrTimeout;
        aErr err = aErrNone;
        if (reply->data[1] & FACTORY_ERROR) {
            err = sFactoryErrorCode(reply);
        } else {
            size_t n = reply->length - 2u;
            if (total + n >= capacity)
                err = aErrOverrun;
            else {
                std::memcpy(buffer + total, reply->data + 2, n);
                total += n;
                more = reply->length == aPACKETMAXDATA;
            }
        }
        aPacket_Destroy(&reply);
        if (err != aErrNone)
            return err;
    }
    aErr err = sFactoryClose(id, module, total);
    if (err == aErrNone)
        *count = total;
    return err;
}

aErr Link::setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    if (length > 0 && !data)
        return aErrParam;
    uint32_t id = m_impl->identifier;
    kind &= 0x0F;
    size_t offset = 0;
    bool first = true;
    // An empty value still opens (and then closes) a transfer.
    while (first || offset < length) {
        size_t n = std::min(FACTORY_CHUNK, length - offset);
        uint8_t request[aPACKETMAXDATA] = {cmdFACTORYDATA,
            static_cast<uint8_t>(kind | FACTORY_WRITE | (first ? FACTORY_FIRST : 0))};
        if (n > 0)
            std::memcpy(request + 2, data + offset, n);
        first = false;
        aPacket* reply = sFactoryExchange(id, module, kind, request, static_cast<uint8_t>(n + 2));
        if (!reply)
            return aErrTimeout;
        bool acknowledged = reply->length == 2 && !(reply->data[1] & FACTORY_ERROR);
        aPacket_Destroy(&reply);
        if (!acknowledged)
            return aErrSize;
        offset += n;
    }
    return sFactoryClose(id, module, length);
}

} // namespace Corvestel
} // namespace Quorvane
