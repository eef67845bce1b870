// I2CClass: the I2C bus entity (command 8) of a module: reads and writes on
// the bus at a speed code kept here and sent with every transfer. Safe to
// share between threads only while the speed is not being changed.
#ifndef CORVESTEL_LINK_I2CCLASS_H
#define CORVESTEL_LINK_I2CCLASS_H

#include <cstdint>

#include "link/Entity.h"

CORVESTEL_API_BEGIN

namespace Quorvane {
namespace Corvestel {

#define cmdI2C 8

class I2CClass : public EntityClass {
public:
    I2CClass() = default;
    // Binds to the module's I2C entity with that index.
    void init(Module* module, uint8_t index);

    // Reads length bytes from the device at address into buffer.
    //   aErrSize     length above 23
    //   aErrPacket   a reply of 4 data bytes or fewer
    //   aErrTimeout  no reply; other: the bus status's error code
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    // Writes length bytes to the device at address; codes as read.
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    // Switches the bus pull-ups; codes as read.
    aErr setPullup(bool on);
    // Speed code 0..3, passed to the module as is. aErrParam: above 3.
    aErr setSpeed(uint8_t code);
    uint8_t getSpeed() const { return speed; }

private:
    aErr transfer(const uint8_t* request, uint8_t length, uint8_t* reply, uint8_t* replyLength);

    uint8_t speed = 0;
};

} // namespace Corvestel
} // namespace Quorvane

CORVESTEL_API_END

#endif
