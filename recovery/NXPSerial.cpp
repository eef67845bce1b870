#include "recovery/NXPSerial.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "base/Log.h"
#include "transport/unix_streamserial.h"
#include "transport/unix_time.h"

namespace {

const uint32_t RATES[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const uint32_t RATE_COUNT = sizeof RATES / sizeof RATES[0];
const uint32_t FALLBACK_RATE_INDEX = 2; // 9600

const char* const ERROR_TEXT[NXPSerialClass::MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

struct Sector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
};

// Flash map of the LPC17xx: 16 sectors of 4 KB, then 14 of 32 KB.
const Sector NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0}, {0x01000, 0x1000, 1}, {0x02000, 0x1000, 2}, {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4}, {0x05000, 0x1000, 5}, {0x06000, 0x1000, 6}, {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8}, {0x09000, 0x1000, 9}, {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14}, {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24}, {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29}, {0xFFFFFFFF, 0, 30},
};

const uint32_t COMMAND_BUDGET = 100;     // failed reads while waiting for a return code
const uint32_t CHECKSUM_BUDGET = 2000;   // failed reads while the chip checks a Write
const uint32_t READ_FAILURES = 100;      // failed reads in GetEcho and Response
const uint32_t DROP_LIMIT = 4096;        // stray bytes dropped before giving up on an answer
const size_t LINE_SIZE = 128;

void sSleep(uint32_t microseconds)
{
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

NXPSerialClass::IdleWait sIdle = sSleep;

// Waiting for the chip: each failed read of the protocol's budgets stands for
// 1 ms, but the line is looked at four times within it, so an answer is taken
// within a quarter of a millisecond of its arrival and the deadlines stay.
class IdleBudget {
public:
    // Waits a quarter of a millisecond; true when a whole one has passed.
    bool Wait()
    {
        sIdle(250);
        return ++ticks % 4 == 0;
    }

private:
    unsigned ticks = 0;
};

// Hex and printable renderings of received bytes for the traces.
void _render(const uint8_t* bytes, size_t count, std::string& hex, std::string& text)
{
    char b[8];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(b, sizeof b, "%02X ", bytes[i]);
        hex += b;
        text += (bytes[i] >= 32 && bytes[i] < 127) ? char(bytes[i]) : ' ';
    }
}

// The text without its line end, for traces of sent commands.
std::string _printable(const char* text)
{
    std::string out;
    for (const char* c = text; *c; ++c)
        out += (*c >= 32 && *c < 127) ? *c : ' ';
    return out;
}

} // namespace

NXPSerialClass::IdleWait NXPSerialClass::SetIdleWait(IdleWait wait)
{
    IdleWait previous = sIdle;
    sIdle = wait ? wait : sSleep;
    return previous;
}

NXPSerialClass::NXPSerialClass() {}

NXPSerialClass::~NXPSerialClass()
{
    Disconnect();
}

uint32_t NXPSerialClass::BaudIndex(uint32_t rate)
{
    for (uint32_t i = 0; i < RATE_COUNT; ++i)
        if (RATES[i] >= rate)
            return i;
    return FALLBACK_RATE_INDEX;
}

aErr NXPSerialClass::Connect(const char* name, uint32_t rate)
{
    Disconnect();
    if (!name)
        return aErrResource;
    uint32_t index = BaudIndex(rate);
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%u(%u)\n", name, index, RATES[index]);
    aErr err = aStream_CreateSerial(name, index, 0, 0, 0, &stream);
    if (err != aErrNone) {
        stream = nullptr;
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", name, aError_GetErrorText(err));
        return err;
    }
    baudRate = RATES[index];
    std::snprintf(portName, sizeof portName, "%s", name);
    return aErrNone;
}

aErr NXPSerialClass::Attach(aStreamRef openStream, uint32_t rate)
{
    if (!openStream)
        return aErrParam;
    Disconnect();
    stream = openStream;
    baudRate = rate;
    return aErrNone;
}

aErr NXPSerialClass::Disconnect()
{
    if (stream)
        aStream_Destroy(&stream);
    stream = nullptr;
    return aErrNone;
}

