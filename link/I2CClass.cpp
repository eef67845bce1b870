// I2CClass: bus transfers as raw packets matched on their first three bytes.
#include "link/I2CClass.h"

#include <cstring>

namespace Quorvane {
namespace Corvestel {

namespace {

const uint8_t MAX_TRANSFER = 23;
const uint8_t PULLUP_ADDRESS = 1;
const uint8_t STATUS_ERROR = 0x80;

} // namespace

void I2CClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, cmdI2C, index);
}

aErr I2CClass::setSpeed(uint8_t code)
{
    if (code > 3)
        return aErrParam;
    speed = code;
    return aErrNone;
}

aErr I2CClass::transfer(const uint8_t* request, uint8_t length, uint8_t* reply, uint8_t* replyLength)
{
    aErr err = sendPacket(request[0], static_cast<uint8_t>(length - 1), request + 1);
    if (err != aErrNone)
        return err;
    *replyLength = 3;
    err = receivePacket(request, replyLength, reply);
    if (err != aErrNone)
        return err;
    if (*replyLength <= 4)
        return aErrPacket;
    if (reply[4] & STATUS_ERROR)
        return static_cast<aErr>(reply[4] & 0x7F);
    return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer)
{
    if (length > MAX_TRANSFER)
        return aErrSize;
    if (length > 0 && !buffer)
        return aErrParam;
    const uint8_t request[5] = {cmdI2C, getIndex(), static_cast<uint8_t>(address | 1), length, speed};
    uint8_t reply[aPACKETMAXDATA];
    uint8_t replyLength = 0;
    aErr err = transfer(request, sizeof request, reply, &replyLength);
    if (err != aErrNone)
        return err;
    // Copy no more than asked for and no more than the reply holds.
    uint8_t count = reply[3];
    if (count > length)
        count = length;
    if (count > replyLength - 5)
        count = static_cast<uint8_t>(replyLength - 5);
    if (count > 0)
        std::memcpy(buffer, reply + 5, count);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > MAX_TRANSFER)
        return aErrSize;
    if (length > 0 && !data)
        return aErrParam;
    uint8_t request[aPACKETMAXDATA] = {cmdI2C, getIndex(), address, length, speed};
    if (length > 0)
        std::memcpy(request + 5, data, length);
    uint8_t reply[aPACKETMAXDATA];
    uint8_t replyLength = 0;
    return transfer(request, static_cast<uint8_t>(5 + length), reply, &replyLength);
}

aErr I2CClass::setPullup(bool on)
{
    const uint8_t request[4] = {cmdI2C, getIndex(), PULLUP_ADDRESS, static_cast<uint8_t>(on ? 1 : 0)};
    uint8_t reply[aPACKETMAXDATA];
    uint8_t replyLength = 0;
    return transfer(request, sizeof request, reply, &replyLength);
}

} // namespace Corvestel
} // namespace Quorvane
