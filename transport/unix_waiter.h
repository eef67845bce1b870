// A wake-up for a thread that waits in poll: the stream that owns it polls
// its descriptor together with the waiter, and any thread may wake it (a
// stop, a resynchronisation, a reconnect on the writing side). One thread
// waits; any number may wake.
#ifndef CORVESTEL_TRANSPORT_UNIX_WAITER_H
#define CORVESTEL_TRANSPORT_UNIX_WAITER_H

#include <cstdint>

#include "link/aError.h"

CORVESTEL_INTERNAL_BEGIN

struct aWaiter {
    int fd = -1; // an eventfd, -1 when closed
};

// aErrResource: no eventfd could be made.
aErr aWaiter_Open(aWaiter* waiter);
void aWaiter_Close(aWaiter* waiter);

// Makes the wait in progress, or the next one, return at once.
// aErrParam: not open.
aErr aWaiter_Wake(aWaiter* waiter);

// Waits until fd has input (or hang-up, or an error), the waiter is woken, or
// timeoutMs passes; fd < 0 waits for the waiter alone. A wake-up is used up.
//   aErrNone      fd is ready, or woken: look again
//   aErrNotReady  the time passed
//   aErrIO        poll failed
aErr aWaiter_Poll(aWaiter* waiter, int fd, uint32_t timeoutMs);

// Uses up a wake-up after a wait of another kind (the ZeroMQ poller) saw it.
void aWaiter_Drain(aWaiter* waiter);

CORVESTEL_INTERNAL_END

#endif
