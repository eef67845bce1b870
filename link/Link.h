// Link: the object face of one device link. Any thread may call any member;
// each request waits for its own reply with its own match, so concurrent
// requests with different match keys do not take each other's replies.
// Connecting, disconnecting and changing the specifier or configuration
// belong to one thread at a time (the owner). The stream map mutex guards the
// stream map and the async queue's producer side (the receive thread's
// stream filter); the registration mutex serialises stream registrations;
// callbacks run only on the link's async callback thread.
#ifndef CORVESTEL_LINK_LINK_H
#define CORVESTEL_LINK_LINK_H

#include <cstddef>
#include <cstdint>
#include <list>

#include "link/aDefs.h"
#include "link/aError.h"
#include "link/aPacket.h"
#include "link/aUEI.h"
#include "link/packetfifo.h"

CORVESTEL_API_BEGIN

// Network settings of a link; a 12-byte value copied whole. Networking is
// off unless a program turns it on: a USB module is then reached directly,
// and AETHER links are refused.
struct aEtherConfig {
    uint8_t enabled = 0;        // USB through a local network server; AETHER allowed
    uint8_t fallback = 1;       // with networking on, a failed USB or AETHER connection tries the other
    uint8_t localOnly = 1;      // handed to the local server when it is made
    uint16_t assignedPort = 0;  // the local server's port, once made
    uint32_t networkInterface = 0x0100007F; // IPv4 in network order (127.0.0.1)
};
static_assert(sizeof(aEtherConfig) == 12, "aEtherConfig is a 12-byte value");

// A stream callback: runs on the async callback thread with a copy of the
// packet that triggered it (valid during the call only).
typedef uint8_t (*aStreamCallback)(const aPacket* packet, void* reference);

namespace Quorvane {
namespace Corvestel {

class Link {
public:
    // The last value of one concrete stream.
    struct StreamStatusEntry {
        uint64_t key;
        uint32_t value;
    };
    struct impl;

    explicit Link(const char* name);
    Link(const linkSpec& spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    const char* getName() const;

    // Replaces the stored specifier. aErrBusy: connected. aErrMemory: no copy.
    aErr setLinkSpecifier(const linkSpec& spec);
    // aErrParam: null. aErrNotFound: no specifier stored.
    aErr getLinkSpecifier(linkSpec* spec) const;
    // aErrParam: null.
    aErr getConfig(aEtherConfig* config) const;
    // aErrMode: connected.
    aErr setConfig(const aEtherConfig& config);

    // Creates the engine link for the stored specifier and waits for it.
    //   aErrConnection     already holds an engine link, none could be made,
    //                      or it did not come up (200 polls, 10 ms apart)
    //   aErrPermission     this user may not open the module's USB node or
    //                      serial port (the thread's USB refusals name a node)
    //   aErrConfiguration  no specifier, or AETHER while networking is off
    //   aErrMode           unknown link type
    //   aErrBusy           the engine link is stopping
    aErr connect();
    // Finds the module by discovery (serial number 0: the first of that
    // model, model 0: any), stores its specifier and connects; with
    // networking on, a USB or AETHER failure tries the other type once when
    // fallback is set.
    //   aErrNotFound    nothing found
    //   aErrPermission  nothing found on USB, but a module's node there may
    //                   not be opened by this user (the module may be that one)
    //   otherwise as connect()
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
    // Shares the engine link of another connected Link (one more use).
    //   aErrInitialization  the other has no engine link; otherwise as connect()
    aErr connectThroughLinkModule(Link* other);
    // True when an engine link exists and runs.
    bool isConnected() const;
    // Engine status; 8 without an engine link.
    uint32_t getStatus() const;
    // How often the engine link lost its stream's connection (see
    // aLink_GetDropCount); 0 while not connected.
    uint32_t getDropCount() const;
    // Drops this object's use of the engine link (stream registrations end
    // with it). Always aErrNone.
    aErr disconnect();
    // Stops and restarts the engine link. Always aErrNone.
    aErr reset();
    // aErrParam: no engine link.
    aErr enablePooledPackets(bool enable);
    // Asks the directly attached module for its address (0xAD, 1000 ms).
    //   aErrNotReady  not connected, or no answer (*address is 0)
    //   aErrParam     null pointer
    aErr getModuleAddress(uint8_t* address);
    // The engine link identifier (0: none), for diagnostics and tests.
    uint32_t getLinkIdentifier() const;

    // Message operations: aErrConnection when not connected, aErrPacket for
    // a module address that is zero or odd.
    //
    // Sends a value; bytes values go in 24-byte chunks.
    //   aErrResource  a packet could not be made (unknown type, no memory)
    //   other         the first put error
    aErr sendUEI(const uei& message);
    // The same with a sub-index byte before the value (no bytes values).
    aErr sendUEI(const uei& message, uint8_t subindex);
    // Waits for the reply to module, command, option byte and index and fills
    // *message (1000 ms; 4000 ms for bytes of more than 1000).
    //   aErrTimeout  nothing matched in time
    //   aErrParam    null message
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message,
        PacketMatchProc match);
    // Removes every queued UEI packet that the default match takes.
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // Sends command then length bytes. aErrParam: length above 27 or null data;
    // a failed stream write gives its code (aErrIO, aErrWrite...).
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // Waits 1000 ms for the first packet whose first *length data bytes equal
    // match; then *length = its data length and buffer (28 bytes) gets all of
    // its data. aErrTimeout: none. aErrParam: null pointer or *length above 28.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // Store slots. Error replies give the module's code.
    //   aErrTimeout  no reply; aErrUnknown  malformed size or capacity reply
    //   aErrMedia    the slot could not be opened
    //   aErrIO       a write sum or close reply that does not fit
    //   aErrOverrun  (unload) the slot holds more than capacity; the first
    //                capacity bytes are in buffer
    aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
    aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
        size_t* count);
    aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
    aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);

