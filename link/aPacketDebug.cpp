#include "link/aPacketDebug.h"

#include <cstdio>

#include "link/aLinkManagerInternal.h"

namespace {

// Holds a link's packet log mutex for one scope.
class LogLock {
public:
    explicit LogLock(aLinkRecord* record) : mRecord(record)
    {
        mLocked = record->packetLogMutex && aMutex_Lock(record->packetLogMutex) == aErrNone;
    }
    ~LogLock()
    {
        if (mLocked)
            aMutex_Unlock(mRecord->packetLogMutex);
    }
    bool locked() const { return mLocked; }

private:
    aLinkRecord* mRecord;
    bool mLocked = false;
};

// The packet log mutex is made with the link (so that it exists before any
// thread can log); this makes it for a record that lacks it.
bool sEnsureMutex(aLinkRecord* record)
{
    if (record->packetLogMutex)
        return true;
    char name[64];
    std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(record));
    record->packetLogMutex = aMutex_Create(name);
    return record->packetLogMutex != nullptr;
}

} // namespace

aErr aLink_PacketDebug_SetLogSize(uint32_t identifier, int32_t size)
{
    aLinkEntryRef entry = aLinkManager_LookupByID(identifier);
    aLinkRecord* record = aLinkManager_Record(entry);
    if (!record || size > aLINK_MAX_LOG_SIZE)
        return aErrParam;
    LogLock lock(record);
    if (record->packetLog.load())
        return aErrBusy;
    record->packetLogSize = size < 0 ? 0 : size;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t identifier)
{
    aLinkEntryRef entry = aLinkManager_LookupByID(identifier);
    aLinkRecord* record = aLinkManager_Record(entry);
    if (!record)
        return aErrParam;
    if (!sEnsureMutex(record))
        return aErrResource;
    LogLock lock(record);
    if (!lock.locked())
        return aErrResource;
    if (!record->packetLog.load()) {
        uint32_t size = record->packetLogSize > 0 ? static_cast<uint32_t>(record->packetLogSize)
                                                  : aLINK_DEFAULT_LOG_SIZE;
        aLogger* log = aLogger_Create(size);
        if (!log)
            return aErrResource;
        record->packetLog.store(log);
    }
    record->packetLogEnabled.store(true);
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(uint32_t identifier)
{
    aLinkEntryRef entry = aLinkManager_LookupByID(identifier);
    aLinkRecord* record = aLinkManager_Record(entry);
    if (!record)
        return aErrParam;
    if (!record->packetLog.load())
        return aErrNotReady;
    record->packetLogEnabled.store(false);
    return aErrNone;
}

bool aLink_PacketDebug_IsEnabled(uint32_t identifier)
{
    aLinkEntryRef entry = aLinkManager_LookupByID(identifier);
    aLinkRecord* record = aLinkManager_Record(entry);
    return record && record->packetLog.load() && record->packetLogEnabled.load();
}

aErr aLink_PacketDebug_Read(uint32_t identifier, uint8_t* direction, uint32_t* length, uint8_t* buffer)
{
    aLinkEntryRef entry = aLinkManager_LookupByID(identifier);
    aLinkRecord* record = aLinkManager_Record(entry);
    if (!record || !direction || !length || !buffer)
        return aErrParam;
    LogLock lock(record);
    aLogger* log = record->packetLog.load();
    if (!log)
        return aErrNotReady;
    return aLogger_Get(log, direction, length, buffer);
}

aErr aLink_PacketDebug_Write(uint32_t identifier, uint8_t direction, uint32_t length, const uint8_t* bytes)
{
    aLinkEntryRef entry = aLinkManager_LookupByID(identifier);
    aLinkRecord* record = aLinkManager_Record(entry);
    if (!record || (!bytes && length > 0))
        return aErrParam;
    LogLock lock(record);
    aLogger* log = record->packetLog.load();
    if (!log)
        return aErrNotReady;
    return aLogger_Put(log, direction, length, bytes);
}

void aPacketDebug_LogPacket(aLinkRecord* record, uint8_t direction, const aPacket* packet)
{
    if (!record->packetLog.load() || !aVALIDPACKET(packet))
        return;
    uint8_t bytes[aPACKETMAXWIRE];
    const size_t size = aPacket_ToWire(packet, bytes, sizeof bytes);
    if (size == 0)
        return;
    LogLock lock(record);
    if (aLogger* log = record->packetLog.load())
        aLogger_Put(log, direction, static_cast<uint32_t>(size), bytes);
}

void aPacketDebug_Teardown(aLinkRecord* record)
{
    LogLock lock(record);
    aLogger* log = record->packetLog.exchange(nullptr);
    if (log)
        aLogger_Destroy(&log);
    record->packetLogEnabled.store(false);
    record->packetLogSize = 0;
}
