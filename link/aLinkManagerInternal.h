// Link table and link records: engine-internal, shared by the engine's units
// (link/aLinkEngine.h), aPacketDebug and the server's creation above the
// engine (transport/aServerLink). The table mutex guards the entry list, the
// next identifier and every use count; lookups hand out shared references
// after releasing it, so an entry torn down by its last destroy stays
// readable (with a dead tag) for a caller still inside a call. Record fields
// that cross threads are atomics; the rest belong to the stream's reader or
// to the owner.
#ifndef CORVESTEL_LINK_ALINKMANAGERINTERNAL_H
#define CORVESTEL_LINK_ALINKMANAGERINTERNAL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "link/aLink.h"
#include "link/aLogger.h"
#include "transport/unix_mutex.h"
#include "transport/unix_thread.h"
#include "transport/unix_time.h"

CORVESTEL_INTERNAL_BEGIN

#define aLINKCHECK 0xCEED
#define aLINK_DEFAULT_LOG_SIZE 65536
#define aLINK_MAX_LOG_SIZE 0x4000000

struct aLinkRecord {
    std::atomic<uint16_t> tag{0};
    uint32_t identifier = 0;
    std::atomic<uint8_t> running{0};
    std::atomic<uint32_t> status{LINK_NO_STREAM};
    std::atomic<uint64_t> inputFifo{0};
    aPacket* incoming = nullptr;        // reader only
    std::atomic<uint64_t> outputFifo{0};
    aThreadRef receiveThread = nullptr;
    aThreadRef sendThread = nullptr;
    aThreadProc receiveProc = nullptr;
    aThreadProc sendProc = nullptr;
    std::atomic<uint8_t> receiveStarted{0};
    std::atomic<uint8_t> sendStarted{0};
    aStreamRef stream = nullptr;
    uint8_t syncState = 0;              // reader only
    uint8_t syncAddress = 0;            // reader only
    aMSTicks lastProbes = 0;            // reader only
    std::atomic<uint32_t> probesQueued{0}; // since the last aLink_Sync began
    uint32_t streamReconnects = 0;      // reader only: the stream's count last seen
    std::atomic<uint32_t> drops{0};     // the stream failed or had to reconnect
    std::atomic<aLogger*> packetLog{nullptr};
    int32_t packetLogSize = 0;          // under packetLogMutex
    std::atomic<bool> packetLogEnabled{false};
    aMutexRef packetLogMutex = nullptr;
    aLinkPacketFilterProc userFilter = nullptr; // under userFilterMutex
    void* userFilterReference = nullptr;        // under userFilterMutex
    aMutexRef userFilterMutex = nullptr;
    std::atomic<uint8_t> pooled{0};
    std::mutex control;                 // serialises start, stop, reset and teardown
    // A caller writes its packet itself while nothing is queued, else queues
    // it behind the others, so packets leave in the order they were put.
    // writeLock guards stream writes (and the running flag's fall, so no
    // caller writes to a stream being taken down); queueLock guards queued
    // and the puts it counts. Order: writeLock before queueLock.
    std::mutex writeLock;
    std::mutex queueLock;
    uint32_t queued = 0;                // under queueLock: put on the FIFO, not yet written
    // The stream's reader: the receive thread, or, on a stream that can wait
    // in the kernel, a caller waiting for its reply, which then reads and
    // frames the bytes itself (one wake-up per reply instead of two). One
    // at a time: the reader holds readLock, and the fields marked "reader
    // only" are its. The receive thread stands aside while callers want to
    // read (readers) or did so lately (sessions), napping on parked; a kick
    // brings it back at once (stop, sync, a caller that met a fault).
    std::mutex readLock;
    std::atomic<bool> callerReads{false};   // set at start from the stream
    std::atomic<uint32_t> readers{0};       // callers reading or about to
    std::atomic<uint32_t> sessions{0};      // callers' reading turns so far
    std::atomic<uint32_t> fifoWaiters{0};   // callers waiting on the input FIFO only
    std::atomic<bool> callerHolds{false};   // a caller holds readLock
    std::atomic<bool> receiverPolling{false}; // the receive thread waits in the kernel
    std::mutex parkLock;
    std::condition_variable parked;
    std::condition_variable readFree;       // the receive thread let readLock go
    bool kicked = false;                    // under parkLock

    aLinkRecord() = default;
    aLinkRecord(const aLinkRecord&) = delete;
    aLinkRecord& operator=(const aLinkRecord&) = delete;
    // The mutexes go with the memory, not with the teardown, so that a
    // caller still inside a call never locks a destroyed mutex.
    ~aLinkRecord()
    {
        if (packetLogMutex)
            aMutex_Destroy(&packetLogMutex);
        if (userFilterMutex)
            aMutex_Destroy(&userFilterMutex);
    }
};

struct aLinkEntry {
    uint32_t identifier = 0;
    uint32_t parent = 0;
    // What owns the link from above (the local network server of a USB
    // link), and how the engine lets go of it when the link's last use
    // goes. Both set together, under the creation lock.
    void* server = nullptr;
    void (*serverDestroy)(void* server) = nullptr;
    uint32_t deviceKey = 0;
    uint32_t port = 0;
    uint32_t clientIndex = 0;
    uint32_t streamKind = 0;
    int16_t useCount = 0;               // under the table mutex
    std::unique_ptr<aLinkRecord> record;
};

typedef std::shared_ptr<aLinkEntry> aLinkEntryRef;

// Adds a new entry (no uses yet) with a fresh identifier; null on failure.
aLinkEntryRef aLinkManager_AddEntry(uint32_t deviceKey, uint32_t port, uint32_t clientIndex,
    uint32_t streamKind);
// The entry with that identifier, or null.
aLinkEntryRef aLinkManager_LookupByID(uint32_t identifier);
// A live entry of that kind and key (and port, when non-zero) that already
// has uses; one use is added under the same lock. Null when none.
aLinkEntryRef aLinkManager_ShareByKey(uint32_t streamKind, uint32_t deviceKey, uint32_t port);
// Adds one use. aErrParam: not in the table. aErrRange: too many uses.
aErr aLinkManager_AddUse(uint32_t identifier);
// Drops one use; *remaining gets the uses left. At zero the entry leaves the
// table and is handed back through *removed. aErrParam: not in the table.
aErr aLinkManager_DropUse(uint32_t identifier, int* remaining, aLinkEntryRef* removed);
// Removes an entry whatever its uses (creation failure); aErrParam if absent.
aErr aLinkManager_Remove(uint32_t identifier, aLinkEntryRef* removed);
// The process-wide lock that keeps two creations of one device apart.
std::mutex& aLinkManager_CreationLock();

// The live record of an entry, or null (no entry, no record, dead tag).
aLinkRecord* aLinkManager_Record(const aLinkEntryRef& entry);

// Records a packet in the link's packet log, if it has one.
void aPacketDebug_LogPacket(aLinkRecord* record, uint8_t direction, const aPacket* packet);
// Frees the packet log (its mutex stays until the record is freed).
void aPacketDebug_Teardown(aLinkRecord* record);

CORVESTEL_INTERNAL_END

#endif
