# The usbfs side of one device node (/dev/bus/usb/BBB/DDD): answers the
# ioctls that libusb makes on it, with URBs submitted, reaped and discarded
# as the kernel does. Control URBs go to the device's control(); bulk OUT to
# bulk_out(); bulk IN URBs wait until the device has bytes (a host time-out
# discards them). Once the device is unplugged every call answers ENODEV,
# which libusb takes as the device gone.
import errno
import struct

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, GObject, UMockdev  # noqa: E402

USBDEVFS_CONTROL = 0xC0185500
USBDEVFS_BULK = 0xC0185502
USBDEVFS_SETINTERFACE = 0x80085504
USBDEVFS_SETCONFIGURATION = 0x80045505
USBDEVFS_GETDRIVER = 0x41045508
USBDEVFS_SUBMITURB = 0x8038550A
USBDEVFS_DISCARDURB = 0x0000550B
USBDEVFS_REAPURB = 0x4008550C
USBDEVFS_REAPURBNDELAY = 0x4008550D
USBDEVFS_CLAIMINTERFACE = 0x8004550F
USBDEVFS_RELEASEINTERFACE = 0x80045510
USBDEVFS_CONNECTINFO = 0x40085511
USBDEVFS_IOCTL = 0xC0105512
USBDEVFS_RESET = 0x00005514
USBDEVFS_CLEAR_HALT = 0x80045515
USBDEVFS_DISCONNECT = 0x00005516
USBDEVFS_CONNECT = 0x00005517
USBDEVFS_GET_CAPABILITIES = 0x8004551A
USBDEVFS_DISCONNECT_CLAIM = 0x8108551B
USBDEVFS_GET_SPEED = 0x0000551F

URB_TYPE_ISO, URB_TYPE_INTERRUPT, URB_TYPE_CONTROL, URB_TYPE_BULK = 0, 1, 2, 3
CAP_ZERO_PACKET, CAP_BULK_CONTINUATION, CAP_NO_PACKET_SIZE_LIM = 0x01, 0x02, 0x04
USB_SPEED_HIGH = 3

# struct usbdevfs_urb (64-bit): type, endpoint, status @4, flags @8,
# buffer @16, buffer_length @24, actual_length @28 ... usercontext @48.
URB_SIZE = 56
REAP_HOLD_MS = 10


def _read(data):
    # The data field itself reads as a zero-terminated string; retrieve()
    # gives every byte.
    return bytes(data.retrieve())


class Urb:
    def __init__(self, data, buffer, kind, endpoint, length):
        self.data = data      # the client's usbdevfs_urb
        self.buffer = buffer  # the client's transfer buffer
        self.kind = kind
        self.endpoint = endpoint
        self.length = length
        self.address = data.client_addr

    def finish(self, status, payload=b""):
        if payload:
            self.buffer.update(0, payload)
        self.data.update(4, struct.pack("<i", status))
        self.data.update(28, struct.pack("<i", len(payload)))


