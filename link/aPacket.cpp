#include "link/aPacket.h"

#include <cstdlib>
#include <cstring>

aPacket* aPacket_Create()
{
    aPacket* packet = static_cast<aPacket*>(std::calloc(1, sizeof(aPacket)));
    if (packet)
        packet->tag = aPACKETCHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (!data || length > aPACKETMAXDATA)
        return nullptr;
    aPacket* packet = aPacket_Create();
    if (!packet)
        return nullptr;
    packet->address = address;
    packet->length = length;
    packet->fill = static_cast<uint8_t>(length + 2);
    std::memcpy(packet->data, data, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    if (!aVALIDPACKET(packet) || packet->length > aPACKETMAXDATA)
        return nullptr;
    aPacket* copy = aPacket_Create();
    if (!copy)
        return nullptr;
    copy->fill = packet->fill;
    copy->address = packet->address;
    copy->length = packet->length;
    std::memcpy(copy->data, packet->data, aPACKETMAXDATA);
    return copy;
}

static aErr sGetField(const aPacket* packet, uint8_t* out, uint8_t position, uint8_t mask)
{
    if (!out)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->length <= position)
        return aErrPacket;
    *out = packet->data[position] & mask;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd)
{
    return sGetField(packet, cmd, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option)
{
    return sGetField(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index)
{
    return sGetField(packet, index, 2, 0x1F);
}

size_t aPacket_ToWire(const aPacket* packet, uint8_t* out, size_t cap)
{
    if (!aVALIDPACKET(packet) || !out || packet->length > aPACKETMAXDATA || cap < packet->length + 2u)
        return 0;
    out[0] = packet->address;
    out[1] = packet->length;
    std::memcpy(out + 2, packet->data, packet->length);
    return packet->length + 2u;
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    packet->fill = 0;
    packet->address = 0;
    packet->length = 0;
    std::memset(packet->data, 0, aPACKETMAXDATA);
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;

    // The count stops just past the largest packet: a caller that keeps
    // feeding bytes without a reset must never wrap it back to a small
    // value and so write in front of the data.
    if (packet->fill <= aPACKETMAXWIRE)
        packet->fill++;
    if (packet->fill > aPACKETMAXWIRE)
        return aErrOverrun;

    if (packet->address == 0) {
        // Module addresses are even and never zero.
        if (byte == 0 || (byte & 1))
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }

    if (packet->length == 0) {
        packet->length = byte;
        return byte <= aPACKETMAXDATA ? aErrNone : aErrPacket;
    }

    if (packet->fill > packet->length + 2 || packet->fill < 3)
        return aErrPacket;
    packet->data[packet->fill - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->fill == packet->length + 2;
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (!packet || !aVALIDPACKET(*packet))
        return aErrParam;
    (*packet)->tag = 0;
    std::free(*packet);
    *packet = nullptr;
    return aErrNone;
}
