#include "recovery/Serial_SDPLoader_unix.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Log.h"
#include "transport/unix_time.h"

struct PrivateSerial_SDPLoader {
    int fd = -1;
    std::string path;
    struct termios settings {};
    // When the last byte written will have left the line, by the clock of
    // _now(): the port's own word (tcdrain) or the time 10 bits a byte take at
    // the line's rate, whichever is later, so that a port that buffers more
    // than it shows still gets the answer's whole time-out.
    double lineFreeAt = 0;
};

namespace {

// A ROM that never stops sending must not keep a read going forever.
const size_t READ_LIMIT = 64 * 1024;
const double LINE_RATE = 115200.0;
// Every ROM answer on a serial line is the security-mode word and a status word.
const size_t ANSWER_BYTES = 8;
// The ROM echoes these bytes once it takes the line as its boot interface;
// it ignores whatever came before them.
const uint8_t ASSOCIATION[4] = {0x23, 0x45, 0x45, 0x23};
// How long the line may take to settle and the ROM to echo them.
const int ASSOCIATION_TIMEOUT_MS = 1000;

double _now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Waits until fd has bytes to read or the deadline passes; false at the deadline.
bool _waitReadable(int fd, double deadline)
{
    for (;;) {
        double left = deadline - _now();
        if (left <= 0)
            return false;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, int(left * 1000.0) + 1);
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

// Appends what is waiting on fd (up to limit bytes); returns the count.
size_t _takeWaiting(int fd, SDPPacket& buffer, size_t limit)
{
    size_t total = 0;
    uint8_t chunk[256];
    while (total < limit) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        buffer.insert(buffer.end(), chunk, chunk + n);
        total += size_t(n);
    }
    return total;
}

} // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string& port) : d(new PrivateSerial_SDPLoader)
{
    d->path = port;
}

Serial_SDPLoader::~Serial_SDPLoader()
{
    if (d->fd >= 0) {
        tcflush(d->fd, TCIOFLUSH);
        close(d->fd);
    }
}

bool Serial_SDPLoader::init()
{
    if (d->fd >= 0)
        return true;
    int fd = open(d->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Log::log(DEBUG_iMXSerial, "Could not open serial port [%s] errno %d\n", d->path.c_str(), errno);
        return false;
    }
    if (!isatty(fd) || tcgetattr(fd, &d->settings) != 0) {
        Log::log(DEBUG_iMXSerial, "Not a serial port [%s]\n", d->path.c_str());
        close(fd);
        return false;
    }
    struct termios& t = d->settings;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
        Log::log(DEBUG_iMXSerial, "Could not set up serial port [%s] errno %d\n", d->path.c_str(), errno);
        close(fd);
        return false;
    }
    d->fd = fd;
    _associate();
    tcflush(fd, TCIOFLUSH);
    return true;
}

bool Serial_SDPLoader::_associate()
{
    // Report id first, as every packet handed to writeData.
    const SDPPacket bytes = {0, ASSOCIATION[0], ASSOCIATION[1], ASSOCIATION[2], ASSOCIATION[3]};
    if (writeData(bytes) != ssize_t(sizeof ASSOCIATION))
        return false;
    double deadline = _now() + ASSOCIATION_TIMEOUT_MS / 1000.0;
    SDPPacket answer;
    while (_waitReadable(d->fd, deadline)) {
        _takeWaiting(d->fd, answer, READ_LIMIT);
        for (size_t i = 0; i + sizeof ASSOCIATION <= answer.size(); ++i) {
            if (std::memcmp(answer.data() + i, ASSOCIATION, sizeof ASSOCIATION) == 0) {
                Log::log(DEBUG_iMXSerial, "Associated with the ROM on [%s]\n", d->path.c_str());
                return true;
            }
        }
        if (answer.size() > READ_LIMIT)
            break;
    }
    // A ROM that took the line before answers commands all the same.
    Log::log(DEBUG_iMXSerial, "No association echo on [%s]\n", d->path.c_str());
    return false;
}

ssize_t Serial_SDPLoader::writeData(const SDPPacket& packet)
{
    if (d->fd < 0 || packet.size() < 2)
        return 0;
    // The report id means nothing on a serial line.
    const uint8_t* data = packet.data() + 1;
    size_t left = packet.size() - 1;
    double start = _now();
    if (d->lineFreeAt < start)
        d->lineFreeAt = start;
    size_t done = 0;
    int stalls = 0;
    while (done < left) {
        ssize_t n = write(d->fd, data + done, left - done);
        if (n > 0) {
            done += size_t(n);
            stalls = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break; // the port has gone away
        if (++stalls >= WRITE_STALLS)
            break;
        aTime_MSSleep(1);
    }
    d->lineFreeAt += double(done) * 10.0 / LINE_RATE;
    return ssize_t(done);
}

ssize_t Serial_SDPLoader::readData(SDPPacket& buffer, int timeoutMs)
{
    if (d->fd < 0)
        return 0;
    if (timeoutMs <= 0)
        return ssize_t(_takeWaiting(d->fd, buffer, READ_LIMIT));
    // The ROM cannot answer before it has the last byte: the time-out counts
    // from when the line has carried it.
    tcdrain(d->fd);
    double sent = _now();
    if (d->lineFreeAt > sent)
        sent = d->lineFreeAt;
    double deadline = sent + timeoutMs / 1000.0;
    size_t total = 0;
    while (total < ANSWER_BYTES && total < READ_LIMIT && _waitReadable(d->fd, deadline))
        total += _takeWaiting(d->fd, buffer, READ_LIMIT - total);
    return ssize_t(total);
}

bool Serial_SDPLoader::getDataFromBuffer(const SDPPacket& buffer, size_t index, uint32_t& value)
{
    if (index > 15 || buffer.size() < (index + 2) * 4)
        return false;
    size_t at = index + 4;
    value |= uint32_t(buffer[at]) | uint32_t(buffer[at + 1]) << 8 | uint32_t(buffer[at + 2]) << 16 |
             uint32_t(buffer[at + 3]) << 24;
    return true;
}

bool Serial_SDPLoader::getSecurityFromBuffer(const SDPPacket& buffer, uint32_t& value)
{
    if (buffer.size() < 4)
        return false;
    value = uint32_t(buffer[0]) | uint32_t(buffer[1]) << 8 | uint32_t(buffer[2]) << 16 | uint32_t(buffer[3]) << 24;
    return true;
}
