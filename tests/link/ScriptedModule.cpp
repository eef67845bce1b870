#include "ScriptedModule.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace linktest {

ScriptedModule::ScriptedModule(uint8_t address) : mAddress(address)
{
    mListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(mListener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(mListener, 4) != 0)
        throw std::runtime_error("scripted module: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(mListener, reinterpret_cast<sockaddr*>(&addr), &len);
    mPort = ntohs(addr.sin_port);
    if (::pipe(mWake) != 0)
        throw std::runtime_error("scripted module: no pipe");
    mThread = std::thread([this] { serve(); });
}

ScriptedModule::~ScriptedModule()
{
    char c = 'q';
    (void)!::write(mWake[1], &c, 1);
    mThread.join();
    int fd = mFd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
    ::close(mListener);
    ::close(mWake[0]);
    ::close(mWake[1]);
}

void ScriptedModule::setHandler(Handler handler)
{
    std::lock_guard<std::mutex> guard(mLock);
    mHandler = std::move(handler);
}

linkSpec ScriptedModule::spec() const
{
    linkSpec s{};
    s.type = TCPIP;
    s.serialNumber = 0x5C41;
    s.module = mAddress;
    s.t.ipAddress = htonl(INADDR_LOOPBACK);
    s.p.ipPort = mPort;
    return s;
}

void ScriptedModule::sendRaw(const Bytes& bytes)
{
    int fd = mFd.load();
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

void ScriptedModule::reply(uint8_t from, const Bytes& data)
{
    Bytes wire{from, uint8_t(data.size())};
    wire.insert(wire.end(), data.begin(), data.end());
    sendRaw(wire);
}

std::vector<ScriptedModule::Bytes> ScriptedModule::received()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mReceived;
}

size_t ScriptedModule::countReceived(uint8_t command)
{
    std::lock_guard<std::mutex> guard(mLock);
    size_t n = 0;
    for (const Bytes& p : mReceived)
        n += p.size() > 1 && p[1] == command;
    return n;
}

void ScriptedModule::handle(uint8_t address, const Bytes& data)
{
    Handler handler;
    {
        std::lock_guard<std::mutex> guard(mLock);
        Bytes p{address};
        p.insert(p.end(), data.begin(), data.end());
        mReceived.push_back(p);
        handler = mHandler;
    }
    if (handler && handler(*this, address, data))
        return;
    if (address == cmdMODULEADDRESS && data.empty())
        reply(Bytes{});
}

void ScriptedModule::serve()
{
    Bytes pending;
    for (;;) {
        int fd = mFd.load();
        pollfd fds[2] = {{mWake[0], POLLIN, 0}, {fd >= 0 ? fd : mListener, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0)
            continue;
        if (fds[0].revents)
            return;
        if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        if (fd < 0) {
            int c = ::accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                int one = 1;
                ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                mFd = c;
                pending.clear();
            }
            continue;
        }
        uint8_t buffer[512];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            mFd = -1;
            ::close(fd);
            continue;
        }
        pending.insert(pending.end(), buffer, buffer + n);
        while (pending.size() >= 2 && pending.size() >= size_t(2 + pending[1])) {
            uint8_t address = pending[0];
            Bytes data(pending.begin() + 2, pending.begin() + 2 + pending[1]);
            pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
            handle(address, data);
        }
    }
}

} // namespace linktest
