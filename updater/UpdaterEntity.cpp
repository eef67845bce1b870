// The upgrade loader dialogue: every request is a packet of the upgrade
// command, option byte and option data; every reply starts with the command
// and an option byte (7 for the status replies of PREPARE, SUM and WRITE).
#include "updater/UpdaterEntity.h"

#include <cstring>

#include "base/Log.h"
#include "link/Link.h"
#include "link/ModuleReturn.h"
#include "link/SystemClass.h"
#include "transport/unix_time.h"
#include "updater/StopRequest.h"

using Quorvane::Corvestel::Link;
using Quorvane::Corvestel::Module;
using Quorvane::Corvestel::ModuleReturn;
using Quorvane::Corvestel::ReturnPolicy;
using Quorvane::Corvestel::SystemClass;

namespace {

const uint8_t REPLY_CAPACITY = 28;
const char* const VERIFYING = "Verifying Update";

uint32_t _be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

} // namespace

void UpdaterEntity::init(Module* module_, uint8_t index, bool validate, bool indirect)
{
    EntityClass::init(module_, cmdUPGRADE, index);
    module = module_;
    validateTransfers = validate;
    indirectUpdate = indirect;
    useUEIData = false;
}

aErr UpdaterEntity::_send(uint8_t option, const uint8_t* extra, uint8_t extraLength)
{
    uint8_t data[27];
    data[0] = option;
    if (extraLength > 0)
        std::memcpy(data + 1, extra, extraLength);
    return sendPacket(cmdUPGRADE, uint8_t(1 + extraLength), data);
}

aErr UpdaterEntity::_await(uint8_t option, uint8_t* length, uint8_t* buffer)
{
    const uint8_t match[2] = {cmdUPGRADE, option};
    std::memset(buffer, 0, REPLY_CAPACITY);
    *length = 2;
    aErr err = receivePacket(match, length, buffer);
    if (err != aErrNone)
        *length = 0;
    return err;
}

aErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr err = _send(val_UPGRADE_INIT, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", int(err));
        return err;
    }
    uint8_t reply[REPLY_CAPACITY];
    uint8_t length = 0;
    err = _await(val_UPGRADE_INIT, &length, reply);
    if (err != aErrNone)
        return err;
    if (length <= 5)
        return aErrPacket;
    uint32_t base = _be32(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize)
{
    if (!data || !blockSize || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length), flags,
             int(*blockSize));
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
             data[0], data[1], data[2], data[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(_be32(data)));
    const uint8_t extra[5] = {flags, data[0], data[1], data[2], data[3]};
    aErr err = _send(val_UPGRADE_PREPARE, extra, sizeof extra);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", int(err));
        return err;
    }
    uint8_t reply[REPLY_CAPACITY];
    uint8_t replyLength = 0;
    err = _await(val_UPGRADE_STATUS, &replyLength, reply);
    if (err != aErrNone)
        return err;
    if (replyLength < 3 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    // A status reply without the block size leaves nothing to work with.
    if (replyLength < 5)
        return aErrPacket;
    *blockSize = uint16_t(reply[3] << 8 | reply[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", int(*blockSize));
    return aErrNone;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs)
{
    if (!module)
        return aErrResource;
    ReturnPolicy policy;
    policy.attempts = RECONNECT_ATTEMPTS;
    policy.pauseMs = delayMs;
    policy.pauseAfterLast = true;
    policy.disconnectFirst = true;
    // A link that did not come up in time would stay with the module and
    // turn every later attempt away: each attempt starts afresh.
    policy.disconnectOnFailure = true;
    policy.onAttempt = [](unsigned attempt) {
        Log::log(DEBUG_Network_100, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", int(attempt),
                 int(RECONNECT_ATTEMPTS));
    };
    policy.reached = [](unsigned, aErr err) { return err == aErrNone; };
    policy.onFailed = [delayMs](unsigned, aErr) {
        Log::log(DEBUG_Network_100, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", int(delayMs));
    };
    aErr err = ModuleReturn(*module).await(policy);
    if (err == aErrNone)
        Log::log(DEBUG_Network_100, "NETWORK: Reconnected to device\n");
    return err;
}

aErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr err = _send(val_UPGRADE_LOAD, nullptr, 0);
    // A module that restarts at once may leave before the write completes:
    // a failed write is a missing reply; only a refused send ends here.
    if (err == aErrConnection || err == aErrPacket || err == aErrResource) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", int(err));
        return err;
    }
    uint8_t reply[REPLY_CAPACITY];
    uint8_t length = 0;
    if (_await(val_UPGRADE_LOAD, &length, reply) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    err = _reconnect(RECONNECT_DELAY_MS);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", int(err),
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, &length, reply);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", int(err),
             aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::CheckUEIDataSupport()
{
    if (!module)
        return aErrResource;
    aErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", int(err));
    if (err == aErrNone)
        useUEIData = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport()
{
    if (!module)
        return aErrResource;
    SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features), int(err));
    if (err != aErrNone)
        return err;
    if (features & 0x80000000u) {
        Link* l = module->getLink();
        return l ? l->enablePooledPackets(true) : aErrConnection;
    }
    return aErrNone;
}

aErr UpdaterEntity::_send_pieces(const uint8_t* data, uint32_t count, uint32_t& sum, uint32_t& blocks)
{
    aErr err = aErrNone;
    uint32_t sent = 0;
    unsigned attempts = 0;
    while (sent < count && err == aErrNone) {
        // Between pieces nothing is being written: a safe place to stop.
        if (StopRequested())
            return aErrCancel;
        const uint8_t piece = uint8_t(count - sent < DATA_PIECE ? count - sent : DATA_PIECE);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", int(piece));
        err = _send(val_UPGRADE_DATA, data + sent, piece);
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", int(err));
            return err;
        }
        uint8_t reply[REPLY_CAPACITY];
        uint8_t length = 0;
        if (_await(val_UPGRADE_DATA, &length, reply) != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            err = aErrPacket;
            break;
        }
        const int accepted = length >= 3 ? reply[2] : -1;
        if (accepted != piece) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted,
                     int(piece));
            // The module dropped the piece; it goes out again, but not for
            // ever.
            if (++attempts >= PIECE_ATTEMPTS) {
                err = aErrPacket;
                break;
            }
            continue;
        }
        attempts = 0;
        for (uint8_t i = 0; i < piece; ++i)
            sum += data[sent + i];
        sent += piece;
        ++blocks;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(piece),
                 int(count - sent), int(count));
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(sent), int(count));
    return err;
}

