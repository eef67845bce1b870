#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <unistd.h>
#include <vector>

#include "transport/aStream.h"

namespace {

// A scripted transport: get hands out queued results (a byte, or an error
// such as aErrNotReady between bursts); put and write record what they see.
struct Script {
    struct Step {
        aErr err;
        uint8_t byte;
    };
    std::deque<Step> in;
    aErr whenEmpty = aErrEOF;
    std::vector<uint8_t> out;
    int puts = 0, writes = 0, deletes = 0;

    void Bytes(const std::string& text)
    {
        for (unsigned char c : text)
            in.push_back({aErrNone, c});
    }
    void Pause(aErr err = aErrNotReady) { in.push_back({err, 0}); }

    static aErr Get(uint8_t* byte, void* ref)
    {
        auto* s = static_cast<Script*>(ref);
        if (s->in.empty())
            return s->whenEmpty;
        Step step = s->in.front();
        s->in.pop_front();
        if (step.err == aErrNone)
            *byte = step.byte;
        return step.err;
    }
    static aErr Put(uint8_t byte, void* ref)
    {
        auto* s = static_cast<Script*>(ref);
        s->puts++;
        s->out.push_back(byte);
        return aErrNone;
    }
    static aErr Write(const uint8_t* data, uint32_t length, void* ref)
    {
        auto* s = static_cast<Script*>(ref);
        s->writes++;
        s->out.insert(s->out.end(), data, data + length);
        return aErrNone;
    }
    static aErr Delete(void* ref)
    {
        static_cast<Script*>(ref)->deletes++;
        return aErrBusy;
    }
    std::string Out() const { return std::string(out.begin(), out.end()); }
};

struct StreamTest : ::testing::Test {
    void SetUp() override
    {
        stream = aStream_Create(Script::Get, Script::Put, Script::Write, Script::Delete, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
    }
    Script script;
    aStreamRef stream = nullptr;
};

TEST_F(StreamTest, ShortReadIsUndoneAndSeenAgain)
{
    script.Bytes("ab");
    script.Pause();
    script.Bytes("cdef");
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(aStream_Read(stream, buf, 4), aErrNotReady);
    EXPECT_EQ(std::string(buf, 4), "xxxx");
    EXPECT_EQ(aStream_Read(stream, buf, 4), aErrNone);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(aStream_Read(stream, buf, 0), aErrNone);
    // The end of input hands over what came before it.
    EXPECT_EQ(aStream_Read(stream, buf, 4), aErrEOF);
    EXPECT_EQ(std::string(buf, 2), "ef");
    // Other transport errors lose nothing either.
    script.Bytes("gh");
    script.Pause(aErrIO);
    script.Bytes("i");
    EXPECT_EQ(aStream_Read(stream, buf, 3), aErrIO);
    EXPECT_EQ(aStream_Read(stream, buf, 3), aErrNone);
    EXPECT_EQ(std::string(buf, 3), "ghi");
}

TEST_F(StreamTest, LargeReadsAndRingGrowthKeepOrder)
{
    std::string big;
    for (int i = 0; i < 1500; i++)
        big.push_back(static_cast<char>('A' + i % 26));
    script.Bytes(big);
    script.Pause();
    std::vector<char> buf(2000, 0);
    // 1500 bytes taken then handed back: the ring grows past 512 and 1024.
    EXPECT_EQ(aStream_Read(stream, buf.data(), 2000), aErrNotReady);
    script.Bytes("!");
    EXPECT_EQ(aStream_Read(stream, buf.data(), 1501), aErrNone);
    EXPECT_EQ(std::string(buf.data(), 1501), big + "!");

    for (int i = 0; i < 600; i++)
        ASSERT_EQ(aStreamBufferChar(stream, static_cast<uint8_t>(i)), aErrNone);
    std::vector<uint8_t> back(600);
    EXPECT_EQ(aStream_Read(stream, back.data(), 600), aErrNone);
    for (int i = 0; i < 600; i++)
        ASSERT_EQ(back[i], static_cast<uint8_t>(i));
}

TEST_F(StreamTest, WriteChoosesPutOrBlock)
{
    EXPECT_EQ(aStream_Write(stream, "x", 1), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(script.writes, 0);
    EXPECT_EQ(aStream_Write(stream, "", 0), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(aStream_Write(stream, "yz", 2), aErrNone);
    EXPECT_EQ(script.writes, 1);
    EXPECT_EQ(script.Out(), "xyz");
    EXPECT_EQ(aStream_Write(stream, nullptr, 2), aErrParam);

    // A stream with only a block write still takes single bytes.
    Script other;
    aStreamRef blockOnly = aStream_Create(nullptr, nullptr, Script::Write, nullptr, &other);
    EXPECT_EQ(aStream_Write(blockOnly, "q", 1), aErrNone);
    EXPECT_EQ(other.Out(), "q");
    char c;
    EXPECT_EQ(aStream_Read(blockOnly, &c, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&blockOnly), aErrNone);
    aStreamRef readOnly = aStream_Create(Script::Get, nullptr, nullptr, nullptr, &other);
    EXPECT_EQ(aStream_Write(readOnly, "q", 1), aErrMode);
    aStream_Destroy(&readOnly);
}

TEST_F(StreamTest, CStringsAndRecords)
{
    script.Bytes(std::string("ab\0cd\0", 6));
    char buf[8];
    EXPECT_EQ(aStream_ReadCString(stream, buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(aStream_ReadCString(stream, buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, "cd");
    EXPECT_EQ(aStream_ReadCString(stream, buf, sizeof buf), aErrEOF);

    // A full buffer ends the record; the rest stays for the next one.
    script.Bytes("abcdefg");
    uint32_t len = 0;
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &len, 4, "\r\n", 2), aErrNone);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &len, 4, "\r\n", 2), aErrNone);
    EXPECT_EQ(std::string(buf, len), "efg");

    // A partly matched terminator is data after all.
    script.Bytes("a\rb\r\r\nz");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, buf, sizeof buf, "\r\n"), aErrNone);
    EXPECT_EQ(std::string(buf), "a\rb\r");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, buf, sizeof buf, "\r\n"), aErrNone);
    EXPECT_STREQ(buf, "z");

    EXPECT_EQ(aStream_ReadRecord(stream, buf, nullptr, 4, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, buf, nullptr, 4, "x", 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, buf, nullptr, 0, "x", 1), aErrParam);
    EXPECT_EQ(aStream_ReadCString(stream, buf, 1), aErrParam);
}

