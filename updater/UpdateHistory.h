// The history record of one installation, recovery or download: a scope
// object that the command creates at its start and fills as it goes. Once
// armed (the command holds the device's lock and has a file to send or
// store), its end appends one record to the device's history, whatever way
// the command returns: "ok" when it said so, "stopped" after a stop
// request, else "failed". Used on the command's thread.
#ifndef UPDATER_UPDATER_UPDATEHISTORY_H
#define UPDATER_UPDATER_UPDATEHISTORY_H

#include <cstdint>
#include <string>

#include "base/UpdaterDisplayInterface.h"
#include "store/DeviceHistory.h"
#include "transport/unix_time.h"

class HistoryScope {
public:
    // storage: the store's root; command: "update", "recover", "download";
    // message: the -l text.
    HistoryScope(UpdaterDisplayInterface& display, const std::string& storage, const char* command,
                 const std::string& message);
    ~HistoryScope();
    HistoryScope(const HistoryScope&) = delete;
    HistoryScope& operator=(const HistoryScope&) = delete;

    // From now on the outcome is recorded in this device's history.
    void Arm(uint32_t serialNumber);
    // The SHA-256 of the file sent (read from path) or of the bytes stored.
    void FileSent(const std::string& path);
    void BytesStored(const void* data, size_t size);
    void Before(const std::string& version, uint32_t build);
    void After(const std::string& version, uint32_t build);
    bool HasAfter() const { return record.buildAfter != 0 || !record.versionAfter.empty(); }
    void Succeeded() { ok = true; }

private:
    UpdaterDisplayInterface& display;
    std::string storage;
    uint32_t serialNumber = 0;
    bool armed = false;
    bool ok = false;
    aMSTicks start;
    HistoryRecord record;
};

#endif
