#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "transport/unix_file.h"
#include "transport/unix_mutex.h"
#include "transport/unix_thread.h"
#include "transport/unix_time.h"

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/cvfileXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        for (const auto& f : made)
            unlink(f.c_str());
        rmdir(dir.c_str());
    }
    std::string Make(const std::string& name, const std::string& content)
    {
        std::string path = dir + "/" + name;
        FILE* f = fopen(path.c_str(), "wb");
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        made.push_back(path);
        return path;
    }
    std::string dir;
    std::vector<std::string> made;
};

TEST_F(FileTest, OpenRefusesBadPathsAndModes)
{
    std::string path = Make("a", "x");
    EXPECT_EQ(aFile_Open("", aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(std::string(4097, 'a').c_str(), aFileModeWriteOnly), nullptr);
    EXPECT_EQ(aFile_Open(path.c_str(), aFileModeUnsupported), nullptr);
    EXPECT_EQ(aFile_Open((dir + "/missing").c_str(), aFileModeReadOnly), nullptr);
    EXPECT_TRUE(aFile_Exists(path.c_str()));
    EXPECT_FALSE(aFile_Exists(dir.c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST_F(FileTest, ModesLimitTheOperations)
{
    std::string path = Make("m", "hello");
    aFileRef r = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(r, nullptr);
    size_t n = 99;
    EXPECT_EQ(aFile_Write(r, "x", 1, &n), aErrMode);
    EXPECT_EQ(aFile_Printf(r, "%d", 1), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(r), aErrMode);
    EXPECT_EQ(aFile_Close(&r), aErrNone);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(aFile_Close(&r), aErrParam);

    aFileRef w = aFile_Open(path.c_str(), aFileModeWriteOnly);
    ASSERT_NE(w, nullptr);
    char buf[8];
    EXPECT_EQ(aFile_Read(w, buf, 1, &n), aErrMode);
    size_t len = 5;
    EXPECT_EQ(aFile_ReadLine(w, buf, sizeof buf, &len), aErrMode);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(aFile_SetUnbuffered(w), aErrNone);
    EXPECT_EQ(aFile_Printf(w, "%s-%d\n", "ab", 7), aErrNone);
    EXPECT_EQ(aFile_Close(&w), aErrNone);

    // Append keeps the content, writes at the end and can read back.
    aFileRef a = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(aFile_Write(a, "tail", 4, &n), aErrNone);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(aFile_Seek(a, 0, 0), aErrNone);
    char line[32];
    EXPECT_EQ(aFile_ReadLine(a, line, sizeof line, &len), aErrNone);
    EXPECT_STREQ(line, "ab-7\n");
    EXPECT_EQ(aFile_ReadLine(a, line, sizeof line, &len), aErrNone);
    EXPECT_STREQ(line, "tail");
    EXPECT_EQ(aFile_ReadLine(a, line, sizeof line, &len), aErrEOF);
    aFile_Close(&a);
}

TEST_F(FileTest, ReadCountsAndEndOfFile)
{
    std::string path = Make("r", "abc");
    aFileRef r = aFile_Open(path.c_str(), aFileModeReadOnly);
    char buf[8];
    size_t n = 0;
    EXPECT_EQ(aFile_Read(r, buf, 8, &n), aErrNone);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(aFile_Read(r, buf, 0, &n), aErrNone);
    EXPECT_EQ(aFile_Read(r, buf, 4, &n), aErrEOF);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_Read(r, nullptr, 4, &n), aErrParam);
    aFile_Close(&r);
}

TEST_F(FileTest, ReadLineOverrunContinuesWithTheRest)
{
    std::string path = Make("l", "0123456789\nok\nend");
    aFileRef r = aFile_Open(path.c_str(), aFileModeReadOnly);
    char buf[6];
    size_t len = 0;
    EXPECT_EQ(aFile_ReadLine(r, buf, sizeof buf, &len), aErrOverrun);
    EXPECT_STREQ(buf, "01234");
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(aFile_ReadLine(r, buf, sizeof buf, &len), aErrOverrun);
    EXPECT_STREQ(buf, "56789");
    EXPECT_EQ(aFile_ReadLine(r, buf, sizeof buf, &len), aErrNone);
    EXPECT_STREQ(buf, "\n");
    EXPECT_EQ(aFile_ReadLine(r, buf, sizeof buf, &len), aErrNone);
    EXPECT_STREQ(buf, "ok\n");
    EXPECT_EQ(aFile_ReadLine(r, buf, sizeof buf, &len), aErrNone);
    EXPECT_STREQ(buf, "end");
    EXPECT_EQ(aFile_ReadLine(r, buf, sizeof buf, &len), aErrEOF);
    EXPECT_STREQ(buf, "");
    // Tiny buffers never write outside themselves.
    char one[1] = {'z'};
    EXPECT_NE(aFile_ReadLine(r, one, 1, &len), aErrNone);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(aFile_ReadLine(r, one, 0, &len), aErrOverrun);
    aFile_Close(&r);
}

TEST_F(FileTest, SeekStaysInsideTheFile)
{
    std::string path = Make("s", "0123456789");
    aFileRef r = aFile_Open(path.c_str(), aFileModeReadOnly);
    size_t size = 0, pos = 77;
    EXPECT_EQ(aFile_GetSize(r, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(aFile_GetPosition(r, &pos), aErrNone);
    EXPECT_EQ(pos, 77u); // a position of 0 leaves the variable alone
    EXPECT_EQ(aFile_Seek(r, 4, 0), aErrNone);
    EXPECT_EQ(aFile_Seek(r, 7, 1), aErrRange);
    EXPECT_EQ(aFile_Seek(r, -5, 1), aErrRange);
    EXPECT_EQ(aFile_Seek(r, 1, 2), aErrRange);
    EXPECT_EQ(aFile_Seek(r, INT32_MAX, 1), aErrRange);
    EXPECT_EQ(aFile_Seek(r, INT32_MIN, 2), aErrRange);
    EXPECT_EQ(aFile_GetPosition(r, &pos), aErrNone);
    EXPECT_EQ(pos, 4u);
    EXPECT_EQ(aFile_Seek(r, 0, 2), aErrNone);
    EXPECT_EQ(aFile_GetPosition(r, &pos), aErrNone);
    EXPECT_EQ(pos, 10u);
    EXPECT_EQ(aFile_Seek(r, -10, 2), aErrNone);
    EXPECT_EQ(aFile_Seek(r, 0, 3), aErrParam);
    EXPECT_EQ(aFile_GetSize(r, nullptr), aErrParam);
    aFile_Close(&r);
}

TEST_F(FileTest, DeadHandlesAndDelete)
{
    // A record whose tag is not the live one is refused without use.
    uint64_t dead[4] = {0, 0, 0, 0};
    aFileRef bogus = reinterpret_cast<aFileRef>(dead);
    char buf[4];
    size_t n;
    EXPECT_EQ(aFile_Read(bogus, buf, 1, &n), aErrParam);
    EXPECT_EQ(aFile_Write(nullptr, buf, 1, &n), aErrParam);
    EXPECT_EQ(aFile_Seek(bogus, 0, 0), aErrParam);
    EXPECT_EQ(aFile_GetSize(nullptr, &n), aErrParam);
    EXPECT_EQ(aFile_Close(&bogus), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);

    std::string path = Make("d", "x");
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    EXPECT_EQ(aFile_Delete(std::string(4097, 'a').c_str()), aErrFileNameLength);
}

TEST(Mutex, NamesAndErrors)
{
    EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);
    aMutexRef m = aMutex_Create(std::string(255, 'n').c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(aMutex_Identifier(m)).size(), 255u);
    aMutexRef anon = aMutex_Create(nullptr);
    EXPECT_STREQ(aMutex_Identifier(anon), "");

    EXPECT_EQ(aMutex_Lock(m), aErrNone);
    EXPECT_EQ(aMutex_Lock(m), aErrDuplicate);
    struct TryArg {
        aMutexRef mutex;
        std::atomic<int> seen;
    } arg{m, {-1}};
    aThreadRef t = aThread_Create(
        [](void* p) -> void* {
            auto* a = static_cast<TryArg*>(p);
            a->seen.store(aMutex_TryLock(a->mutex));
            return nullptr;
        },
        &arg);
    EXPECT_EQ(aThread_Destroy(&t), aErrNone);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(arg.seen.load(), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
#ifndef __SANITIZE_THREAD__
    // ThreadSanitizer reports the misuse itself before the mutex can refuse it.
    EXPECT_EQ(aMutex_Unlock(m), aErrPermission);
#endif
    EXPECT_EQ(aMutex_TryLock(m), aErrNone);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);

    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(aMutex_Destroy(&m), aErrParam);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(&anon), aErrNone);
}

struct Counter {
    aMutexRef lock;
    int value;
};

TEST(Thread, ThreadsShareWorkUnderAMutex)
{
    Counter c{aMutex_Create("counter"), 0};
    auto work = [](void* arg) -> void* {
        auto* counter = static_cast<Counter*>(arg);
        for (int i = 0; i < 10000; i++) {
            aMutex_Lock(counter->lock);
            counter->value++;
            aMutex_Unlock(counter->lock);
        }
        return nullptr;
    };
    aThreadRef a = aThread_Create(work, &c);
    aThreadRef b = aThread_Create(work, &c);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(aThread_Destroy(&a), aErrNone);
    EXPECT_EQ(aThread_Destroy(&b), aErrNone);
    EXPECT_EQ(c.value, 20000);
    EXPECT_EQ(aThread_Destroy(&a), aErrParam);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    aMutex_Destroy(&c.lock);
}

TEST(Time, TicksAdvanceAndSleepsLastAtLeastTheirLength)
{
    aMSTicks start = aTime_GetMSTicks();
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
    EXPECT_EQ(aTime_MSSleep(30), aErrNone);
    EXPECT_GE(aTime_MSElapsed(start), 30u);
    // Elapsed time survives the wrap of the 32-bit tick.
    aMSTicks before = 0xFFFFFFF0u;
    aMSTicks after = 0x00000010u;
    EXPECT_EQ(static_cast<uint32_t>(after - before), 0x20u);
}

} // namespace
