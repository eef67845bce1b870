// EntityClass: UEI reads and writes, bytes transfers, waits and streams of
// one entity.
#include "link/Entity.h"

#include <cstring>

namespace Quorvane {
namespace Corvestel {

namespace {

const uint8_t ANY = 0xFF;

// The value of a received uei by the type its reply had.
uint32_t sValue(const uei& u)
{
    switch (u.type) {
    case UEI_BYTE: return u.value.byteVal;
    case UEI_SHORT: return u.value.shortVal;
    case UEI_INT: return u.value.intVal;
    default: return 0;
    }
}

// A message carrying one value of the given type.
uei sTyped(uint32_t type, uint32_t value)
{
    uei u{};
    u.type = type;
    switch (type) {
    case UEI_BYTE: u.value.byteVal = static_cast<uint8_t>(value); break;
    case UEI_SHORT: u.value.shortVal = static_cast<uint16_t>(value); break;
    default: u.value.intVal = value; break;
    }
    return u;
}

bool sHasValue(aErr err)
{
    return err == aErrNone || err == aErrStreamStale;
}

// Collects the chunks of a bytes value. The link hands the match its uei,
// which is the first member here, so the match reaches the whole record;
// the FIFO offers each packet to it once, so appending there is safe.
struct ChunkCollector {
    uei u;
    uint8_t* buffer;
    size_t capacity;
    size_t count;
    uint8_t sequence;
    uint8_t more;
    aErr error;
};

uint8_t sChunkCollector(const aPacket* packet, const void* reference)
{
    ChunkCollector* c = static_cast<ChunkCollector*>(const_cast<void*>(reference));
    if (packet->address != c->u.module || packet->length < 3 || packet->data[0] != c->u.command
        || packet->data[1] != c->u.option || (packet->data[2] & ueiINDEX_MASK) != c->u.specifier)
        return 0;
    if (packet->data[2] & ueiINDEX_ERROR) {
        c->error = packet->length > 3 ? static_cast<aErr>(packet->data[3]) : aErrUnknown;
        return 1;
    }
    // Stream samples of the same option are not chunks.
    if ((packet->data[2] & ueiINDEX_STREAM) || packet->length < 4)
        return 0;
    if (aUEI_getBytesSequence(packet) != c->sequence)
        return 0;
    const size_t payload = packet->length - 4u;
    if (c->count + payload > c->capacity) {
        c->error = aErrMemory;
        return 1;
    }
    std::memcpy(c->buffer + c->count, packet->data + 3, payload);
    c->count += payload;
    c->more = aUEI_getBytesContinue(packet);
    return 1;
}

} // namespace

struct EntityClass::impl {
    EntityClass* entity = nullptr;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(new impl)
{
    m_impl->entity = this;
}

EntityClass::~EntityClass()
{
    delete m_impl;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl->index;
}

uint8_t EntityClass::getCommand() const
{
    return m_impl->command;
}

Module* EntityClass::getModule() const
{
    return m_impl->module;
}

Link* EntityClass::link() const
{
    return m_impl->module ? m_impl->module->getLink() : nullptr;
}

uint8_t EntityClass::moduleAddress() const
{
    return m_impl->module ? m_impl->module->getModuleAddress() : 0;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    Link* l = link();
    return l ? l->sendPacket(moduleAddress(), command, length, data) : aErrResource;
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    Link* l = link();
    return l ? l->receivePacket(moduleAddress(), match, length, buffer) : aErrResource;
}

aErr EntityClass::getUEI(uint8_t option, uei* message)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    if (!message)
        return aErrParam;
    const uint8_t module = moduleAddress();
    const uint8_t subindex = message->type == UEI_BYTE ? message->value.byteVal : 0;
    uint32_t cached = 0;
    aErr err = l->getStreamValue(module, m_impl->command, option, m_impl->index, subindex, &cached);
    if (err != aErrNotFound) {
        message->type = UEI_INT;
        message->value.intVal = cached;
        return err;
    }
    message->module = module;
    message->command = m_impl->command;
    message->option = static_cast<uint8_t>(option | ueiOPTION_GET);
    message->specifier = static_cast<uint8_t>(m_impl->index | ueiINDEX_REQUEST);
    err = l->sendUEI(*message);
    if (err != aErrNone)
        return err;
    err = l->receiveUEI(module, m_impl->command, option, m_impl->index, message);
    if (err != aErrNone)
        return err;
    if (message->specifier & ueiINDEX_ERROR)
        return static_cast<aErr>(message->value.byteVal);
    return aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uei* message)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    if (!message)
        return aErrParam;
    const uint8_t module = moduleAddress();
    message->module = module;
    message->command = m_impl->command;
    message->option = static_cast<uint8_t>(option | ueiOPTION_SET);
    message->specifier = static_cast<uint8_t>(m_impl->index | ueiINDEX_REQUEST);
    aErr err = l->sendUEI(*message);
    if (err != aErrNone)
        return err;
    uei reply{};
    err = l->receiveUEI(module, m_impl->command, static_cast<uint8_t>(option | 0xC0), m_impl->index, &reply);
    if (err != aErrNone)
        return err;
    if (reply.specifier & ueiINDEX_ERROR)
        return static_cast<aErr>(reply.value.byteVal);
    return aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* message)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    if (!message)
        return aErrParam;
    const uint8_t module = moduleAddress();
    message->module = module;
    message->command = m_impl->command;
    message->option = static_cast<uint8_t>(option | ueiOPTION_SET);
    message->specifier = static_cast<uint8_t>(m_impl->index | ueiINDEX_REQUEST);
    aErr err = l->sendUEI(*message, subindex);
    if (err != aErrNone)
        return err;
    uei reply{};
    err = l->receiveUEI(module, m_impl->command, static_cast<uint8_t>(option | 0xC0), m_impl->index, &reply);
    if (err != aErrNone)
        return err;
    if (reply.specifier & ueiINDEX_ERROR)
        return static_cast<aErr>(reply.value.byteVal);
    return aErrNone;
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei u{};
    u.type = UEI_VOID;
    return setUEI(option, &u);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei u = sTyped(UEI_BYTE, value);
    return setUEI(option, &u);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei u = sTyped(UEI_BYTE, value);
    return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei u = sTyped(UEI_SHORT, value);
    return setUEI(option, &u);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    uei u = sTyped(UEI_SHORT, value);
    return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei u = sTyped(UEI_INT, value);
    return setUEI(option, &u);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei u = sTyped(UEI_INT, value);
    return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length)
{
    if (length > 0 && !data)
        return aErrParam;
    if (length > UINT32_MAX)
        return aErrSize;
    static uint8_t none = 0;
    uei u{};
    u.type = UEI_BYTES;
    // The chunk builder only reads through this pointer.
    u.value.bytes = length > 0 ? const_cast<uint8_t*>(data) : &none;
    u.bytesSize = static_cast<uint32_t>(length);
    return setUEI(option, &u);
}

