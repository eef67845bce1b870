// The local store: one folder per device, named by its serial number as
// eight upper-case hex digits, holding the BIRD files downloaded for it and
// its ".settings" file. UpdaterStore owns the storage directory and finds or
// creates device folders; UpdaterStoreItem is one entry with its settings.
// Used by one thread at a time. Diagnostics go to the debug log.
#ifndef UPDATER_STORE_UPDATERSTORE_H
#define UPDATER_STORE_UPDATERSTORE_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "link/aError.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

// A folder or entry of the store that this run will not use: its text is the
// line for the user, naming it and the fix.
class StoreRefused : public std::runtime_error {
public:
    explicit StoreRefused(const std::string& text) : std::runtime_error(text) {}
};

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

    // True when the item's folder has an entry named exactly fileName.
    bool FileExists(const std::string& fileName) const;
    // Replaces basePath/name/fileName with count bytes, in one step: a failed
    // write leaves any old file as it was.
    //   aErrNone       written
    //   aErrNotFound   null bytes, or the file cannot be created
    //   aErrPermission the folder or the file is a symbolic link (left alone)
    //   aErrIO         writing or replacing failed
    aErr WriteFile(const std::string& fileName, const uint8_t* bytes, size_t count) const;
    // Loads basePath/name/fileName. Throws std::runtime_error with
    // "Invalid bird <path>" when it is not a BIRD file, "Failed to load
    // bird data" when it does not load, and a line naming it when it is a
    // symbolic link.
    BirdFile ReadBirdFile(const std::string& fileName) const;

    std::string basePath;
    std::string name;
    store_item_t kind;
    KeyValueStore settings;
};

class UpdaterStore {
public:
    // Ensures the storage directory (mode 0755); it may be a link the user
    // made. Throws std::runtime_error with "UpdaterStore: Could not create
    // directory <path> error <code>", "UpdaterStore: <path> exists and is a
    // file", or StoreRefused with one line naming the folder and the fix when it belongs to
    // another user than the one running (the superuser included) or other
    // users may write into it (no sticky bit).
    //
    // Inside it nothing is followed: a device folder, or an entry of one,
    // that is a symbolic link is refused with a line naming it, and so is a
    // device folder that fails the owner test above.
    explicit UpdaterStore(const std::string& path);

    const std::string& BasePath() const { return basePath; }

    // Ensures the device folder and returns its item with the settings
    // loaded (or created). Throws as the constructor does, also for a
    // refused folder or entry.
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

    // Finds the device's folder: the entry named exactly name ("%08X" of
    // the serial number); fills item when it is not null. A refused folder
    // (see the constructor) is not found; AddDevice names the reason.
    bool FindDevice(uint32_t serialNumber, UpdaterStoreItem* item) const;
    bool FindDevice(const std::string& name, UpdaterStoreItem* item) const;
    // Whether the device folder name exists; throws StoreRefused when it is
    // refused.
    bool CheckDevice(const std::string& name) const;

    // Appends an item for every entry of the device's folder whose name does
    // not begin with "." and is no leftover; nothing when the device is
    // unknown. True; throws as CheckDevice for a refused folder.
    bool FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) const;

    // "%08X" of the serial number.
    static std::string FolderName(uint32_t serialNumber);
    // The settings key under which a device's folder records the SHA-256
    // of a file it received from the update server ("SHA256_1240.bird").
    static std::string DigestKey(const std::string& fileName);

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
