// Base64 of the standard alphabet (A-Z a-z 0-9 + /, "=" padding, no line
// breaks). Pure functions; safe from any thread.
#ifndef UPDATER_SERVER_BASE64_H
#define UPDATER_SERVER_BASE64_H

#include <cstddef>

// Encodes count bytes. Returns a NUL-terminated text that the caller frees
// with free(), its length (without the NUL) in *outLength; null when memory
// runs out or the length would not fit.
char* base64_encode(const unsigned char* bytes, size_t count, size_t* outLength);

// Decodes length characters. Returns the bytes followed by one NUL, freed by
// the caller with free(), their number (without the NUL) in *outLength. Null
// when the length is not a multiple of 4, when a character is outside the
// alphabet, when "=" stands anywhere but in the padding at the end, or when
// memory runs out. An empty text gives an empty (non-null) result.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);

#endif
