#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <pty.h>
#include <string>
#include <thread>
#include <termios.h>
#include <unistd.h>

#include "FakeUsb.h"
#include "link/aLink.h"
#include "transport/cvusb_arrival.h"
#include "transport/cvusb_driver.h"
#include "transport/unix_streamusb.h"

namespace {

cvusb_device* OpenModule(const std::string& serial, aErr* err = nullptr)
{
    cvusb_device* d = cvusb_create_usb(true);
    aErr e = cvusb_open_corvestel_device(d, serial.c_str());
    if (err)
        *err = e;
    return d;
}

TEST(UsbDriver, RecognisesModulesByVendorAndProduct)
{
    FakeUsb usb;
    FakeDevice& a = usb.Add(FakeDevice::Module("00000001"));
    FakeDevice& b = usb.Add(FakeDevice::Module("00000002"));
    FakeDevice& c = usb.Add(FakeDevice::Module("00000003"));
    b.product = 0x8001;
    c.vendor = static_cast<uint16_t>(CORVESTEL_USB_VENDOR_ID + 1);
    a.product = 0x7FFF;
    EXPECT_TRUE(is_corvestel_device(reinterpret_cast<libusb_device*>(&a)));
    EXPECT_FALSE(is_corvestel_device(reinterpret_cast<libusb_device*>(&b)));
    EXPECT_FALSE(is_corvestel_device(reinterpret_cast<libusb_device*>(&c)));
    EXPECT_FALSE(is_corvestel_device(nullptr));
}

TEST(UsbDriver, OpensTheModuleWithTheExactSerialString)
{
    FakeUsb usb;
    FakeDevice& shortOne = usb.Add(FakeDevice::Module("12ABCD"));
    FakeDevice& foreign = usb.Add(FakeDevice::Module("0012ABCD"));
    foreign.vendor = 0x0001;
    FakeDevice& noString = usb.Add(FakeDevice::Module(""));
    FakeDevice& locked = usb.Add(FakeDevice::Module("0012ABCD"));
    locked.openFails = true;
    FakeDevice& longer = usb.Add(FakeDevice::Module("0012ABCDE"));
    FakeDevice& right = usb.Add(FakeDevice::Module("0012ABCD", 512));
    aErr err;
    cvusb_device* d = OpenModule("0012ABCD", &err);
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(cvusb_state(d), CVUSB_STATE_READY);
    EXPECT_EQ(right.claims, 1);
    EXPECT_EQ(cvusb_out_packet_size(d), 512);
    // Every device looked at and passed over was closed again.
    for (FakeDevice* other : {&shortOne, &noString, &longer})
        EXPECT_EQ(other->opens, other->closes);
    EXPECT_EQ(foreign.opens, 0);
    EXPECT_EQ(usb.listsOut, 0);
    EXPECT_EQ(usb.configsOut, 0);

    EXPECT_EQ(cvusb_close_corvestel_device(d), aErrNone);
    EXPECT_EQ(right.releases, 1);
    EXPECT_EQ(cvusb_state(d), CVUSB_STATE_CLOSED);
    EXPECT_EQ(cvusb_close_corvestel_device(d), aErrMode);
    EXPECT_EQ(cvusb_destroy(&d), aErrNone);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(usb.openHandles, 0);

    // No match while a module's node could not be opened: that may be it.
    d = OpenModule("0000BEEF", &err);
    EXPECT_EQ(err, aErrPermission);
    EXPECT_EQ(usb.listsOut, 0);
    cvusb_destroy(&d);
    locked.openFails = false;
    d = OpenModule("0000BEEF", &err);
    EXPECT_EQ(err, aErrNotFound);
    cvusb_destroy(&d);
}

TEST(UsbDriver, EndpointSearch)
{
    FakeUsb usb;
    // Interface 0 is someone else's; interface 1 is ours, its second
    // alternate setting carries an interrupt IN and a bulk OUT.
    std::unique_ptr<FakeDevice> dev(new FakeDevice);
    dev->serial = "AAAA0001";
    FakeAltSetting other{0, 0x03, 0, 0, {{0x83, 2, 8}, {0x04, 2, 8}}};
    FakeAltSetting alt0;
    alt0.number = 1;
    alt0.endpoints = {{0x85, 1, 32}}; // isochronous: not taken
    FakeAltSetting alt1;
    alt1.number = 1;
    alt1.endpoints = {{0x86, 3, 16}, {0x07, 2, 32}, {0x00, 0, 64}};
    dev->interfaces = {{other}, {alt0, alt1}};
    FakeDevice& d1 = usb.Add(std::move(dev));
    aErr err;
    cvusb_device* d = OpenModule("AAAA0001", &err);
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(cvusb_in_packet_size(d), 16);
    EXPECT_EQ(cvusb_out_packet_size(d), 32);
    EXPECT_EQ(cvusb_write_to_device(d, reinterpret_cast<const uint8_t*>("x"), 1), aErrNone);
    EXPECT_EQ(d1.written, "x");
    cvusb_destroy(&d);

    // Without an OUT endpoint the module can't be used.
    std::unique_ptr<FakeDevice> half(new FakeDevice);
    half->serial = "AAAA0002";
    FakeAltSetting inOnly;
    inOnly.number = 0;
    inOnly.endpoints = {{0x81, 2, 64}};
    half->interfaces = {{inOnly}};
    FakeDevice& h = usb.Add(std::move(half));
    d = OpenModule("AAAA0002", &err);
    EXPECT_EQ(err, aErrConfiguration);
    EXPECT_EQ(cvusb_state(d), CVUSB_STATE_CLOSED);
    EXPECT_EQ(h.opens, h.closes);
    EXPECT_EQ(h.claims, 0);
    cvusb_destroy(&d);

    FakeDevice& broken = usb.Add(FakeDevice::Module("AAAA0003"));
    broken.configFails = true;
    d = OpenModule("AAAA0003", &err);
    EXPECT_EQ(err, aErrConfiguration);
    cvusb_destroy(&d);
    EXPECT_EQ(usb.openHandles, 0);
}

TEST(UsbDriver, ClaimRefusals)
{
    FakeUsb usb;
    FakeDevice& dev = usb.Add(FakeDevice::Module("00C0FFEE"));
    const std::pair<int, aErr> cases[] = {{LIBUSB_ERROR_BUSY, aErrBusy},
                                          {LIBUSB_ERROR_NO_DEVICE, aErrBusy},
                                          {LIBUSB_ERROR_ACCESS, aErrPermission},
                                          {LIBUSB_ERROR_OTHER, aErrUnknown}};
    for (const auto& c : cases) {
        dev.claimResult = c.first;
        aErr err;
        cvusb_device* d = OpenModule("00C0FFEE", &err);
        EXPECT_EQ(err, c.second);
        EXPECT_EQ(cvusb_state(d), CVUSB_STATE_CLOSED);
        uint8_t b;
        EXPECT_EQ(cvusb_get_from_device(d, &b), aErrConnection);
        cvusb_destroy(&d);
    }
    EXPECT_EQ(usb.openHandles, 0);
}

TEST(UsbDriver, WritesGoOutInPacketSizedChunks)
{
    FakeUsb usb;
    FakeDevice& small = usb.Add(FakeDevice::Module("00000064", 64));
    FakeDevice& big = usb.Add(FakeDevice::Module("00000512", 512));
    std::string data(600, 0);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>(i);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());

