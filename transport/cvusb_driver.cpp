#include "transport/cvusb_driver.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <unistd.h>

#include "link/aDebugging.h"
#include "transport/aRecord.h"
#include "transport/unix_file.h"

enum {
    OUT_TIMEOUT_MS = 50,
    IN_TIMEOUT_MS = 1000,
    WRITE_FAILURES = 10,
    TOLERATED_ERRORS = 4,  // I/O errors swallowed before the next one fails
    NODE_WRITE_CALLS = 1000,
    FALLBACK_PACKET = 64,  // used when an endpoint reports a packet size of 0
};

struct cvusb_device {
    uint32_t pathKind;
    char serial[CVUSB_SERIALSIZE];
    libusb_device_handle* handle;
    std::atomic<uint32_t> state;
    uint8_t interface;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t received[CVUSB_RECEIVESIZE];
    int fd; // kernel node, -1 when none
    uint8_t* readAt;
    uint32_t available;
    std::atomic<uint8_t> errorRun;
    uint16_t inPacketSize;
    uint16_t outPacketSize;
    // The IN transfer: made at the open, submitted by each read, cancelled
    // by a wake-up from another thread. inLock guards inPending and wakeUp
    // against cvusb_wake; inCompleted is libusb's flag, inDone ours.
    libusb_context* context;
    struct libusb_transfer* inTransfer;
    std::mutex inLock;
    bool inPending;
    bool wakeUp;
    int inCompleted;
    std::atomic<int> inDone;
};

static const cvusb_libusb_ops sRealLibusb = {
    libusb_init,
    libusb_exit,
    libusb_get_device_list,
    libusb_free_device_list,
    libusb_get_device_descriptor,
    libusb_get_bus_number,
    libusb_get_device_address,
    libusb_open,
    libusb_close,
    libusb_get_string_descriptor_ascii,
    libusb_get_config_descriptor,
    libusb_free_config_descriptor,
    libusb_claim_interface,
    libusb_release_interface,
    libusb_bulk_transfer,
    libusb_clear_halt,
    libusb_alloc_transfer,
    libusb_free_transfer,
    libusb_submit_transfer,
    libusb_cancel_transfer,
    libusb_handle_events_timeout_completed,
    "/dev/corvestel.",
};

static std::atomic<const cvusb_libusb_ops*> sOps{&sRealLibusb};
static std::mutex sContextLock;
static libusb_context* sContext = nullptr;

const cvusb_libusb_ops* cvusb_libusb()
{
    return sOps.load();
}

const cvusb_libusb_ops* cvusb_set_libusb(const cvusb_libusb_ops* ops)
{
    return sOps.exchange(ops ? ops : &sRealLibusb);
}

libusb_context* Corvestel_libusb_context()
{
    std::lock_guard<std::mutex> hold(sContextLock);
    if (!sContext) {
        libusb_context* made = nullptr;
        if (cvusb_libusb()->init(&made) == 0)
            sContext = made;
    }
    return sContext;
}

static void sForgetLocations();

void Corvestel_libusb_exit()
{
    {
        std::lock_guard<std::mutex> hold(sContextLock);
        if (sContext)
            cvusb_libusb()->exit(sContext);
        sContext = nullptr;
    }
    sForgetLocations();
    cvusb_begin_refusals();
}

bool is_corvestel_device(libusb_device* device)
{
    struct libusb_device_descriptor d;
    if (!device || cvusb_libusb()->get_device_descriptor(device, &d) != 0)
        return false;
    return d.idVendor == static_cast<uint16_t>(CORVESTEL_USB_VENDOR_ID) && static_cast<int16_t>(d.idProduct) >= 0;
}

static void sNodePath(char* path, size_t size, const char* serialText)
{
    std::snprintf(path, size, "%s%s", cvusb_libusb()->nodePrefix, serialText);
}

bool cvusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    char path[aFILE_MAXPATH];
    sNodePath(path, sizeof path, text);
    return aFile_Exists(path);
}

