// Known answers, round trips and the inputs the decoder must refuse.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "server/base64.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

std::string Encode(const std::string& bytes)
{
    size_t length = 12345;
    std::unique_ptr<char, FreeDeleter> text(
        base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length));
    EXPECT_TRUE(text);
    if (!text)
        return "<null>";
    EXPECT_EQ(length, std::string(text.get()).size());
    return std::string(text.get(), length);
}

// Decoded bytes, or "<null>" when refused. Checks the trailing NUL.
std::string Decode(const std::string& text)
{
    size_t length = 12345;
    std::unique_ptr<unsigned char, FreeDeleter> bytes(base64_decode(text.data(), text.size(), &length));
    if (!bytes)
        return "<null>";
    EXPECT_EQ(bytes.get()[length], 0);
    return std::string(reinterpret_cast<const char*>(bytes.get()), length);
}

} // namespace

TEST(Base64, KnownAnswers)
{
    EXPECT_EQ(Encode("abc"), "YWJj");
    EXPECT_EQ(Encode("ab"), "YWI=");
    EXPECT_EQ(Encode("a"), "YQ==");
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode(std::string("\xff\xfe\x00", 3)), "//4A");
    EXPECT_EQ(Encode("Corvestel firmware"), "Q29ydmVzdGVsIGZpcm13YXJl");

    EXPECT_EQ(Decode("YQ=="), "a");
    EXPECT_EQ(Decode("YWI="), "ab");
    EXPECT_EQ(Decode("YWJj"), "abc");
    EXPECT_EQ(Decode(""), "");
    EXPECT_EQ(Decode("//4A"), std::string("\xff\xfe\x00", 3));
}

TEST(Base64, RoundTripsEveryLengthAndByte)
{
    std::mt19937 random(7);
    for (size_t n = 0; n < 300; ++n) {
        std::string bytes(n, '\0');
        for (auto& c : bytes)
            c = static_cast<char>(random() & 0xFF);
        std::string text = Encode(bytes);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(Decode(text), bytes) << "length " << n;
    }
}

TEST(Base64, RefusesWhatIsNotBase64)
{
    EXPECT_EQ(Decode("YWJjZ"), "<null>");    // length not a multiple of 4
    EXPECT_EQ(Decode("YWJj\r"), "<null>");   // a firmware line ending in CR
    EXPECT_EQ(Decode("YW\nj"), "<null>");    // line break inside
    EXPECT_EQ(Decode("YW j"), "<null>");     // blank inside
    EXPECT_EQ(Decode("YW*j"), "<null>");     // outside the alphabet
    EXPECT_EQ(Decode(std::string("YW\0j", 4)), "<null>");
    EXPECT_EQ(Decode("YW\xc3\xa9"), "<null>"); // 8-bit characters
    EXPECT_EQ(Decode("Y=Jj"), "<null>");     // "=" before the end
    EXPECT_EQ(Decode("YW=j"), "<null>");     // "=" followed by data
    EXPECT_EQ(Decode("YQ==YQ=="), "<null>"); // padding in the middle
    EXPECT_EQ(Decode("Y==="), "<null>");     // three padding characters
    EXPECT_EQ(Decode("===="), "<null>");
}

TEST(Base64, NullInputs)
{
    size_t length = 0;
    EXPECT_EQ(base64_decode(nullptr, 4, &length), nullptr);
    EXPECT_EQ(base64_encode(nullptr, 3, &length), nullptr);
    std::unique_ptr<unsigned char, FreeDeleter> empty(base64_decode(nullptr, 0, &length));
    ASSERT_TRUE(empty);
    EXPECT_EQ(length, 0u);
}
