// Uuencoded lines and ISP answers fed arbitrary bytes: decoding never writes
// past the count or the capacity, encoding round-trips, return-code texts
// always come from the table, and the line reader stays inside its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "recovery/NXPSerial.h"
#include "tests/recovery/ScriptedStream.h"

namespace {

void sNoWait(uint32_t) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The script answers at once: waiting for a chip would only slow the run.
    static const NXPSerialClass::IdleWait unused = NXPSerialClass::SetIdleWait(sNoWait);
    (void)unused;
    std::string line(reinterpret_cast<const char*>(data), size);

    // Decoding into a buffer exactly as large as the capacity claimed.
    size_t capacity = size ? data[0] % 64 : 0;
    std::vector<uint8_t> buffer(capacity + 1, 0xA5);
    size_t n = NXPSerialClass::uudecode(buffer.data(), capacity, line.c_str());
    if (n > capacity || buffer[capacity] != 0xA5)
        std::abort();

    // Whatever is encoded decodes to the same bytes.
    size_t take = size < NXPSerialClass::MAX_BYTES_PER_LINE ? size : NXPSerialClass::MAX_BYTES_PER_LINE;
    char encoded[2 + 4 * 16 + 1];
    if (NXPSerialClass::uuencode(encoded, data, take) != take)
        std::abort();
    std::vector<uint8_t> back(take + 1, 0);
    if (NXPSerialClass::uudecode(back.data(), take, encoded) != take ||
        (take && std::memcmp(back.data(), data, take) != 0))
        std::abort();

    if (!NXPSerialClass::GetErrorText(line.c_str()))
        std::abort();

    // The chip's answer lines through the line reader, as a command sees them.
    ScriptedStream chip;
    chip.input = line;
    NXPSerialClass isp;
    if (isp.Attach(chip.Make(), 115200) != aErrNone)
        std::abort();
    for (int i = 0; i < 64 && !chip.input.empty(); ++i) {
        char text[32];
        size_t length = 0;
        isp.GetLine(text, sizeof text, length, 2);
        if (length >= sizeof text || text[length] != 0)
            std::abort();
        uint8_t at = isp.GetErrorIndex(length);
        if (at > length)
            std::abort();
        if (!NXPSerialClass::GetErrorText(text + at))
            std::abort();
        uint8_t decoded[64];
        NXPSerialClass::uudecode(decoded, sizeof decoded, text);
    }
    return 0;
}
