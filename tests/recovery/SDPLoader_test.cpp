// Serial Download Protocol client: command records byte for byte through a
// scripted transport, the HID transport through a stand-in for hidapi, and
// the serial transport against the simulated i.MX boot ROM.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <unistd.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "support/BootRomHarness.h"

namespace {

SDPPacket Bytes(std::initializer_list<int> list)
{
    SDPPacket p;
    for (int b : list)
        p.push_back(uint8_t(b));
    return p;
}

// A serial-style security-mode word (little-endian).
SDPPacket SerialWord(uint32_t word)
{
    SDPPacket p;
    for (int i = 0; i < 4; ++i)
        p.push_back(uint8_t(word >> (8 * i)));
    return p;
}

// A serial-style answer: security mode, then the status word.
SDPPacket SerialAnswer(uint32_t status, uint32_t security = SDPLoader::HAB_OPEN)
{
    SDPPacket p = SerialWord(security);
    SDPPacket word = SerialWord(status);
    p.insert(p.end(), word.begin(), word.end());
    return p;
}

// Transport that records packets and answers reads from a script; it uses
// the serial transport's word layout.
struct FakeTransport : public SDPLoader_Interface {
    explicit FakeTransport(bool* destroyed = nullptr) : destroyed(destroyed) {}
    ~FakeTransport() override
    {
        if (destroyed)
            *destroyed = true;
    }
    bool init() override { return opens; }
    ssize_t writeData(const SDPPacket& packet) override
    {
        written.push_back(packet);
        return ssize_t(packet.size());
    }
    ssize_t readData(SDPPacket& buffer, int timeoutMs) override
    {
        timeouts.push_back(timeoutMs);
        if (answers.empty())
            return 0;
        SDPPacket next = answers.front();
        answers.pop_front();
        buffer.insert(buffer.end(), next.begin(), next.end());
        return ssize_t(next.size());
    }
    bool getDataFromBuffer(const SDPPacket& buffer, size_t index, uint32_t& value) override
    {
        if (buffer.size() < (index + 2) * 4)
            return false;
        size_t at = 4 + 4 * index;
        value |= uint32_t(buffer[at]) | uint32_t(buffer[at + 1]) << 8 | uint32_t(buffer[at + 2]) << 16 |
                 uint32_t(buffer[at + 3]) << 24;
        return true;
    }
    bool getSecurityFromBuffer(const SDPPacket& buffer, uint32_t& value) override
    {
        if (buffer.size() < 4)
            return false;
        value = uint32_t(buffer[0]) | uint32_t(buffer[1]) << 8 | uint32_t(buffer[2]) << 16 |
                uint32_t(buffer[3]) << 24;
        return true;
    }

