#include "recovery/HID_SDPLoader.h"

#include <atomic>

#include "base/Log.h"
#include "transport/aRecord.h"

namespace {

const sdp_hidapi_ops REAL_HIDAPI = {
    hid_init, hid_exit, hid_open, hid_write, hid_read_timeout, hid_close,
};

std::atomic<const sdp_hidapi_ops*> sOps{&REAL_HIDAPI};

// A ROM that never stops sending must not keep a read going forever.
const size_t READ_LIMIT = 64 * 1024;

} // namespace

const sdp_hidapi_ops* sdp_hidapi()
{
    return sOps.load();
}

const sdp_hidapi_ops* sdp_set_hidapi(const sdp_hidapi_ops* ops)
{
    return sOps.exchange(ops ? ops : &REAL_HIDAPI);
}

HID_SDPLoader::~HID_SDPLoader()
{
    if (handle)
        sdp_hidapi()->close(handle);
    handle = nullptr;
    if (started)
        sdp_hidapi()->exit();
}

bool HID_SDPLoader::init()
{
    if (handle)
        return true;
    if (!started) {
        if (sdp_hidapi()->init() != 0)
            return false;
        started = true;
    }
    handle = sdp_hidapi()->open(vendor, product, nullptr);
    if (aRecord_IsOn())
        aRecord_HidOpen(vendor, product, handle != nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle));
    return handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const SDPPacket& packet)
{
    if (!handle || packet.empty())
        return -1;
    if (aRecord_IsOn())
        aRecord_Hid(true, packet.data(), uint32_t(packet.size()));
    return sdp_hidapi()->write(handle, packet.data(), packet.size());
}

ssize_t HID_SDPLoader::readData(SDPPacket& buffer, int timeoutMs)
{
    if (!handle)
        return 0;
    ssize_t total = 0;
    unsigned char report[MAX_READ_BYTES];
    while (size_t(total) < READ_LIMIT) {
        int got = sdp_hidapi()->read_timeout(handle, report, sizeof report, timeoutMs);
        if (got <= 0)
            break;
        size_t count = size_t(got) > sizeof report ? sizeof report : size_t(got);
        if (aRecord_IsOn())
            aRecord_Hid(false, report, uint32_t(count));
        if (report[0] == 3 && count > 5)
            count = 5;
        buffer.insert(buffer.end(), report, report + count);
        total += ssize_t(count);
        // The status or data report ends an answer: nothing more is coming.
        if (report[0] == 4)
            break;
    }
    return total;
}

bool HID_SDPLoader::getDataFromBuffer(const SDPPacket& buffer, size_t index, uint32_t& value)
{
    if (buffer.size() != ANSWER_BYTES || index > 15)
        return false;
    size_t at = index + 6;
    value |= uint32_t(buffer[at]) | uint32_t(buffer[at + 1]) << 8 | uint32_t(buffer[at + 2]) << 16 |
             uint32_t(buffer[at + 3]) << 24;
    return true;
}

bool HID_SDPLoader::getSecurityFromBuffer(const SDPPacket& buffer, uint32_t& value)
{
    if (buffer.size() < 5 || buffer[0] != 3)
        return false;
    value = uint32_t(buffer[1]) | uint32_t(buffer[2]) << 8 | uint32_t(buffer[3]) << 16 | uint32_t(buffer[4]) << 24;
    return true;
}
