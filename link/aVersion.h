// Packed firmware version words, the library's own version and features, and
// the display names of module models. Stateless apart from the cached
// version string, which is formatted on first use.
//
// A packed word has two layouts. Legacy (versions below 2.15): major in bits
// 28-31, minor in bits 24-27, patch in bits 0-23. Current (2.15 and later):
// 0x2F in the top byte, then 8-bit major, minor and patch.
#ifndef CORVESTEL_LINK_AVERSION_H
#define CORVESTEL_LINK_AVERSION_H

#include <cstddef>
#include <cstdint>

#include "link/aError.h"

CORVESTEL_API_BEGIN

// Packs a version into one word, in the layout its value calls for.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
// True when the word uses the legacy layout (reads as a version below 2.15).
bool aVersion_IsLegacyFormat(uint32_t version);
uint32_t aVersion_ParseMajor(uint32_t version);
uint32_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch" into buffer (at most size bytes, always
// terminated when size > 0); returns what snprintf returns.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);
// True when version A is at least version B, comparing major, then minor,
// then patch, each as an 8-bit unsigned value.
bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA, uint8_t majorB,
                               uint8_t minorB, uint8_t patchB);

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
// The library version as text ("2.11.3"); a static string.
const char* aVersion_GetString(void);
// True when the library's version is at least the given one.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when name is exactly the name of a library feature.
bool aVersion_HasFeature(const char* name);
// A new heap string listing every feature as "NAME - description"; null when
// memory runs out. Free it with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);
// Frees the list and nulls the caller's pointer.
//   aErrNone   freed
//   aErrParam  list or *list is null
aErr aVersion_DestroyFeatureList(char** list);

// Display name of a module model number; "Unknown" for numbers without one.
// The string is static.
const char* aDefs_GetModelName(uint32_t model);

CORVESTEL_API_END

#endif
