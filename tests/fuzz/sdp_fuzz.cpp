// Boot ROM answers of the serial download protocol fed arbitrary bytes: the
// answer-word readers of both transports stay inside the answer, the HID
// report reader counts what it stores, and a loader transfer and the jump
// after it, fed these answers, end with one of their result codes.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

namespace {

// Splits the input into answers: a length byte, then that many bytes.
std::deque<SDPPacket> Chunks(const uint8_t* data, size_t size)
{
    std::deque<SDPPacket> out;
    size_t at = 0;
    while (at < size) {
        size_t n = data[at++] % 80;
        if (n > size - at)
            n = size - at;
        out.emplace_back(data + at, data + at + n);
        at += n;
    }
    return out;
}

struct ScriptTransport : public SDPLoader_Interface {
    std::deque<SDPPacket> answers;
    Serial_SDPLoader words{"/nonexistent"};
    bool init() override { return true; }
    ssize_t writeData(const SDPPacket& packet) override { return ssize_t(packet.size()); }
    ssize_t readData(SDPPacket& buffer, int) override
    {
        if (answers.empty())
            return 0;
        SDPPacket a = answers.front();
        answers.pop_front();
        buffer.insert(buffer.end(), a.begin(), a.end());
        return ssize_t(a.size());
    }
    bool getDataFromBuffer(const SDPPacket& buffer, size_t index, uint32_t& value) override
    {
        return words.getDataFromBuffer(buffer, index, value);
    }
    bool getSecurityFromBuffer(const SDPPacket& buffer, uint32_t& value) override
    {
        return words.getSecurityFromBuffer(buffer, value);
    }
};

std::deque<SDPPacket>* gReports = nullptr;

const sdp_hidapi_ops FAKE_HID = {
    []() { return 0; },
    []() { return 0; },
    [](unsigned short, unsigned short, const wchar_t*) { return reinterpret_cast<hid_device*>(0x10); },
    [](hid_device*, const unsigned char*, size_t length) { return int(length); },
    [](hid_device*, unsigned char* out, size_t length, int) {
        if (gReports->empty())
            return 0;
        SDPPacket r = gReports->front();
        gReports->pop_front();
        size_t n = r.size() < length ? r.size() : length;
        for (size_t i = 0; i < n; ++i)
            out[i] = r[i];
        return int(n);
    },
    [](hid_device*) {},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SDPPacket whole(data, data + size);
    uint32_t value = 0;
    for (size_t index = 0; index < 18; ++index) {
        Serial_SDPLoader serial("/nonexistent");
        serial.getDataFromBuffer(whole, index, value);
        HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
        if (hid.getDataFromBuffer(whole, index, value) && (whole.size() != 70 || index > 15))
            std::abort();
    }
    {
        Serial_SDPLoader serial("/nonexistent");
        HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
        if (serial.getSecurityFromBuffer(whole, value) != (size >= 4))
            std::abort();
        if (hid.getSecurityFromBuffer(whole, value) && (size < 5 || data[0] != 3))
            std::abort();
    }

    // HID reports: a security-mode report counts 5 bytes, others as read.
    std::deque<SDPPacket> reports = Chunks(data, size);
    gReports = &reports;
    const sdp_hidapi_ops* previous = sdp_set_hidapi(&FAKE_HID);
    {
        HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
        if (!hid.init())
            std::abort();
        while (!reports.empty()) {
            SDPPacket buffer;
            ssize_t got = hid.readData(buffer, 0);
            if (got < 0 || size_t(got) != buffer.size())
                std::abort();
            if (!reports.empty())
                reports.pop_front(); // the empty report that ended the read, or the next
        }
    }
    sdp_set_hidapi(previous);
    gReports = nullptr;

    SDPLoader loader;
    ScriptTransport* t = new ScriptTransport;
    t->answers = Chunks(data, size);
    loader.setLoader(t);
    std::vector<uint8_t> image(size % 3000, 0x5A);
    int result = loader.writeLoader(image, 0x20000400);
    if (result != 0 && result != 2 && result != 3 && result != 4)
        std::abort();
    result = loader.startLoader(0x20000400);
    if (result != 0 && result != 7 && result != 8)
        std::abort();
    return 0;
}
