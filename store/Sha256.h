// SHA-256 digests of firmware files, for the device history: 64 lower-case
// hexadecimal digits. Any thread may call these.
#ifndef UPDATER_STORE_SHA256_H
#define UPDATER_STORE_SHA256_H

#include <cstddef>
#include <string>

// The digest of size bytes; empty only when the library fails.
std::string Sha256_Hex(const void* data, size_t size);

// The digest of a regular file's contents; empty when it can't be read.
std::string Sha256_File(const std::string& path);

#endif
