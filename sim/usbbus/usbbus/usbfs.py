# The usbfs side of one device node (/dev/bus/usb/BBB/DDD): answers the
# ioctls that libusb makes on it, with URBs submitted, reaped and discarded
# as the kernel does. Control URBs go to the device's control(); bulk OUT to
# bulk_out(); bulk IN URBs wait until the device has bytes (a host time-out
# discards them). Once the device is unplugged every call answers ENODEV,
# which libusb takes as the device gone.
import errno
import os
import struct
import sys
import threading
import time

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, GObject, UMockdev  # noqa: E402

from .lock import locked  # noqa: E402

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
REAP_HOLD_MS = 10  # an idle opener
REAP_HOLD_BUSY_MS = 1  # one that moved data in the last BUSY_S
BUSY_S = 0.25


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


_DEBUG = os.environ.get("CORVESTEL_USBBUS_DEBUG")
_T0 = time.monotonic()


def _debug(text):
    if _DEBUG:
        sys.stderr.write("%8.3f %x %s\n" % (time.monotonic() - _T0, threading.get_ident(), text))


class Opener:
    """What one open file of the node holds: its URBs and a held reap."""

    def __init__(self):
        self.pending_in = []  # IN URBs waiting for bytes, oldest first
        self.done = []        # completed URBs, to be reaped
        self.held = None      # (client, timer) of a reap waiting for a URB
        self.claimed = set()
        self.busy_until = 0.0  # recent traffic: reaps are held only briefly


