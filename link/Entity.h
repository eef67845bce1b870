// EntityClass: one entity (command code and index) of a module, turning
// option reads and writes into UEI requests and replies over the module's
// Link. An entity holds no connection state; it is safe to use from any
// thread once bound, as long as its init is not changed meanwhile.
#ifndef CORVESTEL_LINK_ENTITY_H
#define CORVESTEL_LINK_ENTITY_H

#include <cstddef>
#include <cstdint>

#include "link/Link.h"
#include "link/Module.h"

CORVESTEL_API_BEGIN

namespace Quorvane {
namespace Corvestel {

// Every operation answers aErrResource while the entity has no module or the
// module has no link, and aErrConnection while the link is not connected.
// Error replies give the module's code.
class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity to a module (not owned), a command and an index.
    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;
    uint8_t getCommand() const;
    Module* getModule() const;

    // The link's raw packet operations with this module's address. Virtual
    // so that a test can stand in for the module.
    virtual aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    virtual aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // A GET: the stream cache first (aErrStreamStale: an old cached value),
    // then the module. Fills message (type UEI_BYTE carries a sub-index).
    //   aErrTimeout  no reply; aErrParam  null message
    aErr getUEI(uint8_t option, uei* message);
    // A SET of message's value, waiting for the acknowledgement.
    aErr setUEI(uint8_t option, uei* message);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* message);
    // A SET without a value.
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    // aErrParam: null data with a non-zero length.
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

    // Typed reads; aErrParam for a null output. The value is also given
    // with aErrStreamStale.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
    // A bytes value in chunks.
    //   aErrParam    null pointer or capacity 0
    //   aErrMemory   the value does not fit in capacity
    //   aErrTimeout  a chunk is missing
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
    // Byte count to unit count. aErrParam: null or unit 0; aErrMemory: not a multiple.
    aErr getUEIBytesCheck(size_t* count, size_t unitSize);

    // Waits 1000 ms for a value with exactly this option byte.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t reserved);
    // Removes queued UEI packets of this entity with that option byte.
    aErr drainUEI(uint8_t option);

    // Streams of this entity (all options) or of one option.
    aErr setStreamEnabled(bool enable);
    aErr registerOptionCallback(uint8_t option, bool enable, aStreamCallback callback, void* reference);
    aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

    struct impl;

protected:
    // The module's link, or null (then the operation answers aErrResource).
    Link* link() const;
    uint8_t moduleAddress() const;

private:
    impl* m_impl;
};

} // namespace Corvestel
} // namespace Quorvane

CORVESTEL_API_END

#endif
