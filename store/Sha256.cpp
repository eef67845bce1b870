#include "store/Sha256.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <openssl/evp.h>

namespace {

struct DigestContext {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~DigestContext() { EVP_MD_CTX_free(ctx); }
};

std::string sHex(const unsigned char* digest, unsigned length)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text += DIGITS[digest[i] >> 4];
        text += DIGITS[digest[i] & 0xF];
    }
    return text;
}

std::string sFinish(EVP_MD_CTX* ctx)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &length) != 1)
        return std::string();
    return sHex(digest, length);
}

} // namespace

std::string Sha256_Hex(const void* data, size_t size)
{
    DigestContext d;
    if (!d.ctx || EVP_DigestInit_ex(d.ctx, EVP_sha256(), nullptr) != 1)
        return std::string();
    if (size && EVP_DigestUpdate(d.ctx, data, size) != 1)
        return std::string();
    return sFinish(d.ctx);
}

std::string Sha256_File(const std::string& path)
{
    // Non-blocking open: a FIFO put in a file's place must not stall the run.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::string();
    struct stat st;
    DigestContext d;
    std::string result;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && d.ctx &&
        EVP_DigestInit_ex(d.ctx, EVP_sha256(), nullptr) == 1) {
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[65536]);
        bool ok = true;
        for (;;) {
            const ssize_t n = ::read(fd, buffer.get(), 65536);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0)
                break;
            if (EVP_DigestUpdate(d.ctx, buffer.get(), size_t(n)) != 1) {
                ok = false;
                break;
            }
        }
        if (ok)
            result = sFinish(d.ctx);
    }
    ::close(fd);
    return result;
}