// The typed getters share one shape: a request carrying nothing (or the
// sub-index as a byte value), then the value by the reply's own type.
#define ENTITY_TYPED_GET(NAME, TYPE)                                                           \
    aErr EntityClass::NAME(uint8_t option, TYPE* value)                                      \
    {                                                                                         \
        if (!value)                                                                           \
            return aErrParam;                                                                 \
        uei u{};                                                                              \
        u.type = UEI_VOID;                                                                    \
        aErr err = getUEI(option, &u);                                                        \
        if (sHasValue(err))                                                                   \
            *value = static_cast<TYPE>(sValue(u));                                            \
        return err;                                                                           \
    }                                                                                         \
    aErr EntityClass::NAME(uint8_t option, uint8_t subindex, TYPE* value)                    \
    {                                                                                         \
        if (!value)                                                                           \
            return aErrParam;                                                                 \
        uei u{};                                                                              \
        u.type = UEI_BYTE;                                                                    \
        u.value.byteVal = subindex;                                                           \
        aErr err = getUEI(option, &u);                                                        \
        if (sHasValue(err))                                                                   \
            *value = static_cast<TYPE>(sValue(u));                                            \
        return err;                                                                           \
    }

ENTITY_TYPED_GET(getUEI8, uint8_t)
ENTITY_TYPED_GET(getUEI16, uint16_t)
ENTITY_TYPED_GET(getUEI32, uint32_t)

#undef ENTITY_TYPED_GET

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    if (!buffer || !count || capacity == 0)
        return aErrParam;
    *count = 0;
    const uint8_t module = moduleAddress();
    uei request{};
    request.module = module;
    request.command = m_impl->command;
    request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
    request.specifier = static_cast<uint8_t>(m_impl->index | ueiINDEX_REQUEST);
    request.type = UEI_VOID;
    aErr err = l->sendUEI(request);
    if (err != aErrNone)
        return err;

    ChunkCollector c{};
    c.u.type = UEI_VOID;
    c.buffer = buffer;
    c.capacity = capacity;
    for (;;) {
        c.more = 0;
        err = l->receiveUEI(module, m_impl->command, option, m_impl->index, &c.u, sChunkCollector);
        if (err != aErrNone)
            return err;
        if (c.error != aErrNone)
            return c.error;
        *count = c.count;
        if (!c.more)
            return aErrNone;
        c.sequence = static_cast<uint8_t>((c.sequence + 1) & ueiBYTES_SEQUENCE);
    }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize)
{
    if (!count || unitSize == 0)
        return aErrParam;
    if (*count % unitSize != 0)
        return aErrMemory;
    *count /= unitSize;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    if (!value)
        return aErrParam;
    uei u{};
    aErr err = l->receiveUEI(moduleAddress(), m_impl->command, option, m_impl->index, &u);
    if (err != aErrNone)
        return err;
    if (u.specifier & ueiINDEX_ERROR)
        return static_cast<aErr>(u.value.byteVal);
    *value = sValue(u);
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->dropMatchingUEIPackets(moduleAddress(), m_impl->command, option, m_impl->index);
}

aErr EntityClass::setStreamEnabled(bool enable)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->enableStream(moduleAddress(), m_impl->command, ANY, m_impl->index, enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, aStreamCallback callback, void* reference)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->registerStreamCallback(moduleAddress(), m_impl->command, option, m_impl->index, enable, callback,
        reference);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->getStreamStatus(moduleAddress(), m_impl->command, ANY, m_impl->index, ANY, entries, capacity, count);
}

} // namespace Corvestel
} // namespace Quorvane
