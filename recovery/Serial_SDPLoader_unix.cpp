#include "recovery/Serial_SDPLoader_unix.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "app/Log.h"
#include "transport/unix_time.h"

struct PrivateSerial_SDPLoader {
    int fd = -1;
    std::string path;
    struct termios settings {};
};

namespace {

// A ROM that never stops sending must not keep a read going forever.
const size_t READ_LIMIT = 64 * 1024;

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
    aTime_MSSleep(1000);
    tcflush(fd, TCIOFLUSH);
    return true;
}

ssize_t Serial_SDPLoader::writeData(const SDPPacket& packet)
{
    if (d->fd < 0 || packet.size() < 2)
        return 0;
    // The report id means nothing on a serial line.
    const uint8_t* data = packet.data() + 1;
    size_t left = packet.size() - 1;
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
    return ssize_t(done);
}

ssize_t Serial_SDPLoader::readData(SDPPacket& buffer, int timeoutMs)
{
    if (d->fd < 0)
        return 0;
    if (timeoutMs > 0)
        aTime_MSSleep(uint32_t(timeoutMs));
    ssize_t total = 0;
    uint8_t chunk[256];
    while (size_t(total) < READ_LIMIT) {
        ssize_t n = read(d->fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        buffer.insert(buffer.end(), chunk, chunk + n);
        total += n;
    }
    return total;
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
