#include "store/DeviceHistory.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <ctime>

const char* const HISTORY_FILE_NAME = ".history";

namespace {

using json = nlohmann::ordered_json;

json sTextOrNull(const std::string& text)
{
    return text.empty() ? json(nullptr) : json(text);
}

json sBuildOrNull(uint32_t build)
{
    return build ? json(build) : json(nullptr);
}

// One write of the whole text, going on after interruptions and short writes.
bool sWriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Whether the file's last byte ends a line (an empty file does).
bool sEndsWithLine(int fd, off_t size)
{
    if (size == 0)
        return true;
    char last = 0;
    return ::pread(fd, &last, 1, size - 1) == 1 && last == '\n';
}

} // namespace

json HistoryRecord_ToJson(const HistoryRecord& r)
{
    json j;
    j["time"] = r.time;
    j["host"] = r.host;
    j["user"] = r.user;
    j["command"] = r.command;
    j["version_before"] = sTextOrNull(r.versionBefore);
    j["build_before"] = sBuildOrNull(r.buildBefore);
    j["version_after"] = sTextOrNull(r.versionAfter);
    j["build_after"] = sBuildOrNull(r.buildAfter);
    j["sha256"] = sTextOrNull(r.sha256);
    j["result"] = r.result;
    j["seconds"] = std::round(r.seconds * 1000.0) / 1000.0;
    j["message"] = sTextOrNull(r.message.substr(0, HISTORY_MESSAGE_MAX));
    return j;
}

std::string History_TimeNow()
{
    const time_t now = ::time(nullptr);
    struct tm utc;
    char text[32] = "";
    if (::gmtime_r(&now, &utc))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string History_HostName()
{
    char name[256] = "";
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    name[sizeof name - 1] = '\0';
    return name;
}

std::string History_UserName()
{
    const uid_t uid = ::geteuid();
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return "uid " + std::to_string(unsigned(uid));
}

aErr History_Append(const std::string& folder, const HistoryRecord& record)
{
    // Texts from the user and from modules need not be UTF-8: replaced, so
    // that every line stays JSON.
    std::string line = HistoryRecord_ToJson(record).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    const std::string path = folder + "/" + HISTORY_FILE_NAME;
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return aErrNotFound;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return aErrNotFound;
    }
    const bool created = st.st_size == 0;
    // A record cut short by a crash is left as it is; the new one starts
    // on a line of its own. (Read and write: the last byte is looked at.)
    if (!sEndsWithLine(fd, st.st_size))
        line.insert(line.begin(), '\n');
    bool ok = sWriteAll(fd, line) && ::fsync(fd) == 0;
    ::close(fd);
    if (ok && created) {
        // The new file's name is on disk too.
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return ok ? aErrNone : aErrIO;
}

bool History_Read(const std::string& folder, std::vector<json>& records, unsigned* skipped)
{
    unsigned passed = 0;
    const std::string path = folder + "/" + HISTORY_FILE_NAME;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (skipped)
            *skipped = 0;
        return errno == ENOENT;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    std::string text;
    char buffer[65536];
    bool ok = true;
    while (text.size() < HISTORY_FILE_MAX) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        text.append(buffer, size_t(n));
    }
    ::close(fd);
    if (text.size() > HISTORY_FILE_MAX)
        text.resize(HISTORY_FILE_MAX);

    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const size_t length = end - start;
        if (length > 0) {
            json record = length <= HISTORY_LINE_MAX
                              ? json::parse(text.begin() + long(start), text.begin() + long(end), nullptr, false)
                              : json(json::value_t::discarded);
            // A line cut short is no whole object; one that only lacks its
            // line end is complete.
            if (!record.is_discarded() && record.is_object())
                records.push_back(std::move(record));
            else
                ++passed;
        }
        start = end + 1;
    }
    if (skipped)
        *skipped = passed;
    return ok;
}