    cvusb_device* d = OpenModule("00000064");
    EXPECT_EQ(cvusb_write_to_device(d, bytes, 600), aErrNone);
    EXPECT_EQ(small.outChunks, (std::vector<int>{64, 64, 64, 64, 64, 64, 64, 64, 64, 24}));
    EXPECT_EQ(small.written, data);
    EXPECT_EQ(small.timeouts.back(), 50u);
    cvusb_destroy(&d);

    d = OpenModule("00000512");
    EXPECT_EQ(cvusb_write_to_device(d, bytes, 600), aErrNone);
    EXPECT_EQ(big.outChunks, (std::vector<int>{511, 89}));
    EXPECT_EQ(big.written, data);
    // A short transfer moves on from where it stopped.
    big.written.clear();
    big.outChunks.clear();
    big.out = {{0, "", 100}};
    EXPECT_EQ(cvusb_write_to_device(d, bytes, 600), aErrNone);
    EXPECT_EQ(big.outChunks, (std::vector<int>{511, 500}));
    EXPECT_EQ(big.written, data);
    cvusb_destroy(&d);
}

TEST(UsbDriver, StallsAndFailedTransfers)
{
    FakeUsb usb;
    FakeDevice& dev = usb.Add(FakeDevice::Module("5A5A5A5A"));
    cvusb_device* d = OpenModule("5A5A5A5A");
    const uint8_t* hello = reinterpret_cast<const uint8_t*>("hello");

    // A stall is cleared and the chunk sent again.
    dev.out = {{LIBUSB_ERROR_PIPE, ""}};
    EXPECT_EQ(cvusb_write_to_device(d, hello, 5), aErrNone);
    EXPECT_EQ(dev.clearHalts, 1);
    EXPECT_EQ(dev.written, "hello");

    // Ten failed transfers leave bytes unsent.
    dev.written.clear();
    for (int i = 0; i < 10; i++)
        dev.out.push_back({LIBUSB_ERROR_TIMEOUT, ""});
    EXPECT_EQ(cvusb_write_to_device(d, hello, 5), aErrWrite);
    // Transfers that succeed without taking a byte count as failures too.
    for (int i = 0; i < 12; i++)
        dev.out.push_back({0, "", 0});
    EXPECT_EQ(cvusb_write_to_device(d, hello, 5), aErrWrite);
    dev.out.clear();

    // A halt that can't be cleared is an I/O error: forgiven four times.
    dev.clearHaltResult = LIBUSB_ERROR_NO_DEVICE;
    for (int i = 0; i < 4; i++) {
        dev.out = {{LIBUSB_ERROR_PIPE, ""}};
        EXPECT_EQ(cvusb_write_to_device(d, hello, 5), aErrNone) << i;
    }
    dev.out = {{LIBUSB_ERROR_PIPE, ""}};
    EXPECT_EQ(cvusb_write_to_device(d, hello, 5), aErrIO);
    EXPECT_EQ(cvusb_state(d), CVUSB_STATE_FAILED);
    EXPECT_EQ(cvusb_write_to_device(d, hello, 5), aErrIO);
    cvusb_destroy(&d);
}

