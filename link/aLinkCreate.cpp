#include "link/aLink.h"

#include <atomic>
#include <mutex>

#include "link/aDebugging.h"
#include "link/aDefs.h"
#include "link/aLinkEngine.h"
#include "transport/aRecord.h"
#include "transport/aStream_ZeroMQClient.h"
#include "transport/aStreamsocket.h"
#include "transport/unix_streamserial.h"
#if __has_include("transport/unix_streamusb.h")
#include "transport/unix_streamusb.h"
#define aLINK_HAVE_USB_STREAM 1
#endif

namespace {

const uint32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

aErr sOpenSerial(uint32_t, uint32_t baudIndex, const void* path, aStreamRef* stream)
{
    return aStream_CreateSerial(static_cast<const char*>(path), baudIndex, 0, 0, 0, stream);
}

// Creates the entry, wraps the stream and starts the link; 0 on failure,
// with nothing left in the table.
uint32_t sCreateWithStream(uint32_t kind, uint32_t key, uint32_t port, aStreamRef stream, bool synchronise,
    uint32_t clientIndex = 0)
{
    aLinkEntryRef entry = aLinkManager_AddEntry(key, port, clientIndex, kind);
    if (!entry) {
        aDebugging_Trace(aDEBUG_LINK, "FAIL: link table entry\n");
        if (stream)
            aStream_Destroy(&stream);
        return 0;
    }
    uint32_t identifier = entry->identifier;
    aLinkRecord* record = entry->record.get();
    if (aRecord_IsOn() && stream)
        aRecord_LinkOpened(identifier, kind, key, port, nullptr);
    bool ready = aLinkEngine_InitRecord(record, stream);
    if (!ready || aLinkManager_AddUse(identifier) != aErrNone) {
        aDebugging_Trace(aDEBUG_LINK, "FAIL: link initialisation\n");
        aLinkEntryRef removed;
        aLinkManager_Remove(identifier, &removed);
        aLinkEngine_Teardown(entry);
        return 0;
    }
    aErr err = aLink_Start(identifier);
    if (err != aErrNone) {
        aDebugging_Trace(aDEBUG_LINK, "FAIL: aLink_Start: %s\n", aError_GetErrorText(err));
        aLink_Destroy(&identifier);
        return 0;
    }
    if (synchronise) {
        err = aLink_Sync(identifier);
        if (err != aErrNone)
            aDebugging_Trace(aDEBUG_LINK, "aLink_Sync: %s\n", aError_GetErrorText(err));
        aLink_ForceRoute(identifier, 1);
    }
    return identifier;
}

// As the creators say; *cause (never null) gets why a creation failed.
uint32_t sCreate(uint32_t kind, uint32_t key, uint32_t port, const void* extra, aLinkOpenProc open,
    bool synchronise, aErr* cause)
{
    *cause = aErrNone;
    try {
        std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
        if (aLinkEntryRef shared = aLinkManager_ShareByKey(kind, key, kind == SERIAL ? 0 : port)) {
            if (shared->server && kind == USB) {
                aDebugging_Trace(aDEBUG_LINK,
                    "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" \n");
                uint32_t id = shared->identifier;
                aLink_Destroy(&id);
                *cause = aErrBusy;
                return 0;
            }
            return shared->identifier;
        }
        aStreamRef stream = nullptr;
        aErr err = open(key, port, extra, &stream);
        if (err != aErrNone || !stream) {
            aDebugging_Trace(aDEBUG_LINK, "FAIL: open stream: %s\n", aError_GetErrorText(err));
            if (stream)
                aStream_Destroy(&stream);
            *cause = err != aErrNone ? err : aErrResource;
            return 0;
        }
        uint32_t id = sCreateWithStream(kind, key, kind == SERIAL ? 0 : port, stream, synchronise);
        if (id == 0)
            *cause = aErrInitialization;
        return id;
    } catch (...) {
        *cause = aErrMemory;
        return 0;
    }
}

// Every new client link gets the next value, so client links are never
// shared by address and port.
std::atomic<uint32_t> sClientCounter{1};

uint32_t sCreateClient(uint32_t address, uint16_t port, uint32_t existingLink)
{
    if (existingLink != 0) {
        if (aLinkManager_AddUse(existingLink) == aErrNone) {
            aDebugging_Trace(aDEBUG_LINK, "Using existing link - ConnectThroughLinkModule\n");
            return existingLink;
        }
        aDebugging_Trace(aDEBUG_LINK, "The provided ref is invalid.\n");
        return 0;
    }
    uint32_t index = sClientCounter.fetch_add(1);
    aStreamRef stream = nullptr;
    aErr err = aLinkEngine_OpenClient(address, port, nullptr, &stream);
    if (err != aErrNone || !stream) {
        aDebugging_Trace(aDEBUG_LINK, "FAIL: open stream: %s\n", aError_GetErrorText(err));
        if (stream)
            aStream_Destroy(&stream);
        return 0;
    }
    return sCreateWithStream(AETHER, address, port, stream, false, index);
}

} // namespace

aErr aLinkEngine_OpenTCPIP(uint32_t key, uint32_t port, const void*, aStreamRef* stream)
{
    return aStream_CreateSocket(key, static_cast<uint16_t>(port), stream);
}

aErr aLinkEngine_OpenClient(uint32_t key, uint32_t port, const void*, aStreamRef* stream)
{
    return aStream_CreateClient(key, static_cast<uint16_t>(port), stream);
}

aErr aLinkEngine_OpenUSB(uint32_t key, uint32_t, const void*, aStreamRef* stream)
{
#ifdef aLINK_HAVE_USB_STREAM
    return aStream_CreateUSB(key, stream);
#else
    (void)key;
    *stream = nullptr;
    return aErrUnimplemented;
#endif
}

uint32_t aLink_CreateUSB(uint32_t serialNumber)
{
    return aLink_CreateUSBWithCause(serialNumber, nullptr);
}

uint32_t aLink_CreateUSBWithCause(uint32_t serialNumber, aErr* cause)
{
    aErr ignored = aErrNone;
    aErr* out = cause ? cause : &ignored;
    if (serialNumber == 0) {
        *out = aErrParam;
        return 0;
    }
    return sCreate(USB, serialNumber, 0, nullptr, aLinkEngine_OpenUSB, true, out);
}

uint32_t aLink_CreateTCPIP(uint32_t address, uint16_t port)
{
    aErr cause = aErrNone;
    return sCreate(TCPIP, address, port, nullptr, aLinkEngine_OpenTCPIP, false, &cause);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate)
{
    return aLink_CreateSerialWithCause(serialNumber, portName, baudRate, nullptr);
}

uint32_t aLink_CreateSerialWithCause(uint32_t serialNumber, const char* portName, uint32_t baudRate, aErr* cause)
{
    aErr ignored = aErrNone;
    aErr* out = cause ? cause : &ignored;
    uint32_t index = 0;
    while (index < sizeof kBaudRates / sizeof kBaudRates[0] && kBaudRates[index] != baudRate)
        index++;
    if (index == sizeof kBaudRates / sizeof kBaudRates[0] || !portName) {
        *out = aErrParam;
        return 0;
    }
    // The baud index travels in the port argument of the opener.
    return sCreate(SERIAL, serialNumber, index, portName, sOpenSerial, false, out);
}

uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingLink)
{
    try {
        std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
        return sCreateClient(address, port, existingLink);
    } catch (...) {
        return 0;
    }
}

uint32_t aLink_Create(aStreamRef stream)
{
    if (!stream)
        return 0;
    try {
        std::lock_guard<std::mutex> guard(aLinkManager_CreationLock());
        return sCreateWithStream(0, 0, 0, stream, false);
    } catch (...) {
        aStream_Destroy(&stream);
        return 0;
    }
}
