#include "base/SafeText.h"

namespace {

bool sControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

} // namespace

void SafeText_Replace(char* text, size_t length)
{
    for (size_t i = 0; text && i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (sControl(c) && c != '\n' && c != '\t')
            text[i] = '?';
    }
}

std::string SafeText_Field(const std::string& text)
{
    std::string out(text);
    for (char& c : out) {
        if (sControl(static_cast<unsigned char>(c)))
            c = '?';
    }
    return out;
}
