#include "transport/aCurveKeys.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/aDebugging.h"

namespace {

const char* FOLDER = ".quorvane/aether";
const size_t KEY_LENGTH = 40;
const size_t KEY_BYTES = 32;
// No key file is longer; a longer one is not read at all.
const off_t FILE_MAX = 64 * 1024;

void sTrace(const char* what, const std::string& path, const char* fix)
{
    aDebugging_Trace(aDEBUG_SERVER | aDEBUG_CLIENT, "keys: %s %s%s%s\n", what, path.c_str(), fix ? ": " : "",
                     fix ? fix : "");
}

std::string sHome()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        struct passwd* pw = getpwuid(geteuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    return home && *home ? std::string(home) : std::string();
}

// Opens the key folder, making it (mode 0700) when missing. Only a folder
// of this user that nobody else may enter is used.
aErr sOpenFolder(int* fd, std::string* path)
{
    const std::string home = sHome();
    if (home.empty())
        return aErrNotFound;
    *path = home + "/" + FOLDER;
    const std::string parent = home + "/.quorvane";
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
        sTrace("cannot make", parent, std::strerror(errno));
        return aErrIO;
    }
    if (mkdir(path->c_str(), 0700) != 0 && errno != EEXIST) {
        sTrace("cannot make", *path, std::strerror(errno));
        return aErrIO;
    }
    *fd = open(path->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (*fd < 0) {
        sTrace("cannot open", *path, std::strerror(errno));
        return errno == EACCES ? aErrPermission : aErrIO;
    }
    struct stat st;
    if (fstat(*fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        sTrace("refused", *path, "it must be yours alone: chmod 700 it");
        close(*fd);
        *fd = -1;
        return aErrPermission;
    }
    return aErrNone;
}

// A whole file of the folder; aErrNotFound when it does not exist.
aErr sRead(int folder, const char* name, std::string* text)
{
    int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? aErrNotFound : aErrIO;
    struct stat st;
    aErr err = aErrNone;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > FILE_MAX)
        err = aErrIO;
    else if (st.st_uid != geteuid() || (st.st_mode & 022) != 0)
        err = aErrPermission;
    text->clear();
    char buffer[4096];
    ssize_t n;
    while (err == aErrNone && (n = read(fd, buffer, sizeof buffer)) > 0 && text->size() < size_t(FILE_MAX))
        text->append(buffer, size_t(n));
    close(fd);
    return err;
}

// Writes a new file; when another process made it meanwhile, theirs stays.
aErr sWriteNew(int folder, const char* name, const std::string& text, mode_t mode)
{
    char temporary[64];
    std::snprintf(temporary, sizeof temporary, ".%s.%d", name, int(getpid()));
    int fd = openat(folder, temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return aErrIO;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
    close(fd);
    if (ok && linkat(folder, temporary, folder, name, 0) != 0 && errno != EEXIST)
        ok = false;
    unlinkat(folder, temporary, 0);
    return ok ? aErrNone : aErrIO;
}

// The first word of a text.
std::string sFirstWord(const std::string& text, size_t from = 0)
{
    size_t start = text.find_first_not_of(" \t\r\n", from);
    if (start == std::string::npos)
        return std::string();
    size_t end = text.find_first_of(" \t\r\n", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool sIsKey(const std::string& word)
{
    uint8_t bytes[KEY_BYTES];
    return word.size() == KEY_LENGTH && zmq_z85_decode(bytes, word.c_str()) != nullptr;
}

// Each line's words; the callback returns true to stop.
template <typename F> void sLines(const std::string& text, F each)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        std::string first = sFirstWord(line);
        if (first.empty() || first[0] == '#')
            continue;
        size_t next = line.find(first) + first.size();
        if (each(first, sFirstWord(line, next)))
            return;
    }
}

aErr sOwnPair(int folder, const std::string& path, const char* role, aCurveKeyPair* pair)
{
    const std::string secretName = std::string(role) + ".key";
    const std::string publicName = std::string(role) + ".pub";
    std::string text;
    aErr err = sRead(folder, secretName.c_str(), &text);
    if (err == aErrNotFound) {
        char publicKey[aCURVE_KEY_TEXT], secretKey[aCURVE_KEY_TEXT];
        if (zmq_curve_keypair(publicKey, secretKey) != 0)
            return aErrIO;
        err = sWriteNew(folder, secretName.c_str(), std::string(secretKey) + "\n", 0600);
        if (err == aErrNone)
            err = sRead(folder, secretName.c_str(), &text);
    }
    if (err == aErrPermission)
        sTrace("refused", path + "/" + secretName, "it must be yours and not writable by others");
    if (err != aErrNone)
        return err;
    const std::string secret = sFirstWord(text);
    if (!sIsKey(secret) || zmq_curve_public(pair->publicKey, secret.c_str()) != 0) {
        sTrace("no key in", path + "/" + secretName, nullptr);
        return aErrPacket;
    }
    std::memcpy(pair->secretKey, secret.c_str(), aCURVE_KEY_TEXT);
    // The public half, for copying to another host.
    std::string shown;
    if (sRead(folder, publicName.c_str(), &shown) == aErrNotFound)
        sWriteNew(folder, publicName.c_str(), std::string(pair->publicKey) + "\n", 0644);
    return aErrNone;
}

} // namespace

aErr aCurveKeys_OwnPair(const char* role, aCurveKeyPair* pair)
{
    if (!role || !pair || (std::strcmp(role, "server") != 0 && std::strcmp(role, "client") != 0))
        return aErrParam;
    int folder = -1;
    std::string path;
    aErr err = sOpenFolder(&folder, &path);
    if (err != aErrNone)
        return err;
    err = sOwnPair(folder, path, role, pair);
    close(folder);
    return err;
}

aErr aCurveKeys_ServerKey(const char* address, char* publicKey)
{
    if (!address || !publicKey)
        return aErrParam;
    int folder = -1;
    std::string path;
    aErr err = sOpenFolder(&folder, &path);
    if (err != aErrNone)
        return err;
    std::string text;
    bool found = false;
    if (sRead(folder, "known_servers", &text) == aErrNone) {
        sLines(text, [&](const std::string& first, const std::string& second) {
            found = first == address && sIsKey(second);
            if (found)
                std::memcpy(publicKey, second.c_str(), aCURVE_KEY_TEXT);
            return found;
        });
    }
    if (!found) {
        // This user's own server: its secret key gives the public one.
        err = sRead(folder, "server.key", &text);
        const std::string secret = sFirstWord(text);
        found = err == aErrNone && sIsKey(secret) && zmq_curve_public(publicKey, secret.c_str()) == 0;
    }
    close(folder);
    return found ? aErrNone : aErrNotFound;
}

bool aCurveKeys_IsAllowed(const uint8_t* publicKey)
{
    if (!publicKey)
        return false;
    char text[aCURVE_KEY_TEXT];
    if (!zmq_z85_encode(text, publicKey, KEY_BYTES))
        return false;
    int folder = -1;
    std::string path;
    if (sOpenFolder(&folder, &path) != aErrNone)
        return false;
    bool allowed = false;
    std::string file;
    if (sRead(folder, "client.key", &file) == aErrNone) {
        char own[aCURVE_KEY_TEXT];
        const std::string secret = sFirstWord(file);
        allowed = sIsKey(secret) && zmq_curve_public(own, secret.c_str()) == 0 && std::strcmp(own, text) == 0;
    }
    if (!allowed && sRead(folder, "authorized_clients", &file) == aErrNone) {
        sLines(file, [&](const std::string& first, const std::string&) {
            allowed = first == text;
            return allowed;
        });
    }
    close(folder);
    return allowed;
}
