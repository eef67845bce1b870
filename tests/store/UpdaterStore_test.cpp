#include <algorithm>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "TempDir.h"
#include "store/BirdWriter.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"

namespace {

std::string thrownBy(const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

TEST(UpdaterStoreTest, StorageDirectoryIsCreatedOrRefused)
{
    TempDir tmp;
    LogCapture log(DEBUG_Updater);
    std::string base = tmp.sub("home/.quorvane/updater");
    UpdaterStore store(base);
    EXPECT_EQ(base, store.BasePath());
    EXPECT_TRUE(aDirectory_Exists(base.c_str()));
    EXPECT_TRUE(log.contains("UpdaterStore: Created directory [" + base + "].\n"));
    UpdaterStore again(base);
    EXPECT_TRUE(log.contains("UpdaterStore: [" + base + "] already exists.\n"));

    tmp.write("plain", "x");
    EXPECT_EQ("UpdaterStore: " + tmp.sub("plain") + " exists and is a file",
              thrownBy([&] { UpdaterStore s(tmp.sub("plain")); }));
    EXPECT_EQ("UpdaterStore: Could not create directory " + tmp.sub("plain/sub") + " error 12",
              thrownBy([&] { UpdaterStore s(tmp.sub("plain/sub")); }));
}

TEST(UpdaterStoreTest, NewDeviceGetsItsFolderAndSettings)
{
    TempDir tmp;
    UpdaterStore store(tmp.path());
    UpdaterStoreItem item = store.AddDevice(0x0000ABCD);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(tmp.path(), item.basePath);
    EXPECT_EQ("0000ABCD", item.name);
    EXPECT_EQ(STORE_ITEM_DIRECTORY, item.kind);
    EXPECT_EQ(tmp.sub("0000ABCD"), item.Path());
    std::string settings = tmp.read("0000ABCD/.settings");
    EXPECT_EQ(0u, settings.find("CREATED_TIME="));
    EXPECT_NE(std::string::npos, settings.find("\nUPDATED_TIME="));
    EXPECT_EQ(tmp.sub("0000ABCD/.settings"), item.settings.FileName());

    // A second AddDevice reads what the first wrote.
    item.settings.Add("LATEST_DOWNLOAD", "1234.bird");
    item.settings.Save();
    UpdaterStoreItem same = store.AddDevice("0000ABCD");
    EXPECT_EQ(1234, same.settings.GetInt("LATEST_DOWNLOAD", 0));

    EXPECT_EQ("UpdaterStore: " + tmp.sub("0000ABCD/.settings") + " exists and is a file",
              thrownBy([&] { store.AddDevice("0000ABCD/.settings"); }));

    UpdaterStoreItem empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(STORE_ITEM_NONE, empty.kind);
}

TEST(UpdaterStoreTest, FindDeviceTakesTheEntryOfExactlyThatName)
{
    TempDir tmp;
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(tmp.path());
    ASSERT_EQ(aErrNone, aDirectory_Ensure(tmp.sub("ABCD").c_str(), 0755));
    // Decoys around the name: none of them is the device's folder.
    ASSERT_EQ(aErrNone, aDirectory_Ensure(tmp.sub("4-0000ABCD").c_str(), 0755));
    ASSERT_EQ(aErrNone, aDirectory_Ensure(tmp.sub("0000ABCD.old").c_str(), 0755));
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0xABCD, &item));
    EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Not Found 0000ABCD.\n"));
    EXPECT_FALSE(item.IsValid());

    store.AddDevice(0x0000ABCD);
    EXPECT_TRUE(store.FindDevice(0xABCD, nullptr));
    ASSERT_TRUE(store.FindDevice(0xABCD, &item));
    EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Found 0000ABCD.\n"));
    EXPECT_EQ("0000ABCD", item.name);
    EXPECT_EQ(tmp.path(), item.basePath);
    EXPECT_EQ(STORE_ITEM_DIRECTORY, item.kind);
    EXPECT_TRUE(item.settings["CREATED_TIME"] != nullptr);

