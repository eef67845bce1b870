#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "transport/aStreamsocket.h"
#include "transport/unix_time.h"

namespace {

// A TCP peer on loopback that the test drives by hand.
struct Peer {
    Peer()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 4);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Peer()
    {
        Drop();
        StopListening();
    }
    bool Accept()
    {
        Drop();
        struct pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return false;
        conn = accept(listener, nullptr, nullptr);
        return conn >= 0;
    }
    void Send(const std::string& s) { ASSERT_EQ(send(conn, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size()); }
    std::string Receive(size_t want)
    {
        std::string got;
        while (got.size() < want) {
            struct pollfd p = {conn, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1)
                break;
            char buf[4096];
            ssize_t n = recv(conn, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    // Closing with a zero linger time resets the connection.
    void Reset()
    {
        struct linger l = {1, 0};
        setsockopt(conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Drop();
    }
    void Drop()
    {
        if (conn >= 0)
            close(conn);
        conn = -1;
    }
    void StopListening()
    {
        if (listener >= 0)
            close(listener);
        listener = -1;
    }
    int listener = -1, conn = -1;
    uint16_t port = 0;
};

// Reads through the stream until want bytes came, an error other than
// aErrNotReady, or 5 s.
std::string Drain(aStreamRef s, size_t want, aErr* last = nullptr)
{
    std::string got;
    aErr err = aErrNone;
    aMSTicks start = aTime_GetMSTicks();
    while (got.size() < want && aTime_MSElapsed(start) < 5000) {
        uint8_t b;
        err = aStream_Read(s, &b, 1);
        if (err == aErrNone)
            got.push_back(static_cast<char>(b));
        else if (err == aErrNotReady)
            aTime_MSSleep(1);
        else
            break;
    }
    if (last)
        *last = err;
    return got;
}

const uint32_t LOOPBACK = htonl(INADDR_LOOPBACK);

struct SocketTest : ::testing::Test {
    void SetUp() override
    {
        ASSERT_EQ(aStream_CreateSocket(LOOPBACK, peer.port, &stream), aErrNone);
        ASSERT_TRUE(peer.Accept());
    }
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
    }
    Peer peer;
    aStreamRef stream = nullptr;
};

TEST_F(SocketTest, PartialReadIsPushedBack)
{
    uint8_t buf[4] = {9, 9, 9, 9};
    EXPECT_EQ(aStream_Read(stream, buf, 4), aErrNotReady);
    peer.Send("ab");
    // Both bytes travel in one segment: once the first is here, so is the other.
    ASSERT_EQ(Drain(stream, 1), "a");
    EXPECT_EQ(aStream_Read(stream, buf, 3), aErrNotReady);
    EXPECT_EQ(buf[0], 9);
    peer.Send("cd");
    EXPECT_EQ(Drain(stream, 3), "bcd");
}

TEST_F(SocketTest, WritesArriveWhole)
{
    std::string big(100000, 'q');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>(i * 7);
    std::string got;
    std::thread reader([&] { got = peer.Receive(big.size() + 1); });
    EXPECT_EQ(aStream_Write(stream, big.data(), static_cast<uint32_t>(big.size())), aErrNone);
    EXPECT_EQ(aStream_Write(stream, "!", 1), aErrNone);
    reader.join();
    EXPECT_EQ(got, big + "!");
}

TEST_F(SocketTest, ReconnectsAfterThePeerResets)
{
    peer.Reset();
    uint8_t b;
    // The read notices the reset and connects again at once.
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    ASSERT_TRUE(peer.Accept());
    peer.Send("x");
    EXPECT_EQ(Drain(stream, 1), "x");
}

TEST_F(SocketTest, ReconnectsAfterThePeerCloses)
{
    peer.Drop();
    uint8_t b;
    // A read that finds the old connection closed opens a new one.
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    ASSERT_TRUE(peer.Accept());
    peer.Send("y");
    EXPECT_EQ(Drain(stream, 1), "y");
}

TEST_F(SocketTest, WaitEndsOnBytesOnAWakeUpAndOnAClosedPeer)
{
    uint8_t b = 0;
    EXPECT_EQ(aStream_Wait(stream, 10), aErrNotReady);
    peer.Send("ab");
    ASSERT_EQ(aStream_Wait(stream, 60000), aErrNone);
    ASSERT_EQ(aStream_Read(stream, &b, 1), aErrNone);
    EXPECT_EQ(b, 'a');
    // A byte already taken from the socket needs no wait.
    EXPECT_EQ(aStream_Wait(stream, 60000), aErrNone);
    ASSERT_EQ(aStream_Read(stream, &b, 1), aErrNone);
    EXPECT_EQ(b, 'b');

    // A wake-up before the wait is not lost, and is used up by it.
    EXPECT_EQ(aStream_Wake(stream), aErrNone);
    EXPECT_EQ(aStream_Wait(stream, 60000), aErrNone);
    EXPECT_EQ(aStream_Wait(stream, 10), aErrNotReady);

    // The peer going away ends the wait; the read connects again and the
    // stream counts it.
    EXPECT_EQ(aStream_GetReconnects(stream), 0u);
    peer.Drop();
    EXPECT_EQ(aStream_Wait(stream, 60000), aErrNone);
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_GetReconnects(stream), 1u);
    ASSERT_TRUE(peer.Accept());
    peer.Send("c");
    EXPECT_EQ(Drain(stream, 1), "c");
}

TEST_F(SocketTest, WriteResumesAfterReset)
{
    peer.Reset();
    EXPECT_EQ(aStream_Write(stream, "payload", 7), aErrNone);
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(peer.Receive(7), "payload");
}

TEST_F(SocketTest, GoneForGoodIsAConnectionError)
{
    peer.Reset();
    peer.StopListening();
    uint8_t b;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrConnection);
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrConnection);
    EXPECT_EQ(aStream_Write(stream, "zz", 2), aErrConnection);
}

TEST_F(SocketTest, ReaderAndWriterThreadsTogether)
{
    // The peer echoes; one thread writes while another reads the echo.
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        while (!stop) {
            struct pollfd p = {peer.conn, POLLIN, 0};
            if (poll(&p, 1, 20) == 1) {
                char buf[512];
                ssize_t n = recv(peer.conn, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                send(peer.conn, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
        }
    });
    std::string sent;
    for (int i = 0; i < 200; i++)
        sent += "packet" + std::to_string(i) + ";";
    std::string got;
    std::thread reader([&] { got = Drain(stream, sent.size()); });
    for (size_t at = 0; at < sent.size(); at += 37) {
        std::string piece = sent.substr(at, 37);
        ASSERT_EQ(aStream_Write(stream, piece.data(), static_cast<uint32_t>(piece.size())), aErrNone);
    }
    reader.join();
    stop = true;
    echo.join();
    EXPECT_EQ(got, sent);
}

TEST(SocketCreate, FailuresLeaveNoStream)
{
    Peer peer;
    uint16_t port = peer.port;
    peer.StopListening();
    aStreamRef s = reinterpret_cast<aStreamRef>(&port);
    EXPECT_EQ(aStream_CreateSocket(LOOPBACK, port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSocket(LOOPBACK, port, nullptr), aErrResource);
}

TEST(SocketCreate, AcceptedSocketIsLeftOpen)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateAcceptedSocket(pair[0], &s), aErrNone);
    ASSERT_EQ(write(pair[1], "k", 1), 1);
    EXPECT_EQ(Drain(s, 1), "k");
    EXPECT_EQ(aStream_Write(s, "back", 4), aErrNone);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    char buf[8];
    EXPECT_EQ(read(pair[1], buf, sizeof buf), 4);
    // Still open after the stream went away.
    EXPECT_EQ(write(pair[0], "z", 1), 1);
    close(pair[0]);
    close(pair[1]);
    EXPECT_EQ(aStream_CreateAcceptedSocket(-1, &s), aErrParam);
}

} // namespace