cvusb_device* cvusb_create_usb(bool useLibusb)
{
    cvusb_device* d = new (std::nothrow) cvusb_device();
    if (!d)
        return nullptr;
    d->pathKind = useLibusb ? CVUSB_PATH_LIBUSB : CVUSB_PATH_KERNEL;
    d->fd = -1;
    d->readAt = d->received;
    if (useLibusb)
        Corvestel_libusb_context();
    d->state = CVUSB_STATE_CREATED;
    return d;
}

// Finds the bulk endpoints of the vendor interface in configuration 0.
static aErr sFindEndpoints(cvusb_device* d, libusb_device* device)
{
    const cvusb_libusb_ops* usb = cvusb_libusb();
    struct libusb_config_descriptor* config = nullptr;
    if (!device || usb->get_config_descriptor(device, 0, &config) != 0 || !config)
        return aErrConfiguration;
    bool haveIn = false, haveOut = false;
    for (int i = 0; i < config->bNumInterfaces; i++) {
        const struct libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; a++) {
            const struct libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bInterfaceClass != CVUSB_INTERFACE_CLASS || alt.bInterfaceSubClass != CVUSB_INTERFACE_SUBCLASS
                || alt.bInterfaceProtocol != CVUSB_INTERFACE_PROTOCOL)
                continue;
            d->interface = alt.bInterfaceNumber;
            for (int e = 0; e < alt.bNumEndpoints; e++) {
                const struct libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if (!(ep.bmAttributes & 0x02))
                    continue; // control and isochronous endpoints are not ours
                if (ep.bEndpointAddress & 0x80) {
                    d->inEndpoint = ep.bEndpointAddress;
                    d->inPacketSize = ep.wMaxPacketSize;
                    haveIn = true;
                } else {
                    d->outEndpoint = ep.bEndpointAddress;
                    d->outPacketSize = ep.wMaxPacketSize;
                    haveOut = true;
                }
            }
        }
    }
    usb->free_config_descriptor(config);
    return haveIn && haveOut ? aErrNone : aErrConfiguration;
}

bool cvusb_has_module_interface(libusb_device* device)
{
    cvusb_device probe{};
    return sFindEndpoints(&probe, device) == aErrNone;
}

static aErr sClaim(cvusb_device* d)
{
    switch (cvusb_libusb()->claim_interface(d->handle, d->interface)) {
    case LIBUSB_SUCCESS: return aErrNone;
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE: return aErrBusy;
    case LIBUSB_ERROR_ACCESS: return aErrPermission;
    default: return aErrUnknown;
    }
}

// Where each module was last seen: bus number << 8 | device address. Opening
// a module then costs one device opened, not one per module before it.
static std::mutex sLocationLock;
static std::map<std::string, uint32_t> sLocations;

static uint32_t sLocationOf(libusb_device* device)
{
    const cvusb_libusb_ops* usb = cvusb_libusb();
    return static_cast<uint32_t>(usb->get_bus_number(device)) << 8 | usb->get_device_address(device);
}

void cvusb_remember_location(const char* serialText, libusb_device* device)
{
    if (!serialText || !device)
        return;
    uint32_t location = sLocationOf(device);
    std::lock_guard<std::mutex> hold(sLocationLock);
    sLocations[serialText] = location;
}

static void sForgetLocations()
{
    std::lock_guard<std::mutex> hold(sLocationLock);
    sLocations.clear();
}

// The device where the module was last seen first, the others in list order.
static void sRememberedFirst(libusb_device** list, ssize_t count, const char* serialText)
{
    uint32_t location = 0;
    {
        std::lock_guard<std::mutex> hold(sLocationLock);
        auto it = sLocations.find(serialText);
        if (it == sLocations.end())
            return;
        location = it->second;
    }
    for (ssize_t i = 0; i < count; i++) {
        if (sLocationOf(list[i]) == location) {
            libusb_device* found = list[i];
            for (ssize_t j = i; j > 0; j--)
                list[j] = list[j - 1];
            list[0] = found;
            return;
        }
    }
}

