// The device's lock that update, download and recovery take before they
// touch a module or its folder: what each refusal says, and the folder a
// granted lock leaves behind.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/RecordingDisplay.h"
#include "store/DeviceLock.h"
#include "store/UpdaterStore.h"
#include "support/UpdateServerHarness.h"
#include "updater/StoreAccess.h"

namespace {

const uint32_t DEVICE = 0x40F5849A;

bool Exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

TEST(StoreAccess, TheDevicesLockIsOneRunsAndEachRefusalSaysWhy)
{
    srvtest::TempDir dir;
    std::unique_ptr<UpdaterStore> store;
    {
        RecordingDisplay display;
        store = create_store(display, dir.Path(), "test");
        ASSERT_TRUE(store);
    }
    const std::string folder = dir.Path() + "/40F5849A";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(srvtest::WriteWholeFile(folder + "/4711.bird", "build"));
    ASSERT_TRUE(srvtest::WriteWholeFile(folder + "/4711.bird.tmp.Ab3xYz", "half"));

    // Granted: an unfinished replacement goes, the stored build stays.
    RecordingDisplay display;
    DeviceLock first;
    ASSERT_TRUE(lock_device(display, *store, DEVICE, first));
    EXPECT_TRUE(first.Held());
    EXPECT_FALSE(Exists(folder + "/4711.bird.tmp.Ab3xYz"));
    EXPECT_TRUE(Exists(folder + "/4711.bird"));
    EXPECT_TRUE(display.errors.empty());

    // A second run on the same device is told who holds it.
    DeviceLock second;
    EXPECT_FALSE(lock_device(display, *store, DEVICE, second));
    EXPECT_FALSE(second.Held());
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0],
              "Device 40F5849A is busy: another Updater is working with it; try again when it is done");
    first.Release();
    EXPECT_TRUE(lock_device(display, *store, DEVICE, second));
    second.Release();

    // A file where the folder belongs: no folder can be made for the device.
    ASSERT_TRUE(srvtest::WriteWholeFile(dir.Path() + "/0000ABCD", "not a folder"));
    DeviceLock third;
    EXPECT_FALSE(lock_device(display, *store, 0xABCD, third));
    ASSERT_EQ(display.errors.size(), 2u);
    EXPECT_EQ(display.errors[1], "Could not create directory for storing BIRD file");

    // A folder that is a link is refused with the store's own line, not
    // taken for a folder that could not be made.
    srvtest::TempDir elsewhere;
    ASSERT_EQ(::symlink(elsewhere.Path().c_str(), (dir.Path() + "/0000BEEF").c_str()), 0);
    EXPECT_FALSE(lock_device(display, *store, 0xBEEF, third));
    ASSERT_EQ(display.errors.size(), 3u);
    EXPECT_EQ(display.errors[2], "The store entry " + dir.Path() +
                                     "/0000BEEF is a symbolic link; the store follows no links: remove it");
    EXPECT_FALSE(third.Held());
    EXPECT_FALSE(Exists(elsewhere.Path() + "/.settings"));
}
