// The local store: one folder per device, named by its serial number as
// eight upper-case hex digits, holding the BIRD files downloaded for it and
// its ".settings" file. UpdaterStore owns the storage directory and finds or
// creates device folders; UpdaterStoreItem is one entry with its settings.
// Used by one thread at a time. Diagnostics go to the debug log.
#ifndef UPDATER_STORE_UPDATERSTORE_H
#define UPDATER_STORE_UPDATERSTORE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/aError.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

class UpdaterStoreItem {
public:
    // An empty item.
    UpdaterStoreItem();
    // The entry base/name; loads base/name/.settings, creating it when missing
    // (for a plain file that fails and is only logged).
    UpdaterStoreItem(const std::string& base, const std::string& name, store_item_t kind);

    // True when both basePath and name are set.
    bool IsValid() const;
    // basePath/name: the folder of a device item, the file of a file item.
    std::string Path() const;

    // True when some entry of the item's folder has fileName in its path.
    bool FileExists(const std::string& fileName) const;
    // Replaces basePath/name/fileName with count bytes, in one step: a failed
    // write leaves any old file as it was.
    //   aErrNone      written
    //   aErrNotFound  null bytes, or the file cannot be created
    //   aErrIO        writing or replacing failed
    aErr WriteFile(const std::string& fileName, const uint8_t* bytes, size_t count) const;
    // Loads basePath/name/fileName. Throws std::runtime_error with
    // "Invalid bird <path>" when it is not a BIRD file, and "Failed to load
    // bird data" when it does not load.
    BirdFile ReadBirdFile(const std::string& fileName) const;

    std::string basePath;
    std::string name;
    store_item_t kind;
    KeyValueStore settings;
};

class UpdaterStore {
public:
    // Ensures the storage directory (mode 0755). Throws std::runtime_error
    // with "UpdaterStore: Could not create directory <path> error <code>"
    // or "UpdaterStore: <path> exists and is a file".
    explicit UpdaterStore(const std::string& path);

    const std::string& BasePath() const { return basePath; }

    // Ensures the device folder and returns its item with the settings
    // loaded (or created). Throws as the constructor does.
    UpdaterStoreItem AddDevice(uint32_t serialNumber);
    UpdaterStoreItem AddDevice(const std::string& name);

    // Ensures the folder that stands for a boot ROM's port while a recovery
    // or identification works through it ("USB", or a serial device path,
    // its links resolved, so that two names of one port are one folder);
    // the folder's lock is the port's. Hidden: never a device or a build.
    // Throws as the constructor does.
    std::string AddPort(const std::string& port);
    // The folder name of a port: its resolved path with every character
    // other than letters, digits, '_' and '-' written as %XX.
    static std::string PortFolderName(const std::string& port);

    // Finds the first entry of the storage directory whose path contains the
    // name ("%08X" of the serial number); fills item when it is not null.
    bool FindDevice(uint32_t serialNumber, UpdaterStoreItem* item) const;
    bool FindDevice(const std::string& name, UpdaterStoreItem* item) const;

    // Appends an item for every entry of the device's folder whose name does
    // not begin with "." and is no leftover; nothing when the device is
    // unknown. Always true.
    bool FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) const;

    // "%08X" of the serial number.
    static std::string FolderName(uint32_t serialNumber);

    // True for the temporary file of a replacement that never finished
    // ("1234.bird.tmp.Ab3xYz"): not a build, never listed.
    static bool IsLeftover(const std::string& name);
    // Removes such leftovers from a device's folder; the caller holds the
    // device's lock, so no replacement is under way. Returns how many went.
    static unsigned RemoveLeftovers(const std::string& folder);

private:
    std::string basePath;
};

#endif