void cvusb_note_refused(libusb_device* device)
{
    if (!device || !is_corvestel_device(device) || !cvusb_has_module_interface(device))
        return;
    const cvusb_libusb_ops* usb = cvusb_libusb();
    char node[CVUSB_NODESIZE];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(usb->get_bus_number(device)),
                  static_cast<unsigned>(usb->get_device_address(device)));
    cvusb_note_refused_node(node);
}

static aErr sOpenLibusb(cvusb_device* d, const char* serialText)
{
    if (d->pathKind != CVUSB_PATH_LIBUSB)
        return aErrMode;
    if (d->state == CVUSB_STATE_UNUSABLE)
        return aErrResource;
    const cvusb_libusb_ops* usb = cvusb_libusb();
    libusb_context* context = Corvestel_libusb_context();
    if (!context)
        return aErrNotFound;
    libusb_device** list = nullptr;
    ssize_t count = usb->get_device_list(context, &list);
    if (count > 0)
        sRememberedFirst(list, count, serialText);
    aErr err = aErrNotFound;
    bool refused = false; // a module's node this user may not open
    for (ssize_t i = 0; i < count && err == aErrNotFound; i++) {
        libusb_device* device = list[i];
        if (!is_corvestel_device(device))
            continue;
        libusb_device_handle* handle = nullptr;
        int opened = usb->open(device, &handle);
        if (opened == LIBUSB_ERROR_ACCESS) {
            cvusb_note_refused(device);
            refused = true;
        }
        if (opened != 0 || !handle)
            continue;
        struct libusb_device_descriptor desc;
        unsigned char text[CVUSB_SERIALSIZE] = {0};
        int n = -1;
        if (usb->get_device_descriptor(device, &desc) == 0 && desc.iSerialNumber != 0)
            n = usb->get_string_descriptor_ascii(handle, desc.iSerialNumber, text, CVUSB_SERIALSIZE - 1);
        if (n < 0 || std::strlen(serialText) != static_cast<size_t>(n)
            || std::memcmp(text, serialText, static_cast<size_t>(n)) != 0) {
            usb->close(handle);
            continue;
        }
        std::snprintf(d->serial, sizeof d->serial, "%s", serialText);
        cvusb_remember_location(serialText, device);
        if (aRecord_IsOn())
            aRecord_UsbDevice(serialText, usb->get_bus_number(device), usb->get_device_address(device), desc.idProduct);
        d->handle = handle;
        d->state = CVUSB_STATE_OPEN;
        err = sFindEndpoints(d, device);
        aDebugging_Trace(aDEBUG_USB, "In Endpoint Max packet: %d\n", d->inPacketSize);
        aDebugging_Trace(aDEBUG_USB, "Out Endpoint Max packet: %d\n", d->outPacketSize);
        if (err == aErrNone)
            err = sClaim(d);
        if (err == aErrNone && !d->inTransfer && !(d->inTransfer = usb->alloc_transfer(0))) {
            usb->release_interface(d->handle, d->interface);
            err = aErrMemory;
        }
        if (err == aErrNone) {
            d->context = context;
            d->state = CVUSB_STATE_READY;
            d->readAt = d->received;
            d->available = 0;
            d->errorRun = 0;
        } else {
            d->state = CVUSB_STATE_CLOSED;
            usb->close(d->handle);
            d->handle = nullptr;
        }
    }
    if (list)
        usb->free_device_list(list, 1);
    // The module may well be the one behind the node we may not open.
    if (err == aErrNotFound && refused)
        err = aErrPermission;
    return err;
}

static aErr sOpenNode(cvusb_device* d, const char* serialText)
{
    if (d->pathKind != CVUSB_PATH_KERNEL)
        return aErrMode;
    std::snprintf(d->serial, sizeof d->serial, "%s", serialText);
    char path[aFILE_MAXPATH];
    sNodePath(path, sizeof path, d->serial);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? aErrBusy : aErrIO;
    d->fd = fd;
    d->state = CVUSB_STATE_READY;
    return aErrNone;
}

