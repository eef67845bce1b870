#include "transport/unix_time.h"

#include <cerrno>
#include <ctime>

// The tick comes from the monotonic clock: time-outs are measured with it, and
// a wall clock set back or forward would end them early or stretch them.
aMSTicks aTime_GetMSTicks()
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_nsec / 1000000);
}

static void sSleepMicroseconds(uint32_t us)
{
    struct timespec want = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    struct timespec left;
    // A signal must not cut the sleep short.
    while (nanosleep(&want, &left) != 0 && errno == EINTR)
        want = left;
}

aErr aTime_MSSleep(uint32_t ms)
{
    uint64_t remaining = static_cast<uint64_t>(ms) * 1000u;
    while (remaining > 0) {
        uint32_t slice = remaining > 999999u ? 999999u : static_cast<uint32_t>(remaining);
        sSleepMicroseconds(slice);
        remaining -= slice;
    }
    return aErrNone;
}
