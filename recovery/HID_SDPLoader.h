// USB HID transport to the i.MX boot ROM, through hidapi (hidraw backend).
// Every hidapi call goes through one table that tests may swap for a fake.
// Single-threaded, like the SDPLoader that owns it.
#ifndef UPDATER_RECOVERY_HID_SDPLOADER_H
#define UPDATER_RECOVERY_HID_SDPLOADER_H

#include <hidapi.h>

#include "recovery/SDPLoader.h"

struct sdp_hidapi_ops {
    int (*init)(void);
    int (*exit)(void);
    hid_device* (*open)(unsigned short vendor, unsigned short product, const wchar_t* serial);
    int (*write)(hid_device* device, const unsigned char* data, size_t length);
    int (*read_timeout)(hid_device* device, unsigned char* data, size_t length, int milliseconds);
    void (*close)(hid_device* device);
};

// The table in use (the real hidapi unless a test swapped it).
const sdp_hidapi_ops* sdp_hidapi();
// Swaps the table; null puts the real hidapi back. Returns the previous one.
// Only for tests, while no HID transport exists.
const sdp_hidapi_ops* sdp_set_hidapi(const sdp_hidapi_ops* ops);

class HID_SDPLoader : public SDPLoader_Interface {
public:
    static constexpr size_t MAX_COMMAND_BYTES = 17;
    static constexpr size_t MAX_READ_BYTES = 65;
    static constexpr size_t MAX_WRITE_BYTES = 1024;
    // An answer: a 5-byte security-mode report and a 65-byte status report.
    static constexpr size_t ANSWER_BYTES = 70;

    HID_SDPLoader(uint16_t vendor, uint16_t product) : vendor(vendor), product(product) {}
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    // Opens the first HID device with the ids; true when one opened.
    bool init() override;
    // One HID write of the whole packet; hidapi's result (-1 on error).
    ssize_t writeData(const SDPPacket& packet) override;
    // Reads reports until one read brings nothing; a security-mode report
    // (id 3) counts as its id and 4 bytes. Returns the bytes appended.
    ssize_t readData(SDPPacket& buffer, int timeoutMs) override;
    // Only a 70-byte answer holds words: bytes index + 6 to index + 9.
    bool getDataFromBuffer(const SDPPacket& buffer, size_t index, uint32_t& value) override;
    // The word of a security-mode report (id 3) at the start: bytes 1 to 4.
    bool getSecurityFromBuffer(const SDPPacket& buffer, uint32_t& value) override;

private:
    uint16_t vendor;
    uint16_t product;
    hid_device* handle = nullptr;
    bool started = false;
};

#endif