class UsbfsNode(UMockdev.IoctlBase):
    __gtype_name__ = "CorvestelUsbfsNode"

    def __init__(self, device):
        super().__init__()
        self.device = device
        self.gone = False
        self.openers = {}  # client -> Opener
        self.in_bytes = bytearray()

    def _opener(self, client):
        o = self.openers.get(client)
        if o is None:
            o = self.openers[client] = Opener()
        return o

    # The device's bytes for the host.
    @locked
    def send_in(self, data):
        self.in_bytes += data
        self._serve_in()

    def _serve_in(self):
        # The bytes go to the IN transfers of whoever has them pending (the
        # opener that claimed the interface).
        for o in list(self.openers.values()):
            while o.pending_in and self.in_bytes:
                urb = o.pending_in.pop(0)
                if urb.endpoint in self.device.stall:
                    urb.finish(-errno.EPIPE)
                    o.done.append(urb)
                    continue
                n = min(urb.length, len(self.in_bytes))
                _debug("IN  %x %d %s" % (urb.address, n, bytes(self.in_bytes[:n]).hex()))
                urb.finish(0, bytes(self.in_bytes[:n]))
                del self.in_bytes[:n]
                o.done.append(urb)
            self._release_reap(o)

    def _release_reap(self, o):
        # A reap held while nothing was done gets the first completed URB.
        if o.held is None or not o.done:
            return
        client, timer = o.held
        o.held = None
        GLib.source_remove(timer)
        urb = o.done.pop(0)
        o.busy_until = time.monotonic() + BUSY_S
        try:
            client.get_arg().resolve(0, 8).set_ptr(0, urb.data)
            client.complete(0, 0)
        except GLib.Error as e:
            _debug("release failed: %s" % e)  # the client went away meanwhile
        _debug("reap released %x" % id(o))

    @locked
    def _reap_timeout(self, o):
        if o.held is None:
            return False
        client, _ = o.held
        o.held = None
        # A node whose device has gone keeps failing (the client sees that
        # through the remove uevent and its failing transfers).
        try:
            client.complete(-1, errno.ENODEV if self.gone else errno.EAGAIN)
        except GLib.Error as e:
            _debug("complete failed: %s" % e)
        _debug("reap timeout %x" % id(o))
        return False

    @locked
    def unplug(self):
        """The device left the bus: every later call fails with ENODEV."""
        self.gone = True
        # As the kernel does, the transfers in flight end with ESHUTDOWN and
        # can still be reaped.
        for o in self.openers.values():
            for urb in o.pending_in:
                urb.finish(-errno.ESHUTDOWN)
                o.done.append(urb)
            o.pending_in.clear()
            self._release_reap(o)
            if o.held is not None:
                GLib.source_remove(o.held[1])
                self._reap_timeout(o)

    @locked
    def do_client_connected(self, client):
        self._opener(client)
        self.device.client_opened()

    @locked
    def do_client_vanished(self, client):
        # The file was closed: nothing of its transfers survives.
        o = self.openers.pop(client, None)
        if o is not None and o.held is not None:
            GLib.source_remove(o.held[1])
            o.held = None
        if o is not None and o.claimed and not self.gone:
            self.device.interface_released()

    @locked
    def do_handle_ioctl(self, client):
        request = client.get_request()
        o = self._opener(client)
        _debug("ioctl %s %x %08X done=%d held=%s" % (self.device.serial, id(o), request, len(o.done), o.held is not None))
        if request == USBDEVFS_REAPURBNDELAY and not o.done:
            # The client polls its node, which is always writable here, and
            # reaps without waiting: hold the reap a little (or until a URB
            # completes) so that an idle transfer does not spin. While
            # traffic flows the hold is short, since the client's other
            # threads wait behind it.
            hold = REAP_HOLD_BUSY_MS if time.monotonic() < o.busy_until else REAP_HOLD_MS
            o.held = (client, GLib.timeout_add(hold, self._reap_timeout, o))
            return True
        try:
            result, err = self._ioctl(client, o)
        except GLib.Error:
            return True  # the client went away in the middle of its call
        except Exception as e:  # a broken request must not stop the bus
            print("corvestel-usbbus: ioctl 0x%08X failed: %s" % (client.get_request(), e), flush=True)
            result, err = -1, errno.EIO
        try:
            client.complete(result, err)
        except GLib.Error:
            pass
        for other in list(self.openers.values()):
            self._release_reap(other)
        return True

    def _ioctl(self, client, o):
        request = client.get_request()
        arg = client.get_arg()
        if self.gone and not (request in (USBDEVFS_REAPURB, USBDEVFS_REAPURBNDELAY) and o.done):
            return -1, errno.ENODEV
        if request == USBDEVFS_GET_CAPABILITIES:
            arg.resolve(0, 4).update(0, struct.pack("<I", CAP_ZERO_PACKET | CAP_BULK_CONTINUATION | CAP_NO_PACKET_SIZE_LIM))
            return 0, 0
        if request == USBDEVFS_GET_SPEED:
            return USB_SPEED_HIGH, 0
        if request == USBDEVFS_SUBMITURB:
            return self._submit(arg, o)
        if request in (USBDEVFS_REAPURB, USBDEVFS_REAPURBNDELAY):
            if not o.done:
                return -1, errno.EAGAIN
            urb = o.done.pop(0)
            o.busy_until = time.monotonic() + BUSY_S
            arg.resolve(0, 8).set_ptr(0, urb.data)
            return 0, 0
        if request == USBDEVFS_DISCARDURB:
            return self._discard(arg, o)
        if request in (USBDEVFS_CLAIMINTERFACE, USBDEVFS_RELEASEINTERFACE):
            (number,) = struct.unpack_from("<I", _read(arg.resolve(0, 4)))
            if not any(i.number == number for i in self.device.interfaces):
                return -1, errno.ENOENT
            if request == USBDEVFS_CLAIMINTERFACE:
                if any(number in other.claimed for other in self.openers.values() if other is not o):
                    return -1, errno.EBUSY  # another program holds it
                if not o.claimed:
                    self.device.interface_claimed()
                o.claimed.add(number)
            elif number in o.claimed:
                o.claimed.discard(number)
                if not o.claimed:
                    self.device.interface_released()
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

    def _submit(self, pointer, o):
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
            o.done.append(urb)
            return 0, 0
        if kind not in (URB_TYPE_BULK, URB_TYPE_INTERRUPT):
            return -1, errno.EINVAL
        ep = self.device.endpoint(endpoint)
        if ep is None:
            return -1, errno.ENOENT
        if endpoint & 0x80:
            o.pending_in.append(urb)
            if endpoint in self.device.stall:
                o.pending_in.remove(urb)
                urb.finish(-errno.EPIPE)
                o.done.append(urb)
            self._serve_in()
            return 0, 0
        if endpoint in self.device.stall:
            urb.finish(-errno.EPIPE)
            o.done.append(urb)
            return 0, 0
        _debug("OUT %x %d %s" % (urb.address, length, (_read(buffer) if buffer else b"").hex()))
        taken = self.device.bulk_out(endpoint, _read(buffer) if buffer else b"")
        if self.gone:
            return -1, errno.ENODEV
        if taken < 0:
            urb.finish(taken)
        else:
            arg.update(4, struct.pack("<i", 0))
            arg.update(28, struct.pack("<i", taken))
        o.done.append(urb)
        return 0, 0

    def _discard(self, arg, o):
        # The argument is the URB's address itself.
        (address,) = struct.unpack_from("<Q", _read(arg))
        _debug("DISCARD %x %s" % (address, [hex(u.address) for u in o.pending_in]))
        for urb in o.pending_in:
            if urb.address == address:
                o.pending_in.remove(urb)
                urb.finish(-errno.ENOENT)
                o.done.append(urb)
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