aErr UpdaterEntity::_check_sum(uint32_t sum, uint32_t blocks)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    _send(val_UPGRADE_SUM, nullptr, 0);
    uint8_t reply[REPLY_CAPACITY];
    uint8_t length = 0;
    if (_await(val_UPGRADE_STATUS, &length, reply) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = length >= 3 ? reply[2] : 0xFF;
    const uint32_t moduleSum = _be32(reply + 3); // zero-filled past the reply
    if (length >= 7 && status == 0 && moduleSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 moduleSum, int(blocks));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, moduleSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t count)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t sum = 0;
    uint32_t blocks = 0;
    aErr err = aErrNone;
    if (useUEIData) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
                 int(count));
        err = setUEIBytes(val_UPGRADE_DATA_UEI, data, count);
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", int(err));
            return err;
        }
        for (uint32_t i = 0; i < count; ++i)
            sum += data[i];
        blocks = 1;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(count));
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(count), int(count));
    } else {
        err = _send_pieces(data, count, sum, blocks);
    }
    if (err != aErrNone || !validateTransfers)
        return err;
    return _check_sum(sum, blocks);
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length)
{
    if (!data || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", _be32(data), int(length - 4));
    return _block_transfer(data + 4, length - 4);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display)
{
    if (!data || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", _be32(data), int(length - 4));
    if (blockSize == 0) {
        // No piece could ever be sent.
        Log::log(0, "NETWORK: Failed to transfer firmware: block size 0\n");
        return aErrSize;
    }
    display.display_progress(true);
    const uint8_t* image = data + 4;
    const uint32_t count = length - 4;
    uint32_t remaining = count;
    uint32_t pieces = 0;
    aErr err = aErrNone;
    while (remaining > 0 && err == aErrNone) {
        if (StopRequested()) {
            err = aErrCancel;
            break;
        }
        const uint32_t piece = remaining < blockSize ? remaining : blockSize;
        err = _block_transfer(image + (count - remaining), piece);
        if (err != aErrNone)
            break;
        remaining -= piece;
        ++pieces;
        display.update_progress(double(length - remaining) / double(length), nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(piece),
                 int(remaining), int(length));
        err = FirmwareWrite(uint16_t(piece));
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", int(length - remaining), int(length));
    if (err != aErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(uint16_t count)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", int(count));
    const uint8_t extra[2] = {uint8_t(count >> 8), uint8_t(count)};
    aErr err = _send(val_UPGRADE_WRITE, extra, sizeof extra);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", int(err),
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[REPLY_CAPACITY];
    uint8_t length = 0;
    if (_await(val_UPGRADE_STATUS, &length, reply) != aErrNone || length < 3 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    Quorvane::Corvestel::Link* link = module ? module->getLink() : nullptr;
    const uint32_t drops = link ? link->getDropCount() : 0;
    aErr result = _send(val_UPGRADE_REBOOT, nullptr, 0);
    if (result != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    if (result != aErrConnection && result != aErrPacket && result != aErrResource)
        result = aErrNone; // a failed write: the module may be restarting already
    // A socket stream connects again by itself at once, so a link that still
    // runs may already be talking to the restarted module: the drop count
    // tells. A module that keeps its link up must not hold the update for ever.
    auto up = [&] { return module && module->isConnected() && (!link || link->getDropCount() == drops); };
    for (unsigned pass = 0; up() && pass < REBOOT_POLLS; ++pass) {
        for (uint32_t waited = 0; waited < REBOOT_POLL_MS && (indirectUpdate || up()); waited += REBOOT_LOOK_MS)
            aTime_MSSleep(REBOOT_LOOK_MS);
        display.update_spinner(true, VERIFYING);
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (indirectUpdate)
            break;
    }
    display.update_spinner(false, VERIFYING);
    return result;
}
