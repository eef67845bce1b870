#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <vector>

#include "link/aUEI.h"

namespace {

aPacket* sPacket(uint8_t address, std::vector<uint8_t> data)
{
    return aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
}

struct Owned {
    aPacket* p;
    explicit Owned(aPacket* packet) : p(packet) {}
    ~Owned() { if (p) aPacket_Destroy(&p); }
};

} // namespace

TEST(aUEI, BigEndianHelpers)
{
    uint8_t buffer[4] = {};
    EXPECT_EQ(aUEI_StoreShort(buffer, 0x1234), buffer);
    EXPECT_EQ(buffer[0], 0x12);
    EXPECT_EQ(buffer[1], 0x34);
    EXPECT_EQ(aUEI_RetrieveShort(buffer), 0x1234);
    aUEI_StoreInt(buffer, 0xA1B2C3D4);
    EXPECT_EQ(buffer[0], 0xA1);
    EXPECT_EQ(buffer[3], 0xD4);
    EXPECT_EQ(aUEI_RetrieveInt(buffer), 0xA1B2C3D4u);

    uint32_t words[2] = {htonl(0x01020304), htonl(0xFFEEDDCC)};
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x01020304u);
    EXPECT_EQ(words[1], 0xFFEEDDCCu);
}

TEST(aUEI, TrailerFieldsOfABytesChunk)
{
    Owned chunk(sPacket(2, {3, 1, 0x20, 0xAA, 0x85}));
    EXPECT_EQ(aUEI_getBytesSequence(chunk.p), 5);
    EXPECT_EQ(aUEI_getBytesContinue(chunk.p), 1);
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
    Owned none(sPacket(2, {}));
    EXPECT_EQ(aUEI_getBytesSequence(none.p), 0);

    Owned l27(sPacket(2, std::vector<uint8_t>(27, 1)));
    Owned l28(sPacket(2, std::vector<uint8_t>(28, 1)));
    Owned l26(sPacket(2, std::vector<uint8_t>(26, 1)));
    EXPECT_TRUE(aUEI_getBytesFullPacket(l27.p));
    EXPECT_TRUE(aUEI_getBytesFullPacket(l28.p));
    EXPECT_FALSE(aUEI_getBytesFullPacket(l26.p));
}