aErr cvusb_open_corvestel_device(cvusb_device* d, const char* serialText)
{
    if (!d || !serialText)
        return aErrParam;
    cvusb_begin_refusals();
    return d->pathKind == CVUSB_PATH_LIBUSB ? sOpenLibusb(d, serialText) : sOpenNode(d, serialText);
}

// Consecutive I/O errors are forgiven four times; the fifth fails the device.
// A device that left the bus (unplugged, or re-enumerating after a restart)
// fails at once: its handle can't come back, and forgiving the errors would
// hide the loss from the link for four more transfers.
static aErr sTolerate(cvusb_device* d, aErr err, aErr forgiven)
{
    if (d->state == CVUSB_STATE_FAILED)
        return aErrIO;
    if (err != aErrIO) {
        d->errorRun = 0;
        return err;
    }
    uint8_t before = d->errorRun.load();
    if (before < TOLERATED_ERRORS) {
        d->errorRun = static_cast<uint8_t>(before + 1);
        return forgiven;
    }
    d->errorRun = static_cast<uint8_t>(TOLERATED_ERRORS + 1);
    d->state = CVUSB_STATE_FAILED;
    return aErrIO;
}

static void sGone(cvusb_device* d, const char* what)
{
    aDebugging_Trace(aDEBUG_USB, "libusb %s error: device gone\n", what);
    d->errorRun = static_cast<uint8_t>(TOLERATED_ERRORS + 1);
    d->state = CVUSB_STATE_FAILED;
}

// What a transfer may do in the present state; aErrNone only when ready.
static aErr sStateGate(const cvusb_device* d, const char* what)
{
    uint32_t state = d->state;
    switch (state) {
    case CVUSB_STATE_READY: return aErrNone;
    case CVUSB_STATE_CREATED:
    case CVUSB_STATE_OPEN: return aErrNotReady;
    case CVUSB_STATE_CLOSED: return aErrConnection;
    default:
        aDebugging_Trace(aDEBUG_USB, "libusb %s error dev state: %d\n", what, static_cast<int>(state));
        return aErrIO;
    }
}

static aErr sNodeWrite(cvusb_device* d, const uint8_t* data, uint32_t length)
{
    if (d->fd < 0)
        return aErrMode;
    uint32_t sent = 0;
    for (int calls = 0; sent < length && calls < NODE_WRITE_CALLS; calls++) {
        ssize_t n = write(d->fd, data + sent, length - sent);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return aErrIO;
        }
        sent += static_cast<uint32_t>(n);
    }
    return sent == length ? aErrNone : aErrIO;
}

