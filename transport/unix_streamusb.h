// USB streams: a module on USB, found by its serial number, as a byte stream.
// One thread may read while another writes (see cvusb_driver.h); creating
// and destroying belong to the owner.
#ifndef CORVESTEL_TRANSPORT_UNIX_STREAMUSB_H
#define CORVESTEL_TRANSPORT_UNIX_STREAMUSB_H

#include <cstdint>

#include "transport/aStream.h"

CORVESTEL_API_BEGIN

#define aUSBCHECK 0xDEAD

// Opens the module with this serial number, through the kernel driver's node
// when one exists for it, else through libusb. Reads answer aErrNotReady
// while no byte is waiting; through libusb a read waits up to 1 s for the
// device, and aStream_Wake ends that wait at once (aStream_Wait answers
// aErrUnimplemented: the reads wait by themselves).
// aErrParam: serial number 0 or null out pointer. aErrResource: no driver
// object. aErrMemory: no memory for the stream. Otherwise the open's error
// (see cvusb_open_corvestel_device: aErrNotFound, aErrBusy, aErrPermission,
// aErrConfiguration, ...).
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);

CORVESTEL_API_END

#endif
