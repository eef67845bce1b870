#include "LinkFakes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace linktest {

aStreamRef ScriptedPort::makeStream()
{
    aStreamRef stream = aStream_Create(sGet, sPut, sWrite, nullptr, this);
    if (stream && mWaits)
        aStream_SetWaitProcs(stream, sWait, sWake);
    if (stream)
        aStream_SetReconnectCounter(stream, sReconnects);
    return stream;
}

void ScriptedPort::feed(const Bytes& bytes)
{
    {
        std::lock_guard<std::mutex> guard(mLock);
        mInbound.insert(mInbound.end(), bytes.begin(), bytes.end());
    }
    mArrived.notify_all();
}

aErr ScriptedPort::sWait(uint32_t timeoutMs, void* reference)
{
    auto* self = static_cast<ScriptedPort*>(reference);
    std::unique_lock<std::mutex> guard(self->mLock);
    // A zero wait only looks.
    if (timeoutMs == 0)
        return self->mInbound.empty() && !self->mWoken ? aErrNotReady : aErrNone;
    if (!self->mArrived.wait_for(guard, std::chrono::seconds(10),
                                 [&] { return !self->mInbound.empty() || self->mWoken; }))
        self->lateWakes++;
    self->mWoken = false;
    return aErrNone;
}

aErr ScriptedPort::sWake(void* reference)
{
    auto* self = static_cast<ScriptedPort*>(reference);
    {
        std::lock_guard<std::mutex> guard(self->mLock);
        self->mWoken = true;
    }
    self->mArrived.notify_all();
    return aErrNone;
}

uint32_t ScriptedPort::sReconnects(void* reference)
{
    return static_cast<ScriptedPort*>(reference)->reconnects.load();
}

size_t ScriptedPort::pending()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mInbound.size();
}

std::vector<Bytes> ScriptedPort::writes()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mWrites;
}

Bytes ScriptedPort::written()
{
    std::lock_guard<std::mutex> guard(mLock);
    Bytes all;
    for (const Bytes& block : mWrites)
        all.insert(all.end(), block.begin(), block.end());
    return all;
}

void ScriptedPort::clearWrites()
{
    std::lock_guard<std::mutex> guard(mLock);
    mWrites.clear();
}

aErr ScriptedPort::sGet(uint8_t* byte, void* reference)
{
    auto* self = static_cast<ScriptedPort*>(reference);
    self->gets++;
    aErr failure = self->mReadError.load();
    if (failure != aErrNone)
        return failure;
    std::lock_guard<std::mutex> guard(self->mLock);
    if (self->mInbound.empty())
        return aErrNotReady;
    *byte = self->mInbound.front();
    self->mInbound.pop_front();
    return aErrNone;
}

aErr ScriptedPort::sPut(uint8_t byte, void* reference)
{
    return sWrite(&byte, 1, reference);
}

void ScriptedPort::holdWrites(bool hold)
{
    {
        std::lock_guard<std::mutex> guard(mLock);
        mHeld = hold;
    }
    mGate.notify_all();
}

aErr ScriptedPort::sWrite(const uint8_t* data, uint32_t length, void* reference)
{
    auto* self = static_cast<ScriptedPort*>(reference);
    std::unique_lock<std::mutex> guard(self->mLock);
    self->waitingWrites++;
    self->mGate.wait_for(guard, std::chrono::seconds(10), [self] { return !self->mHeld; });
    self->waitingWrites--;
    aErr failure = self->mWriteError.load();
    if (failure != aErrNone)
        return failure;
    self->mWrites.emplace_back(data, data + length);
    return aErrNone;
}

