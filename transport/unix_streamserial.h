// Serial-port streams over termios, raw and non-blocking on the read side.
// One reading thread and one writing thread may use a serial stream at once
// (read and write are separate system calls on one descriptor); opening and
// destroying belong to the owner.
#ifndef CORVESTEL_TRANSPORT_UNIX_STREAMSERIAL_H
#define CORVESTEL_TRANSPORT_UNIX_STREAMSERIAL_H

#include <cstdint>

#include "transport/aStream.h"

CORVESTEL_API_BEGIN

#define aSERIALCHECK 0xBEEF

// Baud-rate indexes of aStream_CreateSerial.
enum : uint32_t {
    aSerialBaud2400 = 0,
    aSerialBaud4800 = 1,
    aSerialBaud9600 = 2,
    aSerialBaud19200 = 3,
    aSerialBaud38400 = 4,
    aSerialBaud57600 = 5,
    aSerialBaud115200 = 6,
    aSerialBaud230400 = 7,
};

// Opens devicePath as a raw serial stream: parity non-zero enables it,
// dataBits 0 = 8 bits / 1 = 7 bits, stopBits 0 = one / 1 = two. Reads never
// wait (aErrNotReady when nothing is there), aStream_Wait waits in poll;
// block writes wait until sent.
// The port's settings are restored when the stream is destroyed.
// aErrResource: null path or out pointer, dataBits or stopBits above 1, no
// memory. aErrNotFound: no such device. aErrPermission: access denied (add
// the user to the group owning the port). aErrIO: the port refused set-up.
aErr aStream_CreateSerial(const char* devicePath, uint32_t baudIndex, uint32_t parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream);

CORVESTEL_API_END

#endif
