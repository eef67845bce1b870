// A device's history in its store folder: the file ".history", one JSON
// object per line, one line per installation, recovery or download. Lines
// are only ever appended, each in one write that is flushed to disk before
// the call returns; a line that a crash cut short is passed over when the
// history is read (and the next record starts on a line of its own).
// Appends to one folder come from the run that holds the device's lock;
// reading needs no lock. Any thread may call these.
#ifndef UPDATER_STORE_DEVICEHISTORY_H
#define UPDATER_STORE_DEVICEHISTORY_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/aError.h"

// File name of the history inside a device folder.
extern const char* const HISTORY_FILE_NAME;
// Longest line read back, and the most bytes read of a history: anything
// beyond is not a record this program wrote.
const size_t HISTORY_LINE_MAX = 65536;
const size_t HISTORY_FILE_MAX = 64u * 1024u * 1024u;
// The -l message is kept up to this many bytes.
const size_t HISTORY_MESSAGE_MAX = 4096;

struct HistoryRecord {
    std::string time;    // UTC, ISO 8601 ("2026-12-09T15:07:19Z")
    std::string host;
    std::string user;
    std::string command; // "update", "recover", "download"
    std::string versionBefore; // empty: not known
    uint32_t buildBefore = 0;  // 0: not known
    std::string versionAfter;
    uint32_t buildAfter = 0;
    std::string sha256;  // of the file sent or stored; empty: none
    std::string result;  // "ok", "failed", "stopped"
    double seconds = 0;
    std::string message; // the -l text; empty: none
};

// The record as one JSON object (unknown values are null).
nlohmann::ordered_json HistoryRecord_ToJson(const HistoryRecord& record);

// Now, in UTC, as ISO 8601 with seconds.
std::string History_TimeNow();
// This host's name and the user running this program.
std::string History_HostName();
std::string History_UserName();

// Appends the record to folder/.history, creating it (mode 0644) when
// missing, and flushes it to disk.
//   aErrNone      written
//   aErrNotFound  the file cannot be opened (or is no regular file)
//   aErrIO        writing or flushing failed
aErr History_Append(const std::string& folder, const HistoryRecord& record);

// The records of folder/.history, oldest first: every line that is a whole
// JSON object; skipped (when given) counts the lines passed over. A missing
// file gives no records and true; false when it can't be read.
bool History_Read(const std::string& folder, std::vector<nlohmann::ordered_json>& records,
                  unsigned* skipped = nullptr);

#endif
