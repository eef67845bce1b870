// Client of the serial in-system-programming boot loader in the ROM of LPC17xx
// microcontrollers: synchronise, read the chip's identity, unlock, prepare and
// erase sectors, write RAM, copy RAM to flash, read memory and start code.
// Every exchange goes through one serial stream that the object owns; it is
// used from one thread at a time. Traces go to the debug log.
#ifndef UPDATER_RECOVERY_NXPSERIAL_H
#define UPDATER_RECOVERY_NXPSERIAL_H

#include <cstddef>
#include <cstdint>

#include "link/aError.h"
#include "transport/aStream.h"

class NXPSerialClass {
public:
    static constexpr float CRYSTAL_DEFAULT = 14.7456f; // MHz
    static constexpr const char* CRYSTAL_KEY = "Crystal";
    static constexpr uint32_t MAX_BYTES_PER_LINE = 45;
    static constexpr uint32_t LINES_PER_CHECKSUM = 20;
    static constexpr uint32_t MAX_READ_RETRY = 3;
    static constexpr int MAX_ERROR = 20;
    static constexpr size_t PORT_NAME_SIZE = 2048;
    // RAM address where each firmware piece is staged before it goes to flash.
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
    // Sector number given for an address outside the flash.
    static constexpr uint32_t SECTOR_NONE = 30;

    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Opens the port at the first table rate not below baudRate (9600 above
    // the table), 8N1. Errors are those of the serial stream: aErrNotFound no
    // such port, aErrPermission access denied, aErrIO set-up refused,
    // aErrResource bad path.
    aErr Connect(const char* portName, uint32_t baudRate);
    // Takes an open stream (owned from now on) in place of a port, with the
    // rate used for answer timing. aErrParam: null stream.
    aErr Attach(aStreamRef openStream, uint32_t rate);
    // Closes the stream if open. aErrNone always.
    aErr Disconnect();

    // Writes text; with withEcho consumes the echo of all but its last
    // character. Returns the write result (aErrParam when not connected).
    aErr Send(const char* text, bool withEcho);
    // Writes a command, optionally waits waitMs, consumes the echo when the
    // chip echoes. Returns the write result (aErrParam when not connected).
    aErr SendCommand(const char* text, uint32_t waitMs);
    // Reads until the characters of text came back in order, or 100 reads
    // failed; count gets the number matched. Returns the last read's result.
    aErr GetEcho(const char* text, size_t length, size_t& count);
    // Reads one line ending in "\r\n" (kept) into buffer, zero-terminated,
    // spending at most retries failed reads. Returns the last read's result
    // (aErrNotReady when the line did not come).
    aErr GetLine(char* buffer, size_t size, size_t& length, uint32_t retries);
    // Reads an answer of expectedLength bytes (or up to size - 1 without
    // expected) after waiting for it to arrive; buffer is not terminated.
    // Returns the last read's result.
    aErr Response(char* buffer, size_t size, size_t& count, const char* expected, size_t expectedLength);

    // Index of the return code's character in a reply line.
    uint8_t GetErrorIndex(size_t lineLength) const;
    // Text of the return code that line holds ("Unknown error" when none).
    static const char* GetErrorText(const char* line);

    // ISP commands. Each returns aErrNone on success, aErrParam when the chip
    // answered a non-zero return code or the arguments are refused before
    // sending, aErrNotReady when no answer came, or the stream's write error.
    aErr Sync();
    aErr GetBootLoaderVersion(int& major, int& minor);
    aErr GetDeviceID();
    aErr ExecuteFrom(uint32_t address);
    aErr SetEcho(bool on);
    aErr Unlock();
    aErr Prepare(uint32_t first, uint32_t last);
    aErr Erase(uint32_t first, uint32_t last);
    // Read and Write also give aErrTimeout when the checksum failed
    // MAX_READ_RETRY times; Write gives aErrIO on an unexpected checksum answer.
    aErr Read(uint32_t address, uint32_t length, uint8_t* buffer);
    aErr Write(uint32_t address, uint32_t length, const uint8_t* data);
    aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t length);

    // The four identity words that GetDeviceID read.
    const uint32_t* DeviceID() const { return deviceID; }
    bool Echo() const { return echo; }
    bool IsConnected() const { return stream != nullptr; }
    const char* PortName() const { return portName; }
    uint32_t BaudRate() const { return baudRate; }

    static uint32_t sum(const uint8_t* data, size_t length);
    static char uuchar(uint8_t value);
    // Encodes up to 63 bytes as one line into out (at least
    // 2 + 4 * ((length + 2) / 3) bytes); returns the bytes taken.
    static size_t uuencode(char* out, const uint8_t* data, size_t length);
    // Decodes one line into buffer; returns its byte count, 0 when capacity
    // is below it (nothing written).
    static size_t uudecode(uint8_t* buffer, size_t capacity, const char* line);
    static uint32_t CopyLength(uint32_t length);
    static uint32_t SectorFromAddress(uint32_t address);
    static uint32_t WAIT_TIME_MS(uint32_t bytes, uint32_t baudRate);
    // Index into the rate table chosen for baudRate (see Connect).
    static uint32_t BaudIndex(uint32_t baudRate);

    // How the client waits while the chip has nothing to say (a sleep of
    // that many microseconds); a stream that answers at once (a script) has
    // no use for waiting. Null restores the sleep. Returns the previous wait;
    // set it before any client runs.
    typedef void (*IdleWait)(uint32_t microseconds);
    static IdleWait SetIdleWait(IdleWait wait);

private:
    // Sends a command and reads its return-code line.
    aErr _command(const char* text, const char* prefix, bool logText);
    aErr _read(uint8_t& byte);
    // After "?" brought no "Synchronized" (only its echo when echoed): true
    // (aErrNone) when the chip is still synchronised from an earlier run.
    aErr _stillSynchronized(bool echoed);

    aStreamRef stream = nullptr;
    bool echo = true;
    uint32_t baudRate = 0;
    char portName[PORT_NAME_SIZE] = {0};
    uint32_t deviceID[4] = {0, 0, 0, 0};
};

#endif