class UsbfsNode(UMockdev.IoctlBase):
    __gtype_name__ = "CorvestelUsbfsNode"

    def __init__(self, device):
        super().__init__()
        self.device = device
        self.gone = False
        self.pending_in = []   # IN URBs waiting for bytes, oldest first
        self.done = []         # completed URBs, to be reaped
        self.in_bytes = bytearray()
        self.claimed = set()
        self.held_reap = None  # (client, timer) of a reap waiting for a URB

    # The device's bytes for the host.
    def send_in(self, data):
        self.in_bytes += data
        self._serve_in()

    def _serve_in(self):
        while self.pending_in and self.in_bytes:
            urb = self.pending_in.pop(0)
            if urb.endpoint in self.device.stall:
                urb.finish(-errno.EPIPE)
                self.done.append(urb)
                continue
            n = min(urb.length, len(self.in_bytes))
            urb.finish(0, bytes(self.in_bytes[:n]))
            del self.in_bytes[:n]
            self.done.append(urb)
        self._release_reap()

    def _release_reap(self):
        # A reap held while nothing was done gets the first completed URB.
        if self.held_reap is None or not self.done:
            return
        client, timer = self.held_reap
        self.held_reap = None
        GLib.source_remove(timer)
        urb = self.done.pop(0)
        client.get_arg().resolve(0, 8).set_ptr(0, urb.data)
        client.complete(0, 0)

    def _reap_timeout(self):
        client, _ = self.held_reap
        self.held_reap = None
        client.complete(-1, errno.EAGAIN)
        return False

    def unplug(self):
        """The device left the bus: every later call fails with ENODEV."""
        self.gone = True
        self.pending_in.clear()
        self.done.clear()
        if self.held_reap is not None:
            client, timer = self.held_reap
            self.held_reap = None
            GLib.source_remove(timer)
            client.complete(-1, errno.ENODEV)

    def do_client_connected(self, client):
        self.device.client_opened()

    def do_client_vanished(self, client):
        # The last opener went away: nothing of its transfers survives.
        self.pending_in.clear()
        self.done.clear()
        self.claimed.clear()

    def do_handle_ioctl(self, client):
        request = client.get_request()
        if request == USBDEVFS_REAPURBNDELAY and not self.done and not self.gone:
            # The client polls its node, which is always writable here, and
            # reaps without waiting: hold the reap a little (or until a URB
            # completes) so that an idle transfer does not spin.
            self.held_reap = (client, GLib.timeout_add(REAP_HOLD_MS, self._reap_timeout))
            return True
        try:
            result, err = self._ioctl(client)
        except Exception as e:  # a broken request must not stop the bus
            print("corvestel-usbbus: ioctl 0x%08X failed: %s" % (client.get_request(), e), flush=True)
            result, err = -1, errno.EIO
        client.complete(result, err)
        self._release_reap()
        return True

    def _ioctl(self, client):
        request = client.get_request()
        arg = client.get_arg()
        if self.gone:
            return -1, errno.ENODEV
        if request == USBDEVFS_GET_CAPABILITIES:
            arg.resolve(0, 4).update(0, struct.pack("<I", CAP_ZERO_PACKET | CAP_BULK_CONTINUATION | CAP_NO_PACKET_SIZE_LIM))
            return 0, 0
        if request == USBDEVFS_GET_SPEED:
            return USB_SPEED_HIGH, 0
        if request == USBDEVFS_SUBMITURB:
            return self._submit(arg)
        if request in (USBDEVFS_REAPURB, USBDEVFS_REAPURBNDELAY):
            if not self.done:
                return -1, errno.EAGAIN
            urb = self.done.pop(0)
            arg.resolve(0, 8).set_ptr(0, urb.data)
            return 0, 0
        if request == USBDEVFS_DISCARDURB:
            return self._discard(arg)
        if request in (USBDEVFS_CLAIMINTERFACE, USBDEVFS_RELEASEINTERFACE):
            (number,) = struct.unpack_from("<I", _read(arg.resolve(0, 4)))
            if not any(i.number == number for i in self.device.interfaces):
                return -1, errno.ENOENT
            if request == USBDEVFS_CLAIMINTERFACE:
                self.claimed.add(number)
            else:
                self.claimed.discard(number)
            return 0, 0
        if request == USBDEVFS_CLEAR_HALT:
            (endpoint,) = struct.unpack_from("<I", _read(arg.resolve(0, 4)))
            self.device.stall.discard(endpoint & 0xFF)
            return 0, 0
        if request in (USBDEVFS_SETINTERFACE, USBDEVFS_SETCONFIGURATION, USBDEVFS_RESET,
                       USBDEVFS_CONNECT):
            return 0, 0
        if request in (USBDEVFS_GETDRIVER, USBDEVFS_IOCTL, USBDEVFS_DISCONNECT):
            return -1, errno.ENODATA  # no kernel driver is bound
        if request == USBDEVFS_DISCONNECT_CLAIM:
            return 0, 0
        if request == USBDEVFS_CONTROL:
            return self._sync_control(arg)
        return -1, errno.ENOTTY

    def _submit(self, pointer):
        # The argument is the client's pointer to its usbdevfs_urb.
        arg = pointer.resolve(0, URB_SIZE)
        raw = _read(arg)
        kind, endpoint = raw[0], raw[1]
        (length,) = struct.unpack_from("<i", raw, 24)
        buffer = arg.resolve(16, length) if length > 0 else None
        urb = Urb(arg, buffer, kind, endpoint, length)
        if kind == URB_TYPE_CONTROL:
            setup = _read(buffer)[:8]
            request_type, request, value, index, wlength = struct.unpack("<BBHHH", setup)
            status, payload = self.device.control(request_type, request, value, index, wlength,
                                                  _read(buffer)[8:8 + wlength])
            if status == 0 and request_type & 0x80:
                # The answer follows the setup packet in the buffer.
                buffer.update(8, payload)
                arg.update(4, struct.pack("<i", 0))
                arg.update(28, struct.pack("<i", len(payload)))
            elif status == 0:
                arg.update(4, struct.pack("<i", 0))
                arg.update(28, struct.pack("<i", wlength))
            else:
                arg.update(4, struct.pack("<i", status))
                arg.update(28, struct.pack("<i", 0))
            self.done.append(urb)
            return 0, 0
        if kind not in (URB_TYPE_BULK, URB_TYPE_INTERRUPT):
            return -1, errno.EINVAL
        ep = self.device.endpoint(endpoint)
        if ep is None:
            return -1, errno.ENOENT
        if endpoint & 0x80:
            self.pending_in.append(urb)
            if endpoint in self.device.stall:
                self.pending_in.remove(urb)
                urb.finish(-errno.EPIPE)
                self.done.append(urb)
            self._serve_in()
            return 0, 0
        if endpoint in self.device.stall:
            urb.finish(-errno.EPIPE)
            self.done.append(urb)
            return 0, 0
        taken = self.device.bulk_out(endpoint, _read(buffer) if buffer else b"")
        if self.gone:
            return -1, errno.ENODEV
        if taken < 0:
            urb.finish(taken)
        else:
            arg.update(4, struct.pack("<i", 0))
            arg.update(28, struct.pack("<i", taken))
        self.done.append(urb)
        return 0, 0

    def _discard(self, arg):
        # The argument is the URB's address itself.
        (address,) = struct.unpack_from("<Q", _read(arg))
        for urb in self.pending_in:
            if urb.address == address:
                self.pending_in.remove(urb)
                urb.finish(-errno.ENOENT)
                self.done.append(urb)
                return 0, 0
        return -1, errno.EINVAL

    def _sync_control(self, pointer):
        # struct usbdevfs_ctrltransfer: type, request, value, index, length,
        # timeout @8, data @16.
        arg = pointer.resolve(0, 24)
        raw = _read(arg)
        request_type, request, value, index, length = struct.unpack_from("<BBHHH", raw)
        data = arg.resolve(16, length) if length > 0 else None
        status, payload = self.device.control(request_type, request, value, index, length,
                                              _read(data) if data else b"")
        if status != 0:
            return -1, -status
        if request_type & 0x80:
            if payload:
                data.update(0, payload)
            return len(payload), 0
        return length, 0


GObject.type_register(UsbfsNode)
