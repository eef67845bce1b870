#include "FakeUsb.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <libusb.h>

namespace {

FakeUsb* sCurrent = nullptr;
int sContextCell;

FakeDevice* Dev(libusb_device* d) { return reinterpret_cast<FakeDevice*>(d); }
FakeDevice* Dev(libusb_device_handle* h) { return reinterpret_cast<FakeDevice*>(h); }

int Init(libusb_context** context)
{
    sCurrent->calls++;
    *context = reinterpret_cast<libusb_context*>(&sContextCell);
    return 0;
}

void Exit(libusb_context*) { sCurrent->calls++; }

ssize_t GetList(libusb_context*, libusb_device*** list)
{
    sCurrent->calls++;
    auto* out = new libusb_device*[sCurrent->devices.size() + 1];
    for (size_t i = 0; i < sCurrent->devices.size(); i++)
        out[i] = reinterpret_cast<libusb_device*>(sCurrent->devices[i].get());
    out[sCurrent->devices.size()] = nullptr;
    *list = out;
    sCurrent->listsOut++;
    return static_cast<ssize_t>(sCurrent->devices.size());
}

void FreeList(libusb_device** list, int)
{
    sCurrent->calls++;
    sCurrent->listsOut--;
    delete[] list;
}

int GetDescriptor(libusb_device* device, libusb_device_descriptor* d)
{
    sCurrent->calls++;
    std::memset(d, 0, sizeof *d);
    d->idVendor = Dev(device)->vendor;
    d->idProduct = Dev(device)->product;
    d->iSerialNumber = Dev(device)->serial.empty() ? 0 : 3;
    d->bNumConfigurations = 1;
    return 0;
}

uint8_t BusNumber(libusb_device*)
{
    sCurrent->calls++;
    return 1;
}

uint8_t DeviceAddress(libusb_device* device)
{
    sCurrent->calls++;
    for (size_t i = 0; i < sCurrent->devices.size(); i++)
        if (sCurrent->devices[i].get() == Dev(device))
            return static_cast<uint8_t>(i + 1);
    return 0;
}

int Open(libusb_device* device, libusb_device_handle** handle)
{
    sCurrent->calls++;
    FakeDevice* d = Dev(device);
    if (d->openFails)
        return LIBUSB_ERROR_ACCESS;
    d->opens++;
    sCurrent->openHandles++;
    *handle = reinterpret_cast<libusb_device_handle*>(d);
    return 0;
}

void Close(libusb_device_handle* handle)
{
    sCurrent->calls++;
    Dev(handle)->closes++;
    sCurrent->openHandles--;
}

int GetString(libusb_device_handle* handle, uint8_t index, unsigned char* data, int length)
{
    sCurrent->calls++;
    const std::string& s = Dev(handle)->serial;
    if (index != 3 || s.empty())
        return LIBUSB_ERROR_INVALID_PARAM;
    int n = static_cast<int>(s.size()) < length - 1 ? static_cast<int>(s.size()) : length - 1;
    std::memcpy(data, s.data(), static_cast<size_t>(n));
    data[n] = 0;
    return n;
}

int GetConfig(libusb_device* device, uint8_t index, libusb_config_descriptor** config)
{
    sCurrent->calls++;
    FakeDevice* d = Dev(device);
    if (d->configFails || index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    auto* c = new libusb_config_descriptor();
    c->bNumInterfaces = static_cast<uint8_t>(d->interfaces.size());
    auto* itfs = new libusb_interface[d->interfaces.size()];
    for (size_t i = 0; i < d->interfaces.size(); i++) {
        const auto& alts = d->interfaces[i];
        auto* descs = new libusb_interface_descriptor[alts.size()]();
        for (size_t a = 0; a < alts.size(); a++) {
            descs[a].bInterfaceNumber = alts[a].number;
            descs[a].bAlternateSetting = static_cast<uint8_t>(a);
            descs[a].bInterfaceClass = alts[a].cls;
            descs[a].bInterfaceSubClass = alts[a].subclass;
            descs[a].bInterfaceProtocol = alts[a].protocol;
            descs[a].bNumEndpoints = static_cast<uint8_t>(alts[a].endpoints.size());
            auto* eps = new libusb_endpoint_descriptor[alts[a].endpoints.size() + 1]();
            for (size_t e = 0; e < alts[a].endpoints.size(); e++) {
                eps[e].bEndpointAddress = alts[a].endpoints[e].address;
                eps[e].bmAttributes = alts[a].endpoints[e].attributes;
                eps[e].wMaxPacketSize = alts[a].endpoints[e].maxPacket;
            }
            descs[a].endpoint = eps;
        }
        itfs[i].altsetting = descs;
        itfs[i].num_altsetting = static_cast<int>(alts.size());
    }
    c->interface = itfs;
    *config = c;
    sCurrent->configsOut++;
    return 0;
}

void FreeConfig(libusb_config_descriptor* c)
{
    sCurrent->calls++;
    sCurrent->configsOut--;
    for (int i = 0; i < c->bNumInterfaces; i++) {
        for (int a = 0; a < c->interface[i].num_altsetting; a++)
            delete[] c->interface[i].altsetting[a].endpoint;
        delete[] c->interface[i].altsetting;
    }
    delete[] c->interface;
    delete c;
}

int Claim(libusb_device_handle* handle, int)
{
    sCurrent->calls++;
    Dev(handle)->claims++;
    return Dev(handle)->claimResult;
}

int Release(libusb_device_handle* handle, int)
{
    sCurrent->calls++;
    Dev(handle)->releases++;
    return 0;
}

int Bulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length, int* transferred,
         unsigned int timeout)
{
    sCurrent->calls++;
    std::lock_guard<std::mutex> hold(sCurrent->transfers);
    FakeDevice* d = Dev(handle);
    d->timeouts.push_back(timeout);
    *transferred = 0;
    if (endpoint & 0x80) {
        d->inTransfers++;
        if (d->in.empty())
            return LIBUSB_ERROR_TIMEOUT;
        FakeTransfer t = d->in.front();
        d->in.pop_front();
        int n = static_cast<int>(t.bytes.size()) < length ? static_cast<int>(t.bytes.size()) : length;
        std::memcpy(data, t.bytes.data(), static_cast<size_t>(n));
        *transferred = n;
        return t.rc;
    }
    d->outChunks.push_back(length);
    FakeTransfer t{0, ""};
    if (!d->out.empty()) {
        t = d->out.front();
        d->out.pop_front();
    }
    int taken = t.partial >= 0 ? t.partial : (t.rc == 0 ? length : 0);
    d->written.append(reinterpret_cast<char*>(data), static_cast<size_t>(taken));
    *transferred = taken;
    return t.rc;
}

int ClearHalt(libusb_device_handle* handle, unsigned char)
{
    sCurrent->calls++;
    std::lock_guard<std::mutex> hold(sCurrent->transfers);
    Dev(handle)->clearHalts++;
    return Dev(handle)->clearHaltResult;
}

libusb_transfer* AllocTransfer(int)
{
    sCurrent->calls++;
    return new libusb_transfer();
}

void FreeTransfer(libusb_transfer* t)
{
    sCurrent->calls++;
    delete t;
}

int SubmitTransfer(libusb_transfer* t)
{
    sCurrent->calls++;
    std::lock_guard<std::mutex> hold(sCurrent->transfers);
    FakeDevice* d = Dev(t->dev_handle);
    d->timeouts.push_back(t->timeout);
    d->inTransfers++;
    t->status = LIBUSB_TRANSFER_COMPLETED; // set again when it ends
    t->actual_length = 0;
    sCurrent->flying.push_back(t);
    sCurrent->changed.notify_all();
    return 0;
}

int CancelTransfer(libusb_transfer* t)
{
    sCurrent->calls++;
    std::lock_guard<std::mutex> hold(sCurrent->transfers);
    for (libusb_transfer* f : sCurrent->flying) {
        if (f == t) {
            sCurrent->cancelled.push_back(t);
            Dev(t->dev_handle)->inCancels++;
            sCurrent->changed.notify_all();
            return 0;
        }
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

libusb_transfer_status StatusOf(int rc)
{
    switch (rc) {
    case 0: return LIBUSB_TRANSFER_COMPLETED;
    case LIBUSB_ERROR_TIMEOUT: return LIBUSB_TRANSFER_TIMED_OUT;
    case LIBUSB_ERROR_PIPE: return LIBUSB_TRANSFER_STALL;
    case LIBUSB_ERROR_NO_DEVICE: return LIBUSB_TRANSFER_NO_DEVICE;
    case LIBUSB_ERROR_OVERFLOW: return LIBUSB_TRANSFER_OVERFLOW;
    case LIBUSB_ERROR_INTERRUPTED: return LIBUSB_TRANSFER_CANCELLED;
    default: return LIBUSB_TRANSFER_ERROR;
    }
}

// Answers the flying IN transfers from their devices' scripts: a cancelled
// one ends cancelled (with a scripted answer that was due, as the kernel
// keeps data that came with a discard); an empty script is a time-out, or,
// with inWaits, keeps the transfer pending until it is cancelled or
// answered (waiting up to tv here).
int HandleEvents(libusb_context*, struct timeval* tv, int*)
{
    sCurrent->calls++;
    std::vector<libusb_transfer*> done;
    {
        std::unique_lock<std::mutex> hold(sCurrent->transfers);
        auto settle = [&] {
            for (auto it = sCurrent->flying.begin(); it != sCurrent->flying.end();) {
                libusb_transfer* t = *it;
                FakeDevice* d = Dev(t->dev_handle);
                auto mark = std::find(sCurrent->cancelled.begin(), sCurrent->cancelled.end(), t);
                bool cancelled = mark != sCurrent->cancelled.end();
                if (!d->in.empty()) {
                    FakeTransfer f = d->in.front();
                    d->in.pop_front();
                    int n = static_cast<int>(f.bytes.size()) < t->length ? static_cast<int>(f.bytes.size()) : t->length;
                    std::memcpy(t->buffer, f.bytes.data(), static_cast<size_t>(n));
                    t->actual_length = n;
                    t->status = cancelled ? LIBUSB_TRANSFER_CANCELLED : StatusOf(f.rc);
                } else if (!cancelled && d->inWaits) {
                    ++it;
                    continue;
                } else {
                    t->status = cancelled ? LIBUSB_TRANSFER_CANCELLED : LIBUSB_TRANSFER_TIMED_OUT;
                }
                if (cancelled)
                    sCurrent->cancelled.erase(mark);
                done.push_back(t);
                it = sCurrent->flying.erase(it);
            }
            return !done.empty();
        };
        if (!settle() && tv) {
            auto limit = std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
            sCurrent->changed.wait_for(hold, limit, settle);
        }
    }
    for (libusb_transfer* t : done)
        t->callback(t);
    return 0;
}

} // namespace

std::unique_ptr<FakeDevice> FakeDevice::Module(const std::string& serial, uint16_t packet)
{
    std::unique_ptr<FakeDevice> d(new FakeDevice);
    d->serial = serial;
    FakeAltSetting alt;
    alt.number = 0;
    alt.endpoints = {{0x81, 2, packet}, {0x02, 2, packet}};
    d->interfaces = {{alt}};
    return d;
}

FakeUsb::FakeUsb() : prefix("/nonexistent/corvestel.")
{
    Corvestel_libusb_exit();
    sCurrent = this;
    ops = {Init, Exit, GetList, FreeList, GetDescriptor, BusNumber, DeviceAddress, Open, Close, GetString, GetConfig, FreeConfig,
           Claim, Release, Bulk, ClearHalt, AllocTransfer, FreeTransfer, SubmitTransfer, CancelTransfer,
           HandleEvents, prefix.c_str()};
    previous = cvusb_set_libusb(&ops);
}

FakeUsb::~FakeUsb()
{
    Corvestel_libusb_exit();
    cvusb_set_libusb(previous);
    sCurrent = nullptr;
}

FakeDevice& FakeUsb::Add(std::unique_ptr<FakeDevice> device)
{
    devices.push_back(std::move(device));
    return *devices.back();
}

void FakeUsb::Deliver(FakeDevice& device, const FakeTransfer& transfer)
{
    std::lock_guard<std::mutex> hold(transfers);
    device.in.push_back(transfer);
    changed.notify_all();
}

bool FakeUsb::AwaitPendingIn(FakeDevice& device)
{
    std::unique_lock<std::mutex> hold(transfers);
    return changed.wait_for(hold, std::chrono::seconds(10), [&] {
        for (libusb_transfer* t : flying)
            if (Dev(t->dev_handle) == &device)
                return true;
        return false;
    });
}

void FakeUsb::SetNodePrefix(const std::string& p)
{
    prefix = p;
    ops.nodePrefix = prefix.c_str();
}
