// A bare packet client for tests of the simulator: a TCP socket or a
// terminal, packets written as address, length, data, and read back with a
// deadline. Written apart from the link library on purpose.
#ifndef TESTS_SIM_RAWMODULECLIENT_H
#define TESTS_SIM_RAWMODULECLIENT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

struct RawPacket {
    uint8_t address = 0;
    Bytes data;
};

class RawModuleClient {
public:
    RawModuleClient() = default;
    ~RawModuleClient() { Close(); }
    RawModuleClient(const RawModuleClient&) = delete;
    RawModuleClient& operator=(const RawModuleClient&) = delete;

    bool Connect(const std::string& host, int port)
    {
        Close();
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, host.c_str(), &a.sin_addr);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            Close();
            return false;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    bool OpenTerminal(const std::string& path)
    {
        Close();
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
        termios t;
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        return true;
    }

    void Close()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        closed = false;
        buffer.clear();
    }

    bool SendRaw(const Bytes& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }

    bool Send(uint8_t address, const Bytes& data)
    {
        Bytes wire{address, uint8_t(data.size())};
        wire.insert(wire.end(), data.begin(), data.end());
        return SendRaw(wire);
    }

    // Next whole packet within timeoutMs; false on time-out or a closed link.
    bool Receive(RawPacket& p, int timeoutMs = 2000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (buffer.size() >= 2 && buffer.size() >= size_t(buffer[1]) + 2) {
                p.address = buffer[0];
                p.data.assign(buffer.begin() + 2, buffer.begin() + 2 + buffer[1]);
                buffer.erase(buffer.begin(), buffer.begin() + 2 + buffer[1]);
                return true;
            }
            if (!Fill(deadline))
                return false;
        }
    }

    // First packet that satisfies keep (others are dropped).
    bool ReceiveWhere(RawPacket& p, const std::function<bool(const RawPacket&)>& keep, int timeoutMs = 2000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Receive(p, int(left.count())))
                return false;
            if (keep(p))
                return true;
        }
    }

    // Sends a request and returns the first reply whose data starts with
    // the given bytes; an empty packet when none came.
    RawPacket Ask(uint8_t address, const Bytes& data, const Bytes& replyPrefix, int timeoutMs = 2000)
    {
        RawPacket p;
        if (!Send(address, data))
            return RawPacket();
        auto starts = [&](const RawPacket& r) {
            return r.data.size() >= replyPrefix.size() && std::equal(replyPrefix.begin(), replyPrefix.end(), r.data.begin());
        };
        if (!ReceiveWhere(p, starts, timeoutMs))
            return RawPacket();
        return p;
    }

    // Raw bytes within timeoutMs (up to n); what arrived.
    Bytes ReceiveBytes(size_t n, int timeoutMs)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffer.size() < n && Fill(deadline)) {
        }
        size_t k = std::min(n, buffer.size());
        Bytes out(buffer.begin(), buffer.begin() + long(k));
        buffer.erase(buffer.begin(), buffer.begin() + long(k));
        return out;
    }

    // True when the peer closed the link within timeoutMs.
    bool WaitClosed(int timeoutMs)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Fill(deadline)) {
        }
        return closed;
    }

private:
    bool Fill(std::chrono::steady_clock::time_point deadline)
    {
        if (fd < 0 || closed)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0)
            return false;
        uint8_t tmp[4096];
        ssize_t n = read(fd, tmp, sizeof tmp);
        if (n <= 0) {
            closed = true;
            return false;
        }
        buffer.insert(buffer.end(), tmp, tmp + n);
        return true;
    }

    int fd = -1;
    bool closed = false;
    Bytes buffer;
};

#endif
