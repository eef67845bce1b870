#include "store/Sha256.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nettle/sha2.h>

namespace {

std::string sHex(const uint8_t* digest, size_t size)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        hex += DIGITS[digest[i] >> 4];
        hex += DIGITS[digest[i] & 0x0F];
    }
    return hex;
}

std::string sFinish(sha256_ctx& ctx)
{
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    return sHex(digest, sizeof digest);
}

} // namespace

std::string Sha256_Hex(const void* data, size_t size)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    if (size > 0)
        sha256_update(&ctx, size, static_cast<const uint8_t*>(data));
    return sFinish(ctx);
}

namespace {

// Reads fd to its end into a digest; closes fd.
aErr sDigestFd(int fd, std::string& hex)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    uint8_t buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return aErrIO;
        }
        if (n == 0)
            break;
        sha256_update(&ctx, size_t(n), buffer);
    }
    ::close(fd);
    hex = sFinish(ctx);
    return aErrNone;
}

} // namespace

aErr Sha256_FileHex(const std::string& path, std::string& hex)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return aErrNotFound;
    return sDigestFd(fd, hex);
}

std::string Sha256_File(const std::string& path)
{
    // A file the user named may be reached through a link; it must be a
    // regular file (a FIFO would block the run).
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "";
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return "";
    }
    std::string hex;
    return sDigestFd(fd, hex) == aErrNone ? hex : "";
}