TEST(aUEI, PayloadClassification)
{
    for (uint8_t code : {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175}) {
        Owned p(sPacket(2, {code, 0, 0}));
        EXPECT_TRUE(aUEI_isNotUEIPayload(p.p)) << int(code);
        EXPECT_FALSE(aUEI_isUEIPayload(p.p)) << int(code);
    }
    for (uint8_t code : {3, 5, 93, 174}) {
        Owned p(sPacket(2, {code, 0, 0}));
        EXPECT_TRUE(aUEI_isUEIPayload(p.p)) << int(code);
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
}

TEST(aUEI, StreamPackets)
{
    Owned sample(sPacket(0x42, {0x03, 0x07, 0x40, 0x00, 0x01}));
    EXPECT_TRUE(aUEI_isStreamPacket(sample.p));
    Owned shortOne(sPacket(2, {0x03, 0x07, 0x40, 0x00}));
    EXPECT_FALSE(aUEI_isStreamPacket(shortOne.p));
    Owned getReply(sPacket(2, {0x03, 0x41, 0x40, 0x00, 0x01}));
    EXPECT_FALSE(aUEI_isStreamPacket(getReply.p));
    Owned notUei(sPacket(2, {0x04, 0x07, 0x40, 0x00, 0x01}));
    EXPECT_FALSE(aUEI_isStreamPacket(notUei.p));
    Owned noStreamBit(sPacket(2, {0x03, 0x07, 0x20, 0x00, 0x01}));
    EXPECT_FALSE(aUEI_isStreamPacket(noStreamBit.p));
}

TEST(aUEI, ValuePacketsByType)
{
    uei u{};
    u.module = 6;
    u.command = 3;
    u.option = 0x80 | 2;
    u.specifier = 0x20 | 1;

    u.type = UEI_VOID;
    Owned v(aUEI_CreateValuePacket(&u));
    ASSERT_NE(v.p, nullptr);
    EXPECT_EQ(v.p->address, 6);
    EXPECT_EQ(v.p->length, 3);
    EXPECT_EQ(v.p->data[1], 0x82);
    EXPECT_EQ(v.p->data[2], 0x21);

    u.type = UEI_SHORT;
    u.value.shortVal = 0xBEEF;
    Owned s(aUEI_CreateValuePacket(&u));
    ASSERT_EQ(s.p->length, 5);
    EXPECT_EQ(s.p->data[3], 0xBE);
    EXPECT_EQ(s.p->data[4], 0xEF);

    u.type = UEI_INT;
    u.value.intVal = 0x01020304;
    Owned i(aUEI_CreateSubIndexPacket(&u, 9));
    ASSERT_EQ(i.p->length, 8);
    EXPECT_EQ(i.p->data[3], 9);
    EXPECT_EQ(i.p->data[4], 1);
    EXPECT_EQ(i.p->data[7], 4);

    u.type = UEI_BYTE;
    u.value.byteVal = 0x7E;
    Owned b(aUEI_CreateSubIndexPacket(&u, 2));
    ASSERT_EQ(b.p->length, 5);
    EXPECT_EQ(b.p->data[4], 0x7E);

    u.type = UEI_BYTES;
    EXPECT_EQ(aUEI_CreateValuePacket(&u), nullptr);
    u.type = 3;
    EXPECT_EQ(aUEI_CreateValuePacket(&u), nullptr);
    EXPECT_EQ(aUEI_CreateValuePacket(nullptr), nullptr);
}

TEST(aUEI, BytesValuesGoOutInChunksOfTwentyFour)
{
    std::vector<uint8_t> value(50);
    for (size_t i = 0; i < value.size(); i++)
        value[i] = static_cast<uint8_t>(i);
    uei u{};
    u.module = 2;
    u.command = 95;
    u.option = 0x80 | 10;
    u.specifier = 0x20;
    u.type = UEI_BYTES;
    u.value.bytes = value.data();
    u.bytesSize = 50;

    ASSERT_EQ(aUEI_BytesChunkCount(50), 3u);
    const uint8_t trailers[] = {0x80, 0x81, 0x02};
    const uint8_t payload[] = {24, 24, 2};
    size_t offset = 0;
    for (uint32_t c = 0; c < 3; c++) {
        Owned chunk(aUEI_CreateBytesChunk(&u, c));
        ASSERT_NE(chunk.p, nullptr);
        ASSERT_EQ(chunk.p->length, payload[c] + 4);
        EXPECT_EQ(chunk.p->data[chunk.p->length - 1], trailers[c]);
        for (int k = 0; k < payload[c]; k++)
            ASSERT_EQ(chunk.p->data[3 + k], value[offset + k]);
        offset += payload[c];
    }
    EXPECT_EQ(aUEI_CreateBytesChunk(&u, 3), nullptr);

    // Exactly 48 bytes: two full chunks, the second one last.
    u.bytesSize = 48;
    Owned last(aUEI_CreateBytesChunk(&u, 1));
    EXPECT_EQ(last.p->length, 28);
    EXPECT_EQ(last.p->data[27], 0x01);

    // An empty value is one chunk with no payload and trailer 0.
    u.bytesSize = 0;
    u.value.bytes = nullptr;
    ASSERT_EQ(aUEI_BytesChunkCount(0), 1u);
    Owned empty(aUEI_CreateBytesChunk(&u, 0));
    ASSERT_NE(empty.p, nullptr);
    EXPECT_EQ(empty.p->length, 4);
    EXPECT_EQ(empty.p->data[3], 0x00);

    // Sequence numbers wrap at 128 on the wire.
    std::vector<uint8_t> big(24 * 130);
    u.value.bytes = big.data();
    u.bytesSize = static_cast<uint32_t>(big.size());
    Owned wrapped(aUEI_CreateBytesChunk(&u, 128));
    EXPECT_EQ(wrapped.p->data[27], 0x80);
}

TEST(aUEI, MatchFillsTheValueByLength)
{
    uei u{};
    u.module = 4;
    u.command = 3;
    u.option = 0x05;
    u.specifier = 2;
    u.type = UEI_BYTES;

    Owned otherModule(sPacket(6, {3, 5, 2, 1}));
    EXPECT_EQ(aUEI_MatchPacket(otherModule.p, &u), 0);
    Owned otherOption(sPacket(4, {3, 0x45, 2, 1}));
    EXPECT_EQ(aUEI_MatchPacket(otherOption.p, &u), 0);
    Owned tooShort(sPacket(4, {3, 5}));
    EXPECT_EQ(aUEI_MatchPacket(tooShort.p, &u), 0);

    Owned odd(sPacket(4, {3, 5, 2, 1, 2, 3}));
    EXPECT_EQ(aUEI_MatchPacket(odd.p, &u), 1);
    EXPECT_EQ(u.type, UEI_BYTES); // other lengths leave type and value

    Owned i(sPacket(4, {3, 5, 0x02, 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(aUEI_MatchPacket(i.p, &u), 1);
    EXPECT_EQ(u.type, UEI_INT);
    EXPECT_EQ(u.value.intVal, 0xDEADBEEFu);

    Owned s(sPacket(4, {3, 5, 0x22, 0x01, 0x02}));
    EXPECT_EQ(aUEI_MatchPacket(s.p, &u), 1);
    EXPECT_EQ(u.type, UEI_SHORT);
    EXPECT_EQ(u.value.shortVal, 0x0102);

    Owned error(sPacket(4, {3, 5, 0x82, aErrRange}));
    EXPECT_EQ(aUEI_MatchPacket(error.p, &u), 1);
    EXPECT_EQ(u.specifier, 0x82);
    EXPECT_EQ(u.value.byteVal, aErrRange);

    // An error reply that lost its code must not read as success.
    u.specifier = 2;
    Owned bare(sPacket(4, {3, 5, 0x82}));
    EXPECT_EQ(aUEI_MatchPacket(bare.p, &u), 1);
    EXPECT_EQ(u.value.byteVal, aErrUnknown);

    EXPECT_EQ(aUEI_MatchPacket(nullptr, &u), 0);
    EXPECT_EQ(aUEI_MatchPacket(i.p, nullptr), 0);
}
