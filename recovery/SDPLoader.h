// Serial Download Protocol client for the boot ROM of i.MX RT1050 parts:
// checks that the ROM answers, writes a loader image into RAM and jumps to
// it. The bytes travel through a transport behind SDPLoader_Interface (USB
// HID or a serial port). Single-threaded: each object belongs to the
// recovery step that made it. Traces go to the debug log.
#ifndef UPDATER_RECOVERY_SDPLOADER_H
#define UPDATER_RECOVERY_SDPLOADER_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace IMX1050 {
const uint16_t VID = 0x1FC9; // USB ids of the boot ROM's HID device
const uint16_t PID = 0x0130;
const uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
} // namespace IMX1050

typedef std::vector<uint8_t> SDPPacket;

// A byte transport to the boot ROM.
class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface() {}
    // Opens the device; true on success.
    virtual bool init() = 0;
    // Sends one packet (report id first); returns the bytes written, < 0 on error.
    virtual ssize_t writeData(const SDPPacket& packet) = 0;
    // Appends what the ROM answered within timeoutMs; returns the count appended.
    virtual ssize_t readData(SDPPacket& buffer, int timeoutMs) = 0;
    // ORs 32-bit word number index (0 to 15) of the answer's data into value;
    // false when the answer does not hold it.
    virtual bool getDataFromBuffer(const SDPPacket& buffer, size_t index, uint32_t& value) = 0;
    // Puts the security-mode word that starts the answer into value; false
    // when the answer does not start with one.
    virtual bool getSecurityFromBuffer(const SDPPacket& buffer, uint32_t& value) = 0;
};

class SDPLoader {
public:
    static constexpr size_t MAX_COMMAND_BYTES = 17;
    static constexpr size_t MAX_READ_BYTES = 65;
    static constexpr size_t MAX_WRITE_BYTES = 1024;

    // Results of init and writeLoader.
    enum : int {
        SDP_OK = 0,
        SDP_NO_TRANSPORT = 1, // init: no transport set
        SDP_NO_ANSWER = 2,    // writeLoader: the ROM does not answer
        SDP_EARLY_DATA = 3,   // writeLoader: the ROM sent data during the transfer
        SDP_INCOMPLETE = 4,   // writeLoader: the final status is not "complete"
        SDP_STOPPED = 5,      // writeLoader: a stop was asked for between two pieces
        SDP_IO = 6,           // init: the transport did not open
        SDP_REFUSED = 7,      // startLoader: the chip's security is closed and the image is not signed for it
        SDP_JUMP_FAILED = 8,  // startLoader: the ROM reported an error instead of running the image
    };

    // SDP command types and the answer words that matter.
    static constexpr uint16_t WRITE_FILE = 0x0404;
    static constexpr uint16_t ERROR_STATUS = 0x0505;
    static constexpr uint16_t JUMP_ADDRESS = 0x0B0B;
    static constexpr uint32_t STATUS_COMPLETE = 0x88888888;
    static constexpr uint32_t STATUS_ACK = 0xF0F0F0F0;
    // Security modes the ROM reports first in every answer: open (any image
    // runs) or closed (only images signed for the chip run).
    static constexpr uint32_t HAB_OPEN = 0x56787856;
    static constexpr uint32_t HAB_CLOSED = 0x12343412;

    SDPLoader() {}
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes ownership of transport; false (and nothing taken) when it is
    // null or a transport is already set.
    bool setLoader(SDPLoader_Interface* transport);
    // Opens the transport: 0 opened, 1 no transport, 6 (aErrIO) it did not open.
    int init();
    // Asked before the file is announced and between its data pieces, never
    // inside a write: true ends the transfer there (null: never).
    void setStopCheck(bool (*stopRequested)()) { stopCheck = stopRequested; }
    // Writes image into the chip's RAM at address: 0 done, 2 the ROM does not
    // answer, 3 the ROM sent data during the transfer, 4 the final status is
    // not "complete", 5 stopped by the stop check (a ROM stopped inside a
    // file still waits for the rest of it).
    int writeLoader(const std::vector<uint8_t>& image, uint32_t address);
    // Jumps to address and reads the ROM's answer: its security mode, and a
    // status only when it did not run the image.
    //   0 (SDP_OK)           the ROM took the jump (or did not answer it)
    //   7 (SDP_REFUSED)      security closed: the image is not signed for the chip
    //   8 (SDP_JUMP_FAILED)  the ROM reported an error and stayed in control
    int startLoader(uint32_t address);
    // What the answer to the last jump held: the security mode and the
    // error status (0 when none was read).
    uint32_t jumpSecurity() const { return lastSecurity; }
    uint32_t jumpStatus() const { return lastStatus; }

private:
    bool _isConnectionAlive();
    bool _expectResponse(const SDPPacket& answer, uint32_t& word);
    bool _expectSuccess(const SDPPacket& answer);
    bool _expectAck(const SDPPacket& answer);
    void _printBuffer(const SDPPacket& bytes);
    static void _fillCommand(SDPPacket& packet, uint16_t type, uint32_t address, uint8_t format, uint32_t count);
    static SDPPacket _createWriteFilePacket(uint32_t address, uint32_t size);
    static SDPPacket _createStatusPacket();
    static SDPPacket _createJumpPacket(uint32_t address);

    SDPLoader_Interface* transport = nullptr; // owned
    bool (*stopCheck)() = nullptr;
    uint32_t lastSecurity = 0;
    uint32_t lastStatus = 0;
};

#endif