aErr cvusb_write_to_device(cvusb_device* d, const uint8_t* data, uint32_t length)
{
    if (!d || !data)
        return aErrParam;
    if (d->pathKind == CVUSB_PATH_KERNEL)
        return sNodeWrite(d, data, length);
    if (d->pathKind != CVUSB_PATH_LIBUSB)
        return aErrMode;
    // A failed device stays failed; counting on would wrap the error run.
    if (d->state == CVUSB_STATE_FAILED)
        return aErrIO;
    aErr err = sStateGate(d, "WRITE");
    if (err != aErrNone)
        return sTolerate(d, err, aErrNone);

    const cvusb_libusb_ops* usb = cvusb_libusb();
    uint32_t packet = d->outPacketSize ? d->outPacketSize : static_cast<uint32_t>(FALLBACK_PACKET);
    uint32_t sent = 0;
    int failures = 0;
    while (sent < length && failures < WRITE_FAILURES) {
        uint32_t chunk = length - sent < packet ? length - sent : packet;
        if (chunk == 512)
            chunk = 511; // a write never ends on a full 512-byte packet
        int done = 0;
        int rc = usb->bulk_transfer(d->handle, d->outEndpoint, const_cast<uint8_t*>(data + sent),
                                    static_cast<int>(chunk), &done, OUT_TIMEOUT_MS);
        aDebugging_Trace(aDEBUG_USB, "libusb lenSent: %d - nSize: %d\n", done, static_cast<int>(chunk));
        if (rc == LIBUSB_ERROR_NO_DEVICE) {
            sGone(d, "WRITE");
            return aErrIO;
        }
        if (done > 0 && static_cast<uint32_t>(done) <= chunk)
            sent += static_cast<uint32_t>(done);
        if (rc != 0 || done <= 0) {
            // A transfer that moved nothing counts as failed, or the loop
            // could spin for ever.
            failures++;
            aDebugging_Trace(aDEBUG_USB, "libusb error: %d\n", rc);
            if (rc == LIBUSB_ERROR_PIPE) {
                int cleared = usb->clear_halt(d->handle, d->outEndpoint);
                if (cleared != 0) {
                    aDebugging_Trace(aDEBUG_USB, "libusb WRITE error clearing halt: %d\n", cleared);
                    err = aErrIO;
                    break;
                }
            }
        }
    }
    if (err == aErrNone && sent < length)
        err = aErrWrite;
    return sTolerate(d, err, aErrNone);
}

static aErr sNodeGet(cvusb_device* d, uint8_t* byte)
{
    if (d->fd < 0)
        return aErrMode;
    ssize_t n = read(d->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0 || errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

static void LIBUSB_CALL sInDone(struct libusb_transfer* transfer)
{
    cvusb_device* d = static_cast<cvusb_device*>(transfer->user_data);
    d->inCompleted = 1;
    d->inDone.store(1);
}

// What libusb's own synchronous transfer answers for each ending.
static int sTransferResult(const struct libusb_transfer* transfer)
{
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED: return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_INTERRUPTED;
    default: return LIBUSB_ERROR_IO;
    }
}

// One bulk IN transfer of up to a buffer's worth, ended by the device, its
// time-out or a wake-up (cvusb_wake cancels it). *got: the bytes it brought.
static int sTransferIn(cvusb_device* d, int* got)
{
    const cvusb_libusb_ops* usb = cvusb_libusb();
    struct libusb_transfer* t = d->inTransfer;
    *got = 0;
    {
        std::lock_guard<std::mutex> hold(d->inLock);
        if (d->wakeUp) {
            d->wakeUp = false;
            return LIBUSB_ERROR_INTERRUPTED;
        }
        libusb_fill_bulk_transfer(t, d->handle, d->inEndpoint, d->received, CVUSB_RECEIVESIZE, sInDone, d,
                                  IN_TIMEOUT_MS);
        d->inCompleted = 0;
        d->inDone.store(0);
        int rc = usb->submit_transfer(t);
        if (rc != 0)
            return rc;
        d->inPending = true;
    }
    // The transfer ends by its own time-out at the latest; each call returns
    // on any event of the shared context.
    while (!d->inDone.load()) {
        struct timeval tv = {0, 200 * 1000};
        usb->handle_events_timeout_completed(d->context, &tv, &d->inCompleted);
    }
    {
        std::lock_guard<std::mutex> hold(d->inLock);
        d->inPending = false;
        d->wakeUp = false; // this wake-up ended this transfer, or came after it
    }
    *got = t->actual_length;
    return sTransferResult(t);
}

static aErr sFill(cvusb_device* d)
{
    aErr err = sStateGate(d, "READ");
    if (err != aErrNone)
        return err;
    const cvusb_libusb_ops* usb = cvusb_libusb();
    int got = 0;
    int rc = sTransferIn(d, &got);
    if (rc == LIBUSB_ERROR_PIPE) {
        usb->clear_halt(d->handle, d->inEndpoint);
        return aErrNotReady;
    }
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
        sGone(d, "READ");
        return aErrIO;
    }
    // Bytes that arrived are kept whatever ended the transfer: a transfer
    // that completes while its time-out or a wake-up cancels it ends with
    // its data, and dropping that data would lose packets.
    if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT && rc != LIBUSB_ERROR_INTERRUPTED && got <= 0) {
        aDebugging_Trace(aDEBUG_USB, "libusb READ error bulk transfer: %d\n", rc);
        return aErrIO;
    }
    if (got <= 0)
        return aErrNotReady;
    if (got > CVUSB_RECEIVESIZE)
        got = CVUSB_RECEIVESIZE;
    d->readAt = d->received;
    d->available = static_cast<uint32_t>(got);
    return aErrNone;
}

