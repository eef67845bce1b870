#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "transport/unix_streamserial.h"
#include "transport/unix_time.h"

namespace {

// A pseudo-terminal stands in for the serial port: the stream opens the
// slave side, the test plays the device on the master side.
struct SerialTest : ::testing::Test {
    void SetUp() override
    {
        char name[256];
        ASSERT_EQ(openpty(&master, &keeper, name, nullptr, nullptr), 0);
        path = name;
        // Settings the port had before us: cooked, echoing, 9600 baud.
        struct termios t;
        ASSERT_EQ(tcgetattr(keeper, &t), 0);
        t.c_lflag |= ICANON | ECHO;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        ASSERT_EQ(tcsetattr(keeper, TCSANOW, &t), 0);
        before = t;
    }
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
        close(keeper);
        close(master);
    }
    // Reads from the stream until want bytes came or 5 s passed.
    std::string ReadFromStream(size_t want)
    {
        std::string got;
        aMSTicks start = aTime_GetMSTicks();
        while (got.size() < want && aTime_MSElapsed(start) < 5000) {
            uint8_t b;
            aErr err = aStream_Read(stream, &b, 1);
            if (err == aErrNone)
                got.push_back(static_cast<char>(b));
            else if (err == aErrNotReady)
                aTime_MSSleep(1);
            else
                break;
        }
        return got;
    }
    std::string ReadFromMaster(size_t want)
    {
        std::string got;
        while (got.size() < want) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            char buf[256];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    int master = -1, keeper = -1;
    std::string path;
    struct termios before;
    aStreamRef stream = nullptr;
};

TEST_F(SerialTest, OpensRawAndRestoresAtClose)
{
    ASSERT_EQ(aStream_CreateSerial(path.c_str(), aSerialBaud115200, 0, 0, 0, &stream), aErrNone);
    struct termios t;
    ASSERT_EQ(tcgetattr(keeper, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));

    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    ASSERT_EQ(tcgetattr(keeper, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST_F(SerialTest, FramingOptions)
{
    ASSERT_EQ(aStream_CreateSerial(path.c_str(), aSerialBaud2400, 1, 1, 1, &stream), aErrNone);
    struct termios t;
    ASSERT_EQ(tcgetattr(keeper, &t), 0);
    // A pseudo-terminal keeps its own character size and parity, so only the
    // settings it does keep are checked here.
    EXPECT_EQ(t.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(t.c_iflag & IGNPAR, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
}

TEST_F(SerialTest, ReadsNeverWaitAndBytesPassBothWays)
{
    ASSERT_EQ(aStream_CreateSerial(path.c_str(), aSerialBaud57600, 0, 0, 0, &stream), aErrNone);
    uint8_t b;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);

    const char reply[] = "\x01\x02\r\nOK\x7f\xff";
    ASSERT_EQ(write(master, reply, 8), 8);
    // Raw mode: no byte is translated or swallowed.
    EXPECT_EQ(ReadFromStream(8), std::string(reply, 8));
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);

    EXPECT_EQ(aStream_Write(stream, "\n?\r\x03", 4), aErrNone);
    EXPECT_EQ(aStream_Write(stream, "!", 1), aErrNone);
    EXPECT_EQ(ReadFromMaster(5), "\n?\r\x03!");
}

TEST_F(SerialTest, SetUpFailures)
{
    aStreamRef s = reinterpret_cast<aStreamRef>(this);
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 2, 0, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 2, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 6, 0, 0, 0, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, nullptr), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(std::string(5000, 'p').c_str(), 6, 0, 0, 0, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial("/dev/no-such-port", 6, 0, 0, 0, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
    // A plain file is no terminal: the settings can't be read.
    char tmp[] = "/tmp/cvserialXXXXXX";
    int fd = mkstemp(tmp);
    close(fd);
    EXPECT_EQ(aStream_CreateSerial(tmp, 6, 0, 0, 0, &s), aErrIO);
    EXPECT_EQ(s, nullptr);
    unlink(tmp);
}

} // namespace
