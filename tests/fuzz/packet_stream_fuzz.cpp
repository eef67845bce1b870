// Bytes from a module, framed into packets the way the link's receive
// thread does it: every complete packet must be well formed, and the UEI
// helpers must cope with whatever it holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/aUEI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    aPacket* packet = aPacket_Create();
    if (!packet)
        return 0;
    for (size_t i = 0; i < size; i++) {
        aErr err = aPacket_AddByte(packet, data[i]);
        if (err != aErrNone) {
            if (packet->tag != aPACKETCHECK)
                std::abort();
            aPacket_Reset(packet);
            continue;
        }
        if (!aPacket_IsComplete(packet))
            continue;
        if (packet->length > aPACKETMAXDATA || packet->address == 0 || (packet->address & 1))
            std::abort();
        aPacket* copy = aPacket_Copy(packet);
        if (!copy || std::memcmp(copy->data, packet->data, packet->length) != 0)
            std::abort();
        uint8_t field = 0;
        aPacket_GetCmd(copy, &field);
        aPacket_GetOption(copy, &field);
        aPacket_GetIndex(copy, &field);
        aUEI_isStreamPacket(copy);
        aUEI_getBytesSequence(copy);
        aUEI_getBytesContinue(copy);
        uei u{};
        u.module = copy->address;
        u.command = copy->length > 0 ? copy->data[0] : 0;
        u.option = copy->length > 1 ? copy->data[1] : 0;
        u.specifier = copy->length > 2 ? copy->data[2] & 0x1F : 0;
        aUEI_MatchPacket(copy, &u);
        aPacket_Destroy(&copy);
        aPacket_Reset(packet);
    }
    aPacket_Destroy(&packet);
    return 0;
}
