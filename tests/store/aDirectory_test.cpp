#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TempDir.h"
#include "store/aDirectory.h"

namespace {

const char* const END = nullptr;

TEST(BuildPathTest, JoinsWithOneSeparatorAndChecksBounds)
{
    char buf[10];
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(buf, sizeof buf, "abc", "def", END));
    EXPECT_STREQ("abc/def", buf);

    // The separator fits, the part does not: the joined head stays.
    EXPECT_EQ(aErrOverrun, aDirectory_BuildPath(buf, sizeof buf, "abc", "defgh", END));
    EXPECT_STREQ("abc/", buf);

    char big[64];
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(big, sizeof big, "a/", "b", END));
    EXPECT_STREQ("a/b", big);
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(big, sizeof big, "a", "/b", END));
    EXPECT_STREQ("a/b", big);
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(big, sizeof big, "a/", "/b", END));
    EXPECT_STREQ("a//b", big);
    EXPECT_EQ(aErrNone, aDirectory_JoinPath(big, sizeof big, "x", "y"));
    EXPECT_STREQ("x/y", big);
}

TEST(BuildPathTest, FirstPartMustLeaveRoom)
{
    char buf[5];
    EXPECT_EQ(aErrOverrun, aDirectory_BuildPath(buf, sizeof buf, "abcd", END));
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(buf, sizeof buf, "abc", END));
    EXPECT_STREQ("abc", buf);
}

TEST(BuildPathTest, RejectsBadArguments)
{
    char buf[64];
    std::strcpy(buf, "junk");
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                             "10", "11", END));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                            "10", END));
    EXPECT_STREQ("1/2/3/4/5/6/7/8/9/10", buf);

    EXPECT_EQ(aErrParam, aDirectory_BuildPath(nullptr, 10, "a", END));
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buf, 0, "a", END));
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buf, sizeof buf, nullptr, END));

    char same[64] = "abc";
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(same, sizeof same, "x", same, END));
}

TEST(BuildPathTest, StringVersionDoesNotLookAtSeparators)
{
    EXPECT_EQ("x//y", BuildPath("x/", "y", END));
    EXPECT_EQ("home/.quorvane/updater", BuildPath("home", ".quorvane", "updater", END));
    EXPECT_EQ("only", BuildPath("only", END));
    EXPECT_EQ(std::string(3000, 'a') + "/b", BuildPath(std::string(3000, 'a').c_str(), "b", END));
}

TEST(DirectoryTest, EnsureCreatesEveryMissingParent)
{
    TempDir tmp;
    std::string deep = tmp.sub("a/b/c");
    EXPECT_EQ(aErrNone, aDirectory_Ensure(deep.c_str(), 0755));
    EXPECT_TRUE(aDirectory_Exists(tmp.sub("a").c_str()));
    EXPECT_TRUE(aDirectory_Exists(tmp.sub("a/b").c_str()));
    EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
    struct stat st;
    ASSERT_EQ(0, stat(deep.c_str(), &st));
    EXPECT_EQ(0u, st.st_mode & 0777 & ~0755u); // never wider than asked

    // Existing: nothing to do.
    EXPECT_EQ(aErrNone, aDirectory_Ensure(deep.c_str(), 0755));
    // Trailing separator and a doubled one.
    EXPECT_EQ(aErrNone, aDirectory_Ensure(tmp.sub("d//e/").c_str(), 0755));
    EXPECT_TRUE(aDirectory_Exists(tmp.sub("d/e").c_str()));
}

TEST(DirectoryTest, EnsureRelativePath)
{
    TempDir tmp;
    char old[aDIR_PATH_MAX];
    ASSERT_EQ(aErrNone, aDirectory_CWD(old, sizeof old));
    ASSERT_EQ(0, chdir(tmp.path().c_str()));
    EXPECT_EQ(aErrNone, aDirectory_Ensure("r/s/t", 0700));
    EXPECT_TRUE(aDirectory_Exists("r/s/t"));
    ASSERT_EQ(0, chdir(old));
}

TEST(DirectoryTest, EnsureFailsBelowAFile)
{
    TempDir tmp;
    tmp.write("file", "x");
    EXPECT_EQ(aErrPermission, aDirectory_Ensure(tmp.sub("file/sub/deeper").c_str(), 0755));
    EXPECT_EQ(aErrParam, aDirectory_Ensure("", 0755));
    EXPECT_EQ(aErrParam, aDirectory_Ensure(nullptr, 0755));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
    EXPECT_FALSE(aDirectory_Exists(tmp.sub("file").c_str()));
}

