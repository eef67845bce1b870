#include "transport/aRecord.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

std::atomic<bool> aRecordActive{false};

namespace {

// A record that follows the last write by this long or more is written at
// once; closer ones (a burst of packets) wait in memory for the writer
// thread, which writes them at most this long later. A write per record
// would cost an install as much time as its packets take.
constexpr int64_t kFlushUs = 5000;

// The recording's file, its start and the records not yet written; guarded
// by the lock. The state is never freed, so that records written while the
// process ends never meet a destroyed mutex.
struct sRecording {
    std::mutex lock;
    std::mutex writeLock; // taken under lock, held while writing without it
    std::condition_variable wake;
    int fd = -1;
    std::chrono::steady_clock::time_point start;
    std::string pending;
    int64_t lastWriteUs = 0;
    bool stopping = false;
    std::thread writer;
};

sRecording& sState()
{
    static sRecording* state = new sRecording();
    return *state;
}

const char HEX[] = "0123456789abcdef";

// Appends text as a JSON string: quotes, backslashes, control characters and
// every byte above 0x7E escaped, so that any bytes make valid JSON.
void sString(std::string& out, const char* text, size_t length)
{
    out += '"';
    for (size_t i = 0; i < length; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            out += "\\u00";
            out += HEX[c >> 4];
            out += HEX[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void sString(std::string& out, const std::string& text)
{
    sString(out, text.data(), text.size());
}

void sHex(std::string& out, const uint8_t* bytes, uint32_t length)
{
    out += '"';
    for (uint32_t i = 0; i < length; i++) {
        out += HEX[bytes[i] >> 4];
        out += HEX[bytes[i] & 0xF];
    }
    out += '"';
}

std::string sAddress(uint32_t networkOrder)
{
    char text[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = networkOrder;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

const char* sKindName(uint32_t kind)
{
    switch (kind) {
    case 1: return "USB";
    case 2: return "TCPIP";
    case 3: return "SERIAL";
    case 4: return "AETHER";
    default: return "OTHER";
    }
}

// Writes value in decimal at out; returns the digits written (at most 20).
size_t sDecimal(char* out, uint64_t value)
{
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t i = 0; i < n; i++)
        out[i] = digits[n - 1 - i];
    return n;
}

void sWriteAll(int fd, const std::string& line)
{
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Starts a record of the given kind: {"kind":"...","t":MICROSECONDS
std::string sBegin(const char* kind)
{
    std::string line;
    line.reserve(128);
    line += "{\"kind\":\"";
    line += kind;
    line += "\",\"t\":";
    return line;
}

// Writes what is pending. The caller holds the lock in hold; it is let go
// during the write, so that records are queued meanwhile, while the write
// lock keeps the writes in the order their records were queued.
void sFlushLocked(sRecording& s, std::unique_lock<std::mutex>& hold, int64_t nowUs)
{
    s.lastWriteUs = nowUs;
    if (s.pending.empty())
        return;
    std::string out;
    out.reserve(1 << 16);
    out.swap(s.pending);
    const int fd = s.fd;
    {
        // The write lock is taken under the lock and let go before the lock
        // is taken again: held the other way round by two writers at once,
        // the two locks would wait for each other for ever.
        std::lock_guard<std::mutex> writing(s.writeLock);
        hold.unlock();
        sWriteAll(fd, out);
    }
    hold.lock();
}

int64_t sElapsedUs(const sRecording& s)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - s.start)
        .count();
}

// Stamps the time after head (which ends with "t":), adds fields, closes
// the record and queues it; written at once unless a write was just made.
void sFinish(const char* head, size_t headLength, const char* fields, size_t fieldsLength)
{
    sRecording& s = sState();
    std::unique_lock<std::mutex> hold(s.lock);
    if (s.fd < 0)
        return;
    const int64_t now = sElapsedUs(s);
    char stamp[24];
    const size_t n = sDecimal(stamp, static_cast<uint64_t>(now > 0 ? now : 0));
    s.pending.append(head, headLength);
    s.pending.append(stamp, n);
    s.pending.append(fields, fieldsLength);
    s.pending.append("}\n", 2);
    if (now - s.lastWriteUs >= kFlushUs)
        sFlushLocked(s, hold, now);
}

void sFinish(std::string& head, const std::string& fields)
{
    sFinish(head.data(), head.size(), fields.data(), fields.size());
}

void sWriterLoop()
{
    sRecording& s = sState();
    std::unique_lock<std::mutex> hold(s.lock);
    while (!s.stopping) {
        s.wake.wait_for(hold, std::chrono::microseconds(kFlushUs));
        if (s.fd >= 0 && !s.pending.empty())
            sFlushLocked(s, hold, sElapsedUs(s));
    }
}

void sRecord(const char* kind, const std::string& fields)
{
    std::string line = sBegin(kind);
    sFinish(line, fields);
}

} // namespace

std::string aRecord_HidePasswords(const std::string& text)
{
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t scheme = text.find("://", at);
        if (scheme == std::string::npos)
            break;
        const size_t from = scheme + 3;
        // The authority ends at the first '/', '?' or '#'; its user part at
        // the last '@' in it.
        size_t end = text.find_first_of("/?#", from);
        if (end == std::string::npos)
            end = text.size();
        const size_t atSign = text.rfind('@', end == 0 ? 0 : end - 1);
        if (atSign != std::string::npos && atSign >= from && atSign < end) {
            const size_t colon = text.find(':', from);
            if (colon != std::string::npos && colon < atSign) {
                // Shown as the program shows it on the console.
                out.append(text, at, colon + 1 - at);
                out += "***";
                at = atSign;
                continue;
            }
        }
        out.append(text, at, from - at);
        at = from;
    }
    out.append(text, at, std::string::npos);
    return out;
}

aErr aRecord_Start(const char* path, const char* program, const char* version, int argc,
                   const char* const* argv)
{
    if (!path || !program || !version)
        return aErrParam;
    sRecording& s = sState();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (s.fd >= 0)
            return aErrBusy;
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            return aErrIO;
        s.fd = fd;
        s.start = std::chrono::steady_clock::now();
        s.pending.clear();
        s.pending.reserve(1 << 16);
        s.lastWriteUs = -kFlushUs;
        s.stopping = false;
        try {
            s.writer = std::thread(sWriterLoop);
        } catch (...) {
            close(fd);
            s.fd = -1;
            return aErrResource;
        }
    }
    std::string fields = ",\"format\":1,\"program\":";
    sString(fields, program, std::char_traits<char>::length(program));
    fields += ",\"version\":";
    sString(fields, version, std::char_traits<char>::length(version));
    fields += ",\"argv\":[";
    for (int i = 0; i < argc; i++) {
        if (i)
            fields += ',';
        sString(fields, aRecord_HidePasswords(argv && argv[i] ? argv[i] : ""));
    }
    fields += "],\"time\":";
    char when[32] = "";
    const std::time_t now = std::time(nullptr);
    struct tm utc;
    if (gmtime_r(&now, &utc))
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    sString(fields, when, std::char_traits<char>::length(when));
    sRecord("header", fields);
    aRecordActive.store(true);
    return aErrNone;
}

void aRecord_Stop()
{
    aRecordActive.store(false);
    sRecording& s = sState();
    std::thread writer;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (s.fd < 0)
            return;
        s.stopping = true;
        writer = std::move(s.writer);
    }
    s.wake.notify_all();
    if (writer.joinable())
        writer.join();
    std::unique_lock<std::mutex> hold(s.lock);
    sFlushLocked(s, hold, 0);
    std::lock_guard<std::mutex> writing(s.writeLock);
    close(s.fd);
    s.fd = -1;
}

namespace {

// Where each USB module was last opened, by its serial-number string: the
// text ",\"bus\":B,\"device\":D,\"product\":P" its next link_open carries.
std::mutex sUsbLock;
std::map<std::string, std::string> sUsbPlaces;

} // namespace

void aRecord_UsbDevice(const char* serialText, uint8_t bus, uint8_t device, uint16_t product)
{
    if (!serialText)
        return;
    char f[64];
    std::snprintf(f, sizeof f, ",\"bus\":%u,\"device\":%u,\"product\":%u", bus, device, product);
    std::lock_guard<std::mutex> hold(sUsbLock);
    sUsbPlaces[serialText] = f;
}

namespace {

std::string sUsbPlace(const char* serialText)
{
    std::lock_guard<std::mutex> hold(sUsbLock);
    auto it = sUsbPlaces.find(serialText);
    return it == sUsbPlaces.end() ? std::string() : it->second;
}

} // namespace

void aRecord_LinkOpened(uint32_t link, uint32_t kind, uint32_t key, uint32_t port, const char* path)
{
    std::string f = ",\"link\":" + std::to_string(link) + ",\"transport\":\"" + sKindName(kind) + "\"";
    if (kind == 2 || kind == 4) {
        f += ",\"address\":\"" + sAddress(key) + "\",\"port\":" + std::to_string(port);
    } else {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%08X", key);
        f += ",\"serial\":\"";
        f += serial;
        f += '"';
        if (kind == 1)
            f += sUsbPlace(serial);
    }
    if (path) {
        f += ",\"path\":";
        sString(f, path, std::char_traits<char>::length(path));
    }
    sRecord("link_open", f);
}

void aRecord_LinkModule(uint32_t link, uint32_t serial, uint32_t module, uint32_t router, uint32_t routerSerial)
{
    char f[160];
    std::snprintf(f, sizeof f, ",\"link\":%u,\"serial\":\"%08X\",\"module\":%u,\"router\":%u,\"router_serial\":\"%08X\"",
                  link, serial, module, router, routerSerial);
    sRecord("link_module", f);
}

void aRecord_LinkClosed(uint32_t link)
{
    sRecord("link_close", ",\"link\":" + std::to_string(link));
}

void aRecord_LinkDropped(uint32_t link, const char* why)
{
    std::string f = ",\"link\":" + std::to_string(link) + ",\"why\":";
    sString(f, why ? why : "", why ? std::char_traits<char>::length(why) : 0);
    sRecord("link_drop", f);
}

namespace {

// The busiest records, a packet and the reply a caller got: formatted on
// the stack, without allocations. dir is the text between the link's number
// and the hex digits.
void sPacketRecord(const char* head, size_t headLength, uint32_t link, const char* dir, size_t dirLength,
                   const uint8_t* wire, uint32_t length)
{
    char fields[64 + 2 * 256];
    if (length > 256)
        length = 256;
    static const char LINK[] = ",\"link\":";
    size_t at = 0;
    std::memcpy(fields, LINK, sizeof LINK - 1);
    at += sizeof LINK - 1;
    at += sDecimal(fields + at, link);
    std::memcpy(fields + at, dir, dirLength);
    at += dirLength;
    for (uint32_t i = 0; i < length; i++) {
        fields[at++] = HEX[wire[i] >> 4];
        fields[at++] = HEX[wire[i] & 0xF];
    }
    fields[at++] = '"';
    sFinish(head, headLength, fields, at);
}

} // namespace

void aRecord_Packet(uint32_t link, bool sent, const uint8_t* wire, uint32_t length)
{
    static const char HEAD[] = "{\"kind\":\"packet\",\"t\":";
    static const char OUT[] = ",\"dir\":\"out\",\"hex\":\"";
    static const char IN[] = ",\"dir\":\"in\",\"hex\":\"";
    if (sent)
        sPacketRecord(HEAD, sizeof HEAD - 1, link, OUT, sizeof OUT - 1, wire, length);
    else
        sPacketRecord(HEAD, sizeof HEAD - 1, link, IN, sizeof IN - 1, wire, length);
}

void aRecord_Reply(uint32_t link, const uint8_t* wire, uint32_t length)
{
    static const char HEAD[] = "{\"kind\":\"reply\",\"t\":";
    static const char HEXFIELD[] = ",\"hex\":\"";
    sPacketRecord(HEAD, sizeof HEAD - 1, link, HEXFIELD, sizeof HEXFIELD - 1, wire, length);
}

void aRecord_Reconnect(uint32_t address, uint16_t port, aErr result)
{
    std::string f = ",\"address\":\"" + sAddress(address) + "\",\"port\":" + std::to_string(port)
        + ",\"result\":" + std::to_string(static_cast<int>(result));
    sRecord("reconnect", f);
}

namespace {

void sDatagram(const char* search, const char* via, bool sent, uint32_t peerAddress, uint16_t peerPort,
               const uint8_t* bytes, uint32_t length)
{
    std::string f = ",\"search\":";
    sString(f, search ? search : "", search ? std::char_traits<char>::length(search) : 0);
    if (via) {
        f += ",\"via\":";
        sString(f, via, std::char_traits<char>::length(via));
    }
    f += sent ? ",\"dir\":\"out\"" : ",\"dir\":\"in\"";
    f += ",\"peer\":\"" + sAddress(peerAddress) + "\",\"port\":" + std::to_string(peerPort) + ",\"hex\":";
    sHex(f, bytes, length);
    sRecord("datagram", f);
}

} // namespace

void aRecord_Datagram(const char* search, bool sent, uint32_t peerAddress, uint16_t peerPort,
                      const uint8_t* bytes, uint32_t length)
{
    sDatagram(search, nullptr, sent, peerAddress, peerPort, bytes, length);
}

void aRecord_AetherDatagram(bool beacon, bool sent, uint32_t peerAddress, uint16_t peerPort, const uint8_t* bytes,
                            uint32_t length)
{
    sDatagram("aether", beacon ? "beacon" : "query", sent, peerAddress, peerPort, bytes, length);
}

void aRecord_Serial(const char* path, bool sent, const uint8_t* bytes, uint32_t length)
{
    std::string f = ",\"path\":";
    sString(f, path ? path : "", path ? std::char_traits<char>::length(path) : 0);
    f += sent ? ",\"dir\":\"out\",\"hex\":" : ",\"dir\":\"in\",\"hex\":";
    sHex(f, bytes, length);
    sRecord("serial", f);
}

void aRecord_HidOpen(uint16_t vendor, uint16_t product, bool opened)
{
    char f[64];
    std::snprintf(f, sizeof f, ",\"vendor\":%u,\"product\":%u,\"opened\":%s", vendor, product,
                  opened ? "true" : "false");
    sRecord("hid_open", f);
}

void aRecord_Hid(bool sent, const uint8_t* report, uint32_t length)
{
    std::string f = sent ? ",\"dir\":\"out\",\"hex\":" : ",\"dir\":\"in\",\"hex\":";
    sHex(f, report, length);
    sRecord("hid", f);
}

void aRecord_Http(const std::string& url, long status, const std::string& body, const char* failure)
{
    std::string f = ",\"url\":";
    sString(f, aRecord_HidePasswords(url));
    if (failure) {
        f += ",\"error\":";
        sString(f, failure, std::char_traits<char>::length(failure));
    } else {
        f += ",\"status\":" + std::to_string(status) + ",\"body\":";
        sString(f, body);
    }
    sRecord("http", f);
}

void aRecord_Output(bool error, const char* text)
{
    std::string f = error ? ",\"stream\":\"err\",\"text\":" : ",\"stream\":\"out\",\"text\":";
    // Messages may quote the server's URL.
    sString(f, aRecord_HidePasswords(text ? text : ""));
    sRecord("output", f);
}

void aRecord_Exit(int status)
{
    sRecord("exit", ",\"status\":" + std::to_string(status));
}
