// SHA-256 of the store's files: known answers (FIPS 180-2 examples), the
// same digest for bytes in memory and on disk, and no link followed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"
#include "store/Sha256.h"

TEST(Sha256, KnownAnswersInMemoryAndOnDisk)
{
    EXPECT_EQ(Sha256_Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256_Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // A file larger than one read, and one million "a": the third example.
    TempDir tmp;
    const std::string million(1000000, 'a');
    tmp.write("a.bird", million);
    std::string hex;
    ASSERT_EQ(aErrNone, Sha256_FileHex(tmp.sub("a.bird"), hex));
    EXPECT_EQ(hex, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(hex, Sha256_Hex(million.data(), million.size()));

    EXPECT_EQ(aErrNotFound, Sha256_FileHex(tmp.sub("none.bird"), hex));
    ASSERT_EQ(0, symlink(tmp.sub("a.bird").c_str(), tmp.sub("link.bird").c_str()));
    EXPECT_EQ(aErrNotFound, Sha256_FileHex(tmp.sub("link.bird"), hex));
}