    EXPECT_FALSE(store.FindDevice("00AB", &item)); // a part of the name is not enough
    tmp.write("4-0000ABCD/9999.bird", "decoy");
    std::vector<UpdaterStoreItem> items;
    store.FindLocalBuilds(0xABCD, items);
    EXPECT_TRUE(items.empty());

    // A storage directory whose own path holds the serial number does not
    // make every device match.
    std::string odd = tmp.sub("12345678/updater");
    UpdaterStore oddStore(odd);
    EXPECT_FALSE(oddStore.FindDevice(0x12345678, &item));
    oddStore.FindLocalBuilds(0x12345678, items);
    EXPECT_TRUE(items.empty());

    UpdaterStore gone(tmp.sub("gone"));
    ASSERT_EQ(aErrNone, aDirectory_DeleteTree(tmp.sub("gone").c_str()));
    EXPECT_FALSE(gone.FindDevice(0xABCD, &item));
}

TEST(UpdaterStoreTest, LocalBuildsSkipDotEntries)
{
    TempDir tmp;
    UpdaterStore store(tmp.path());
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x1000, items));
    EXPECT_TRUE(items.empty());

    UpdaterStoreItem dev = store.AddDevice(0x1000);
    tmp.write("00001000/1000.bird", "x");
    tmp.write("00001000/1001.bird", "y");
    tmp.write("00001000/.hidden", "z");
    items.push_back(UpdaterStoreItem()); // appended to, not replaced
    EXPECT_TRUE(store.FindLocalBuilds(0x1000, items));
    ASSERT_EQ(3u, items.size());
    std::vector<std::string> names{items[1].name, items[2].name};
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"1000.bird", "1001.bird"}), names);
    for (size_t i = 1; i < items.size(); ++i) {
        EXPECT_EQ(STORE_ITEM_FILE, items[i].kind);
        EXPECT_EQ(dev.Path(), items[i].basePath);
    }
    // The failed settings load of a plain file leaves nothing on disk.
    EXPECT_TRUE(fileExists(tmp.sub("00001000/1000.bird")));
    EXPECT_EQ("x", tmp.read("00001000/1000.bird"));
}

TEST(UpdaterStoreTest, WriteFileReplacesInOneStep)
{
    TempDir tmp;
    UpdaterStore store(tmp.path());
    UpdaterStoreItem dev = store.AddDevice(0x42);
    EXPECT_EQ(aErrNotFound, dev.WriteFile("1.bird", nullptr, 3));
    EXPECT_FALSE(fileExists(tmp.sub("00000042/1.bird")));

    const uint8_t first[] = {1, 2, 3};
    EXPECT_EQ(aErrNone, dev.WriteFile("1.bird", first, sizeof first));
    EXPECT_EQ(std::string("\x01\x02\x03"), tmp.read("00000042/1.bird"));
    EXPECT_TRUE(dev.FileExists("1.bird"));
    EXPECT_FALSE(dev.FileExists("2.bird"));

    // A write that fails half way keeps the old file whole.
    std::vector<uint8_t> big(64 * 1024, 0xAB);
    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit lim = old;
    lim.rlim_cur = 8192;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &lim));
    aErr err = dev.WriteFile("1.bird", big.data(), big.size());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(aErrIO, err);
    EXPECT_EQ(std::string("\x01\x02\x03"), tmp.read("00000042/1.bird"));
    std::vector<UpdaterStoreItem> items;
    store.FindLocalBuilds(0x42, items);
    ASSERT_EQ(1u, items.size()); // no temporary file left behind
    EXPECT_EQ("1.bird", items[0].name);

    UpdaterStoreItem missing(tmp.path(), "nofolder", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(aErrNotFound, missing.WriteFile("1.bird", first, sizeof first));
}