    // Factory data of kind (low 4 bits).
    //   aErrTimeout  no reply; aErrOverrun  (get) the data does not fit
    //   aErrSize     (set) a chunk was not acknowledged with 2 data bytes
    //   aErrParam    null pointer
    aErr getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t capacity, size_t* count);
    aErr setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length);

    // Packet log appended to a text file by a writer thread.
    //   aErrConfiguration  no engine link
    //   aErrResource       the file or the thread could not be made
    aErr enablePacketLog(const char* path);
    //   aErrConfiguration  no engine link; aErrUnknown  the writer did not end
    aErr disablePacketLog();

    // Value streams. A key lane of 0xFF means any value (never the module).
    //
    // Registers (or with enable false removes) interest in a stream and tells
    // the module (command 93).
    //   aErrParam  module odd or 0xFF; other: the module's or the link's error
    aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
        bool enable, aStreamCallback callback, void* reference);
    // The cached last value. aErrNotFound: no such stream; aErrStreamStale:
    // no new sample since the last read (value given all the same).
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
        uint8_t subindex, uint32_t* value);
    // Concrete streams matching the lanes (0xFF: any).
    //   aErrConnection  not connected; aErrParam  null pointer or capacity 0
    //   aErrSize        more matches than capacity (the first ones are filled)
    aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
        uint8_t subindex, StreamStatusEntry* entries, size_t capacity, size_t* count);
    // Stream callbacks dropped because the callback queue was full (a
    // callback slower than the samples), over the life of this object.
    uint32_t getStreamDropCount() const;
    // Whether the module streams (command 93 option 1).
    aErr isLinkStreaming(uint8_t module, uint8_t* state);
    // Registered keys whose lanes equal the arguments (0xFF: any).
    std::list<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
        uint8_t index, uint8_t subindex, bool lock);

    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
        uint8_t subindex);
    // Element 0 module, 1 command, 2 option, 3 index, 4 sub-index; else 0.
    static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);

    // Sample parsers.
    static bool isStreamPacket(const aPacket* packet);
    // True with the sample type (1..7; 4 for a bytes stream), false with 0.
    static bool getStreamPacketType(const aPacket* packet, uint8_t* type);
    static bool isStreamSample(const aPacket* packet);
    // Any output may be null.
    //   aErrParam   not a stream packet
    //   aErrSize    a bytes stream
    //   aErrPacket  type 0 or above 7, or a length that does not fit the type
    static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value,
        uint8_t* subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower);

private:
    impl* m_impl;
};

} // namespace Corvestel
} // namespace Quorvane

CORVESTEL_API_END

#endif
