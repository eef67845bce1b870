// Millisecond ticks and sleeps. No shared state: any thread may call these.
#ifndef CORVESTEL_TRANSPORT_UNIX_TIME_H
#define CORVESTEL_TRANSPORT_UNIX_TIME_H

#include <cstdint>

#include "link/aError.h"

CORVESTEL_API_BEGIN

typedef uint32_t aMSTicks;

// A wrapping 32-bit millisecond count from a monotonic clock; measure elapsed
// time by unsigned subtraction of two ticks. 0 when the clock can't be read.
aMSTicks aTime_GetMSTicks();

// Sleeps ms milliseconds (0 returns at once), in slices below one second.
// Always aErrNone.
aErr aTime_MSSleep(uint32_t ms);

// Milliseconds from start to now, correct across the wrap of the tick.
inline uint32_t aTime_MSElapsed(aMSTicks start)
{
    return static_cast<uint32_t>(aTime_GetMSTicks() - start);
}

CORVESTEL_API_END

#endif
