#include "updater/StoreAccess.h"

#include <stdexcept>

#include "base/Log.h"
#include "link/aError.h"
#include "store/DeviceLock.h"
#include "store/UpdaterStore.h"

namespace {

const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

} // namespace

std::unique_ptr<UpdaterStore> create_store(UpdaterDisplayInterface& display, const std::string& path,
                                           const char* operation)
{
    try {
        return std::unique_ptr<UpdaterStore>(new UpdaterStore(path));
    } catch (const StoreRefused& e) {
        display.message(ERROR, "%s", e.what());
        return nullptr;
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s", operation ? operation : "",
                        e.what());
        return nullptr;
    }
}

bool lock_device(UpdaterDisplayInterface& display, UpdaterStore& store, uint32_t serialNumber, DeviceLock& lock)
{
    std::string folder;
    try {
        folder = store.AddDevice(serialNumber).Path();
    } catch (const StoreRefused& e) {
        display.message(ERROR, "%s", e.what());
        return false;
    } catch (const std::runtime_error&) {
        display.message(ERROR, "Could not create directory for storing BIRD file");
        return false;
    }
    const aErr err = lock.TryLock(folder);
    if (err == aErrBusy) {
        display.message(ERROR, "Device %08X is busy: another Updater is working with it; try again when it is done",
                        serialNumber);
        return false;
    }
    if (err != aErrNone) {
        display.message(ERROR, "Could not lock the store folder %s [%d, %s]", folder.c_str(), int(err),
                        aError_GetErrorText(err));
        return false;
    }
    const unsigned removed = UpdaterStore::RemoveLeftovers(folder);
    if (removed)
        Log::log(DEBUG_Updater, "Removed %u unfinished temporary files from %s\n", removed, folder.c_str());
    return true;
}
