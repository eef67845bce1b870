// One protocol packet: address, length and up to 28 data bytes, plus the
// receive state machine that assembles an incoming packet byte by byte.
// A packet belongs to one thread at a time; nothing here locks.
#ifndef CORVESTEL_LINK_APACKET_H
#define CORVESTEL_LINK_APACKET_H

#include <cstddef>
#include <cstdint>

#include "link/aError.h"

CORVESTEL_API_BEGIN

#define aPACKETCHECK 0xBEEF
#define aPACKETMAXDATA 28
// Address byte, length byte and the largest payload.
#define aPACKETMAXWIRE (aPACKETMAXDATA + 2)

typedef struct aPacket {
    uint16_t tag;      // aPACKETCHECK while the record is a live packet
    uint8_t fill;      // bytes taken by aPacket_AddByte, address and length included
    uint8_t address;   // destination of an outgoing packet, sender of an incoming one
    uint8_t length;    // data bytes, 0..28
    uint8_t data[aPACKETMAXDATA];
} aPacket;

#define aVALIDPACKET(p) ((p) != nullptr && (p)->tag == aPACKETCHECK)

// A new empty packet (every byte but the tag zero); null when memory runs out.
aPacket* aPacket_Create();

// A new complete packet holding address, length and length bytes of data.
// Null when data is null, length is above 28 or memory runs out.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

// A new packet with the same address, length and data; null for an invalid
// packet or when memory runs out.
aPacket* aPacket_Copy(const aPacket* packet);

// Read the command (data[0]), option (data[1] & 0x3F) and entity index
// (data[2] & 0x1F).
//   aErrParam   the output pointer is null
//   aErrPacket  invalid packet, or fewer data bytes than the field needs
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Writes the packet as it goes on the wire (address byte, length byte, the
// data bytes) into out, which holds cap bytes. Returns the bytes written:
// length + 2, or 0 for an invalid packet, a length above 28, a null out or
// a cap too small.
size_t aPacket_ToWire(const aPacket* packet, uint8_t* out, size_t cap);

// Clears fill, address, length and data; the tag stays.
//   aErrParam  invalid packet
aErr aPacket_Reset(aPacket* packet);

// Adds one byte from the stream to a packet being received.
//   aErrNone     byte accepted (check aPacket_IsComplete)
//   aErrParam    invalid packet; nothing changed
//   aErrPacket   odd or zero address byte, length above 28, or a byte past
//                the declared length: the stream is out of step
//   aErrOverrun  more than 30 bytes without a reset
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// True when the packet is valid and holds its address, length and all data.
bool aPacket_IsComplete(const aPacket* packet);

// Frees the packet and nulls the caller's pointer.
//   aErrParam  packet or *packet is null, or *packet is not a live packet
aErr aPacket_Destroy(aPacket** packet);

CORVESTEL_API_END

#endif
