// The small persistent dictionary behind a device folder's ".settings" file:
// lines of key=value kept in memory in byte-wise key order, typed getters
// with defaults, setters that note whether anything changed, and an explicit
// Save that writes the whole file back. Diagnostics go to the debug log.
#ifndef UPDATER_STORE_KEYVALUESTORE_H
#define UPDATER_STORE_KEYVALUESTORE_H

#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
public:
    static const char* const DEFAULT_FILENAME; // ".settings"
    static const char* const KEY_CREATED_TIME; // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME; // "UPDATED_TIME"

    // Empty; loads path when one is given.
    explicit KeyValueStore(const char* path = nullptr);
    ~KeyValueStore();
    KeyValueStore(const KeyValueStore&) = default;
    KeyValueStore& operator=(const KeyValueStore&) = default;

    // The value's text, or null when the key is absent. Creates nothing.
    const char* operator[](const std::string& key) const;

    // Typed reads; an empty value gives the default. An absent key is added
    // with an empty value (so the next Save writes "KEY=").
    int GetInt(const std::string& key, int def);
    uint32_t GetHex(const std::string& key, uint32_t def);
    bool GetBOOL(const std::string& key, bool def);
    double GetDouble(const std::string& key, double def);
    // The stored text when the key is present (even empty), else the default,
    // else "". Creates nothing.
    std::string GetString(const std::string& key, const char* def) const;

    // Setters: store the text form and mark the store modified when the text
    // differs from the current one. Always true.
    bool Add(const std::string& key, int value);
    bool Add(const std::string& key, double value);
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value); // "0x%08X"
    // Copies every entry of other, replacing equal keys; modified when any
    // entry was copied.
    bool Add(const KeyValueStore& other);
    // Empties the store and marks it modified.
    bool Clear();

    // Merges the file into the store. A file that cannot be opened is
    // created holding the two time stamps; a symbolic link is neither read
    // nor replaced (Save refuses it too). True when the file was read.
    bool Load(const char* path);
    // Writes every entry as "KEY=VALUE\n" in key order, refreshing
    // UPDATED_TIME first when something changed. The old file is replaced in
    // one step, so a failed write leaves it as it was; a symbolic link in
    // its place is not replaced. True when written.
    bool Save(const char* path = nullptr);

    // The current local time as ctime text without its newline.
    static std::string TimeStamp();

    const std::string& FileName() const { return filename; }
    bool IsModified() const { return modified; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

private:
    bool Set(const std::string& key, const std::string& text);

    std::string filename;
    std::map<std::string, std::string> entries;
    bool modified = false;
};

#endif
