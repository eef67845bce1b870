#include "link/aLinkManagerInternal.h"

#include <limits>
#include <list>

namespace {

// The table lives for the whole process, so that no link thread still
// running at exit meets a dead table.
struct LinkTable {
    std::mutex managed; // "aLink_Managed"
    std::mutex creation;
    std::list<aLinkEntryRef> entries; // newest first
    uint32_t nextIdentifier = 1;
};

LinkTable& sTable()
{
    static LinkTable* table = new LinkTable;
    return *table;
}

aLinkEntryRef sFind(LinkTable& t, uint32_t identifier)
{
    for (const aLinkEntryRef& entry : t.entries)
        if (entry->identifier == identifier)
            return entry;
    return nullptr;
}

} // namespace

aLinkEntryRef aLinkManager_AddEntry(uint32_t deviceKey, uint32_t port, uint32_t clientIndex,
    uint32_t streamKind)
{
    try {
        auto entry = std::make_shared<aLinkEntry>();
        entry->record.reset(new aLinkRecord);
        entry->deviceKey = deviceKey;
        entry->port = port;
        entry->clientIndex = clientIndex;
        entry->streamKind = streamKind;
        LinkTable& t = sTable();
        std::lock_guard<std::mutex> guard(t.managed);
        if (t.nextIdentifier == 0)
            return nullptr; // identifiers are never reused
        entry->identifier = t.nextIdentifier++;
        entry->record->identifier = entry->identifier;
        t.entries.push_front(entry);
        return entry;
    } catch (...) {
        return nullptr;
    }
}

aLinkEntryRef aLinkManager_LookupByID(uint32_t identifier)
{
    if (identifier == 0)
        return nullptr;
    LinkTable& t = sTable();
    std::lock_guard<std::mutex> guard(t.managed);
    return sFind(t, identifier);
}

aLinkEntryRef aLinkManager_ShareByKey(uint32_t streamKind, uint32_t deviceKey, uint32_t port)
{
    LinkTable& t = sTable();
    std::lock_guard<std::mutex> guard(t.managed);
    for (const aLinkEntryRef& entry : t.entries) {
        if (entry->streamKind != streamKind || entry->deviceKey != deviceKey)
            continue;
        if (port != 0 && entry->port != port)
            continue;
        if (entry->useCount <= 0 || entry->useCount == std::numeric_limits<int16_t>::max())
            continue;
        entry->useCount++;
        return entry;
    }
    return nullptr;
}

aErr aLinkManager_AddUse(uint32_t identifier)
{
    LinkTable& t = sTable();
    std::lock_guard<std::mutex> guard(t.managed);
    aLinkEntryRef entry = sFind(t, identifier);
    if (!entry)
        return aErrParam;
    if (entry->useCount == std::numeric_limits<int16_t>::max())
        return aErrRange;
    entry->useCount++;
    return aErrNone;
}

static void sErase(LinkTable& t, const aLinkEntryRef& entry)
{
    for (auto it = t.entries.begin(); it != t.entries.end(); ++it) {
        if (*it == entry) {
            t.entries.erase(it);
            return;
        }
    }
}

aErr aLinkManager_DropUse(uint32_t identifier, int* remaining, aLinkEntryRef* removed)
{
    LinkTable& t = sTable();
    std::lock_guard<std::mutex> guard(t.managed);
    aLinkEntryRef entry = sFind(t, identifier);
    if (!entry)
        return aErrParam;
    if (entry->useCount > 0)
        entry->useCount--;
    *remaining = entry->useCount;
    if (entry->useCount == 0) {
        sErase(t, entry);
        *removed = entry;
    }
    return aErrNone;
}

aErr aLinkManager_Remove(uint32_t identifier, aLinkEntryRef* removed)
{
    LinkTable& t = sTable();
    std::lock_guard<std::mutex> guard(t.managed);
    aLinkEntryRef entry = sFind(t, identifier);
    if (!entry)
        return aErrParam;
    sErase(t, entry);
    entry->useCount = 0;
    *removed = entry;
    return aErrNone;
}

std::mutex& aLinkManager_CreationLock()
{
    return sTable().creation;
}

aLinkRecord* aLinkManager_Record(const aLinkEntryRef& entry)
{
    if (!entry || !entry->record || entry->record->tag.load() != aLINKCHECK)
        return nullptr;
    return entry->record.get();
}
