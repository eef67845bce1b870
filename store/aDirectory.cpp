#include "store/aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const size_t MAX_PARTS = 10;

// Last occurrence of needle inside hay[0..hayLen); the string itself for an
// empty needle, null when the needle is longer than the string.
const char* backwards_memcmp(const char* hay, size_t hayLen, const char* needle)
{
    size_t n = std::strlen(needle);
    if (n == 0)
        return hay;
    if (n > hayLen)
        return nullptr;
    for (size_t i = hayLen - n + 1; i-- > 0;) {
        if (std::memcmp(hay + i, needle, n) == 0)
            return hay + i;
    }
    return nullptr;
}

bool sMakeDir(const char* path, uint16_t mode)
{
    return mkdir(path, static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

aErr sBuildPath(char* dst, size_t size, const char* first, va_list args)
{
    if (!dst || size == 0)
        return aErrParam;
    dst[0] = '\0';
    if (!first)
        return aErrParam;
    std::vector<const char*> parts;
    parts.push_back(first);
    for (const char* p = va_arg(args, const char*); p; p = va_arg(args, const char*))
        parts.push_back(p);
    if (parts.size() > MAX_PARTS)
        return aErrParam;
    for (const char* p : parts) {
        if (p == dst)
            return aErrParam;
    }

    size_t len = std::strlen(first);
    if (len >= size - 1)
        return aErrOverrun;
    std::memcpy(dst, first, len + 1);

    const size_t sepLen = std::strlen(aDIR_PATH_SEP);
    for (size_t i = 1; i < parts.size(); ++i) {
        const char* part = parts[i];
        size_t room = size - len - 1;
        if (room > 1) {
            bool endsWithSep = len >= sepLen && std::memcmp(dst + len - sepLen, aDIR_PATH_SEP, sepLen) == 0;
            bool startsWithSep = std::strncmp(part, aDIR_PATH_SEP, sepLen) == 0;
            if (!endsWithSep && !startsWithSep) {
                std::memcpy(dst + len, aDIR_PATH_SEP, sepLen + 1);
                len += sepLen;
                room -= sepLen;
            }
        }
        size_t partLen = std::strlen(part);
        if (partLen >= room)
            return aErrOverrun;
        std::memcpy(dst + len, part, partLen + 1);
        len += partLen;
    }
    return aErrNone;
}

} // namespace

bool aDirectory_Exists(const char* path)
{
    if (!path)
        return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint16_t mode)
{
    if (!path || !*path)
        return aErrParam;
    if (aDirectory_Exists(path))
        return aErrNone;

    std::string copy(path);
    const size_t sepLen = std::strlen(aDIR_PATH_SEP);

    // Find the deepest prefix that already exists, so that only the missing
    // tail is created.
    size_t start = 0;
    size_t searchLen = copy.size();
    while (const char* sep = backwards_memcmp(copy.c_str(), searchLen, aDIR_PATH_SEP)) {
        size_t at = static_cast<size_t>(sep - copy.c_str());
        if (at > 0 && aDirectory_Exists(copy.substr(0, at).c_str())) {
            start = at + sepLen;
            break;
        }
        if (at == 0)
            break;
        searchLen = at;
    }

    aErr walk = aErrNone;
    size_t compStart = start;
    for (size_t pos = copy.find(aDIR_PATH_SEP, start); pos != std::string::npos;
         pos = copy.find(aDIR_PATH_SEP, pos + sepLen)) {
        if (pos > compStart) {
            std::string prefix = copy.substr(0, pos);
            if (!aDirectory_Exists(prefix.c_str()) && !sMakeDir(prefix.c_str(), mode)) {
                walk = aErrPermission;
                break;
            }
        }
        compStart = pos + sepLen;
    }

    if (!aDirectory_Exists(path)) {
        if (!sMakeDir(path, mode))
            return aErrPermission;
        return aErrNone;
    }
    return walk;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref)
{
    if (!path || !proc)
        return aErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    char full[aDIR_PATH_MAX];
    while (struct dirent* entry = readdir(dir)) {
        if (aDirectory_JoinPath(full, sizeof(full), path, entry->d_name) != aErrNone)
            continue;
        struct stat st;
        if (stat(full, &st) != 0)
            continue;
        aDirectoryListData data;
        data.path = full;
        data.size = static_cast<uint32_t>(st.st_size);
        data.isDirectory = S_ISDIR(st.st_mode);
        if (!proc(&data, ref))
            break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path)
{
    if (!path || rmdir(path) != 0)
        return aErrUnknown;
    return aErrNone;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (!path)
        return aErrNotFound;
    DIR* dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    aErr err = aErrNone;
    char full[aDIR_PATH_MAX];
    while (err == aErrNone) {
        struct dirent* entry = readdir(dir);
        if (!entry)
            break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (aDirectory_JoinPath(full, sizeof(full), path, entry->d_name) != aErrNone) {
            // A name that cannot be joined cannot be removed either; leaving it
            // makes the final removal fail, which tells the caller.
            continue;
        }
        struct stat st;
        if (lstat(full, &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            err = aDirectory_DeleteTree(full);
        } else if (unlink(full) != 0) {
            std::perror("aDirectory_DeleteTree");
            std::printf("---error unlink-ing file [%s]\n", full);
            err = aErrUnknown;
        }
    }
    closedir(dir);
    if (err != aErrNone)
        return err;
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buf, size_t size)
{
    if (!buf || size == 0 || !getcwd(buf, size))
        return aErrParam;
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buf, size_t size)
{
    if (!buf || size == 0)
        return aErrParam;
    ssize_t n = readlink("/proc/self/exe", buf, size - 1);
    if (n < 0) {
        buf[0] = '\0';
        return aErrRead;
    }
    buf[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buf, size_t size)
{
    if (!buf || size == 0)
        return aErrParam;
    buf[0] = '\0';
    const char* home = nullptr;
    if (struct passwd* pw = getpwuid(getuid()))
        home = pw->pw_dir;
    if (!home || !*home)
        home = std::getenv("HOME");
    if (!home || !*home)
        return aErrNotFound;
    size_t len = std::strlen(home);
    // A cut home directory would send the store somewhere else: refuse it.
    if (len >= size)
        return aErrOverrun;
    std::memcpy(buf, home, len + 1);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* dst, size_t size, const char* first, const char* second)
{
    return aDirectory_BuildPath(dst, size, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* dst, size_t size, const char* first, ...)
{
    va_list args;
    va_start(args, first);
    aErr err = sBuildPath(dst, size, first, args);
    va_end(args);
    return err;
}

std::string BuildPath(const char* first, ...)
{
    std::string out = first ? first : "";
    va_list args;
    va_start(args, first);
    for (const char* p = va_arg(args, const char*); p; p = va_arg(args, const char*)) {
        out += aDIR_PATH_SEP;
        out += p;
    }
    va_end(args);
    return out;
}