aErr NXPSerialClass::_read(uint8_t& byte)
{
    if (!stream)
        return aErrConnection;
    return aStream_Read(stream, &byte, 1);
}

aErr NXPSerialClass::Send(const char* text, bool withEcho)
{
    if (!stream || !text)
        return aErrParam;
    size_t length = std::strlen(text);
    Log::log(DEBUG_NXPSerial_SR, "Send: [%s]\n", _printable(text).c_str());
    aErr err = aStream_Write(stream, text, uint32_t(length));
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (withEcho && length > 1) {
        size_t count = 0;
        GetEcho(text, length - 1, count);
    }
    return err;
}

aErr NXPSerialClass::SendCommand(const char* text, uint32_t waitMs)
{
    if (!stream || !text)
        return aErrParam;
    size_t length = std::strlen(text);
    Log::log(DEBUG_NXPSerial_SR, "SendCommand: [%s]\n", _printable(text).c_str());
    aErr err = aStream_Write(stream, text, uint32_t(length));
    if (waitMs > 0) {
        Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%u ms]\n", waitMs);
        sIdle(waitMs * 1000);
    }
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    } else if (echo && length > 1) {
        size_t count = 0;
        GetEcho(text, length - 1, count);
        if (count < length - 1)
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%zu!=%zu]\n", count, length - 1);
    }
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
}

aErr NXPSerialClass::GetEcho(const char* text, size_t length, size_t& count)
{
    count = 0;
    if (!text)
        return aErrParam;
    std::string trace = "recv Echo:[";
    aErr result = aErrNone;
    uint32_t failures = 0, dropped = 0;
    char b[24];
    IdleBudget idle;
    // A chip that keeps sending other bytes must not hold us forever.
    while (count < length && failures < READ_FAILURES && dropped < DROP_LIMIT) {
        uint8_t byte = 0;
        result = _read(byte);
        if (result != aErrNone) {
            if (idle.Wait()) {
                ++failures;
                Log::log(DEBUG_NXPSerial_E, ".");
            }
            continue;
        }
        if (byte == uint8_t(text[count])) {
            ++count;
            std::snprintf(b, sizeof b, " %02X", byte);
        } else {
            ++dropped;
            std::snprintf(b, sizeof b, " %02X!=%02X", byte, uint8_t(text[count]));
        }
        trace += b;
    }
    Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %zu, ...)\n", _printable(std::string(text, length).c_str()).c_str(),
             length);
    Log::log(DEBUG_NXPSerial_E, "%s]\n", trace.c_str());
    return result;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t& length, uint32_t retries)
{
    length = 0;
    if (!buffer || size == 0)
        return aErrParam;
    static const char TERM[] = "\r\n";
    size_t term = 0;
    aErr result = aErrNone;
    IdleBudget idle;
    while (length < size - 1 && term < 2 && retries > 0) {
        uint8_t byte = 0;
        result = _read(byte);
        if (result != aErrNone) {
            if (idle.Wait()) {
                --retries;
                Log::log(DEBUG_NXPSerial_E, ".");
            }
            continue;
        }
        if (byte == '\n' && length == 0) {
            --retries;
            Log::log(DEBUG_NXPSerial_E, ",");
            sIdle(1000);
            continue;
        }
        buffer[length++] = char(byte);
        term = (byte == uint8_t(TERM[term])) ? term + 1 : 0;
    }
    buffer[length] = 0;
    std::string hex, text;
    _render(reinterpret_cast<const uint8_t*>(buffer), length, hex, text);
    Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %zu %s [%s]\n", hex.c_str(), text.c_str(), length,
             term == 2 ? "term" : "non-term", aError_GetErrorText(result));
    return result;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t& count, const char* expected,
                              size_t expectedLength)
{
    count = 0;
    if (!buffer || size == 0)
        return aErrParam;
    size_t wanted = expected ? expectedLength : size - 1;
    if (wanted > size)
        wanted = size;
    uint32_t wait = WAIT_TIME_MS(uint32_t(expectedLength), baudRate) + 20;
    Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%zu bytes, %u, %u ms]\n", expectedLength, baudRate, wait);
    // The answer is taken as it comes; reads that find nothing count against
    // the budget only once the time the answer needs on the line has passed.
    aMSTicks start = aTime_GetMSTicks();

    static const char TERM[] = "\r\n";
    size_t term = 0;
    uint32_t failures = 0, dropped = 0;
    aErr result = aErrNone;
    IdleBudget idle;
    while (count < wanted && term < 2 && failures < READ_FAILURES && dropped < DROP_LIMIT) {
        uint8_t byte = 0;
        result = _read(byte);
        if (result != aErrNone) {
            if (aTime_MSElapsed(start) < wait) {
                sIdle(250);
            } else if (idle.Wait()) {
                ++failures;
                Log::log(DEBUG_NXPSerial_E, ".");
            }
            continue;
        }
        if (count == 0 && byte == '\n') {
            ++dropped;
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
            continue;
        }
        if (count == 0 && byte == '\r') {
            ++dropped;
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
            continue;
        }
        if (byte == 0 && count <= 2) {
            ++dropped;
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
            continue;
        }
        if (expected && count < expectedLength && byte != uint8_t(expected[count])) {
            uint8_t want = uint8_t(expected[count]);
            Log::log(DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %zu does not match [[%02X] %c != %c [%02X]]\n", count,
                     byte, byte >= 32 && byte < 127 ? byte : ' ', want >= 32 && want < 127 ? want : ' ', want);
        }
        buffer[count++] = char(byte);
        term = (byte == uint8_t(TERM[term])) ? term + 1 : 0;
    }
    std::string hex, text;
    _render(reinterpret_cast<const uint8_t*>(buffer), count, hex, text);
    Log::log(DEBUG_NXPSerial_SR, "Response: [%s] [%s]\n", hex.c_str(), text.c_str());
    return result;
}

