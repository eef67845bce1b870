#include "link/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>


namespace {

const uint8_t LIB_MAJOR = 2;
const uint8_t LIB_MINOR = 11;
const uint8_t LIB_PATCH = 3;
const char* const PATCH_SEPARATOR = ".";

// Every word of the current layout starts with this byte, which reads as
// 2.15 in the legacy layout: the first version that needed the new one.
const uint32_t CURRENT_MARKER = 0x2F000000;

struct Feature {
    const char* name;
    const char* description;
};

const Feature FEATURES[] = {
    {"VERSION", "Version Query API"},
};

struct ModelName {
    uint32_t model;
    const char* name;
};

const ModelName MODEL_NAMES[] = {
    {4, "Halcyon"},     {5, "Meridian"}, {13, "Pilgrim"}, {14, "Tarragon"}, {15, "Lanyard"},
    {16, "Portolan"},   {17, "Bellwether"}, {18, "Quillon"}, {19, "Saltire"}, {20, "Wickham"},
    {21, "Foxglove"},   {22, "Dunmore"}, {23, "Ravelin"}, {24, "Gannet"}, {25, "Marlowe"},
    {26, "Oriel"},      {27, "Tamsin"},
};

bool sNeedsCurrentLayout(uint32_t major, uint32_t minor)
{
    return major > 2 || (major == 2 && minor > 14);
}

} // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (sNeedsCurrentLayout(major, minor))
        return CURRENT_MARKER | uint32_t(major) << 16 | uint32_t(minor) << 8 | patch;
    return uint32_t(major) << 28 | uint32_t(minor & 0x0F) << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t version)
{
    // Read with the legacy layout, a version below 2.15 is legacy.
    return aVersion_IsAtLeastCompare(2, 15, 0, uint8_t(version >> 28), uint8_t((version >> 24) & 0x0F),
                                     255);
}

uint32_t aVersion_ParseMajor(uint32_t version)
{
    return aVersion_IsLegacyFormat(version) ? version >> 28 : (version >> 16) & 0xFF;
}

uint32_t aVersion_ParseMinor(uint32_t version)
{
    return aVersion_IsLegacyFormat(version) ? (version >> 24) & 0x0F : (version >> 8) & 0xFF;
}

uint32_t aVersion_ParsePatch(uint32_t version)
{
    return aVersion_IsLegacyFormat(version) ? version & 0x00FFFFFF : version & 0xFF;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size)
{
    if (!buffer)
        size = 0;
    return snprintf(buffer, size, "%u.%u.%u", aVersion_ParseMajor(version), aVersion_ParseMinor(version),
                    aVersion_ParsePatch(version));
}

bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA, uint8_t majorB,
                               uint8_t minorB, uint8_t patchB)
{
    if (majorA != majorB)
        return majorA > majorB;
    if (minorA != minorB)
        return minorA > minorB;
    return patchA >= patchB;
}

uint8_t aVersion_GetMajor(void)
{
    return LIB_MAJOR;
}

uint8_t aVersion_GetMinor(void)
{
    return LIB_MINOR;
}

uint8_t aVersion_GetPatch(void)
{
    return LIB_PATCH;
}

const char* aVersion_GetString(void)
{
    static char text[15];
    static std::once_flag formatted;
    std::call_once(formatted, [] {
        snprintf(text, sizeof text, "%d.%d%s%d", LIB_MAJOR, LIB_MINOR, PATCH_SEPARATOR, LIB_PATCH);
    });
    return text;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(LIB_MAJOR, LIB_MINOR, LIB_PATCH, major, minor, patch);
}

bool aVersion_HasFeature(const char* name)
{
    if (!name)
        return false;
    for (const Feature& f : FEATURES)
        if (std::strcmp(f.name, name) == 0)
            return true;
    return false;
}

char* aVersion_GetFeatureList(void)
{
    static const char SEPARATOR[] = " - ";
    size_t length = 1;
    for (const Feature& f : FEATURES)
        length += std::strlen(f.name) + std::strlen(SEPARATOR) + std::strlen(f.description);
    char* list = static_cast<char*>(std::malloc(length));
    if (!list)
        return nullptr;
    list[0] = '\0';
    for (const Feature& f : FEATURES) {
        std::strcat(list, f.name);
        std::strcat(list, SEPARATOR);
        std::strcat(list, f.description);
    }
    return list;
}

aErr aVersion_DestroyFeatureList(char** list)
{
    if (!list || !*list)
        return aErrParam;
    std::free(*list);
    *list = nullptr;
    return aErrNone;
}

const char* aDefs_GetModelName(uint32_t model)
{
    for (const ModelName& m : MODEL_NAMES)
        if (m.model == model)
            return m.name;
    return "Unknown";
}
