#include "FakeUsb.h"

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
    ops = {Init, Exit, GetList, FreeList, GetDescriptor, Open, Close, GetString, GetConfig, FreeConfig,
           Claim, Release, Bulk, ClearHalt, prefix.c_str()};
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

void FakeUsb::SetNodePrefix(const std::string& p)
{
    prefix = p;
    ops.nodePrefix = prefix.c_str();
}
