#include "store/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <random>
#include <string>

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

// Six letters or digits for a temporary name, as mkstemp would choose.
std::string sRandomTail()
{
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, sizeof LETTERS - 2);
    std::string tail;
    for (int i = 0; i < 6; ++i)
        tail += LETTERS[pick(generator)];
    return tail;
}

} // namespace

aErr AtomicFile_Write(const std::string& path, const void* data, size_t size)
{
    if (path.empty() || (!data && size > 0))
        return aErrParam;
    const size_t sep = path.rfind('/');
    const std::string folder = sep == std::string::npos ? "." : (sep == 0 ? "/" : path.substr(0, sep));
    const std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0)
        return aErrNotFound;
    const aErr err = AtomicFile_WriteAt(dirfd, name, data, size);
    ::close(dirfd);
    return err;
}

aErr AtomicFile_WriteAt(int dirfd, const std::string& name, const void* data, size_t size)
{
    if (dirfd < 0 || name.empty() || name.find('/') != std::string::npos || (!data && size > 0))
        return aErrParam;

    // A link in the file's place would have its target's mode copied and
    // be silently replaced: refuse it and leave it there.
    struct stat old;
    const bool exists = ::fstatat(dirfd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(old.st_mode))
        return aErrPermission;

    // The temporary is a new entry of this folder, never something that was
    // there before (nor a link someone placed under its name).
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = name + ".tmp." + sRandomTail();
        fd = ::openat(dirfd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
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
    if (ok && ::renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) != 0)
        ok = false;
    if (!ok) {
        ::unlinkat(dirfd, tmp.c_str(), 0);
        return aErrIO;
    }
    return aErrNone;
}
