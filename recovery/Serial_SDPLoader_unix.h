// Serial-port transport to the i.MX boot ROM (termios, 115200 8N1, raw,
// non-blocking). Single-threaded, like the SDPLoader that owns it.
#ifndef UPDATER_RECOVERY_SERIAL_SDPLOADER_UNIX_H
#define UPDATER_RECOVERY_SERIAL_SDPLOADER_UNIX_H

#include <memory>
#include <string>

#include "recovery/SDPLoader.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
    static constexpr size_t MAX_COMMAND_BYTES = 17;
    static constexpr size_t MAX_READ_BYTES = 65;
    static constexpr size_t MAX_WRITE_BYTES = 1024;
    // Fruitless write attempts (1 ms apart) before a gone port is given up.
    static constexpr int WRITE_STALLS = 2000;

    explicit Serial_SDPLoader(const std::string& port);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    // Opens and sets up the port, sends the association bytes and waits up
    // to 1 s for their echo (the line settles meanwhile), then discards what
    // is pending; false when it does not open or is not a terminal.
    bool init() override;
    // Writes the packet without its report id; returns the bytes written.
    ssize_t writeData(const SDPPacket& packet) override;
    // With timeoutMs 0: appends the bytes waiting. Otherwise waits for a
    // whole answer (8 bytes) until timeoutMs after the line has carried the
    // last byte written, appending what came; returns the count.
    ssize_t readData(SDPPacket& buffer, int timeoutMs) override;
    // Word index is bytes index + 4 to index + 7, after the 4-byte
    // security-mode answer; the answer must be (index + 2) * 4 bytes long.
    bool getDataFromBuffer(const SDPPacket& buffer, size_t index, uint32_t& value) override;
    // The security-mode answer is the first four bytes.
    bool getSecurityFromBuffer(const SDPPacket& buffer, uint32_t& value) override;

private:
    // True when the ROM echoed the association bytes in time.
    bool _associate();

    std::unique_ptr<PrivateSerial_SDPLoader> d;
};

#endif
