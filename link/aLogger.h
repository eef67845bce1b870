// Packet log ring: recent packets as records of one direction byte, one
// length byte and the bytes, oldest dropped first to make room. A ring has
// no lock; the link engine guards each ring with its packet log mutex.
#ifndef CORVESTEL_LINK_ALOGGER_H
#define CORVESTEL_LINK_ALOGGER_H

#include <cstdint>

#include "link/aError.h"

CORVESTEL_API_BEGIN

// Record directions.
enum : uint8_t {
    aLOG_SENT = 1,     // written to the device
    aLOG_RECEIVED = 2, // received from the device
    aLOG_TEXT = 3,     // a text marker
};

typedef struct aLogger aLogger;

// A new empty ring of capacity bytes (at least 3); null when capacity is too
// small or memory runs out.
aLogger* aLogger_Create(uint32_t capacity);

// Frees the ring and nulls *log. aErrParam: log or *log is null.
aErr aLogger_Destroy(aLogger** log);

// Adds a record, dropping the oldest records until it fits.
//   aErrParam    null log, null bytes with length > 0, or length above 255
//   aErrOverrun  the record (length + 2) is not smaller than the capacity
aErr aLogger_Put(aLogger* log, uint8_t direction, uint32_t length, const uint8_t* bytes);

// Takes the oldest record: its direction, and its length through *length,
// which on entry holds the capacity of buffer.
//   aErrParam     a null argument
//   aErrNotFound  the ring is empty
//   aErrOverrun   buffer too small; the record stays, *length tells its size
aErr aLogger_Get(aLogger* log, uint8_t* direction, uint32_t* length, uint8_t* buffer);

// Bytes held, records included (for tests and diagnostics).
uint32_t aLogger_Used(const aLogger* log);

CORVESTEL_API_END

#endif
