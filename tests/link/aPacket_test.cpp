#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link/aDefs.h"
#include "link/aPacket.h"

namespace {

// Feeds bytes to a fresh packet; returns the result of each byte.
std::vector<aErr> sFeed(aPacket* packet, std::initializer_list<uint8_t> bytes)
{
    std::vector<aErr> results;
    for (uint8_t b : bytes)
        results.push_back(aPacket_AddByte(packet, b));
    return results;
}

struct PacketHolder {
    aPacket* p = aPacket_Create();
    ~PacketHolder() { if (p) aPacket_Destroy(&p); }
};

} // namespace

TEST(aPacket, CreateWithDataChecksItsArguments)
{
    uint8_t data[29] = {};
    for (int i = 0; i < 29; i++)
        data[i] = static_cast<uint8_t>(i + 1);

    aPacket* full = aPacket_CreateWithData(0x02, 28, data);
    ASSERT_NE(full, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(full));
    EXPECT_EQ(full->fill, 30);
    EXPECT_EQ(0, std::memcmp(full->data, data, 28));
    EXPECT_EQ(aPacket_Destroy(&full), aErrNone);
    EXPECT_EQ(full, nullptr);

    EXPECT_EQ(aPacket_CreateWithData(0x02, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x02, 0, nullptr), nullptr);

    aPacket* empty = aPacket_CreateWithData(0x04, 0, data);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(empty));
    aPacket_Destroy(&empty);
}

TEST(aPacket, CopyIsAnEqualButSeparateRecord)
{
    const uint8_t data[] = {3, 0xC5, 0xA3, 9};
    aPacket* original = aPacket_CreateWithData(0x06, 4, data);
    aPacket* copy = aPacket_Copy(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, original);
    EXPECT_EQ(copy->address, 0x06);
    EXPECT_EQ(copy->length, 4);
    EXPECT_EQ(0, std::memcmp(copy->data, data, 4));
    copy->data[0] = 99;
    EXPECT_EQ(original->data[0], 3);
    aPacket_Destroy(&copy);
    aPacket_Destroy(&original);
}

TEST(aPacket, FieldGettersMaskAndNeedEnoughData)
{
    const uint8_t data[] = {3, 0xC5, 0xA3};
    aPacket* p = aPacket_CreateWithData(0x02, 3, data);
    uint8_t value = 0;
    EXPECT_EQ(aPacket_GetCmd(p, &value), aErrNone);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(aPacket_GetOption(p, &value), aErrNone);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(aPacket_GetIndex(p, &value), aErrNone);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(aPacket_GetIndex(p, nullptr), aErrParam);

    p->length = 2;
    value = 77;
    EXPECT_EQ(aPacket_GetIndex(p, &value), aErrPacket);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(aPacket_GetOption(p, &value), aErrNone);
    p->length = 0;
    EXPECT_EQ(aPacket_GetCmd(p, &value), aErrPacket);
    EXPECT_EQ(aPacket_GetCmd(nullptr, &value), aErrPacket);
    aPacket_Destroy(&p);
}

TEST(aPacket, AddByteAssemblesPackets)
{
    PacketHolder h;
    EXPECT_EQ(sFeed(h.p, {0x04, 0x00}), (std::vector<aErr>{aErrNone, aErrNone}));
    EXPECT_TRUE(aPacket_IsComplete(h.p));
    EXPECT_EQ(h.p->address, 0x04);
    EXPECT_EQ(h.p->length, 0);

    aPacket_Reset(h.p);
    EXPECT_EQ(sFeed(h.p, {0x04, 0x02, 0x11}), (std::vector<aErr>{aErrNone, aErrNone, aErrNone}));
    EXPECT_FALSE(aPacket_IsComplete(h.p));
    EXPECT_EQ(aPacket_AddByte(h.p, 0x22), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(h.p));
    EXPECT_EQ(h.p->data[0], 0x11);
    EXPECT_EQ(h.p->data[1], 0x22);
    // A byte past the declared length means the stream is out of step.
    EXPECT_EQ(aPacket_AddByte(h.p, 0x33), aErrPacket);
    EXPECT_EQ(h.p->data[2], 0);
}

