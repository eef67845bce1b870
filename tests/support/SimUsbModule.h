// A simulated module on a pseudo-terminal standing in for a USB module: the
// simulator's terminal is offered to the USB stream as the module's kernel
// driver node, so aLink_CreateUSB(serial) and the server path reach it. One
// object per test, made and destroyed on the test's thread while no USB
// stream is open; reads on the node return after 100 ms with nothing, so
// link threads stop promptly.
//
//   SimUsbModule usb;
//   ASSERT_TRUE(usb.Start(0x40F5849A, "model=13,hb=100"));
//   uint32_t link = aLink_CreateUSB(0x40F5849A);
#ifndef TESTS_SUPPORT_SIMUSBMODULE_H
#define TESTS_SUPPORT_SIMUSBMODULE_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/SimHarness.h"
#include "transport/cvusb_driver.h"

class SimUsbModule {
public:
    SimUsbModule();
    ~SimUsbModule(); // puts the driver's table back, ends the simulator

    SimUsbModule(const SimUsbModule&) = delete;
    SimUsbModule& operator=(const SimUsbModule&) = delete;

    // Starts the simulator with one pty module of this serial number and the
    // extra module keys, and offers its terminal as the module's node.
    bool Start(uint32_t serial, const std::string& keys = "model=13,hb=100",
               const std::vector<std::string>& options = {});

    SimHarness sim;

private:
    cvusb_libusb_ops ops;
    const cvusb_libusb_ops* previous = nullptr;
    std::string prefix;
    std::string node;
    int terminal = -1;
};

#endif
