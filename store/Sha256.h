// SHA-256 digests of what the store keeps, as 64 lower-case hexadecimal
// digits. The store records the digest of every file it receives from the
// update server, so a file changed afterwards is noticed before it is sent
// to a module. Pure functions, safe on any thread.
#ifndef UPDATER_STORE_SHA256_H
#define UPDATER_STORE_SHA256_H

#include <cstddef>
#include <string>

#include "link/aError.h"

// The digest of size bytes at data.
std::string Sha256_Hex(const void* data, size_t size);

// The digest of the file at path, read in pieces; a link is not followed.
//   aErrNone      hex holds the digest
//   aErrNotFound  the file cannot be opened (missing, or a link)
//   aErrIO        reading failed
aErr Sha256_FileHex(const std::string& path, std::string& hex);

// The digest of a regular file the user named (a link is followed); empty
// when it can't be read or is no regular file.
std::string Sha256_File(const std::string& path);

#endif