TEST(UpdaterStoreTest, ReadBirdFileChecksAndLoads)
{
    TempDir tmp;
    UpdaterStore store(tmp.path());
    UpdaterStoreItem dev = store.AddDevice(0x77);
    BirdWriter w;
    w.AddInfo(1234, "1.2.3", 0x77, "Model");
    std::vector<uint8_t> file = w.File();
    ASSERT_EQ(aErrNone, dev.WriteFile("1234.bird", file.data(), file.size()));
    BirdFile bird = dev.ReadBirdFile("1234.bird");
    EXPECT_EQ("1.2.3", bird.GetVersion());
    EXPECT_EQ(tmp.sub("00000077/1234.bird"), bird.path);

    const uint8_t text[] = "notes about nothing";
    dev.WriteFile("notes.txt", text, sizeof text);
    EXPECT_EQ("Invalid bird " + tmp.sub("00000077/notes.txt"), thrownBy([&] { dev.ReadBirdFile("notes.txt"); }));
    EXPECT_EQ("Invalid bird " + tmp.sub("00000077/none.bird"), thrownBy([&] { dev.ReadBirdFile("none.bird"); }));
    const uint8_t broken[] = {'b', 'i', 'r', 'd', 1, 1, 9, 9, 9};
    dev.WriteFile("broken.bird", broken, sizeof broken);
    EXPECT_EQ("Failed to load bird data", thrownBy([&] { dev.ReadBirdFile("broken.bird"); }));
}

} // namespace

