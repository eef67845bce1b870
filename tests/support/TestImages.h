// Byte images and BIRD set-ups shared by the end-to-end tests and the
// benchmarks: random images, images a chip would start, firmware encoded
// for one chip as recovery files are, the image a module holds once its
// serial number is patched in, and the recovery loader the update server
// keeps for the placeholder serial number. Plain functions, any thread.
#ifndef TESTS_SUPPORT_TESTIMAGES_H
#define TESTS_SUPPORT_TESTIMAGES_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "store/BirdWriter.h"

class UpdateServerHarness;

namespace testimages {

typedef BirdWriter::Bytes Bytes;

// n bytes from a seeded generator: the same seed gives the same bytes.
Bytes RandomBytes(size_t n, unsigned seed);
std::string AsString(const Bytes& bytes);

// Sets the eighth vector so that the first eight words (little-endian) sum
// to 0, as an LPC's boot ROM wants of an image it starts. image holds 32 bytes at least.
void MakeBootable(Bytes& image);

// Recovery firmware as the server keeps it: each byte mixed with the chip's
// identity (big-endian words) and the byte before it.
Bytes EncodeForChip(const Bytes& plain, const uint32_t uid[4]);

// image as a module holds it after an update: its serial number
// (little-endian) at serialOffset and as eight hex digits in a USB string
// descriptor (UTF-16LE) at descriptorOffset.
std::string SerialPatched(Bytes image, uint32_t serial, uint32_t serialOffset, uint32_t descriptorOffset);

// The i.MX recovery loader: a table and the code, with the jump to the code.
const uint32_t LOADER_TABLE_ADDRESS = 0x20000000;
const uint32_t LOADER_CODE_ADDRESS = 0x20002000;
// Has server offer it as the latest and only build (9001, "0.9.0") of the
// placeholder serial number.
void ServeRecoveryLoader(UpdateServerHarness& server, const Bytes& table, const Bytes& code);

} // namespace testimages

#endif
