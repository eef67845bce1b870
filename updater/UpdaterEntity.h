// UpdaterEntity: the module-side upgrade loader dialogue (command 95). One
// entity serves one phase of one update on the command's thread; it keeps
// only its flags, and the replies it waits for are picked out of the link's
// receive queue by their first two data bytes.
#ifndef UPDATER_UPDATER_UPDATERENTITY_H
#define UPDATER_UPDATER_UPDATERENTITY_H

#include <cstddef>
#include <cstdint>

#include "base/UpdaterDisplayInterface.h"
#include "link/Entity.h"
#include "link/Module.h"

// Options of the upgrade command: the second data byte of every request
// and reply.
enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    val_UPGRADE_DATA_UEI = 10,
};

class UpdaterEntity : public Quorvane::Corvestel::EntityClass {
public:
    // Image bytes in one DATA packet.
    static const size_t DATA_PIECE = 26;
    // How often one DATA piece goes out while the module keeps acknowledging
    // another count; then the block transfer fails.
    static const unsigned PIECE_ATTEMPTS = 8;
    // Reconnection after a LOAD that got no answer.
    static const unsigned RECONNECT_ATTEMPTS = 5;
    static const uint32_t RECONNECT_DELAY_MS = 500;
    // LoaderReboot waits in passes of 250 ms for the link to drop, at most
    // this many, looking every 10 ms.
    static const uint32_t REBOOT_POLL_MS = 250;
    static const unsigned REBOOT_POLLS = 20;
    static const uint32_t REBOOT_LOOK_MS = 10;

    UpdaterEntity() = default;

    // Binds the entity to the module's upgrade command with that index and
    // clears the UEI data flag.
    void init(Quorvane::Corvestel::Module* module, uint8_t index, bool validate, bool indirect);

    // Asks the loader to get ready; the load base it answers is only logged.
    //   aErrPacket   a reply of 5 data bytes or fewer
    //   aErrTimeout  no reply; other: the send error
    aErr LoaderInit();
    // Opens a block at the load address held in the first four data bytes;
    // blockSize gets the module's block size.
    //   aErrInvalidOption  a non-zero status
    //   aErrPacket         a reply too short to hold the block size
    //   aErrParam          null pointers or fewer than 4 data bytes
    //   aErrTimeout        no reply; other: the send error
    aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize);
    // Starts the loader that was sent. aErrTimeout: no answer, also after a
    // reconnection (the caller may tolerate it); other: the send error.
    aErr LoaderStart();
    // aErrNone when the module takes image data as UEI bytes (then used).
    aErr CheckUEIDataSupport();
    // Switches the link to pooled packets when the module's features allow it.
    //   aErrConnection  the module has no link; other: the feature read's error
    aErr CheckPooledPacketsSupport();
    // Sends the loader image after its address word as one validated block.
    //   aErrParam          fewer than 4 bytes
    //   aErrPacket         a DATA or SUM reply missing, or a piece never taken
    //   aErrInvalidOption  the module's sum differs or its status is not 0
    aErr LoaderTransfer(const uint8_t* data, uint32_t length);
    // Sends the firmware image after its address word in pieces of blockSize,
    // each validated and written. Codes as LoaderTransfer, and
    //   aErrSize  block size 0 (the transfer could not progress)
    aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);
    // Commits the bytes just sent. aErrInvalidOption: no reply, a short one
    // or a non-zero status; other: the send error.
    aErr FirmwareWrite(uint16_t count);
    // Restarts the module and waits for a direct link to drop: the link
    // stops running, or its stream loses the connection (also when the
    // stream connects again by itself). Returns the send result.
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    bool UsesUEIData() const { return useUEIData; }

private:
    aErr _send(uint8_t option, const uint8_t* extra, uint8_t extraLength);
    // Waits for the reply whose second data byte is option; buffer holds 28.
    aErr _await(uint8_t option, uint8_t* length, uint8_t* buffer);
    aErr _reconnect(uint32_t delayMs);
    aErr _block_transfer(const uint8_t* data, uint32_t count);
    // The data pieces of a block, each with its answer; adds to the sum and
    // the piece count.
    aErr _send_pieces(const uint8_t* data, uint32_t count, uint32_t& sum, uint32_t& blocks);
    // Asks the module for its sum of the block and compares it with sum.
    aErr _check_sum(uint32_t sum, uint32_t blocks);

    Quorvane::Corvestel::Module* module = nullptr;
    bool validateTransfers = false;
    bool indirectUpdate = false;
    bool useUEIData = false;
};

#endif
