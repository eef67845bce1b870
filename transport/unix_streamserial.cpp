#include "transport/unix_streamserial.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "transport/aRecord.h"
#include "transport/unix_waiter.h"

enum { SERIAL_PATHSIZE = 4096, RECORD_CHUNK = 256 };

struct aSerial {
    uint32_t baudIndex;
    char path[SERIAL_PATHSIZE];
    int fd; // -1 when closed
    struct termios saved;
    struct termios applied;
    bool haveSaved; // saved holds the settings found at open
    aWaiter waiter; // wakes the reader out of poll
    uint16_t check;
    // While a run is recorded: bytes read and not yet recorded, kept until
    // the line runs dry, the host writes or the chunk fills (reader and
    // writer may be two threads: the flag guards them).
    std::atomic_flag recordLock;
    uint32_t recordCount;
    uint8_t recordIn[RECORD_CHUNK];
};

// The caller holds recordLock.
static void sRecordReceived(aSerial* serial)
{
    if (serial->recordCount) {
        aRecord_Serial(serial->path, false, serial->recordIn, serial->recordCount);
        serial->recordCount = 0;
    }
}

static void sRecordLock(aSerial* serial)
{
    while (serial->recordLock.test_and_set(std::memory_order_acquire)) {
    }
}

static void sRecordUnlock(aSerial* serial)
{
    serial->recordLock.clear(std::memory_order_release);
}

// Records n bytes: received (byte null: the line ran dry) or about to be sent.
static void sRecord(aSerial* serial, bool sent, const uint8_t* bytes, uint32_t n)
{
    sRecordLock(serial);
    if (sent) {
        sRecordReceived(serial);
        aRecord_Serial(serial->path, true, bytes, n);
    } else if (!bytes) {
        sRecordReceived(serial);
    } else {
        serial->recordIn[serial->recordCount++] = *bytes;
        if (serial->recordCount == RECORD_CHUNK)
            sRecordReceived(serial);
    }
    sRecordUnlock(serial);
}

static aSerial* sSerial(void* reference)
{
    aSerial* serial = static_cast<aSerial*>(reference);
    return serial && serial->check == aSERIALCHECK ? serial : nullptr;
}

static aErr sGet(uint8_t* byte, void* reference)
{
    aSerial* serial = sSerial(reference);
    if (!serial || !byte)
        return aErrParam;
    ssize_t n = read(serial->fd, byte, 1);
    if (aRecord_IsOn())
        sRecord(serial, false, n == 1 ? byte : nullptr, 0);
    if (n == 1)
        return aErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

static aErr sWait(uint32_t timeoutMs, void* reference)
{
    aSerial* serial = sSerial(reference);
    return serial ? aWaiter_Poll(&serial->waiter, serial->fd, timeoutMs) : aErrParam;
}

static aErr sWake(void* reference)
{
    aSerial* serial = sSerial(reference);
    return serial ? aWaiter_Wake(&serial->waiter) : aErrParam;
}

static aErr sWrite(const uint8_t* data, uint32_t length, void* reference)
{
    aSerial* serial = sSerial(reference);
    if (!serial || !data)
        return aErrParam;
    if (aRecord_IsOn())
        sRecord(serial, true, data, length);
    ssize_t n;
    do {
        n = write(serial->fd, data, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<uint32_t>(n) != length)
        return aErrIO;
    if (tcdrain(serial->fd) != 0)
        return aErrIO;
    return aErrNone;
}

static aErr sPut(uint8_t byte, void* reference)
{
    aSerial* serial = sSerial(reference);
    if (!serial)
        return aErrParam;
    if (aRecord_IsOn())
        sRecord(serial, true, &byte, 1);
    ssize_t n;
    do {
        n = write(serial->fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? aErrNone : aErrIO;
}

static aErr sDelete(void* reference)
{
    aSerial* serial = sSerial(reference);
    if (!serial)
        return aErrParam;
    aErr err = aErrNone;
    if (aRecord_IsOn())
        sRecord(serial, false, nullptr, 0);
    if (serial->fd >= 0) {
        if (serial->haveSaved && tcsetattr(serial->fd, TCSANOW, &serial->saved) != 0)
            err = aErrIO;
        close(serial->fd);
        serial->fd = -1;
        std::memset(&serial->saved, 0, sizeof serial->saved);
    }
    aWaiter_Close(&serial->waiter);
    serial->check = 0;
    std::free(serial);
    return err;
}

static speed_t sSpeed(uint32_t index)
{
    switch (index) {
    case 0: return B2400;
    case 1: return B4800;
    case 2: return B9600;
    case 3: return B19200;
    case 4: return B38400;
    case 5: return B57600;
    case 6: return B115200;
    case 7: return B230400;
    default: return B0;
    }
}

static aErr sOpen(aSerial* serial, uint32_t parity, uint32_t dataBits, uint32_t stopBits)
{
    serial->fd = open(serial->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (serial->fd < 0) {
        int e = errno;
        serial->fd = -1;
        if (e == ENOENT)
            return aErrNotFound;
        if (e == EACCES || e == EPERM)
            return aErrPermission;
        return aErrIO;
    }
    if (fcntl(serial->fd, F_SETFL, 0) != 0)
        return aErrIO;
    if (tcgetattr(serial->fd, &serial->saved) != 0)
        return aErrIO;
    serial->haveSaved = true;

    struct termios t = serial->saved;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits ? CS7 : CS8) | (stopBits ? CSTOPB : 0);
    speed_t speed = sSpeed(serial->baudIndex);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    // The descriptor is blocking again, but reads still return at once with
    // whatever is waiting.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    serial->applied = t;
    if (tcsetattr(serial->fd, TCSANOW, &t) != 0)
        return aErrIO;
    if (tcflush(serial->fd, TCIOFLUSH) != 0)
        return aErrIO;
    return aErrNone;
}

aErr aStream_CreateSerial(const char* devicePath, uint32_t baudIndex, uint32_t parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream)
{
    // A cut path could name another device, so a path that does not fit is
    // refused rather than shortened.
    if (!devicePath || !stream || dataBits > 1 || stopBits > 1 || std::strlen(devicePath) >= SERIAL_PATHSIZE)
        return aErrResource;
    *stream = nullptr;
    aSerial* serial = static_cast<aSerial*>(std::calloc(1, sizeof(aSerial)));
    if (!serial)
        return aErrResource;
    serial->check = aSERIALCHECK;
    serial->fd = -1;
    serial->waiter.fd = -1;
    serial->baudIndex = baudIndex;
    std::memcpy(serial->path, devicePath, std::strlen(devicePath) + 1);

    aStreamRef s = nullptr;
    if (aWaiter_Open(&serial->waiter) == aErrNone)
        s = aStream_Create(sGet, sPut, sWrite, sDelete, serial);
    if (!s) {
        sDelete(serial);
        return aErrResource;
    }
    aStream_SetWaitProcs(s, sWait, sWake);
    aStream_SetByteStream(s);
    aErr err = sOpen(serial, parity, dataBits, stopBits);
    if (err != aErrNone) {
        aStream_Destroy(&s);
        return err;
    }
    *stream = s;
    return aErrNone;
}
