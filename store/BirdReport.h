// A readable description of a loaded BIRD file: header, block table and the
// fields of the serial-offsets, info and entry-address blocks.
#ifndef UPDATER_STORE_BIRDREPORT_H
#define UPDATER_STORE_BIRDREPORT_H

#include <string>

#include "store/BirdFile.h"

// One line per fact, each ending in "\n".
std::string BirdReport(const BirdFile& bird);

// Name of a block type ("loader", "firmware", ..., "unknown").
const char* BirdReport_TypeName(uint8_t type);

#endif