    bool opens = true;
    bool* destroyed;
    std::vector<SDPPacket> written;
    std::deque<SDPPacket> answers; // one per readData call; empty packets mean silence
    std::vector<int> timeouts;
};

std::vector<uint8_t> Image(size_t n)
{
    std::mt19937 rng{static_cast<unsigned>(n)};
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

} // namespace

TEST(SDPLoaderSetup, OneTransportForLifeAndInitResults)
{
    SDPLoader empty;
    EXPECT_EQ(1, empty.init());
    EXPECT_FALSE(empty.setLoader(nullptr));

    bool firstGone = false, secondGone = false;
    {
        SDPLoader loader;
        FakeTransport* first = new FakeTransport(&firstGone);
        FakeTransport* second = new FakeTransport(&secondGone);
        EXPECT_TRUE(loader.setLoader(first));
        EXPECT_FALSE(loader.setLoader(second));
        delete second;
        first->opens = false;
        EXPECT_EQ(6, loader.init());
        first->opens = true;
        EXPECT_EQ(0, loader.init());
        EXPECT_FALSE(firstGone);
    }
    EXPECT_TRUE(firstGone) << "the loader deletes the transport it owns";
}

TEST(SDPLoaderRecords, WriteFileDataPacketsAndJumpByteForByte)
{
    SDPLoader loader;
    FakeTransport* t = new FakeTransport;
    ASSERT_TRUE(loader.setLoader(t));
    t->answers = {SerialAnswer(SDPLoader::STATUS_ACK), {}, {}, {}, SerialAnswer(SDPLoader::STATUS_COMPLETE)};
    std::vector<uint8_t> image = Image(2500);
    EXPECT_EQ(0, loader.writeLoader(image, 0x20000400));

    ASSERT_EQ(5u, t->written.size());
    EXPECT_EQ(Bytes({1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), t->written[0]);
    EXPECT_EQ(Bytes({0x01, 0x04, 0x04, 0x20, 0x00, 0x04, 0x00, 0x20, 0x00, 0x00, 0x09, 0xC4, 0x00, 0x00, 0x00, 0x00,
                     0x00}),
              t->written[1]);
    size_t offsets[3] = {0, 1024, 2048}, sizes[3] = {1024, 1024, 452};
    for (int i = 0; i < 3; ++i) {
        const SDPPacket& p = t->written[size_t(2 + i)];
        ASSERT_EQ(sizes[i] + 1, p.size());
        EXPECT_EQ(2, p[0]);
        EXPECT_TRUE(std::equal(p.begin() + 1, p.end(), image.begin() + long(offsets[i]))) << "packet " << i;
    }
    // Status wait, three checks for early answers without waiting, the final wait.
    EXPECT_EQ((std::vector<int>{100, 0, 0, 0, 100}), t->timeouts);

    loader.startLoader(0x20002000);
    EXPECT_EQ(Bytes({1, 0x0B, 0x0B, 0x20, 0x00, 0x20, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), t->written.back());
}

TEST(SDPLoaderRecords, FailuresGiveTheirCodes)
{
    {
        SDPLoader loader;
        FakeTransport* t = new FakeTransport;
        loader.setLoader(t);
        EXPECT_EQ(2, loader.writeLoader(Image(10), 0x20000000));
        EXPECT_EQ(5u, t->written.size()) << "five status attempts, nothing else";
    }
    {
        SDPLoader loader;
        FakeTransport* t = new FakeTransport;
        loader.setLoader(t);
        t->answers = {SerialAnswer(SDPLoader::STATUS_ACK), {}, Bytes({1})};
        EXPECT_EQ(3, loader.writeLoader(Image(3000), 0x20000000));
        EXPECT_EQ(3u, t->written.size()) << "status, WRITE_FILE, one data packet";
    }
    {
        SDPLoader loader;
        FakeTransport* t = new FakeTransport;
        loader.setLoader(t);
        t->answers = {SerialAnswer(SDPLoader::STATUS_ACK), {}, SerialAnswer(0x12345678)};
        EXPECT_EQ(4, loader.writeLoader(Image(100), 0x20000000));
    }
    {
        // A short final answer is not a completed write either.
        SDPLoader loader;
        FakeTransport* t = new FakeTransport;
        loader.setLoader(t);
        t->answers = {SerialAnswer(SDPLoader::STATUS_ACK), {}, Bytes({0x88, 0x88, 0x88, 0x88})};
        EXPECT_EQ(4, loader.writeLoader(Image(100), 0x20000000));
    }
}

// The ROM answers a jump with its security mode, and adds a status only when
// it does not run the image: a closed chip refuses an unsigned one.
TEST(SDPLoaderRecords, TheAnswerToTheJumpTellsWhetherTheImageRuns)
{
    struct Case {
        const char* what;
        std::deque<SDPPacket> answers;
        int result;
        std::vector<int> timeouts;
    };
    const uint32_t FAILURE = 0x33333333;
    const Case cases[] = {
        {"open chip, the image runs", {SerialWord(SDPLoader::HAB_OPEN)}, 0, {100}},
        {"closed chip, signed image runs", {SerialWord(SDPLoader::HAB_CLOSED), {}}, 0, {100, 1000}},
        {"closed chip refuses at once", {SerialAnswer(FAILURE, SDPLoader::HAB_CLOSED)}, 7, {100}},
        {"closed chip refuses after its check", {SerialWord(SDPLoader::HAB_CLOSED), SerialWord(FAILURE)}, 7,
         {100, 1000}},
        {"open chip reports an error", {SerialAnswer(FAILURE)}, 8, {100}},
        {"a success status is no error", {SerialAnswer(SDPLoader::STATUS_ACK, SDPLoader::HAB_CLOSED)}, 0, {100}},
        {"no answer at all", {}, 0, {100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SDPLoader loader;
        FakeTransport* t = new FakeTransport;
        loader.setLoader(t);
        t->answers = c.answers;
        EXPECT_EQ(c.result, loader.startLoader(0x20002000));
        ASSERT_EQ(1u, t->written.size()) << "the jump and nothing else";
        EXPECT_EQ(c.timeouts, t->timeouts);
        if (c.result != 0) {
            EXPECT_EQ(FAILURE, loader.jumpStatus());
            EXPECT_EQ(c.result == 7 ? SDPLoader::HAB_CLOSED : SDPLoader::HAB_OPEN, loader.jumpSecurity());
        }
    }
}

TEST(SDPSerialTransport, AnswerWords)
{
    Serial_SDPLoader serial("/nonexistent/tty");
    uint32_t value = 0;
    EXPECT_TRUE(serial.getDataFromBuffer(SerialAnswer(0x88888888), 0, value));
    EXPECT_EQ(0x88888888u, value);
    EXPECT_TRUE(serial.getSecurityFromBuffer(SerialAnswer(0x88888888, SDPLoader::HAB_CLOSED), value));
    EXPECT_EQ(SDPLoader::HAB_CLOSED, value);
    EXPECT_FALSE(serial.getSecurityFromBuffer(Bytes({0x12, 0x34, 0x34}), value));
    value = 0;
    EXPECT_FALSE(serial.getDataFromBuffer(Bytes({1, 2, 3, 4, 5, 6, 7}), 0, value));
    EXPECT_FALSE(serial.getDataFromBuffer(SerialAnswer(1), 16, value));
    EXPECT_FALSE(serial.init());
    Serial_SDPLoader notTerminal("/dev/null");
    EXPECT_FALSE(notTerminal.init());
}

// hidapi stand-in: one fake device, reports scripted per read.
namespace {

struct FakeHid {
    int inits = 0, exits = 0, closes = 0;
    bool present = true;
    unsigned short vendor = 0, product = 0;
    std::vector<SDPPacket> writes;
    std::deque<SDPPacket> reports;
};
FakeHid* gHid = nullptr;
hid_device* const FAKE_HANDLE = reinterpret_cast<hid_device*>(0x1000);

const sdp_hidapi_ops FAKE_OPS = {
    []() { return ++gHid->inits, 0; },
    []() { return ++gHid->exits, 0; },
    [](unsigned short v, unsigned short p, const wchar_t*) -> hid_device* {
        gHid->vendor = v;
        gHid->product = p;
        return gHid->present ? FAKE_HANDLE : nullptr;
    },
    [](hid_device* d, const unsigned char* data, size_t length) -> int {
        EXPECT_EQ(FAKE_HANDLE, d);
        gHid->writes.emplace_back(data, data + length);
        return int(length);
    },
    [](hid_device*, unsigned char* data, size_t length, int) -> int {
        if (gHid->reports.empty())
            return 0;
        SDPPacket r = gHid->reports.front();
        gHid->reports.pop_front();
        size_t n = r.size() < length ? r.size() : length;
        std::copy(r.begin(), r.begin() + long(n), data);
        return int(n);
    },
    [](hid_device*) { ++gHid->closes; },
};

SDPPacket HidReport(uint8_t id, uint32_t word, size_t size)
{
    SDPPacket r(size, 0);
    r[0] = id;
    for (int i = 0; i < 4; ++i)
        r[size_t(1 + i)] = uint8_t(word >> (8 * i));
    return r;
}

class HidSeam : public ::testing::Test {
protected:
    void SetUp() override
    {
        gHid = &hid;
        previous = sdp_set_hidapi(&FAKE_OPS);
    }
    void TearDown() override
    {
        sdp_set_hidapi(previous);
        gHid = nullptr;
    }
    FakeHid hid;
    const sdp_hidapi_ops* previous = nullptr;
};

} // namespace

TEST_F(HidSeam, OpensByIdsAndClosesOnDestruction)
{
    {
        HID_SDPLoader t(IMX1050::VID, IMX1050::PID);
        ASSERT_TRUE(t.init());
        EXPECT_EQ(0x1FC9, hid.vendor);
        EXPECT_EQ(0x0130, hid.product);
    }
    EXPECT_EQ(1, hid.closes);
    EXPECT_EQ(hid.inits, hid.exits);

    hid.present = false;
    SDPLoader loader;
    loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    EXPECT_EQ(6, loader.init());
}

TEST_F(HidSeam, ReportsAreCountedAndOnlyWholeAnswersHoldWords)
{
    HID_SDPLoader t(IMX1050::VID, IMX1050::PID);
    ASSERT_TRUE(t.init());
    hid.reports = {HidReport(3, 0x56787856, 65), HidReport(4, 0x88888888, 65)};
    SDPPacket answer;
    EXPECT_EQ(70, t.readData(answer, 100));
    ASSERT_EQ(70u, answer.size());
    uint32_t value = 0;
    EXPECT_TRUE(t.getDataFromBuffer(answer, 0, value));
    EXPECT_EQ(0x88888888u, value);

    SDPPacket shortAnswer(answer.begin(), answer.begin() + 69);
    value = 0;
    EXPECT_FALSE(t.getDataFromBuffer(shortAnswer, 0, value));
    SDPPacket longAnswer = answer;
    longAnswer.push_back(0);
    EXPECT_FALSE(t.getDataFromBuffer(longAnswer, 0, value));
}

// A closed chip's refusal over HID: the security-mode report counts five
// bytes, the status report after it makes the whole answer.
TEST_F(HidSeam, AJumpRefusedOverHid)
{
    SDPLoader loader;
    loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    ASSERT_EQ(0, loader.init());
    hid.reports = {HidReport(3, SDPLoader::HAB_CLOSED, 65), HidReport(4, 0x33333333, 65)};
    EXPECT_EQ(SDPLoader::SDP_REFUSED, loader.startLoader(0x20002000));
    EXPECT_EQ(SDPLoader::HAB_CLOSED, loader.jumpSecurity());
    EXPECT_EQ(0x33333333u, loader.jumpStatus());
    ASSERT_EQ(1u, hid.writes.size());

    HID_SDPLoader t(IMX1050::VID, IMX1050::PID);
    uint32_t value = 0;
    EXPECT_FALSE(t.getSecurityFromBuffer(HidReport(4, SDPLoader::HAB_OPEN, 65), value));
    EXPECT_FALSE(t.getSecurityFromBuffer(Bytes({3, 0x56, 0x78, 0x78}), value));
    EXPECT_TRUE(t.getSecurityFromBuffer(Bytes({3, 0x56, 0x78, 0x78, 0x56}), value));
    EXPECT_EQ(SDPLoader::HAB_OPEN, value);
}

TEST_F(HidSeam, LoaderTransferOverHid)
{
    SDPLoader loader;
    loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    ASSERT_EQ(0, loader.init());
    // Status answer (the status report ends the read), nothing during the
    // two data packets, then the completion.
    hid.reports = {HidReport(3, 0x56787856, 65), HidReport(4, 0xF0F0F0F0, 65), {}, {},
                   HidReport(3, 0x56787856, 65), HidReport(4, 0x88888888, 65)};
    std::vector<uint8_t> image = Image(1500);
    int result = loader.writeLoader(image, 0x20000400);
    EXPECT_EQ(0, result);
    ASSERT_EQ(4u, hid.writes.size());
    EXPECT_EQ(17u, hid.writes[0].size());
    EXPECT_EQ(Bytes({0x01, 0x04, 0x04, 0x20, 0x00, 0x04, 0x00, 0x20, 0x00, 0x00, 0x05, 0xDC, 0, 0, 0, 0, 0}),
              hid.writes[1]);
    EXPECT_EQ(1025u, hid.writes[2].size());
    EXPECT_EQ(2, hid.writes[2][0]);
    EXPECT_EQ(477u, hid.writes[3].size());
}

// The serial transport against the simulated ROM, on an unpaced terminal and
// on a line paced like a 115200-baud UART, where 2500 bytes take longer on
// the wire than the answer's time-out; stray bytes before the association
// (the LPC probe's question mark) are ignored by the ROM.
TEST(SDPSerialRom, LoaderLandsInRamAndJumps)
{
    for (const char* baud : {"0", "115200"}) {
        SCOPED_TRACE(baud);
        BootRomHarness rom;
        ASSERT_TRUE(rom.Start({"--kind", "sdp", "--baud", baud}));
        {
            int fd = open(rom.PtyPath().c_str(), O_RDWR | O_NOCTTY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(1, write(fd, "?", 1));
            close(fd);
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (rom.CountTrace("SKIP 3F") == 0 && std::chrono::steady_clock::now() < end)
                usleep(10000);
        }
        SDPLoader loader;
        loader.setLoader(new Serial_SDPLoader(rom.PtyPath()));
        ASSERT_EQ(0, loader.init());
        std::vector<uint8_t> image = Image(2500);
        ASSERT_EQ(0, loader.writeLoader(image, 0x20000400));
        EXPECT_EQ(0, loader.startLoader(0x20000400));
        EXPECT_EQ(SDPLoader::HAB_OPEN, loader.jumpSecurity());

        std::vector<std::pair<uint32_t, std::string>> writes;
        bool jumped = false;
        uint32_t jump = 0;
        ASSERT_TRUE(rom.SdpState(writes, jumped, jump));
        ASSERT_EQ(1u, writes.size());
        EXPECT_EQ(0x20000400u, writes[0].first);
        EXPECT_EQ(std::string(image.begin(), image.end()), writes[0].second);
        EXPECT_TRUE(jumped);
        EXPECT_EQ(0x20000400u, jump);
        EXPECT_EQ(1u, rom.CountTrace("ASSOCIATED"));
        EXPECT_EQ(1u, rom.CountTrace("SKIP 3F"));
    }
}

// A chip whose security is closed takes the file but not the jump, on a line
// paced like a UART; it stays in its ROM and answers the next command.
TEST(SDPSerialRom, AClosedChipRefusesToRunTheLoader)
{
    BootRomHarness rom;
    ASSERT_TRUE(rom.Start({"--kind", "sdp", "--hab", "closed", "--baud", "115200"}));
    SDPLoader loader;
    loader.setLoader(new Serial_SDPLoader(rom.PtyPath()));
    ASSERT_EQ(0, loader.init());
    ASSERT_EQ(0, loader.writeLoader(Image(300), 0x20000400));
    EXPECT_EQ(SDPLoader::SDP_REFUSED, loader.startLoader(0x20000400));
    EXPECT_EQ(SDPLoader::HAB_CLOSED, loader.jumpSecurity());
    EXPECT_EQ(0x33333333u, loader.jumpStatus());

    std::vector<std::pair<uint32_t, std::string>> writes;
    bool jumped = true;
    uint32_t jump = 0;
    ASSERT_TRUE(rom.SdpState(writes, jumped, jump));
    EXPECT_EQ(1u, writes.size());
    EXPECT_FALSE(jumped);
    EXPECT_EQ(1u, rom.CountTrace("REFUSED JUMP 20000400"));
    EXPECT_EQ(0, loader.writeLoader(Image(10), 0x20000400)) << "the ROM is still in control";
}

TEST(SDPSerialRom, SilentAndRefusingRoms)
{
    BootRomHarness silent;
    ASSERT_TRUE(silent.Start({"--kind", "sdp", "--fault", "silent"}));
    SDPLoader a;
    a.setLoader(new Serial_SDPLoader(silent.PtyPath()));
    ASSERT_EQ(0, a.init());
    EXPECT_EQ(2, a.writeLoader(Image(64), 0x20000400));

    BootRomHarness refusing;
    ASSERT_TRUE(refusing.Start({"--kind", "sdp", "--fault", "badstatus"}));
    SDPLoader b;
    b.setLoader(new Serial_SDPLoader(refusing.PtyPath()));
    ASSERT_EQ(0, b.init());
    EXPECT_EQ(4, b.writeLoader(Image(64), 0x20000400));
}
