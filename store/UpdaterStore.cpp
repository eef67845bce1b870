#include "store/UpdaterStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Log.h"
#include "store/AtomicFile.h"
#include "store/aDirectory.h"

namespace {

const uint16_t STORE_MODE = 0755;
// Where the lock folders of boot ROM ports live.
const char* const PORTS_FOLDER = ".ports";

// A folder of the store that another user may change is refused: he could
// plant a link there that redirects what this run writes. The superuser's
// runs are no exception.
void _check_trusted(const std::string& path, const struct stat& st)
{
    if (st.st_uid != ::geteuid()) {
        throw StoreRefused("The store folder " + path + " belongs to another user (uid " +
                           std::to_string(unsigned(st.st_uid)) +
                           "); give a store of your own with -i DIR, or make it yours with chown");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
        throw StoreRefused("The store folder " + path +
                           " can be written by other users; remove their right with chmod go-w " + path);
    }
}

[[noreturn]] void _refuse_link(const std::string& path)
{
    throw StoreRefused("The store entry " + path + " is a symbolic link; the store follows no links: remove it");
}

// Ensures a folder of the store. The storage directory itself may be a link
// the user made (follow is true); a folder inside it may not.
void _ensure_directory(const std::string& path, bool follow = false)
{
    struct stat st;
    const int found = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (found != 0) {
        aErr err = aDirectory_Ensure(path.c_str(), STORE_MODE);
        if (err != aErrNone) {
            throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                     std::to_string(static_cast<unsigned>(err)));
        }
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            _refuse_link(path);
        _check_trusted(path, st);
        return;
    }
    if (S_ISLNK(st.st_mode))
        _refuse_link(path);
    if (!S_ISDIR(st.st_mode))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    _check_trusted(path, st);
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
}

// Refuses a device folder that holds a symbolic link: its BIRD files, its
// settings and the temporary files of a replacement are all plain entries.
void _check_entries(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR)
            _refuse_link(folder);
        return;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::string link;
    while (struct dirent* entry = ::readdir(dir)) {
        struct stat st;
        if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            link = BuildPath(folder.c_str(), entry->d_name, static_cast<const char*>(nullptr));
            break;
        }
    }
    ::closedir(dir);
    if (!link.empty())
        _refuse_link(link);
}

std::string _settings_path(const std::string& base, const std::string& name)
{
    return BuildPath(base.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, static_cast<const char*>(nullptr));
}

