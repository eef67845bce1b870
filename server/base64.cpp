#include "server/base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0-63 for the alphabet, 64 for "=", 255 for everything else.
struct DecodeTable {
    uint8_t value[256];
    DecodeTable()
    {
        for (int i = 0; i < 256; ++i)
            value[i] = 255;
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(ALPHABET[i])] = static_cast<uint8_t>(i);
        value[static_cast<unsigned char>('=')] = 64;
    }
};

const DecodeTable TABLE;

} // namespace

char* base64_encode(const unsigned char* bytes, size_t count, size_t* outLength)
{
    if (count && !bytes)
        return nullptr;
    size_t groups = count / 3 + (count % 3 ? 1 : 0);
    if (groups > (SIZE_MAX - 1) / 4)
        return nullptr;
    size_t length = groups * 4;
    char* out = static_cast<char*>(std::malloc(length + 1));
    if (!out)
        return nullptr;
    size_t o = 0;
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        uint32_t v = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
        out[o++] = ALPHABET[(v >> 18) & 0x3F];
        out[o++] = ALPHABET[(v >> 12) & 0x3F];
        out[o++] = ALPHABET[(v >> 6) & 0x3F];
        out[o++] = ALPHABET[v & 0x3F];
    }
    size_t rest = count - i;
    if (rest) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        if (rest == 2)
            v |= uint32_t(bytes[i + 1]) << 8;
        out[o++] = ALPHABET[(v >> 18) & 0x3F];
        out[o++] = ALPHABET[(v >> 12) & 0x3F];
        out[o++] = rest == 2 ? ALPHABET[(v >> 6) & 0x3F] : '=';
        out[o++] = '=';
    }
    out[o] = '\0';
    if (outLength)
        *outLength = o;
    return out;
}

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength)
{
    if (length % 4 != 0 || (length && !text))
        return nullptr;
    size_t padding = 0;
    if (length >= 4) {
        if (text[length - 1] == '=')
            ++padding;
        if (text[length - 2] == '=')
            ++padding;
    }
    size_t size = length / 4 * 3 - padding;
    unsigned char* out = static_cast<unsigned char*>(std::malloc(size + 1));
    if (!out)
        return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) {
            uint8_t d = TABLE.value[static_cast<unsigned char>(text[i + k])];
            bool inPadding = i + k >= length - padding;
            if (d == 255 || (d == 64) != inPadding) {
                std::free(out);
                return nullptr;
            }
            v = (v << 6) | (d == 64 ? 0 : d);
        }
        unsigned char group[3] = {static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                                  static_cast<unsigned char>(v)};
        for (size_t k = 0; k < 3 && o < size; ++k)
            out[o++] = group[k];
    }
    out[size] = '\0';
    if (outLength)
        *outLength = size;
    return out;
}