struct Listing {
    std::vector<std::string> names;
    std::vector<uint32_t> sizes;
    std::vector<bool> dirs;
    size_t stopAfter = 1000;
};

bool collect(const aDirectoryListData* data, void* ref)
{
    Listing* l = static_cast<Listing*>(ref);
    std::string p = data->path;
    l->names.push_back(p.substr(p.rfind('/') + 1));
    l->sizes.push_back(data->size);
    l->dirs.push_back(data->isDirectory);
    return l->names.size() < l->stopAfter;
}

TEST(DirectoryTest, ListGivesFullPathsSizesAndKinds)
{
    TempDir tmp;
    tmp.write("five", "12345");
    ASSERT_EQ(aErrNone, aDirectory_Ensure(tmp.sub("sub").c_str(), 0755));
    Listing l;
    EXPECT_EQ(aErrNone, aDirectory_List(tmp.path().c_str(), collect, &l));
    ASSERT_EQ(4u, l.names.size());
    std::vector<std::string> sorted = l.names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ((std::vector<std::string>{".", "..", "five", "sub"}), sorted);
    for (size_t i = 0; i < l.names.size(); ++i) {
        if (l.names[i] == "five") {
            EXPECT_EQ(5u, l.sizes[i]);
            EXPECT_FALSE(l.dirs[i]);
        }
        if (l.names[i] == "sub") {
            EXPECT_TRUE(l.dirs[i]);
        }
    }

    Listing first;
    first.stopAfter = 1;
    EXPECT_EQ(aErrNone, aDirectory_List(tmp.path().c_str(), collect, &first));
    EXPECT_EQ(1u, first.names.size());

    Listing none;
    EXPECT_EQ(aErrNotFound, aDirectory_List(tmp.sub("missing").c_str(), collect, &none));
    EXPECT_TRUE(none.names.empty());
}

TEST(DirectoryTest, DeleteTreeRemovesEverythingButNotThroughLinks)
{
    TempDir tmp;
    std::string outside = tmp.sub("outside");
    ASSERT_EQ(aErrNone, aDirectory_Ensure(outside.c_str(), 0755));
    tmp.write("outside/keep", "precious");

    std::string tree = tmp.sub("tree");
    ASSERT_EQ(aErrNone, aDirectory_Ensure((tree + "/x/y").c_str(), 0755));
    tmp.write("tree/x/y/f", "1");
    tmp.write("tree/g", "2");
    ASSERT_EQ(0, symlink(outside.c_str(), (tree + "/link").c_str()));

    EXPECT_EQ(aErrNone, aDirectory_DeleteTree(tree.c_str()));
    EXPECT_FALSE(aDirectory_Exists(tree.c_str()));
    // The link is removed, what it pointed to is not.
    EXPECT_EQ("precious", tmp.read("outside/keep"));

    EXPECT_EQ(aErrNotFound, aDirectory_DeleteTree(tree.c_str()));
    EXPECT_EQ(aErrUnknown, aDirectory_Delete(outside.c_str())); // not empty
}

TEST(DirectoryTest, HomeCwdAndExecutable)
{
    char buf[aDIR_PATH_MAX];
    EXPECT_EQ(aErrNone, aDirectory_GetHomeDirectory(buf, sizeof buf));
    EXPECT_NE('\0', buf[0]);
    char tiny[2];
    EXPECT_EQ(aErrOverrun, aDirectory_GetHomeDirectory(tiny, sizeof tiny));
    EXPECT_STREQ("", tiny);

    EXPECT_EQ(aErrNone, aDirectory_CWD(buf, sizeof buf));
    EXPECT_EQ('/', buf[0]);
    EXPECT_EQ(aErrParam, aDirectory_CWD(tiny, sizeof tiny));

    EXPECT_EQ(aErrNone, aDirectory_ExecutableFilePath(buf, sizeof buf));
    EXPECT_NE(nullptr, std::strstr(buf, "test_store"));
    char cut[5];
    EXPECT_EQ(aErrNone, aDirectory_ExecutableFilePath(cut, sizeof cut));
    EXPECT_EQ(4u, std::strlen(cut));
}

} // namespace