FakeModule::FakeModule(uint8_t address, Mode mode) : mAddress(address), mMode(mode)
{
    mListener = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(mListener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(mListener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || ::listen(mListener, 4) != 0)
        throw std::runtime_error("fake module: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(mListener, reinterpret_cast<sockaddr*>(&addr), &len);
    mPort = ntohs(addr.sin_port);
    if (::pipe(mWake) != 0)
        throw std::runtime_error("fake module: no pipe");
    mThread = std::thread([this] { serve(); });
}

FakeModule* FakeModule::onPty(uint8_t address)
{
    auto* m = new FakeModule();
    m->mAddress = address;
    m->mPty = true;
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        delete m;
        return nullptr;
    }
    termios raw{};
    ::tcgetattr(master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    std::snprintf(m->mPtyPath, sizeof m->mPtyPath, "%s", ::ptsname(master));
    m->mFd = master;
    if (::pipe(m->mWake) != 0) {
        delete m;
        return nullptr;
    }
    m->connections = 1;
    m->mThread = std::thread([m] { m->serve(); });
    return m;
}

FakeModule::~FakeModule()
{
    if (mWake[1] >= 0) {
        char c = 'q';
        (void)!::write(mWake[1], &c, 1);
    }
    if (mThread.joinable())
        mThread.join();
    if (mFd >= 0)
        ::close(mFd);
    if (mListener >= 0)
        ::close(mListener);
    for (int fd : mWake)
        if (fd >= 0)
            ::close(fd);
}

uint32_t FakeModule::loopbackAddress() const
{
    return htonl(INADDR_LOOPBACK);
}

bool FakeModule::writeAll(const Bytes& bytes)
{
    int fd = mFd.load();
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return fd >= 0;
}

void FakeModule::send(const Bytes& bytes)
{
    // The host's connect returns before this side's thread accepted it:
    // bytes sent before that would go nowhere.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!mPty && connections.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard<std::mutex> guard(mLock);
    writeAll(bytes);
}

void FakeModule::drop()
{
    std::lock_guard<std::mutex> guard(mLock);
    int fd = mFd.exchange(-1);
    if (fd >= 0) {
        // A reset, as a module that lost power would leave it.
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
    }
    mPartial.clear();
}

std::vector<Bytes> FakeModule::received()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mReceived;
}

size_t FakeModule::countReceived(uint8_t address)
{
    std::lock_guard<std::mutex> guard(mLock);
    size_t n = 0;
    for (const Bytes& p : mReceived)
        n += p[0] == address;
    return n;
}

void FakeModule::handle(const Bytes& packet)
{
    // Caller holds mLock.
    mReceived.push_back(packet);
    uint8_t address = packet[0];
    if (address == 0xAF && packet.size() == 3)
        (packet[2] ? routeOn : routeOff)++;
    if (mMode.load() == Silent)
        return;
    if (address == 0xAD)
        writeAll({mAddress, 0x00});
    else if (address == mAddress && packet.size() > 2 && packet[2] == 23) {
        Bytes echo = packet;
        echo[0] = mAddress;
        writeAll(echo);
    }
}

void FakeModule::serve()
{
    for (;;) {
        pollfd fds[2] = {{mWake[0], POLLIN, 0}, {-1, POLLIN, 0}};
        int fd = mFd.load();
        fds[1].fd = fd >= 0 ? fd : (mPty ? -1 : mListener);
        if (::poll(fds, 2, 1000) < 0)
            continue;
        if (fds[0].revents)
            return;
        if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        if (fd < 0) {
            int accepted = ::accept(mListener, nullptr, nullptr);
            if (accepted >= 0) {
                int one = 1;
                ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                mFd = accepted;
                connections++;
            }
            continue;
        }
        uint8_t buffer[512];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (mPty) {
                // The slave side is closed between links; wait for the next.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            drop();
            continue;
        }
        std::lock_guard<std::mutex> guard(mLock);
        for (ssize_t i = 0; i < n; i++) {
            mPartial.push_back(buffer[i]);
            if (mPartial.size() >= 2 && mPartial.size() == size_t(mPartial[1]) + 2) {
                Bytes packet;
                packet.swap(mPartial);
                handle(packet);
            }
        }
    }
}

} // namespace linktest
