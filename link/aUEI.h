// UEI (universal entity interface) messages: the in-memory uei record, the
// byte-order helpers, and the tests and builders for UEI packets. Plain
// functions on caller-owned data; nothing here locks or keeps state.
#ifndef CORVESTEL_LINK_AUEI_H
#define CORVESTEL_LINK_AUEI_H

#include <cstddef>
#include <cstdint>

#include "link/aPacket.h"

CORVESTEL_API_BEGIN

// Value types of a uei (3 is not used).
enum : uint32_t {
    UEI_VOID = 0,
    UEI_BYTE = 1,
    UEI_SHORT = 2,
    UEI_INT = 4,
    UEI_BYTES = 5,
};

// Option byte flags.
#define ueiOPTION_MASK 0x3F
#define ueiOPTION_GET 0x40
#define ueiOPTION_SET 0x80
// Index byte flags.
#define ueiINDEX_MASK 0x1F
#define ueiINDEX_REQUEST 0x20
#define ueiINDEX_STREAM 0x40
#define ueiINDEX_ERROR 0x80
// A bytes value travels in chunks of at most 24 payload bytes plus a
// trailer byte: bit 7 more-follows, bits 0-6 sequence number.
#define ueiBYTES_CHUNK 24
#define ueiBYTES_MORE 0x80
#define ueiBYTES_SEQUENCE 0x7F

typedef struct uei {
    uint8_t module;     // module address
    uint8_t command;    // entity class
    uint8_t option;     // option byte with its flag bits
    uint8_t specifier;  // index byte with its flag bits; bit 7 after a receive: error reply
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytes; // UEI_BYTES: the caller's buffer
    } value;            // after an error reply value.byteVal is the aErr code
    uint8_t sequence;   // bytes transfer: sequence number expected next
    uint8_t more;       // bytes transfer: more-follows flag of the last chunk
    uint32_t bytesSize; // bytes to send, or capacity of the receive buffer
    uint32_t* bytesReceived; // bytes transfer: running count received
    uint32_t type;      // UEI_VOID, UEI_BYTE, UEI_SHORT, UEI_INT or UEI_BYTES
} uei;

// Big-endian stores; each returns buffer.
uint8_t* aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint8_t* aUEI_StoreInt(uint8_t* buffer, uint32_t value);
// Big-endian loads.
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
// Converts count 32-bit words in place from big-endian to host order.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Sequence number (bits 0-6) and more-follows flag (bit 7) of the trailer,
// the last data byte of a bytes chunk; 0 for a null or empty packet.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
// True when the packet is a full bytes chunk (27 or 28 data bytes).
bool aUEI_getBytesFullPacket(const aPacket* packet);

// True when data[0] is a link-level or raw command, not a UEI payload
// (false for a null packet; true for a packet with no data).
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
// True for a value a module streams unasked: a UEI payload of at least 5
// data bytes, no flag in the option byte, bit 6 of the index byte set.
bool aUEI_isStreamPacket(const aPacket* packet);

// Packet of a non-bytes value to u.module: command, option, specifier, then
// the value by u.type (none, 1, 2 or 4 bytes big-endian). Null for UEI_BYTES,
// an unknown type, or when memory runs out.
aPacket* aUEI_CreateValuePacket(const uei* u);
// The same with a sub-index byte between the index byte and the value.
aPacket* aUEI_CreateSubIndexPacket(const uei* u, uint8_t subindex);
// Number of chunks of a bytes value of size bytes (1 for an empty value).
uint32_t aUEI_BytesChunkCount(uint32_t size);
// Chunk number chunk of the bytes value u.value.bytes[0..u.bytesSize).
// Null when chunk is past the last one, the buffer is null while bytes are
// due, or memory runs out.
aPacket* aUEI_CreateBytesChunk(const uei* u, uint32_t chunk);

// Match procedure for a UEI reply: reference is the uei being received,
// whose module, command, option and specifier (index) were set by the
// caller. A match fills the uei: an error reply sets the whole index byte
// and the aErr code in value.byteVal; otherwise the data length sets type
// and value (3 void, 4 byte, 5 short, 7 int; other lengths leave them).
uint8_t aUEI_MatchPacket(const aPacket* packet, const void* reference);

CORVESTEL_API_END

#endif
