// Stream sample parsers fed arbitrary packets: they never read past the
// packet's length, and what they accept is self-consistent.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/Link.h"

using Quorvane::Corvestel::Link;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte is the sender's address; the rest is the payload. The
    // packet's unused data bytes are poisoned so a read past the length
    // changes the answers of the checks below.
    aPacket packet;
    std::memset(&packet, 0xA5, sizeof packet);
    packet.tag = aPACKETCHECK;
    packet.address = data[0];
    packet.length = static_cast<uint8_t>(size - 1 > aPACKETMAXDATA ? aPACKETMAXDATA : size - 1);
    std::memcpy(packet.data, data + 1, packet.length);
    packet.fill = static_cast<uint8_t>(packet.length + 2);

    uint8_t type = 0xEE;
    const bool known = Link::getStreamPacketType(&packet, &type);
    if (!known && type != 0)
        std::abort();
    uint64_t stamp = 0;
    uint32_t value = 0;
    uint8_t sub = 0;
    const aErr err = Link::getStreamSample(&packet, &stamp, &value, &sub);
    const bool sample = Link::isStreamSample(&packet);
    if (sample != (err == aErrNone))
        std::abort();
    if (sample && (!known || type == 4 || type == 0 || type > 7))
        std::abort();
    if (err == aErrNone && type < 5 && sub != 0)
        std::abort();
    if (err == aErrNone && (type & 3) == 1 && value > 0xFF)
        std::abort();
    return 0;
}