TEST_F(StreamTest, IncompleteRecordWaitsWithoutLoss)
{
    script.Bytes("OK\r");
    script.Pause();
    script.Bytes("\nnext");
    char buf[16];
    uint32_t len = 99;
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &len, sizeof buf, "\r\n", 2), aErrNotReady);
    EXPECT_EQ(len, 99u);
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &len, sizeof buf, "\r\n", 2), aErrNone);
    EXPECT_EQ(std::string(buf, len), "OK");
    // At the end a cut terminator counts as data.
    script.Bytes("x\r");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &len, sizeof buf, "\r\n", 2), aErrNone);
    EXPECT_EQ(std::string(buf, len), "nextx\r");
}

TEST_F(StreamTest, RecordWritersAddTheirTerminators)
{
    EXPECT_EQ(aStream_WriteCString(stream, "hi"), aErrNone);
    EXPECT_EQ(aStream_WriteRecord(stream, "abc", 3, "\r\n", 2), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "go", "\n"), aErrNone);
    EXPECT_EQ(script.Out(), std::string("hi\0abc\r\ngo\n\0", 12));
    EXPECT_EQ(aStream_WriteRecord(stream, "abc", 3, "", 0), aErrParam);
}

TEST_F(StreamTest, FlushCopiesUntilTheEnd)
{
    script.Bytes("xyz");
    aStreamBufferChar(stream, 'w');
    Script sink;
    aStreamRef dest = aStream_Create(nullptr, Script::Put, nullptr, nullptr, &sink);
    EXPECT_EQ(aStream_Flush(stream, dest), aErrNone);
    EXPECT_EQ(sink.Out(), "wxyz");
    EXPECT_EQ(aStream_Flush(dest, stream), aErrMode);
    script.Bytes("k");
    script.Pause(aErrIO);
    EXPECT_EQ(aStream_Flush(stream, dest), aErrIO);
    aStream_Destroy(&dest);
}

TEST_F(StreamTest, DestroyReturnsDeleteResultAndNulls)
{
    EXPECT_EQ(aStream_Destroy(&stream), aErrBusy);
    EXPECT_EQ(script.deletes, 1);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);

    uint64_t dead[16] = {};
    aStreamRef bogus = reinterpret_cast<aStreamRef>(dead);
    char buf[2];
    EXPECT_EQ(aStream_Read(bogus, buf, 1), aErrParam);
    EXPECT_EQ(aStream_Write(bogus, buf, 1), aErrParam);
    EXPECT_EQ(aStreamBufferChar(bogus, 1), aErrParam);
    EXPECT_EQ(aStream_Read(nullptr, buf, 1), aErrParam);
    EXPECT_EQ(aStream_Destroy(&bogus), aErrParam);
    EXPECT_EQ(bogus, nullptr);
}

TEST(FileStream, WritesThenReadsBack)
{
    char path[] = "/tmp/cvstreamXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path, &out), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(out, "line", "\n"), aErrNone);
    EXPECT_EQ(aStream_Write(out, "Z", 1), aErrNone);
    char c;
    EXPECT_EQ(aStream_Read(out, &c, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);

    aStreamRef in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path, &in), aErrNone);
    char buf[16];
    EXPECT_EQ(aStream_ReadCStringRecord(in, buf, sizeof buf, "\n"), aErrNone);
    EXPECT_STREQ(buf, "line");
    EXPECT_EQ(aStream_Read(in, buf, 3), aErrEOF);
    EXPECT_EQ(std::string(buf, 2), std::string("\0Z", 2));
    EXPECT_EQ(aStream_Write(in, "x", 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
    unlink(path);

    aStreamRef none = reinterpret_cast<aStreamRef>(&c);
    EXPECT_EQ(aStream_CreateFileInput("/nonexistent/file", &none), aErrResource);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(aStream_CreateFileOutput(nullptr, &none), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput(path, nullptr), aErrResource);
}

} // namespace
