#include "store/DeviceLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

DeviceLock::~DeviceLock()
{
    Release();
}

DeviceLock::DeviceLock(DeviceLock&& other) noexcept : fd(other.fd)
{
    other.fd = -1;
}

DeviceLock& DeviceLock::operator=(DeviceLock&& other) noexcept
{
    if (this != &other) {
        Release();
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

aErr DeviceLock::TryLock(const std::string& folder)
{
    Release();
    // Close-on-exec: a child started during an update must not keep the
    // device locked after this process is gone.
    int d = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0)
        return aErrNotFound;
    int rc;
    do {
        rc = ::flock(d, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const aErr err = errno == EWOULDBLOCK ? aErrBusy : aErrIO;
        ::close(d);
        return err;
    }
    fd = d;
    return aErrNone;
}

void DeviceLock::Release()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}