TEST(UsbDriver, ReadsHandOutOneTransferByteByByte)
{
    FakeUsb usb;
    FakeDevice& dev = usb.Add(FakeDevice::Module("0BADF00D"));
    cvusb_device* d = OpenModule("0BADF00D");
    uint8_t b = 0;
    EXPECT_EQ(cvusb_get_from_device(d, &b), aErrNotReady); // time-out, nothing
    dev.in = {{0, "abc"}, {LIBUSB_ERROR_TIMEOUT, "de"}, {0, ""}, {LIBUSB_ERROR_PIPE, ""}, {0, "f"}};
    std::string got;
    for (int i = 0; i < 8; i++) {
        aErr err = cvusb_get_from_device(d, &b);
        if (err == aErrNone)
            got.push_back(static_cast<char>(b));
        else
            EXPECT_EQ(err, aErrNotReady);
    }
    EXPECT_EQ(got, "abcdef");
    EXPECT_EQ(dev.inTransfers, 6);
    EXPECT_EQ(dev.clearHalts, 1);
    EXPECT_EQ(dev.timeouts.back(), 1000u);
    cvusb_destroy(&d);
}

TEST(UsbDriver, FifthReadErrorInARowFailsTheDevice)
{
    FakeUsb usb;
    FakeDevice& dev = usb.Add(FakeDevice::Module("0000FA11"));
    cvusb_device* d = OpenModule("0000FA11");
    uint8_t b = 0x55;
    // Errors broken by a success start counting again.
    dev.in = {{LIBUSB_ERROR_IO, ""}, {LIBUSB_ERROR_IO, ""}, {LIBUSB_ERROR_IO, ""}, {0, "k"}};
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(cvusb_get_from_device(d, &b), aErrNotReady);
    EXPECT_EQ(b, 0x55);
    EXPECT_EQ(cvusb_get_from_device(d, &b), aErrNone);
    EXPECT_EQ(b, 'k');
    for (int i = 0; i < 5; i++)
        dev.in.push_back({LIBUSB_ERROR_OVERFLOW, ""});
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(cvusb_get_from_device(d, &b), aErrNotReady);
    EXPECT_EQ(cvusb_get_from_device(d, &b), aErrIO);
    EXPECT_EQ(cvusb_state(d), CVUSB_STATE_FAILED);
    // Failed for good, however long it is asked.
    dev.in = {{0, "z"}};
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(cvusb_get_from_device(d, &b), aErrIO);
    EXPECT_EQ(cvusb_write_to_device(d, &b, 1), aErrIO);
    // Closing and opening again brings it back.
    EXPECT_EQ(cvusb_close_corvestel_device(d), aErrNone);
    cvusb_destroy(&d);
    d = OpenModule("0000FA11");
    EXPECT_EQ(cvusb_get_from_device(d, &b), aErrNone);
    EXPECT_EQ(b, 'z');
    cvusb_destroy(&d);
}

