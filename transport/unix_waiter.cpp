#include "transport/unix_waiter.h"

#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

aErr aWaiter_Open(aWaiter* waiter)
{
    if (!waiter)
        return aErrParam;
    waiter->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return waiter->fd >= 0 ? aErrNone : aErrResource;
}

void aWaiter_Close(aWaiter* waiter)
{
    if (waiter && waiter->fd >= 0) {
        close(waiter->fd);
        waiter->fd = -1;
    }
}

aErr aWaiter_Wake(aWaiter* waiter)
{
    if (!waiter || waiter->fd < 0)
        return aErrParam;
    const uint64_t one = 1;
    // A full counter (EAGAIN) is still a pending wake-up.
    ssize_t n = write(waiter->fd, &one, sizeof one);
    return n == sizeof one || errno == EAGAIN ? aErrNone : aErrIO;
}

void aWaiter_Drain(aWaiter* waiter)
{
    uint64_t count = 0;
    if (waiter && waiter->fd >= 0) {
        ssize_t n = read(waiter->fd, &count, sizeof count);
        (void)n;
    }
}

aErr aWaiter_Poll(aWaiter* waiter, int fd, uint32_t timeoutMs)
{
    if (!waiter || waiter->fd < 0)
        return aErrParam;
    struct pollfd items[2] = {{waiter->fd, POLLIN, 0}, {fd, POLLIN, 0}};
    int timeout = timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
    int n = poll(items, fd >= 0 ? 2 : 1, timeout);
    if (n < 0)
        return errno == EINTR ? aErrNone : aErrIO;
    if (n == 0)
        return aErrNotReady;
    if (items[0].revents)
        aWaiter_Drain(waiter);
    return aErrNone;
}
