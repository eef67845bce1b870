// USB driver for modules: finds a module by its serial-number string, claims
// its vendor interface and moves bytes over its bulk endpoints, through
// libusb or through the kernel driver's node "/dev/corvestel.%08X".
// The shared libusb context is created and destroyed under its own mutex. A
// driver object belongs to one stream: one thread may read while another
// writes (separate endpoints; the state and the error run are atomic).
#ifndef CORVESTEL_TRANSPORT_CVUSB_DRIVER_H
#define CORVESTEL_TRANSPORT_CVUSB_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <libusb.h>

#include "link/aError.h"
#include "transport/cvusb_refusals.h"

CORVESTEL_INTERNAL_BEGIN

#ifndef CORVESTEL_USB_VENDOR_ID
#error "CORVESTEL_USB_VENDOR_ID is set by the build"
#endif

// Path kinds of a driver object.
enum : uint32_t {
    CVUSB_PATH_KERNEL = 0,
    CVUSB_PATH_LIBUSB = 1,
};

// Driver object states.
enum : uint32_t {
    CVUSB_STATE_UNUSABLE = 0,
    CVUSB_STATE_CREATED = 1,
    CVUSB_STATE_CLOSED = 2,
    CVUSB_STATE_OPEN = 3,  // handle open, interface not claimed yet
    CVUSB_STATE_READY = 4, // interface claimed
    CVUSB_STATE_FAILED = 5, // five I/O errors in a row; close and reopen
};

// The modules' vendor interface.
enum : uint8_t {
    CVUSB_INTERFACE_CLASS = 0xFF,
    CVUSB_INTERFACE_SUBCLASS = 0x88,
    CVUSB_INTERFACE_PROTOCOL = 0x10,
};

#define CVUSB_NODE_FORMAT "/dev/corvestel.%08X"
#define CVUSB_SERIALSIZE 257
#define CVUSB_RECEIVESIZE 1024

// Every libusb call the driver and the USB search make goes through this
// table, so that tests can stand in for the USB stack.
struct cvusb_libusb_ops {
    int (*init)(libusb_context** context);
    void (*exit)(libusb_context* context);
    ssize_t (*get_device_list)(libusb_context* context, libusb_device*** list);
    void (*free_device_list)(libusb_device** list, int unref);
    int (*get_device_descriptor)(libusb_device* device, struct libusb_device_descriptor* descriptor);
    uint8_t (*get_bus_number)(libusb_device* device);
    uint8_t (*get_device_address)(libusb_device* device);
    int (*open)(libusb_device* device, libusb_device_handle** handle);
    void (*close)(libusb_device_handle* handle);
    int (*get_string_descriptor_ascii)(libusb_device_handle* handle, uint8_t index, unsigned char* data, int length);
    int (*get_config_descriptor)(libusb_device* device, uint8_t index, struct libusb_config_descriptor** config);
    void (*free_config_descriptor)(struct libusb_config_descriptor* config);
    int (*claim_interface)(libusb_device_handle* handle, int interface);
    int (*release_interface)(libusb_device_handle* handle, int interface);
    int (*bulk_transfer)(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                         int* transferred, unsigned int timeout);
    int (*clear_halt)(libusb_device_handle* handle, unsigned char endpoint);
    // The asynchronous calls behind IN transfers, which a stop may cancel.
    struct libusb_transfer* (*alloc_transfer)(int isoPackets);
    void (*free_transfer)(struct libusb_transfer* transfer);
    int (*submit_transfer)(struct libusb_transfer* transfer);
    int (*cancel_transfer)(struct libusb_transfer* transfer);
    int (*handle_events_timeout_completed)(libusb_context* context, struct timeval* tv, int* completed);
    // Folder and name start of the kernel driver's nodes ("/dev/corvestel.").
    const char* nodePrefix;
};

// The table in use (the real libusb unless a test swapped it).
const cvusb_libusb_ops* cvusb_libusb();
// Swaps the table; null puts the real libusb back. Returns the previous one.
// Only for tests, while no driver object or search is in use.
const cvusb_libusb_ops* cvusb_set_libusb(const cvusb_libusb_ops* ops);

// The shared libusb context, initialised on first use; null when libusb
// can't be initialised.
libusb_context* Corvestel_libusb_context();
// Ends the shared context; the next use makes a new one.
void Corvestel_libusb_exit();

// True for a device with the modules' vendor id and a product id of
// 0x0000 to 0x7FFF.
bool is_corvestel_device(libusb_device* device);

// True when configuration 0 of the device has the modules' vendor interface
// with a bulk IN and a bulk OUT endpoint (read without opening the device).
bool cvusb_has_module_interface(libusb_device* device);

// Remembers where the module with this serial-number string was seen (its
// bus and device address), so that the next open of it looks there first.
void cvusb_remember_location(const char* serialText, libusb_device* device);

// Notes the device's node among this thread's refusals (cvusb_refusals.h)
// when it is a module's.
void cvusb_note_refused(libusb_device* device);

// True when the kernel driver's node for this serial number exists.
bool cvusb_is_kernel_driver_installed(uint32_t serialNumber);

typedef struct cvusb_device cvusb_device;

// A new driver object in state 1 for the libusb path (true) or the kernel
// node; null when memory runs out.
cvusb_device* cvusb_create_usb(bool useLibusb);

// Opens the module whose serial-number string is serialText.
// aErrParam: null argument. aErrMode: wrong path kind. aErrResource: unusable
// object. aErrNotFound: no such module. aErrConfiguration: it lacks the bulk
// endpoints. aErrBusy: another program holds it. aErrPermission: no access
// to the device (a udev rule must grant it), or no module matched while a
// module's node could not be opened (cvusb_refused_node names it). aErrUnknown:
// claim refused otherwise. Kernel node: aErrBusy (in use), aErrIO (can't be opened).
aErr cvusb_open_corvestel_device(cvusb_device* device, const char* serialText);

// Writes a block. aErrParam: null argument. aErrMode: wrong path kind or no
// open node. aErrNotReady: not open yet. aErrConnection: closed. aErrWrite:
// bytes left unsent after ten failed transfers. aErrIO: the fifth I/O error
// in a row, or the device failed (earlier I/O errors answer aErrNone).
aErr cvusb_write_to_device(cvusb_device* device, const uint8_t* data, uint32_t length);

// Reads one byte. aErrParam: null argument. aErrMode: wrong path kind or no
// open node. aErrNotReady: no byte waiting, not open yet, or one of the first
// four I/O errors in a row. aErrConnection: closed. aErrIO: the fifth I/O
// error in a row, or the device failed.
aErr cvusb_get_from_device(cvusb_device* device, uint8_t* byte);

// Makes a read in progress on another thread, or the next read, return at
// once with aErrNotReady and what the pending IN transfer brought (its
// transfer is cancelled). Any thread. aErrParam: null.
aErr cvusb_wake(cvusb_device* device);

// Releases the interface and closes the device (state 2).
// aErrParam: null. aErrMode: wrong path kind or nothing open.
// aErrCancel: the node refused to close.
aErr cvusb_close_corvestel_device(cvusb_device* device);

// Closes whatever is still open, frees the object and nulls *device.
// aErrParam: null.
aErr cvusb_destroy(cvusb_device** device);

// The object's state (CVUSB_STATE_...), path kind and bulk packet sizes.
uint32_t cvusb_state(const cvusb_device* device);
uint32_t cvusb_path_kind(const cvusb_device* device);
uint16_t cvusb_in_packet_size(const cvusb_device* device);
uint16_t cvusb_out_packet_size(const cvusb_device* device);

CORVESTEL_INTERNAL_END

#endif