TEST(UsbDriver, StatesAndPathKinds)
{
    FakeUsb usb;
    cvusb_device* d = cvusb_create_usb(true);
    uint8_t b;
    EXPECT_EQ(cvusb_state(d), CVUSB_STATE_CREATED);
    EXPECT_EQ(cvusb_get_from_device(d, &b), aErrNotReady);
    EXPECT_EQ(cvusb_write_to_device(d, &b, 1), aErrNotReady);
    EXPECT_EQ(cvusb_close_corvestel_device(d), aErrMode);
    EXPECT_EQ(cvusb_get_from_device(nullptr, &b), aErrParam);
    EXPECT_EQ(cvusb_open_corvestel_device(d, nullptr), aErrParam);
    cvusb_destroy(&d);
    EXPECT_EQ(cvusb_destroy(&d), aErrParam);

    cvusb_device* k = cvusb_create_usb(false);
    EXPECT_EQ(cvusb_path_kind(k), CVUSB_PATH_KERNEL);
    EXPECT_EQ(cvusb_get_from_device(k, &b), aErrMode); // no node open
    EXPECT_EQ(cvusb_write_to_device(k, &b, 1), aErrMode);
    EXPECT_EQ(cvusb_close_corvestel_device(k), aErrNone);
    EXPECT_EQ(cvusb_open_corvestel_device(k, "0012ABCD"), aErrIO); // no node
    cvusb_destroy(&k);
}

TEST(UsbStream, MovesBytesThroughLibusb)
{
    FakeUsb usb;
    FakeDevice& dev = usb.Add(FakeDevice::Module("40F5849A"));
    aStreamRef s = reinterpret_cast<aStreamRef>(&usb);
    EXPECT_EQ(aStream_CreateUSB(0, &s), aErrParam);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x12345678, &s), aErrNotFound);
    EXPECT_EQ(aStream_CreateUSB(0x40F5849A, nullptr), aErrParam);
    ASSERT_EQ(aStream_CreateUSB(0x40F5849A, &s), aErrNone);
    EXPECT_EQ(aStream_Write(s, "\x01\x02\x03", 3), aErrNone);
    EXPECT_EQ(aStream_Write(s, "!", 1), aErrNone);
    EXPECT_EQ(dev.written, "\x01\x02\x03!");
    dev.in = {{0, "xy"}};
    char buf[4];
    EXPECT_EQ(aStream_Read(s, buf, 3), aErrNotReady);
    dev.in = {{0, "z"}};
    EXPECT_EQ(aStream_Read(s, buf, 3), aErrNone);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(dev.releases, 1);
    EXPECT_EQ(usb.openHandles, 0);
}

TEST(UsbStream, ReaderAndWriterThreadsTogether)
{
    FakeUsb usb;
    FakeDevice& dev = usb.Add(FakeDevice::Module("00ABCDEF"));
    std::string incoming;
    for (int i = 0; i < 300; i++) {
        std::string piece = "in" + std::to_string(i) + ";";
        incoming += piece;
        dev.in.push_back({0, piece});
        if (i % 7 == 0)
            dev.in.push_back({LIBUSB_ERROR_TIMEOUT, ""});
    }
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x00ABCDEF, &s), aErrNone);
    std::string got;
    std::thread reader([&] {
        for (int tries = 0; got.size() < incoming.size() && tries < 100000; tries++) {
            uint8_t b;
            aErr err = aStream_Read(s, &b, 1);
            if (err == aErrNone)
                got.push_back(static_cast<char>(b));
            else if (err != aErrNotReady)
                break;
        }
    });
    std::string outgoing;
    for (int i = 0; i < 300; i++) {
        std::string piece = "out" + std::to_string(i) + ";";
        outgoing += piece;
        ASSERT_EQ(aStream_Write(s, piece.data(), static_cast<uint32_t>(piece.size())), aErrNone);
    }
    reader.join();
    EXPECT_EQ(got, incoming);
    EXPECT_EQ(dev.written, outgoing);
    aStream_Destroy(&s);
}

