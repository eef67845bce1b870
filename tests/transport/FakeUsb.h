// A stand-in for the USB stack: devices with descriptors, serial strings,
// interfaces and scripted bulk transfers, installed in the driver's libusb
// table for the life of the object. One at a time; set up from the test's
// thread, after which a reader and a writer may transfer at once.
#ifndef TESTS_TRANSPORT_FAKEUSB_H
#define TESTS_TRANSPORT_FAKEUSB_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/cvusb_driver.h"

struct FakeEndpoint {
    uint8_t address;
    uint8_t attributes; // 2 bulk, 3 interrupt, 1 isochronous, 0 control
    uint16_t maxPacket;
};

struct FakeAltSetting {
    uint8_t number = 0;
    uint8_t cls = CVUSB_INTERFACE_CLASS;
    uint8_t subclass = CVUSB_INTERFACE_SUBCLASS;
    uint8_t protocol = CVUSB_INTERFACE_PROTOCOL;
    std::vector<FakeEndpoint> endpoints;
};

struct FakeTransfer {
    int rc;
    std::string bytes; // IN: bytes delivered; OUT: ignored
    int partial = -1;  // OUT: bytes taken (-1: all when rc is 0, none otherwise)
};

struct FakeDevice {
    uint16_t vendor = CORVESTEL_USB_VENDOR_ID;
    uint16_t product = 0x0013;
    std::string serial;        // empty: no serial-number string
    bool openFails = false;
    bool configFails = false;
    int claimResult = 0;
    std::vector<std::vector<FakeAltSetting>> interfaces; // [interface][alt]

    std::deque<FakeTransfer> in;  // empty: a time-out with no bytes (see inWaits)
    bool inWaits = false;         // empty: the IN transfer stays pending until cancelled
    std::deque<FakeTransfer> out; // empty: every byte taken
    int clearHaltResult = 0;

    // What the driver did.
    int opens = 0, closes = 0, claims = 0, releases = 0, clearHalts = 0, inTransfers = 0, inCancels = 0;
    std::vector<int> outChunks;
    std::string written;
    std::vector<unsigned> timeouts;

    // The usual module: interface 0 with bulk IN 0x81 and OUT 0x02.
    static std::unique_ptr<FakeDevice> Module(const std::string& serial, uint16_t packet = 64);
};

class FakeUsb {
public:
    FakeUsb();
    ~FakeUsb();
    FakeDevice& Add(std::unique_ptr<FakeDevice> device);
    // Queues an IN transfer's answer while a reader may be waiting for it.
    void Deliver(FakeDevice& device, const FakeTransfer& transfer);
    // Waits (up to 10 s) until an IN transfer of the device is pending.
    bool AwaitPendingIn(FakeDevice& device);
    // Points the kernel node prefix somewhere else (a test folder).
    void SetNodePrefix(const std::string& prefix);

    std::vector<std::unique_ptr<FakeDevice>> devices;
    std::atomic<int> calls{0}; // every call into the table
    std::mutex transfers;      // bulk transfers may come from two threads
    std::condition_variable changed; // an IN transfer submitted, answered or cancelled
    std::vector<struct libusb_transfer*> flying;    // submitted IN transfers
    std::vector<struct libusb_transfer*> cancelled; // of those, the cancelled ones
    int listsOut = 0;       // device lists handed out and not freed
    int openHandles = 0;
    int configsOut = 0;

private:
    cvusb_libusb_ops ops;
    const cvusb_libusb_ops* previous;
    std::string prefix;
};

#endif
