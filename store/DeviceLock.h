// One process at a time per device: an advisory lock (flock) on the device's
// folder in the store. The kernel drops the lock when its descriptor closes,
// so a run that is killed never leaves the device locked. A lock object is
// used from one thread; two objects on one folder exclude each other even
// inside one process.
#ifndef UPDATER_STORE_DEVICELOCK_H
#define UPDATER_STORE_DEVICELOCK_H

#include <string>

#include "link/aError.h"

class DeviceLock {
public:
    DeviceLock() = default;
    ~DeviceLock();
    DeviceLock(DeviceLock&& other) noexcept;
    DeviceLock& operator=(DeviceLock&& other) noexcept;
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Takes the lock on folder without waiting.
    //   aErrNone      held until Release() or destruction
    //   aErrBusy      another run holds it
    //   aErrNotFound  the folder cannot be opened
    //   aErrIO        the lock call failed otherwise
    aErr TryLock(const std::string& folder);
    void Release();
    bool Held() const { return fd >= 0; }

private:
    int fd = -1;
};

#endif
