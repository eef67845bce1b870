#include "link/aUEI.h"

#include "link/aDefs.h"

uint8_t* aUEI_StoreShort(uint8_t* buffer, uint16_t value)
{
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
    return buffer;
}

uint8_t* aUEI_StoreInt(uint8_t* buffer, uint32_t value)
{
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
    return buffer;
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer)
{
    return static_cast<uint16_t>((buffer[0] << 8) | buffer[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer)
{
    return (static_cast<uint32_t>(buffer[0]) << 24) | (static_cast<uint32_t>(buffer[1]) << 16)
        | (static_cast<uint32_t>(buffer[2]) << 8) | buffer[3];
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count)
{
    if (!words)
        return;
    for (size_t i = 0; i < count; i++)
        words[i] = aUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
}

static bool sHasData(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->length > 0 && packet->length <= aPACKETMAXDATA;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet)
{
    return sHasData(packet) ? packet->data[packet->length - 1] & ueiBYTES_SEQUENCE : 0;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet)
{
    return sHasData(packet) ? packet->data[packet->length - 1] >> 7 : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet) && (packet->length == 27 || packet->length == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return false;
    if (packet->length == 0)
        return true;
    switch (packet->data[0]) {
    case cmdHEARTBEAT:
    case 1:
    case 2:
    case cmdSTORESLOT:
    case 8:
    case 9:
    case cmdDEBUGECHO:
    case 24:
    case cmdQUERY:
    case cmdFACTORYDATA:
    case cmdUPGRADE:
    case cmdMODULEADDRESS:
    case cmdFORCEROUTE:
        return true;
    default:
        return false;
    }
}

bool aUEI_isUEIPayload(const aPacket* packet)
{
    return aVALIDPACKET(packet) && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->length >= 5 && packet->length <= aPACKETMAXDATA
        && aUEI_isUEIPayload(packet) && packet->data[1] < ueiOPTION_GET
        && (packet->data[2] & ueiINDEX_STREAM) != 0;
}

// Appends the value of u by its type at data[at]; false for a type that
// has no fixed-size encoding.
static bool sPutValue(const uei* u, uint8_t* data, uint8_t at, uint8_t* length)
{
    switch (u->type) {
    case UEI_VOID:
        *length = at;
        return true;
    case UEI_BYTE:
        data[at] = u->value.byteVal;
        *length = static_cast<uint8_t>(at + 1);
        return true;
    case UEI_SHORT:
        aUEI_StoreShort(&data[at], u->value.shortVal);
        *length = static_cast<uint8_t>(at + 2);
        return true;
    case UEI_INT:
        aUEI_StoreInt(&data[at], u->value.intVal);
        *length = static_cast<uint8_t>(at + 4);
        return true;
    default:
        return false;
    }
}

aPacket* aUEI_CreateValuePacket(const uei* u)
{
    if (!u)
        return nullptr;
    uint8_t data[aPACKETMAXDATA] = {u->command, u->option, u->specifier};
    uint8_t length = 0;
    if (!sPutValue(u, data, 3, &length))
        return nullptr;
    return aPacket_CreateWithData(u->module, length, data);
}

aPacket* aUEI_CreateSubIndexPacket(const uei* u, uint8_t subindex)
{
    if (!u)
        return nullptr;
    uint8_t data[aPACKETMAXDATA] = {u->command, u->option, u->specifier, subindex};
    uint8_t length = 0;
    if (!sPutValue(u, data, 4, &length))
        return nullptr;
    return aPacket_CreateWithData(u->module, length, data);
}

uint32_t aUEI_BytesChunkCount(uint32_t size)
{
    return size == 0 ? 1 : (size + ueiBYTES_CHUNK - 1) / ueiBYTES_CHUNK;
}

aPacket* aUEI_CreateBytesChunk(const uei* u, uint32_t chunk)
{
    if (!u || chunk >= aUEI_BytesChunkCount(u->bytesSize))
        return nullptr;
    if (u->bytesSize > 0 && !u->value.bytes)
        return nullptr;
    uint32_t offset = chunk * ueiBYTES_CHUNK;
    uint32_t count = u->bytesSize - offset;
    bool more = count > ueiBYTES_CHUNK;
    if (more)
        count = ueiBYTES_CHUNK;

    uint8_t data[aPACKETMAXDATA] = {u->command, u->option, u->specifier};
    for (uint32_t i = 0; i < count; i++)
        data[3 + i] = u->value.bytes[offset + i];
    data[3 + count] = static_cast<uint8_t>((more ? ueiBYTES_MORE : 0) | (chunk & ueiBYTES_SEQUENCE));
    return aPacket_CreateWithData(u->module, static_cast<uint8_t>(count + 4), data);
}

uint8_t aUEI_MatchPacket(const aPacket* packet, const void* reference)
{
    // The reference is the caller's own uei, handed through as opaque data
    // so that the match can fill it in.
    uei* u = static_cast<uei*>(const_cast<void*>(reference));
    if (!u || !aVALIDPACKET(packet) || packet->length < 3 || packet->length > aPACKETMAXDATA)
        return 0;
    if (packet->address != u->module || packet->data[0] != u->command
        || packet->data[1] != u->option
        || (packet->data[2] & ueiINDEX_MASK) != u->specifier)
        return 0;

    if (packet->data[2] & ueiINDEX_ERROR) {
        u->specifier = packet->data[2];
        u->value.byteVal = packet->length > 3 ? packet->data[3] : static_cast<uint8_t>(aErrUnknown);
        return 1;
    }
    switch (packet->length) {
    case 3:
        u->type = UEI_VOID;
        break;
    case 4:
        u->type = UEI_BYTE;
        u->value.byteVal = packet->data[3];
        break;
    case 5:
        u->type = UEI_SHORT;
        u->value.shortVal = aUEI_RetrieveShort(&packet->data[3]);
        break;
    case 7:
        u->type = UEI_INT;
        u->value.intVal = aUEI_RetrieveInt(&packet->data[3]);
        break;
    default:
        break;
    }
    return 1;
}
