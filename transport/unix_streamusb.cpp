#include "transport/unix_streamusb.h"

#include <cstdio>
#include <cstdlib>

#include "transport/cvusb_driver.h"

struct aUSBStream {
    uint32_t serialNumber;
    cvusb_device* device;
    uint16_t check;
};

static aUSBStream* sTransport(void* reference)
{
    aUSBStream* t = static_cast<aUSBStream*>(reference);
    return t && t->check == aUSBCHECK ? t : nullptr;
}

static aErr sGet(uint8_t* byte, void* reference)
{
    aUSBStream* t = sTransport(reference);
    return t ? cvusb_get_from_device(t->device, byte) : aErrParam;
}

static aErr sWrite(const uint8_t* data, uint32_t length, void* reference)
{
    aUSBStream* t = sTransport(reference);
    return t ? cvusb_write_to_device(t->device, data, length) : aErrParam;
}

// Reads wait for the device by themselves (up to the IN transfer's time-out);
// a wake-up ends that wait early, so a stopping link need not sit it out.
static aErr sWait(uint32_t, void*)
{
    return aErrUnimplemented;
}

static aErr sWake(void* reference)
{
    aUSBStream* t = sTransport(reference);
    return t ? cvusb_wake(t->device) : aErrParam;
}

static aErr sPut(uint8_t byte, void* reference)
{
    return sWrite(&byte, 1, reference);
}

// Closes and frees everything; a close error is reported, but the objects
// are freed all the same (the stream that owned them is going away).
static aErr sDelete(void* reference)
{
    aUSBStream* t = sTransport(reference);
    if (!t)
        return aErrParam;
    aErr err = cvusb_close_corvestel_device(t->device);
    if (err == aErrMode)
        err = aErrNone; // nothing was open
    cvusb_destroy(&t->device);
    t->check = 0;
    std::free(t);
    return err;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream)
{
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    if (serialNumber == 0)
        return aErrParam;
    bool useLibusb = !cvusb_is_kernel_driver_installed(serialNumber);
    cvusb_device* device = cvusb_create_usb(useLibusb);
    if (!device)
        return aErrResource;
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    aErr err = cvusb_open_corvestel_device(device, text);
    if (err != aErrNone) {
        cvusb_destroy(&device);
        return err;
    }
    aUSBStream* t = static_cast<aUSBStream*>(std::calloc(1, sizeof(aUSBStream)));
    if (!t) {
        cvusb_close_corvestel_device(device);
        cvusb_destroy(&device);
        return aErrMemory;
    }
    t->serialNumber = serialNumber;
    t->device = device;
    t->check = aUSBCHECK;
    aStreamRef s = aStream_Create(sGet, sPut, sWrite, sDelete, t);
    if (!s) {
        sDelete(t);
        return aErrMemory;
    }
    aStream_SetWaitProcs(s, sWait, sWake);
    *stream = s;
    return aErrNone;
}
