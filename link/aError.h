// Library-wide error codes. The numbering is also the wire encoding of a
// module's error reply, so it never changes.
#ifndef CORVESTEL_LINK_AERROR_H
#define CORVESTEL_LINK_AERROR_H

#include <cstdint>

#include "link/aExport.h"

CORVESTEL_API_BEGIN

typedef enum : uint32_t {
    aErrNone = 0,
    aErrMemory = 1,
    aErrParam = 2,
    aErrNotFound = 3,
    aErrFileNameLength = 4,
    aErrBusy = 5,
    aErrIO = 6,
    aErrMode = 7,
    aErrWrite = 8,
    aErrRead = 9,
    aErrEOF = 10,
    aErrNotReady = 11,
    aErrPermission = 12,
    aErrRange = 13,
    aErrSize = 14,
    aErrOverrun = 15,
    aErrParse = 16,
    aErrConfiguration = 17,
    aErrTimeout = 18,
    aErrInitialization = 19,
    aErrVersion = 20,
    aErrUnimplemented = 21,
    aErrDuplicate = 22,
    aErrCancel = 23,
    aErrPacket = 24,
    aErrConnection = 25,
    aErrIndexRange = 26,
    aErrShortCommand = 27,
    aErrInvalidEntity = 28,
    aErrInvalidOption = 29,
    aErrResource = 30,
    aErrMedia = 31,
    aErrAsyncReturn = 32,
    aErrStreamStale = 33,
    aErrUnknown = 34,
} aErr;

// Name of the code ("aErrTimeout"); codes above aErrUnknown give "aErrUnknown".
// The string is static.
const char* aError_GetErrorText(uint32_t code);

// One-line description of the code; codes above aErrUnknown give the
// description of aErrUnknown. The string is static.
const char* aError_GetErrorDescription(uint32_t code);

// True for the codes that come with a value: aErrNone, and aErrStreamStale,
// which a getter answers when it gives the last value a module streamed and
// no newer sample has come since the previous read. Test a getter's result
// with this, not for zero, once the program has enabled value streams.
inline bool aError_HasValue(aErr code)
{
    return code == aErrNone || code == aErrStreamStale;
}

CORVESTEL_API_END

#endif
