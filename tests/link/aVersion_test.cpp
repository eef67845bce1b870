#include "link/aVersion.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PackCase {
    uint8_t major, minor, patch;
    uint32_t word;
};

// Both layouts, and the boundary where the layout changes.
const PackCase PACK_CASES[] = {
    {0, 0, 0, 0x00000000},    {1, 10, 200, 0x1A0000C8}, {2, 14, 7, 0x2E000007},
    {2, 14, 255, 0x2E0000FF}, {2, 15, 7, 0x2F020F07},  {2, 15, 0, 0x2F020F00},
    {3, 0, 1, 0x2F030001},    {255, 255, 255, 0x2FFFFFFF},
};

TEST(aVersion, PackChoosesLayoutAndRoundTrips)
{
    for (const PackCase& c : PACK_CASES) {
        SCOPED_TRACE(testing::Message() << int(c.major) << "." << int(c.minor) << "." << int(c.patch));
        uint32_t word = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(word, c.word);
        EXPECT_EQ(aVersion_ParseMajor(word), c.major);
        EXPECT_EQ(aVersion_ParseMinor(word), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(word), c.patch);
        EXPECT_EQ(aVersion_IsLegacyFormat(word), !(c.major > 2 || (c.major == 2 && c.minor > 14)));
    }
}

TEST(aVersion, LegacyMinorIsFourBitsWide)
{
    // A minor above 15 can only be stored in the current layout.
    EXPECT_EQ(aVersion_Pack(1, 0x1B, 2), 0x1B000002u);
}

TEST(aVersion, LegacyWordKeepsTwentyFourBitPatch)
{
    EXPECT_TRUE(aVersion_IsLegacyFormat(0x1A123456));
    EXPECT_EQ(aVersion_ParseMajor(0x1A123456), 1u);
    EXPECT_EQ(aVersion_ParseMinor(0x1A123456), 10u);
    EXPECT_EQ(aVersion_ParsePatch(0x1A123456), 0x123456u);
    // Top nibbles above 2.15 are not legacy either.
    EXPECT_FALSE(aVersion_IsLegacyFormat(0x30000000));
}

TEST(aVersion, ParseStringFormatsAndCuts)
{
    char buf[16];
    EXPECT_EQ(aVersion_ParseString(0x2F020F07, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "2.15.7");
    EXPECT_EQ(aVersion_ParseString(0x1A123456, buf, sizeof buf), 12);
    EXPECT_STREQ(buf, "1.10.1193046");

    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(aVersion_ParseString(0x2F020F07, small, sizeof small), 6);
    EXPECT_STREQ(small, "2.1");
    EXPECT_EQ(aVersion_ParseString(0x2F020F07, nullptr, 0), 6);
}

TEST(aVersion, CompareFieldsInOrder)
{
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 11, 3, 2, 11, 3));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 11, 3, 2, 11, 4));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 11, 3, 1, 200, 200));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 11, 3, 2, 12, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 12, 0, 2, 11, 255));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(1, 255, 255, 2, 0, 0));
}

TEST(aVersion, LibraryVersion)
{
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 11);
    EXPECT_EQ(aVersion_GetPatch(), 3);
    const char* text = aVersion_GetString();
    EXPECT_STREQ(text, "2.11.3");
    EXPECT_EQ(aVersion_GetString(), text) << "the string is formatted once and kept";
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 0));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 3));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 4));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 255, 255));
}

TEST(aVersion, Features)
{
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIO"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrParam);
    EXPECT_EQ(aVersion_DestroyFeatureList(nullptr), aErrParam);
}

TEST(aDefs, ModelNames)
{
    EXPECT_STREQ(aDefs_GetModelName(4), "Halcyon");
    EXPECT_STREQ(aDefs_GetModelName(5), "Meridian");
    EXPECT_STREQ(aDefs_GetModelName(13), "Pilgrim");
    EXPECT_STREQ(aDefs_GetModelName(26), "Oriel");
    EXPECT_STREQ(aDefs_GetModelName(27), "Tamsin");
    for (uint32_t unnamed : {0u, 3u, 6u, 12u, 28u, 200u, 0xFFFFFFFFu})
        EXPECT_STREQ(aDefs_GetModelName(unnamed), "Unknown") << unnamed;
    // Every number from 13 to 27 has a name of its own.
    for (uint32_t m = 13; m <= 27; ++m)
        EXPECT_STRNE(aDefs_GetModelName(m), "Unknown") << m;
}

} // namespace