uint8_t NXPSerialClass::GetErrorIndex(size_t lineLength) const
{
    return (echo && lineLength > 2) ? uint8_t(lineLength - 3) : 0;
}

const char* NXPSerialClass::GetErrorText(const char* line)
{
    if (!line)
        return ERROR_TEXT[MAX_ERROR];
    char* end = nullptr;
    long code = std::strtol(line, &end, 0);
    // A line without a number names no code at all.
    if (end == line || code < 0 || code > MAX_ERROR)
        return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[code];
}

aErr NXPSerialClass::_command(const char* text, const char* prefix, bool logText)
{
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", prefix, _printable(text).c_str(),
                 aError_GetErrorText(err));
        return err;
    }
    char line[LINE_SIZE];
    size_t length = 0;
    err = GetLine(line, sizeof line, length, COMMAND_BUDGET);
    // Nothing at all came back: the chip is silent, not refusing.
    if (length == 0)
        return err != aErrNone ? err : aErrNotReady;
    uint8_t index = GetErrorIndex(length);
    if (line[index] == '0')
        return aErrNone;
    if (logText)
        Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", prefix, GetErrorText(line + index));
    return aErrParam;
}

aErr NXPSerialClass::Sync()
{
    char buffer[64];
    size_t count = 0;
    Send("?", false);
    std::memset(buffer, 0, sizeof buffer);
    aErr err = Response(buffer, sizeof buffer - 1, count, "Synchronized\r\n", 14);
    if (count <= 1 && (count == 0 || buffer[0] == '?') && _stillSynchronized(count == 1) == aErrNone)
        return aErrNone;
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 aError_GetErrorText(err), _printable(buffer).c_str());
        return err;
    }
    if (count != 14 || std::memcmp(buffer, "Synchronized\r\n", 14) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", _printable(buffer).c_str());

    Send("Synchronized\r\n", false);
    std::memset(buffer, 0, sizeof buffer);
    Response(buffer, sizeof buffer - 1, count, "Synchronized\r", 13);
    std::memset(buffer, 0, sizeof buffer);
    Response(buffer, sizeof buffer - 1, count, "OK\r\n", 4);
    if (std::strncmp(buffer, "OK", 2) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", _printable(buffer).c_str(), "OK");

    char crystal[32];
    std::snprintf(crystal, sizeof crystal, "%d\r\n", int(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
    Send(crystal, false);
    std::memset(buffer, 0, sizeof buffer);
    Response(buffer, sizeof buffer - 1, count, crystal, std::strlen(crystal) - 1);
    std::memset(buffer, 0, sizeof buffer);
    err = Response(buffer, sizeof buffer - 1, count, "OK\r\n", 4);
    if (err != aErrNone)
        return err;
    // Without the chip's OK for the crystal it is not ready for commands.
    if (std::strncmp(buffer, "OK", 2) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", _printable(buffer).c_str(), "OK");
        return aErrIO;
    }
    return aErrNone;
}

aErr NXPSerialClass::_stillSynchronized(bool echoed)
{
    // A chip that an earlier run synchronised takes "?" as the start of a
    // command line (echoed or not): finishing the line must bring its
    // INVALID_COMMAND answer, which shows it is ready for commands.
    if (Send("\r\n", false) != aErrNone)
        return aErrIO;
    char line[LINE_SIZE];
    for (int i = 0; i < 2; ++i) {
        size_t length = 0;
        GetLine(line, sizeof line, length, COMMAND_BUDGET);
        if (length == 0)
            return aErrNotReady;
        if (std::strcmp(line, "\r\n") == 0 && echoed)
            continue; // the echo of our line end
        if (std::strcmp(line, "1\r\n") != 0)
            return aErrIO;
        echo = echoed;
        Log::log(DEBUG_NXPSerial, "Device was synchronized already (echo %d)\n", echoed ? 1 : 0);
        return aErrNone;
    }
    return aErrIO;
}

aErr NXPSerialClass::GetBootLoaderVersion(int& major, int& minor)
{
    aErr err = SendCommand("K\r\n", 0);
    if (err != aErrNone)
        return err;
    char line[LINE_SIZE];
    size_t length = 0;
    GetLine(line, sizeof line, length, COMMAND_BUDGET);
    GetLine(line, sizeof line, length, COMMAND_BUDGET);
    major = int(std::strtol(line, nullptr, 0));
    GetLine(line, sizeof line, length, COMMAND_BUDGET);
    minor = int(std::strtol(line, nullptr, 0));
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", major, minor);
    return aErrNone;
}

aErr NXPSerialClass::GetDeviceID()
{
    // The identity is the chip's fingerprint: only a complete answer counts.
    aErr err = _command("N\r\n", "", true);
    if (err != aErrNone)
        return err;
    uint32_t words[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        char line[32];
        size_t length = 0;
        err = GetLine(line, sizeof line, length, COMMAND_BUDGET);
        char* end = nullptr;
        unsigned long value = std::strtoul(line, &end, 0);
        if (length == 0 || end == line) {
            Log::log(DEBUG_NXPSerial, "Error device ID word %d missing\n", i);
            return err != aErrNone ? err : aErrNotReady;
        }
        words[i] = uint32_t(value);
    }
    std::memcpy(deviceID, words, sizeof deviceID);
    Log::log(DEBUG_NXPSerial, "Device ID: %08X %08X %08X %08X\n", deviceID[0], deviceID[1], deviceID[2], deviceID[3]);
    return aErrNone;
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address)
{
    char text[64];
    std::snprintf(text, sizeof text, "G %u T\r\n", address);
    return SendCommand(text, 0);
}

aErr NXPSerialClass::SetEcho(bool on)
{
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    aErr err = _command(on ? "A 1\r\n" : "A 0\r\n", "", false);
    if (err == aErrNone)
        echo = on;
    return err;
}

aErr NXPSerialClass::Unlock()
{
    return _command("U 23130\r\n", "", false);
}

aErr NXPSerialClass::Prepare(uint32_t first, uint32_t last)
{
    if (last < first)
        return aErrParam;
    char text[64];
    std::snprintf(text, sizeof text, "P %u %u\r\n", first, last);
    return _command(text, "", true);
}

aErr NXPSerialClass::Erase(uint32_t first, uint32_t last)
{
    if (last < first)
        return aErrParam;
    char text[64];
    std::snprintf(text, sizeof text, "E %u %u\r\n", first, last);
    return _command(text, "", true);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t length)
{
    if (flashAddress % 256 != 0 || (length != 256 && length != 512 && length != 1024 && length != 4096))
        return aErrParam;
    char text[96];
    std::snprintf(text, sizeof text, "C %u %u %u\r\n", flashAddress, ramAddress, length);
    return _command(text, "", true);
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t length, uint8_t* buffer)
{
    if (length == 0 || length % 4 != 0 || !buffer)
        return aErrParam;
    char text[64];
    std::snprintf(text, sizeof text, "R %u %u\r\n", address, length);
    aErr err = _command(text, "", true);
    if (err != aErrNone)
        return err;

    uint32_t checkpoint = 0, received = 0, lines = 0, attempts = MAX_READ_RETRY;
    char line[LINE_SIZE];
    size_t lineLength = 0;
    while (received < length && err == aErrNone) {
        err = GetLine(line, sizeof line, lineLength, COMMAND_BUDGET);
        if (err != aErrNone)
            break;
        size_t n = uudecode(buffer + received, length - received, line);
        // A line that decodes to nothing would never move the transfer on.
        if (n == 0) {
            Log::log(DEBUG_NXPSerial, "Read() undecodable line [%s]\n", _printable(line).c_str());
            err = aErrIO;
            break;
        }
        received += uint32_t(n);
        ++lines;
        if (lines < LINES_PER_CHECKSUM && received < length)
            continue;
        err = GetLine(line, sizeof line, lineLength, COMMAND_BUDGET);
        if (err != aErrNone)
            break;
        char* end = nullptr;
        unsigned long chipSum = std::strtoul(line, &end, 10);
        if (end != line && uint32_t(chipSum) == sum(buffer + checkpoint, received - checkpoint)) {
            Send("OK\r\n", false);
            // A chip that does not echo sends the next lines at once: only
            // an echo may be taken here, never data.
            if (echo) {
                char echoBuffer[8];
                size_t count = 0;
                Response(echoBuffer, sizeof echoBuffer, count, "OK\r\n", received < length ? 3 : 4);
            }
            checkpoint = received;
            Log::log(DEBUG_NXPSerial, "valid receipt of %u of %u (%.0f%%) bytes\n", received, length,
                     100.0 * received / length);
        } else {
            if (--attempts == 0)
                return aErrTimeout;
            Send("RESEND\r\n", echo);
            received = checkpoint;
        }
        lines = 0;
    }
    return err;
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t length, const uint8_t* data)
{
    if (length == 0 || length % 4 != 0 || !data)
        return aErrParam;
    char text[64];
    std::snprintf(text, sizeof text, "W %u %u\r\n", address, length);
    aErr err = _command(text, "Write() ", true);
    if (err != aErrNone)
        return err;

    uint32_t checkpoint = 0, sent = 0, lines = 0, attempts = MAX_READ_RETRY;
    char line[LINE_SIZE];
    while (sent < length && err == aErrNone) {
        uint32_t take = length - sent < MAX_BYTES_PER_LINE ? length - sent : MAX_BYTES_PER_LINE;
        uuencode(line, data + sent, take);
        err = Send(line, echo);
        if (err == aErrNone)
            err = Send("\r\n", echo);
        if (err != aErrNone)
            break;
        sent += take;
        ++lines;
        if (lines < LINES_PER_CHECKSUM && sent < length)
            continue;
        uint32_t checksum = sum(data + checkpoint, sent - checkpoint);
        Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%u)\n", checksum, checksum);
        char sumText[32];
        std::snprintf(sumText, sizeof sumText, "%u\r\n", checksum);
        err = Send(sumText, echo);
        if (err != aErrNone)
            break;
        aMSTicks start = aTime_GetMSTicks();
        size_t lineLength = 0;
        GetLine(line, sizeof line, lineLength, CHECKSUM_BUDGET);
        Log::log(DEBUG_NXPSerial, "Write() waited for checksum %u ms\n", aTime_MSElapsed(start));
        if (std::strcmp(line, "OK\r\n") == 0) {
            checkpoint = sent;
            Log::log(DEBUG_NXPSerial, "Write() valid transfer of %u of %u (%.0f%%) bytes\n", sent, length,
                     100.0 * sent / length);
        } else if (std::strcmp(line, "RESEND\r\n") == 0) {
            if (--attempts == 0) {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                return aErrTimeout;
            }
            sent = checkpoint;
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", _printable(line).c_str());
            return aErrIO;
        }
        lines = 0;
    }
    return err;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, size_t length)
{
    uint32_t total = 0;
    for (size_t i = 0; data && i < length; ++i)
        total += data[i];
    return total;
}

char NXPSerialClass::uuchar(uint8_t value)
{
    value &= 0x3F;
    return value == 0 ? '`' : char(value + 32);
}

size_t NXPSerialClass::uuencode(char* out, const uint8_t* data, size_t length)
{
    if (!out)
        return 0;
    if (!data)
        length = 0;
    if (length > 63)
        length = 63; // the count character holds six bits
    size_t o = 0;
    out[o++] = uuchar(uint8_t(length));
    for (size_t i = 0; i < length; i += 3) {
        uint8_t b0 = data[i];
        uint8_t b1 = i + 1 < length ? data[i + 1] : 0;
        uint8_t b2 = i + 2 < length ? data[i + 2] : 0;
        out[o++] = uuchar(uint8_t(b0 >> 2));
        out[o++] = uuchar(uint8_t(((b0 & 0x03) << 4) | (b1 >> 4)));
        out[o++] = uuchar(uint8_t(((b1 & 0x0F) << 2) | (b2 >> 6)));
        out[o++] = uuchar(uint8_t(b2 & 0x3F));
    }
    out[o] = 0;
    return length;
}

size_t NXPSerialClass::uudecode(uint8_t* buffer, size_t capacity, const char* line)
{
    if (!line || !buffer)
        return 0;
    size_t n = size_t((uint8_t(line[0]) - 32) & 0x3F);
    if (line[0] == 0 || capacity < n)
        return 0;
    size_t out = 0;
    const char* p = line + 1;
    auto ends = [](char c) { return c == 0 || c == '\r' || c == '\n'; };
    while (out < n) {
        uint8_t v[4] = {0, 0, 0, 0};
        bool shortLine = false;
        for (int i = 0; i < 4; ++i) {
            if (ends(*p)) {
                shortLine = true;
                break;
            }
            v[i] = uint8_t((uint8_t(*p++) - 32) & 0x3F);
        }
        if (shortLine) {
            // Bytes the line did not carry are zero, never left over from before.
            Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
            std::memset(buffer + out, 0, n - out);
            break;
        }
        uint8_t bytes[3] = {uint8_t((v[0] << 2) | (v[1] >> 4)), uint8_t((v[1] << 4) | (v[2] >> 2)),
                            uint8_t((v[2] << 6) | v[3])};
        for (int i = 0; i < 3 && out < n; ++i)
            buffer[out++] = bytes[i];
    }
    return n;
}

uint32_t NXPSerialClass::CopyLength(uint32_t length)
{
    static const uint32_t SIZES[] = {256, 512, 1024, 4096};
    for (uint32_t size : SIZES)
        if (size >= length)
            return size;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %u > 4096.\n", length);
    return length;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address)
{
    for (const Sector& s : NXP_LPC17XX_sectors) {
        if (s.size == 0)
            break;
        if (s.start <= address && address < s.start + s.size)
            return s.number;
    }
    return SECTOR_NONE;
}

uint32_t NXPSerialClass::WAIT_TIME_MS(uint32_t bytes, uint32_t rate)
{
    if (rate == 0)
        rate = 9600; // not connected yet: assume the slowest rate the chip starts with
    return (bytes * 9000u + 18000u) / rate + 1;
}