std::string _entry_name(const std::string& path)
{
    size_t sep = path.rfind(aDIR_PATH_SEP);
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

struct FindItemRef {
    bool found = false;
    std::string text;
    UpdaterStoreItem* item = nullptr;
};

bool _find_item(const aDirectoryListData* data, void* ref)
{
    FindItemRef* f = static_cast<FindItemRef*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path,
             data->isDirectory ? 1 : 0, static_cast<int>(data->size), f->text.c_str());
    // Only an entry of exactly that name matches: neither a storage
    // directory whose path holds the text nor a decoy named around it.
    std::string path = data->path;
    if (_entry_name(path) != f->text)
        return true;
    f->found = true;
    if (f->item) {
        size_t sep = path.rfind(aDIR_PATH_SEP);
        std::string base = sep == std::string::npos ? std::string() : path.substr(0, sep);
        *f->item = UpdaterStoreItem(base, _entry_name(path), data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

struct FindItemsRef {
    std::string folder;
    std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* data, void* ref)
{
    FindItemsRef* f = static_cast<FindItemsRef*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path, data->isDirectory ? 1 : 0,
             static_cast<int>(data->size));
    std::string name = _entry_name(data->path);
    if (!name.empty() && name[0] != '.' && !UpdaterStore::IsLeftover(name))
        f->items->emplace_back(f->folder, name, data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& name_, store_item_t kind_)
    : basePath(base), name(name_), kind(kind_), settings(_settings_path(base, name_).c_str())
{
}

bool UpdaterStoreItem::IsValid() const
{
    return !basePath.empty() && !name.empty();
}

std::string UpdaterStoreItem::Path() const
{
    return BuildPath(basePath.c_str(), name.c_str(), static_cast<const char*>(nullptr));
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const
{
    FindItemRef ref;
    ref.text = fileName;
    aDirectory_List(Path().c_str(), _find_item, &ref);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", ref.found ? "Found" : "Not Found",
             fileName.c_str());
    return ref.found;
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* bytes, size_t count) const
{
    if (!bytes)
        return aErrNotFound;
    const std::string path = BuildPath(Path().c_str(), fileName.c_str(), static_cast<const char*>(nullptr));
    // The folder is opened from the storage directory without following a
    // link in its place, and the file written inside what was opened.
    aErr err = aErrNotFound;
    const int base = ::open(basePath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int folder = base < 0 ? -1 : ::openat(base, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder >= 0) {
        err = AtomicFile_WriteAt(folder, fileName, bytes, count);
        ::close(folder);
    } else if (base >= 0) {
        struct stat st;
        if (::fstatat(base, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            err = aErrPermission;
    }
    if (base >= 0)
        ::close(base);
    Log::log(DEBUG_Updater, "UpdaterStore: wrote %zu bytes to [%s] ==> %d\n", count, path.c_str(),
             static_cast<int>(err));
    return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const
{
    std::string path = BuildPath(Path().c_str(), fileName.c_str(), static_cast<const char*>(nullptr));
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        _refuse_link(path);
    if (!BirdFile::VerifyFile(path))
        throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

UpdaterStore::UpdaterStore(const std::string& path) : basePath(path)
{
    _ensure_directory(basePath, true);
}

std::string UpdaterStore::FolderName(uint32_t serialNumber)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

std::string UpdaterStore::DigestKey(const std::string& fileName)
{
    return "SHA256_" + fileName;
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serialNumber)
{
    return AddDevice(FolderName(serialNumber));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name)
{
    const std::string folder = BuildPath(basePath.c_str(), name.c_str(), static_cast<const char*>(nullptr));
    _ensure_directory(folder);
    _check_entries(folder);
    return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

std::string UpdaterStore::PortFolderName(const std::string& port)
{
    std::string resolved = port;
    // "USB" names the transport, not a file that may lie in the working folder.
    if (port != "USB") {
        if (char* real = ::realpath(port.c_str(), nullptr)) {
            resolved = real;
            std::free(real);
        }
    }
    std::string name;
    for (unsigned char c : resolved) {
        if (std::isalnum(c) || c == '_' || c == '-') {
            name += char(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", unsigned(c));
            name += escaped;
        }
    }
    return name;
}

std::string UpdaterStore::AddPort(const std::string& port)
{
    const std::string ports = BuildPath(basePath.c_str(), PORTS_FOLDER, static_cast<const char*>(nullptr));
    _ensure_directory(ports);
    const std::string folder = BuildPath(ports.c_str(), PortFolderName(port).c_str(), static_cast<const char*>(nullptr));
    _ensure_directory(folder);
    return folder;
}

bool UpdaterStore::FindDevice(uint32_t serialNumber, UpdaterStoreItem* item) const
{
    return FindDevice(FolderName(serialNumber), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const
{
    bool found = false;
    try {
        found = CheckDevice(name);
    } catch (const StoreRefused& e) {
        Log::log(DEBUG_Updater, "UpdaterStore: %s\n", e.what());
    }
    if (found && item)
        *item = UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", name.c_str());
    return found;
}

bool UpdaterStore::CheckDevice(const std::string& name) const
{
    // Only the entry of exactly that name is the device's folder: a folder
    // whose name merely contains it belongs to something else.
    const std::string folder = BuildPath(basePath.c_str(), name.c_str(), static_cast<const char*>(nullptr));
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
        _refuse_link(folder);
    if (!S_ISDIR(st.st_mode))
        return false;
    _check_trusted(folder, st);
    _check_entries(folder);
    return true;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) const
{
    const std::string name = FolderName(serialNumber);
    if (!CheckDevice(name))
        return true;
    FindItemsRef ref;
    ref.folder = BuildPath(basePath.c_str(), name.c_str(), static_cast<const char*>(nullptr));
    ref.items = &items;
    aDirectory_List(ref.folder.c_str(), _find_items, &ref);
    return true;
}

bool UpdaterStore::IsLeftover(const std::string& name)
{
    // The atomic writer's temporary name: the file's name, ".tmp." and the
    // six characters mkstemp chose.
    static const std::string MARK = ".tmp.";
    const size_t TAIL = 6;
    if (name.size() <= MARK.size() + TAIL)
        return false;
    const size_t at = name.size() - TAIL - MARK.size();
    if (name.compare(at, MARK.size(), MARK) != 0)
        return false;
    for (size_t k = name.size() - TAIL; k < name.size(); ++k) {
        if (!std::isalnum(static_cast<unsigned char>(name[k])))
            return false;
    }
    return true;
}

namespace {

struct LeftoversRef {
    std::vector<std::string> paths;
};

bool _find_leftovers(const aDirectoryListData* data, void* ref)
{
    if (!data->isDirectory && UpdaterStore::IsLeftover(_entry_name(data->path)))
        static_cast<LeftoversRef*>(ref)->paths.push_back(data->path);
    return true;
}

} // namespace

unsigned UpdaterStore::RemoveLeftovers(const std::string& folder)
{
    LeftoversRef ref;
    aDirectory_List(folder.c_str(), _find_leftovers, &ref);
    unsigned removed = 0;
    for (const std::string& path : ref.paths) {
        if (::unlink(path.c_str()) == 0) {
            Log::log(DEBUG_Updater, "UpdaterStore: removed the leftover [%s].\n", path.c_str());
            ++removed;
        }
    }
    return removed;
}