TEST(aPacket, WireBytesReassembleAndNeverOverrunTheBuffer)
{
    const uint8_t data[] = {0x03, 0x48, 0x20};
    aPacket* sent = aPacket_CreateWithData(0x06, sizeof data, data);
    ASSERT_NE(sent, nullptr);
    uint8_t wire[aPACKETMAXWIRE + 1];
    std::memset(wire, 0xEE, sizeof wire);
    ASSERT_EQ(aPacket_ToWire(sent, wire, sizeof wire), 5u);
    EXPECT_EQ(wire[5], 0xEE);
    PacketHolder h;
    for (size_t i = 0; i < 5; i++)
        ASSERT_EQ(aPacket_AddByte(h.p, wire[i]), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(h.p));
    EXPECT_EQ(h.p->address, 0x06);
    EXPECT_EQ(0, std::memcmp(h.p->data, data, sizeof data));

    // One byte short of room, a forged length or a dead packet: nothing.
    std::memset(wire, 0xEE, sizeof wire);
    EXPECT_EQ(aPacket_ToWire(sent, wire, 4), 0u);
    EXPECT_EQ(wire[0], 0xEE);
    sent->length = aPACKETMAXDATA + 1;
    EXPECT_EQ(aPacket_ToWire(sent, wire, sizeof wire), 0u);
    sent->length = sizeof data;
    sent->tag = 0;
    EXPECT_EQ(aPacket_ToWire(sent, wire, sizeof wire), 0u);
    EXPECT_EQ(aPacket_ToWire(nullptr, wire, sizeof wire), 0u);
    sent->tag = aPACKETCHECK;
    aPacket_Destroy(&sent);
}

TEST(aPacket, AddByteRejectsWhatCannotStartOrContinueAPacket)
{
    PacketHolder h;
    EXPECT_EQ(aPacket_AddByte(h.p, 0x03), aErrPacket); // odd address
    EXPECT_EQ(h.p->address, 0);
    aPacket_Reset(h.p);
    EXPECT_EQ(aPacket_AddByte(h.p, 0x00), aErrPacket); // zero address
    aPacket_Reset(h.p);
    EXPECT_EQ(sFeed(h.p, {0x02, 29}), (std::vector<aErr>{aErrNone, aErrPacket}));
    aPacket_Reset(h.p);
    EXPECT_EQ(sFeed(h.p, {0x02, 28}), (std::vector<aErr>{aErrNone, aErrNone}));
}

TEST(aPacket, AddByteOverrunsAfterThirtyBytesAndNeverWritesOutsideData)
{
    PacketHolder h;
    // Odd bytes never become an address, so only the count moves.
    for (int i = 0; i < 30; i++)
        EXPECT_EQ(aPacket_AddByte(h.p, 0x01), aErrPacket);
    EXPECT_EQ(aPacket_AddByte(h.p, 0x01), aErrOverrun);

    // A caller that never resets keeps getting overruns; the count must not
    // wrap round and start storing again.
    aPacket_Reset(h.p);
    aPacket_AddByte(h.p, 0x02);
    aPacket_AddByte(h.p, 0xFF); // too long a length, kept
    for (int i = 0; i < 1000; i++) {
        aErr e = aPacket_AddByte(h.p, 0xEE);
        if (i >= 28) {
            ASSERT_EQ(e, aErrOverrun) << i;
        }
    }
    EXPECT_EQ(h.p->tag, aPACKETCHECK);
    EXPECT_EQ(h.p->address, 0x02);
    EXPECT_EQ(h.p->length, 0xFF);
}

TEST(aPacket, DeadOrNullPacketsAreRefusedUntouched)
{
    aPacket dead;
    std::memset(&dead, 0x5A, sizeof dead);
    dead.tag = 0;
    aPacket before;
    std::memcpy(&before, &dead, sizeof dead);

    EXPECT_EQ(aPacket_AddByte(&dead, 0x02), aErrParam);
    EXPECT_EQ(aPacket_Reset(&dead), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&dead));
    EXPECT_EQ(aPacket_Copy(&dead), nullptr);
    aPacket* deadPointer = &dead;
    EXPECT_EQ(aPacket_Destroy(&deadPointer), aErrParam);
    EXPECT_EQ(0, std::memcmp(&dead, &before, sizeof dead));

    EXPECT_EQ(aPacket_AddByte(nullptr, 0x02), aErrParam);
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
    aPacket* none = nullptr;
    EXPECT_EQ(aPacket_Destroy(&none), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(nullptr));
}

TEST(aPacket, ResetClearsAllButTheTag)
{
    const uint8_t data[] = {1, 2, 3};
    aPacket* p = aPacket_CreateWithData(0x08, 3, data);
    EXPECT_EQ(aPacket_Reset(p), aErrNone);
    aPacket* blank = aPacket_Create();
    EXPECT_EQ(0, std::memcmp(p, blank, sizeof(aPacket)));
    aPacket_Destroy(&p);
    aPacket_Destroy(&blank);
}

TEST(aLinkSpec, CreateCopyDestroy)
{
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(spec);
    EXPECT_EQ(bytes[0], 2);
    for (size_t i = 1; i < sizeof(linkSpec); i++)
        ASSERT_EQ(bytes[i], 0) << i;

    spec->t.ipAddress = 0x0100007F;
    spec->p.ipPort = 9000;
    linkSpec* copy = aLinkSpec_Copy(*spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(0, std::memcmp(copy, spec, sizeof(linkSpec)));
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
    aLinkSpec_Destroy(&spec);
}
