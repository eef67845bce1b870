#include "PacedLine.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>

double MonotonicNow()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + t.tv_nsec / 1e9;
}

PacedLine::PacedLine(int f, int baud) : fd(f), byteTime(baud > 0 ? 10.0 / baud : 0.0) {}

bool PacedLine::ReadHost()
{
    char buf[BUFFER];
    size_t room = BUFFER - rx.size();
    if (room == 0)
        return true;
    ssize_t n = read(fd, buf, room);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR || errno == EIO;
    double now = MonotonicNow();
    for (ssize_t i = 0; i < n; ++i) {
        rxClock = (rxClock > now ? rxClock : now) + byteTime;
        rx.push_back({rxClock, buf[i]});
    }
    return true;
}

std::string PacedLine::Arrived(double now)
{
    std::string out;
    while (!rx.empty() && rx.front().due <= now) {
        out += rx.front().value;
        rx.pop_front();
    }
    return out;
}

void PacedLine::Send(const std::string& bytes, double now)
{
    for (char c : bytes) {
        txClock = (txClock > now ? txClock : now) + byteTime;
        tx.push_back({txClock, c});
    }
}

void PacedLine::Flush(double now)
{
    std::string due;
    for (const Byte& b : tx) {
        if (b.due > now)
            break;
        due += b.value;
    }
    blocked = false;
    size_t done = 0;
    while (done < due.size()) {
        ssize_t n = write(fd, due.data() + done, due.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            blocked = true; // the host is not reading: try again when it does
            break;
        }
    }
    tx.erase(tx.begin(), tx.begin() + long(done));
}

double PacedLine::NextDue(double now) const
{
    double next = -1;
    if (!rx.empty())
        next = rx.front().due - now;
    if (!tx.empty() && !blocked && (next < 0 || tx.front().due - now < next))
        next = tx.front().due - now;
    if (next < 0 && (!rx.empty() || (!tx.empty() && !blocked)))
        next = 0;
    return next;
}
