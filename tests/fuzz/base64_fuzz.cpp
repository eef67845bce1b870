// Base64 fed arbitrary bytes: decoding never reads or writes out of bounds,
// and whatever is encoded decodes back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "server/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    size_t decodedLength = 0;
    unsigned char* decoded = base64_decode(text, size, &decodedLength);
    if (decoded) {
        if (size % 4 != 0 || decodedLength > size / 4 * 3 || decoded[decodedLength] != 0)
            std::abort();
        std::free(decoded);
    }

    size_t encodedLength = 0;
    char* encoded = base64_encode(data, size, &encodedLength);
    if (!encoded)
        std::abort();
    if (encodedLength != (size + 2) / 3 * 4 || std::strlen(encoded) != encodedLength)
        std::abort();
    size_t backLength = 0;
    unsigned char* back = base64_decode(encoded, encodedLength, &backLength);
    if (!back || backLength != size || (size && std::memcmp(back, data, size) != 0))
        std::abort();
    std::free(back);
    std::free(encoded);
    return 0;
}