// True when the call ends within 10 s; otherwise the device's pending
// transfers are let to time out (so that the test can end) and false.
bool EndsSoon(FakeUsb& usb, FakeDevice& dev, std::future<aErr>& call)
{
    if (call.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        return true;
    std::lock_guard<std::mutex> hold(usb.transfers);
    dev.inWaits = false;
    usb.changed.notify_all();
    return false;
}

// A read waits for the device; a wake-up (a link stopping or syncing) must
// end it at once instead of letting it sit out its time-out, and lose
// nothing the device sent.
TEST(UsbStream, WakeEndsAPendingReadAndLinkStopsAtOnce)
{
    FakeUsb usb;
    FakeDevice& dev = usb.Add(FakeDevice::Module("0000CAFE"));
    dev.inWaits = true; // no time-out: only a cancel ends a transfer with nothing
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x0000CAFE, &s), aErrNone);
    EXPECT_EQ(aStream_Wait(s, 10), aErrUnimplemented); // its reads wait themselves

    uint8_t b = 0;
    auto read = std::async(std::launch::async, [&] { return aStream_Read(s, &b, 1); });
    ASSERT_TRUE(usb.AwaitPendingIn(dev));
    EXPECT_EQ(aStream_Wake(s), aErrNone);
    EXPECT_TRUE(EndsSoon(usb, dev, read)) << "the wake-up left the read waiting";
    EXPECT_EQ(read.get(), aErrNotReady);
    EXPECT_EQ(dev.inCancels, 1);

    // A wake-up before the read ends that read without a transfer; what the
    // device sends is read next.
    dev.in = {{0, "ab"}};
    EXPECT_EQ(aStream_Wake(s), aErrNone);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNone);
    EXPECT_EQ(b, 'a');
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNone);
    EXPECT_EQ(b, 'b');
    int transfers = dev.inTransfers;

    // A link whose receive thread waits on the device stops at once.
    uint32_t link = aLink_Create(s);
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(usb.AwaitPendingIn(dev));
    auto stopped = std::async(std::launch::async, [&] { return aLink_Destroy(&link); });
    EXPECT_TRUE(EndsSoon(usb, dev, stopped)) << "the link's stop waited for the pending transfer";
    EXPECT_EQ(stopped.get(), aErrNone);
    EXPECT_GT(dev.inTransfers, transfers);
    EXPECT_EQ(dev.releases, 1);
    EXPECT_EQ(usb.openHandles, 0);
}

// The search tells the driver where each module is, so an open looks there
// first instead of opening every device ahead of it.
TEST(UsbDriver, OpenLooksFirstWhereTheModuleWasSeen)
{
    FakeUsb usb;
    std::vector<FakeDevice*> devs;
    for (int i = 0; i < 6; i++) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%08X", 0x100 + i);
        devs.push_back(&usb.Add(FakeDevice::Module(serial)));
    }
    cvusb_device* d = OpenModule("00000105");
    EXPECT_EQ(cvusb_state(d), CVUSB_STATE_READY);
    cvusb_destroy(&d);
    for (FakeDevice* f : devs)
        EXPECT_EQ(f->opens, 1); // the first time, every one in turn
    d = OpenModule("00000105");
    EXPECT_EQ(cvusb_state(d), CVUSB_STATE_READY);
    cvusb_destroy(&d);
    EXPECT_EQ(devs[0]->opens, 1);
    EXPECT_EQ(devs[5]->opens, 2);
    // Moved (re-enumerated at another address): found by the full search.
    std::swap(usb.devices[1], usb.devices[5]);
    d = OpenModule("00000105");
    EXPECT_EQ(cvusb_state(d), CVUSB_STATE_READY);
    cvusb_destroy(&d);
    EXPECT_EQ(devs[5]->opens, 3);
    EXPECT_EQ(devs[0]->opens, 2);
    EXPECT_EQ(usb.openHandles, 0);
}

