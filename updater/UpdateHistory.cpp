#include "updater/UpdateHistory.h"

#include "base/Log.h"
#include "store/Sha256.h"
#include "store/UpdaterStore.h"
#include "updater/StopRequest.h"

HistoryScope::HistoryScope(UpdaterDisplayInterface& display_, const std::string& storage_, const char* command,
                           const std::string& message)
    : display(display_), storage(storage_), start(aTime_GetMSTicks())
{
    record.command = command ? command : "";
    record.message = message;
}

HistoryScope::~HistoryScope()
{
    if (!armed)
        return;
    record.time = History_TimeNow();
    record.host = History_HostName();
    record.user = History_UserName();
    record.result = ok ? "ok" : (StopRequested() ? "stopped" : "failed");
    record.seconds = double(aTime_MSElapsed(start)) / 1000.0;
    const std::string folder = storage + "/" + UpdaterStore::FolderName(serialNumber);
    const aErr err = History_Append(folder, record);
    if (err != aErrNone) {
        // The command's own outcome stands; the missing record is said.
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not record the %s in the history of %08X [%d, %s]",
                        record.command.c_str(), serialNumber, int(err), aError_GetErrorText(err));
    }
}

void HistoryScope::Arm(uint32_t serial)
{
    serialNumber = serial;
    armed = serial != 0;
}

void HistoryScope::FileSent(const std::string& path)
{
    record.sha256 = Sha256_File(path);
    if (record.sha256.empty())
        Log::log(DEBUG_History, "History: no digest of %s\n", path.c_str());
}

void HistoryScope::BytesStored(const void* data, size_t size)
{
    record.sha256 = Sha256_Hex(data, size);
}

void HistoryScope::Before(const std::string& version, uint32_t build)
{
    record.versionBefore = version;
    record.buildBefore = build;
}

void HistoryScope::After(const std::string& version, uint32_t build)
{
    record.versionAfter = version;
    record.buildAfter = build;
}
