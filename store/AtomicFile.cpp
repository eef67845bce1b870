#include "store/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The process umask, read without changing it (other threads may be
// creating files at the same time).
mode_t sUmask()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    mode_t mask = 022;
    if (!f)
        return mask;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
            mask = static_cast<mode_t>(value);
            break;
        }
    }
    std::fclose(f);
    return mask;
}

bool sWriteAll(int fd, const unsigned char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

aErr AtomicFile_Write(const std::string& path, const void* data, size_t size)
{
    if (path.empty() || (!data && size > 0))
        return aErrParam;

    // A link in the file's place would have its target's mode copied and
    // be silently replaced: refuse it and leave it there.
    struct stat old;
    const bool exists = ::lstat(path.c_str(), &old) == 0;
    if (exists && S_ISLNK(old.st_mode))
        return aErrPermission;

    std::vector<char> tmp(path.begin(), path.end());
    static const char suffix[] = ".tmp.XXXXXX";
    tmp.insert(tmp.end(), suffix, suffix + sizeof suffix);
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        return aErrNotFound;

    // A new file is readable by all and writable by its owner (within the
    // umask); a replaced one keeps its permissions, never set-id bits nor
    // others' right to write.
    const mode_t mode = exists && S_ISREG(old.st_mode) ? (old.st_mode & 0755) : (0644 & ~sUmask());
    fchmod(fd, mode);

    bool ok = sWriteAll(fd, static_cast<const unsigned char*>(data), size) && fsync(fd) == 0;
    if (::close(fd) != 0)
        ok = false;
    if (ok && std::rename(tmp.data(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        unlink(tmp.data());
        return aErrIO;
    }
    return aErrNone;
}