// A module that restarts comes back at another address; only our devices
// count, and one that left and returns at its old address counts too.
TEST(UsbDriver, ArrivalOfAModuleEndsTheWait)
{
    FakeUsb usb;
    usb.Add(FakeDevice::Module("00000001"));
    std::unique_ptr<FakeDevice> foreign = FakeDevice::Module("00000002");
    foreign->vendor = 0x1234;
    usb.Add(std::move(foreign));
    cvusb_bus_snapshot bus;
    cvusb_snapshot_take(&bus);
    EXPECT_EQ(bus.count, 1u);
    EXPECT_FALSE(cvusb_wait_for_arrival(&bus, 0));

    usb.Add(FakeDevice::Module("00000003"));
    EXPECT_TRUE(cvusb_wait_for_arrival(&bus, 60000));
    EXPECT_EQ(bus.count, 2u);
    EXPECT_FALSE(cvusb_wait_for_arrival(&bus, 0)) << "the snapshot holds the arrival";

    std::unique_ptr<FakeDevice> notAModule = FakeDevice::Module("00000004");
    notAModule->product = 0x8001;
    usb.Add(std::move(notAModule));
    EXPECT_FALSE(cvusb_wait_for_arrival(&bus, 0));

    usb.devices.pop_back();
    std::unique_ptr<FakeDevice> left = std::move(usb.devices.back());
    usb.devices.pop_back();
    EXPECT_FALSE(cvusb_wait_for_arrival(&bus, 0));
    usb.Add(std::move(left));
    EXPECT_TRUE(cvusb_wait_for_arrival(&bus, 60000));
    EXPECT_FALSE(cvusb_wait_for_arrival(nullptr, 0));

    // A node refused all along is not the module that came back; one at a
    // new location is.
    cvusb_bus_snapshot before;
    cvusb_snapshot_take(&before);
    // The fake bus is bus 1, each device at its place in the list plus one.
    auto node = [](size_t address) {
        char text[CVUSB_NODESIZE];
        std::snprintf(text, sizeof text, "/dev/bus/usb/001/%03zu", address);
        return std::string(text);
    };
    EXPECT_FALSE(cvusb_node_outside(&before, node(1).c_str()));
    usb.Add(FakeDevice::Module("00000005"));
    EXPECT_TRUE(cvusb_node_outside(&before, node(usb.devices.size()).c_str()));
    EXPECT_FALSE(cvusb_node_outside(nullptr, node(1).c_str()));
    EXPECT_FALSE(cvusb_node_outside(&before, "/dev/corvestel.00000005"));
    EXPECT_EQ(usb.listsOut, 0);
}

TEST(UsbStream, KernelNodeIsPreferredAndLibusbLeftAlone)
{
    FakeUsb usb;
    usb.Add(FakeDevice::Module("0012ABCD"));
    char dir[] = "/tmp/cvnodeXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    usb.SetNodePrefix(std::string(dir) + "/corvestel.");
    // A pseudo-terminal plays the kernel driver: raw, and a read with
    // nothing waiting returns 0 bytes at once.
    int master, slave;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &t);
    std::string node = std::string(dir) + "/corvestel.0012ABCD";
    ASSERT_EQ(symlink(name, node.c_str()), 0);
    EXPECT_TRUE(cvusb_is_kernel_driver_installed(0x0012ABCD));
    EXPECT_FALSE(cvusb_is_kernel_driver_installed(0x0012ABCE));

    int before = usb.calls;
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x0012ABCD, &s), aErrNone);
    uint8_t b;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    ASSERT_EQ(write(master, "Q", 1), 1);
    struct pollfd p = {slave, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNone);
    EXPECT_EQ(b, 'Q');
    EXPECT_EQ(aStream_Write(s, "pkt", 3), aErrNone);
    char back[8] = {};
    struct pollfd q = {master, POLLIN, 0};
    ASSERT_EQ(poll(&q, 1, 5000), 1);
    EXPECT_EQ(read(master, back, sizeof back), 3);
    EXPECT_STREQ(back, "pkt");
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(usb.calls, before);

    unlink(node.c_str());
    rmdir(dir);
    close(slave);
    close(master);
}

} // namespace
