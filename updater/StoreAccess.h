// The two first steps of every command that works with the local store:
// opening it, and for a command that changes a device or its folder, taking
// that device's lock. Failures are written through the display; nothing is
// thrown.
#ifndef UPDATER_UPDATER_STOREACCESS_H
#define UPDATER_UPDATER_STOREACCESS_H

#include <cstdint>
#include <memory>
#include <string>

#include "base/UpdaterDisplayInterface.h"

class DeviceLock;
class UpdaterStore;

// Opens the store at path; on failure writes the error through the display
// (naming the operation) and gives null.
std::unique_ptr<UpdaterStore> create_store(UpdaterDisplayInterface& display, const std::string& path,
                                           const char* operation);

// Takes the lock of a device's folder in the store (making the folder when
// it is new) and clears the folder of unfinished temporary files. False,
// with the reason written through the display, when the folder is refused
// or cannot be made, when another run holds the lock ("Device %08X is busy:
// ...") or when it cannot be taken.
bool lock_device(UpdaterDisplayInterface& display, UpdaterStore& store, uint32_t serialNumber, DeviceLock& lock);

#endif