aErr cvusb_wake(cvusb_device* d)
{
    if (!d)
        return aErrParam;
    if (d->pathKind != CVUSB_PATH_LIBUSB)
        return aErrNone; // node reads never wait long
    std::lock_guard<std::mutex> hold(d->inLock);
    d->wakeUp = true;
    if (d->inPending)
        cvusb_libusb()->cancel_transfer(d->inTransfer);
    return aErrNone;
}

aErr cvusb_get_from_device(cvusb_device* d, uint8_t* byte)
{
    if (!d || !byte)
        return aErrParam;
    if (d->pathKind == CVUSB_PATH_KERNEL)
        return sNodeGet(d, byte);
    if (d->pathKind != CVUSB_PATH_LIBUSB)
        return aErrMode;
    if (d->state == CVUSB_STATE_FAILED)
        return aErrIO;
    aErr err = aErrNone;
    if (d->available == 0)
        err = sFill(d);
    if (err == aErrNone) {
        *byte = *d->readAt++;
        d->available--;
    }
    return sTolerate(d, err, aErrNotReady);
}

// No read runs when the owner closes: the transfer is never in flight here.
static void sFreeTransfer(cvusb_device* d)
{
    if (d->inTransfer)
        cvusb_libusb()->free_transfer(d->inTransfer);
    d->inTransfer = nullptr;
}

aErr cvusb_close_corvestel_device(cvusb_device* d)
{
    if (!d)
        return aErrParam;
    if (d->pathKind == CVUSB_PATH_LIBUSB) {
        if (!d->handle)
            return aErrMode;
        const cvusb_libusb_ops* usb = cvusb_libusb();
        usb->release_interface(d->handle, d->interface);
        usb->close(d->handle);
        d->handle = nullptr;
        sFreeTransfer(d);
        d->state = CVUSB_STATE_CLOSED;
        d->interface = d->inEndpoint = d->outEndpoint = 0;
        return aErrNone;
    }
    if (d->pathKind != CVUSB_PATH_KERNEL)
        return aErrMode;
    if (d->fd < 0)
        return aErrNone;
    int rc = close(d->fd);
    d->fd = -1; // a failed close still leaves the descriptor unusable
    if (rc != 0)
        return aErrCancel;
    d->state = CVUSB_STATE_CLOSED;
    return aErrNone;
}

aErr cvusb_destroy(cvusb_device** ref)
{
    if (!ref || !*ref)
        return aErrParam;
    cvusb_device* d = *ref;
    *ref = nullptr;
    if (d->handle)
        cvusb_libusb()->close(d->handle);
    sFreeTransfer(d);
    if (d->fd >= 0)
        close(d->fd);
    delete d;
    return aErrNone;
}

uint32_t cvusb_state(const cvusb_device* d)
{
    return d ? d->state.load() : CVUSB_STATE_UNUSABLE;
}

uint32_t cvusb_path_kind(const cvusb_device* d)
{
    return d ? d->pathKind : CVUSB_PATH_KERNEL;
}

uint16_t cvusb_in_packet_size(const cvusb_device* d)
{
    return d ? d->inPacketSize : 0;
}

uint16_t cvusb_out_packet_size(const cvusb_device* d)
{
    return d ? d->outPacketSize : 0;
}
