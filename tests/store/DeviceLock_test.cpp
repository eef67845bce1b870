// The per-device lock and the leftovers of interrupted atomic writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TempDir.h"
#include "store/BirdFile.h"
#include "store/DeviceLock.h"
#include "store/UpdaterStore.h"

namespace {

TEST(DeviceLock, OneHolderAtATimeAndTheKernelFreesADeadOnesLock)
{
    TempDir tmp;
    UpdaterStore store(tmp.path());
    const std::string folder = store.AddDevice(0x40F5849A).Path();

    DeviceLock first, second;
    ASSERT_EQ(aErrNone, first.TryLock(folder));
    EXPECT_EQ(aErrBusy, second.TryLock(folder));
    EXPECT_FALSE(second.Held());
    // Another device is not affected.
    DeviceLock other;
    EXPECT_EQ(aErrNone, other.TryLock(store.AddDevice(0x2181F0EE).Path()));
    first.Release();
    EXPECT_EQ(aErrNone, second.TryLock(folder));
    second.Release();
    EXPECT_EQ(aErrNotFound, second.TryLock(tmp.sub("missing")));

    // A process that dies holding the lock does not leave the device locked.
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DeviceLock held;
        char ok = held.TryLock(folder) == aErrNone ? '1' : '0';
        (void)!write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(1, read(ready[0], &ok, 1));
    EXPECT_EQ('1', ok);
    EXPECT_EQ(aErrBusy, first.TryLock(folder));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(aErrNone, first.TryLock(folder));
    close(ready[0]);
    close(ready[1]);
}

TEST(DeviceLock, LeftoversOfUnfinishedWritesAreNeitherListedNorKept)
{
    const char* const leftovers[] = {"1234.bird.tmp.Ab3xYz", ".settings.tmp.000000"};
    const char* const kept[] = {"1234.bird", "1234.bird.tmp", "notes.tmp.abc", "1234.bird.tmp.Ab3x-z"};
    for (const char* name : leftovers)
        EXPECT_TRUE(UpdaterStore::IsLeftover(name)) << name;
    for (const char* name : kept)
        EXPECT_FALSE(UpdaterStore::IsLeftover(name)) << name;

    TempDir tmp;
    UpdaterStore store(tmp.path());
    const std::string folder = store.AddDevice(0x1000).Path();
    for (const char* name : leftovers)
        tmp.write(std::string("00001000/") + name, "part");
    for (const char* name : kept)
        tmp.write(std::string("00001000/") + name, "whole");

    std::vector<UpdaterStoreItem> items;
    store.FindLocalBuilds(0x1000, items);
    std::vector<std::string> names;
    for (const UpdaterStoreItem& item : items)
        names.push_back(item.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"1234.bird", "1234.bird.tmp", "1234.bird.tmp.Ab3x-z", "notes.tmp.abc"}),
              names);

    EXPECT_EQ(2u, UpdaterStore::RemoveLeftovers(folder));
    struct stat st;
    for (const char* name : leftovers)
        EXPECT_NE(0, stat(tmp.sub(std::string("00001000/") + name).c_str(), &st)) << name;
    for (const char* name : kept)
        EXPECT_EQ("whole", tmp.read(std::string("00001000/") + name)) << name;
    EXPECT_EQ(0u, UpdaterStore::RemoveLeftovers(folder));
}

TEST(DeviceLock, BirdFilesThatAreNotRegularFilesAreNeverOpened)
{
    TempDir tmp;
    const std::string fifo = tmp.sub("pipe.bird");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // Opening a FIFO without a writer would block for ever.
    EXPECT_FALSE(BirdFile::VerifyFile(fifo));
    BirdFile bird;
    bird.path = fifo;
    EXPECT_FALSE(bird.Load());
    EXPECT_FALSE(BirdFile::VerifyFile(tmp.path()));
}

} // namespace