// Nothing inside the store is followed: a link planted as a device folder or
// as one of its entries is refused by name and its target stays untouched.
TEST(UpdaterStoreTest, LinksInsideTheStoreAreRefusedByName)
{
    TempDir tmp;
    UpdaterStore store(tmp.sub("store"));
    ASSERT_EQ(aErrNone, aDirectory_Ensure(tmp.sub("elsewhere").c_str(), 0755));
    ASSERT_EQ(0, symlink(tmp.sub("elsewhere").c_str(), tmp.sub("store/40F5849A").c_str()));
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x40F5849A, &item));
    const std::string linkLine = "The store entry " + tmp.sub("store/40F5849A") +
                                 " is a symbolic link; the store follows no links: remove it";
    EXPECT_EQ(linkLine, thrownBy([&] { store.AddDevice(0x40F5849A); }));
    std::vector<UpdaterStoreItem> items;
    EXPECT_EQ(linkLine, thrownBy([&] { store.FindLocalBuilds(0x40F5849A, items); }));
    EXPECT_FALSE(fileExists(tmp.sub("elsewhere/.settings")));

    // A link among a device's files: the folder is refused as a whole, and a
    // write aimed at the link leaves both the link and its target alone.
    UpdaterStoreItem dev = store.AddDevice(0x42);
    tmp.write("victim", "precious");
    ASSERT_EQ(0, chmod(tmp.sub("victim").c_str(), 06777));
    ASSERT_EQ(0, symlink(tmp.sub("victim").c_str(), tmp.sub("store/00000042/1240.bird").c_str()));
    EXPECT_EQ("The store entry " + tmp.sub("store/00000042/1240.bird") +
                  " is a symbolic link; the store follows no links: remove it",
              thrownBy([&] { store.AddDevice(0x42); }));
    EXPECT_FALSE(store.FindDevice(0x42, nullptr));
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(aErrPermission, dev.WriteFile("1240.bird", bytes, sizeof bytes));
    EXPECT_EQ("precious", tmp.read("victim"));
    struct stat st;
    ASSERT_EQ(0, lstat(tmp.sub("store/00000042/1240.bird").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(std::string::npos, thrownBy([&] { dev.ReadBirdFile("1240.bird"); }).find("is a symbolic link"));

    // A settings file that is a link is neither read nor replaced.
    ASSERT_EQ(0, unlink(tmp.sub("store/00000042/1240.bird").c_str()));
    ASSERT_EQ(0, unlink(tmp.sub("store/00000042/.settings").c_str()));
    ASSERT_EQ(0, symlink(tmp.sub("victim").c_str(), tmp.sub("store/00000042/.settings").c_str()));
    KeyValueStore settings(tmp.sub("store/00000042/.settings").c_str());
    EXPECT_EQ(nullptr, settings["precious"]);
    settings.Add("LATEST_DOWNLOAD", "1.bird");
    EXPECT_FALSE(settings.Save());
    EXPECT_EQ("precious", tmp.read("victim"));

    // A folder swapped for a link after it was found: the write does not
    // follow it either.
    UpdaterStoreItem swapped = store.AddDevice(0x47);
    ASSERT_EQ(0, rename(tmp.sub("store/00000047").c_str(), tmp.sub("moved").c_str()));
    ASSERT_EQ(0, symlink(tmp.sub("elsewhere").c_str(), tmp.sub("store/00000047").c_str()));
    EXPECT_EQ(aErrPermission, swapped.WriteFile("1.bird", bytes, sizeof bytes));
    EXPECT_FALSE(fileExists(tmp.sub("elsewhere/1.bird")));

    // The storage directory itself may be a link the user made.
    ASSERT_EQ(0, symlink(tmp.sub("store").c_str(), tmp.sub("mine").c_str()));
    UpdaterStore linked(tmp.sub("mine"));
    EXPECT_TRUE(linked.AddDevice(0x43).IsValid());
}

// New files are 0644 within the umask; a replaced file keeps its mode but
// never set-id bits or others' write permission.
TEST(UpdaterStoreTest, WrittenFilesGetPlainModes)
{
    TempDir tmp;
    UpdaterStore store(tmp.path());
    UpdaterStoreItem dev = store.AddDevice(0x44);
    const uint8_t bytes[] = {1, 2, 3};
    const mode_t old = umask(0);
    aErr fresh = dev.WriteFile("1.bird", bytes, sizeof bytes);
    tmp.write("00000044/2.bird", "old");
    chmod(tmp.sub("00000044/2.bird").c_str(), 06777);
    aErr replaced = dev.WriteFile("2.bird", bytes, sizeof bytes);
    umask(old);
    ASSERT_EQ(aErrNone, fresh);
    ASSERT_EQ(aErrNone, replaced);
    struct stat st;
    ASSERT_EQ(0, stat(tmp.sub("00000044/1.bird").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(tmp.sub("00000044/2.bird").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
}

// A store or device folder that another user owns or may write is refused
// with the fix; the superuser is no exception. A sticky folder is the
// owner's alone to change, so others' write permission does no harm there.
TEST(UpdaterStoreTest, FoldersOthersMayChangeAreRefused)
{
    TempDir tmp;
    const std::string base = tmp.sub("store");
    { UpdaterStore made(base); made.AddDevice(0x45); }

    ASSERT_EQ(0, chmod(base.c_str(), 0775));
    EXPECT_EQ("The store folder " + base + " can be written by other users; remove their right with chmod go-w " + base,
              thrownBy([&] { UpdaterStore s(base); }));
    ASSERT_EQ(0, chmod(base.c_str(), 01777));
    UpdaterStore sticky(base);
    ASSERT_EQ(0, chmod(base.c_str(), 0755));

    const std::string device = base + "/00000045";
    ASSERT_EQ(0, chmod(device.c_str(), 0757));
    EXPECT_EQ("The store folder " + device + " can be written by other users; remove their right with chmod go-w " +
                  device,
              thrownBy([&] { sticky.AddDevice(0x45); }));
    EXPECT_FALSE(sticky.FindDevice(0x45, nullptr));
    ASSERT_EQ(0, chmod(device.c_str(), 0755));
    EXPECT_TRUE(sticky.FindDevice(0x45, nullptr));

    if (geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs the superuser";
    ASSERT_EQ(0, chown(device.c_str(), 65534, 65534));
    EXPECT_EQ("The store folder " + device +
                  " belongs to another user (uid 65534); give a store of your own with -i DIR, or make it yours with chown",
              thrownBy([&] { sticky.AddDevice(0x45); }));
    ASSERT_EQ(0, chown(base.c_str(), 65534, 65534));
    EXPECT_EQ("The store folder " + base +
                  " belongs to another user (uid 65534); give a store of your own with -i DIR, or make it yours with chown",
              thrownBy([&] { UpdaterStore s(base); }));
}
