#include "store/KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "base/Log.h"
#include "store/AtomicFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

// Lines longer than this end the reading of a settings file.
const size_t LINE_BUFFER = 2048;

bool sIsSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string sTrimRight(const char* begin, const char* end)
{
    while (end > begin && sIsSpace(end[-1]))
        --end;
    return std::string(begin, end);
}

} // namespace

KeyValueStore::KeyValueStore(const char* path)
{
    if (path)
        Load(path);
}

KeyValueStore::~KeyValueStore()
{
    entries.clear();
}

std::string KeyValueStore::TimeStamp()
{
    time_t now = std::time(nullptr);
    char text[64];
    if (!ctime_r(&now, text))
        return std::string();
    std::string out(text);
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

const char* KeyValueStore::operator[](const std::string& key) const
{
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : it->second.c_str();
}

int KeyValueStore::GetInt(const std::string& key, int def)
{
    const std::string& v = entries[key];
    return v.empty() ? def : std::atoi(v.c_str());
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t def)
{
    const std::string& v = entries[key];
    return v.empty() ? def : static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool def)
{
    const std::string& v = entries[key];
    return v.empty() ? def : std::atoi(v.c_str()) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double def)
{
    const std::string& v = entries[key];
    return v.empty() ? def : std::atof(v.c_str());
}

std::string KeyValueStore::GetString(const std::string& key, const char* def) const
{
    auto it = entries.find(key);
    if (it != entries.end())
        return it->second;
    return def ? def : "";
}

bool KeyValueStore::Set(const std::string& key, const std::string& text)
{
    std::string& current = entries[key];
    if (current != text)
        modified = true;
    current = text;
    return true;
}

bool KeyValueStore::Add(const std::string& key, int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return Set(key, text);
}

bool KeyValueStore::Add(const std::string& key, double value)
{
    char text[512];
    std::snprintf(text, sizeof text, "%f", value);
    return Set(key, text);
}

bool KeyValueStore::Add(const std::string& key, const char* value)
{
    return Set(key, value ? value : "");
}

bool KeyValueStore::Add(const std::string& key, const std::string& value)
{
    return Set(key, value);
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return Set(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    if (&other == this)
        return true;
    for (const auto& kv : other.entries) {
        entries[kv.first] = kv.second;
        modified = true;
    }
    return true;
}

bool KeyValueStore::Clear()
{
    entries.clear();
    modified = true;
    return true;
}

bool KeyValueStore::Load(const char* path)
{
    if (!path)
        return false;
    // A settings file is never read through a link (nor replaced: the save
    // refuses it too).
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ELOOP) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - the attributes file is a link: '%s'\n", path);
        filename = path;
        modified = false;
        return false;
    }
    FILE* f = fd >= 0 ? ::fdopen(fd, "r") : nullptr;
    if (fd >= 0 && !f)
        ::close(fd);
    if (!f) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, errno);
        Add(KEY_CREATED_TIME, TimeStamp());
        Save(path);
    }
    filename = path;
    modified = false;
    if (!f)
        return false;

    char line[LINE_BUFFER];
    for (;;) {
        line[0] = '\0';
        if (!std::fgets(line, sizeof line, f))
            break; // end of file or a read error
        size_t len = std::strlen(line);
        if (len == sizeof line - 1 && line[len - 1] != '\n') {
            // Too long for the buffer: this line and the rest are ignored.
            Log::log(DEBUG_Attributes, "Attibutes: line too long in '%s', rest of file ignored\n", path);
            break;
        }
        if (len < 3 || line[0] == '#')
            continue;
        const char* p = line;
        const char* end = line + len;
        while (p < end && sIsSpace(*p))
            ++p;
        const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
        std::string key = sTrimRight(p, eq ? eq : end);
        std::string value;
        if (eq) {
            const char* v = eq + 1;
            while (v < end && sIsSpace(*v))
                ++v;
            value = sTrimRight(v, end);
        }
        entries[key] = value;
    }
    std::fclose(f);
    return true;
}

bool KeyValueStore::Save(const char* path)
{
    if (path) {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    if (modified)
        entries[KEY_UPDATED_TIME] = TimeStamp();

    std::string text;
    for (const auto& kv : entries) {
        text += kv.first;
        text += '=';
        text += kv.second;
        text += '\n';
    }
    if (AtomicFile_Write(filename, text.data(), text.size()) != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), errno);
        return false;
    }
    modified = false;
    return true;
}
