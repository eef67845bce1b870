# The i.MX RT1050 boot ROM in serial-download mode as a USB HID device
# (1FC9:0130) on the bus, reached through hidraw as hidapi's hidraw backend
# reaches it, and the chip's loader that comes onto the bus as a module once
# the ROM has jumped to it.
#
#   --imxrom pty=PATH,trace=PATH[,loader=DEADDEAD][,jumpms=100][,mode=0666]
#
# pty is the terminal of `corvestel-bootrom --kind sdp --hid`, which plays the
# ROM: what the host writes to the hidraw node (report 1 commands, report 2
# data) goes to it without the report id; its framed answers come back as
# input reports 3 and 4. Without pty there is no HID device (the ROM is on a
# serial line of its own) and only the jump is watched. trace is the ROM's
# trace: once it shows the jump, the HID device leaves the bus and, jumpms
# later, the module whose serial string is loader (declared with --module
# serial=...,plugged=0) is plugged in.
#
# The node is a FIFO holding one byte per input report waiting, so that the
# client's poll() sees reports as on a real hidraw node; its read() and
# write() calls come to this handler through the umockdev preload.
import errno
import os
import struct

import gi

gi.require_version("GLib", "2.0")
gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, GObject, UMockdev  # noqa: E402

from .device import Endpoint, Interface, UsbDevice  # noqa: E402
from .kinds import KINDS  # noqa: E402

VENDOR, PRODUCT = 0x1FC9, 0x0130

# Vendor-defined reports of the serial download protocol: 1 command (16
# bytes) and 2 data (1024 bytes) out, 3 security mode (4) and 4 status or
# data (64) in.
REPORT_DESCRIPTOR = bytes([
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02,
    0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02,
    0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,
    0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,
    0xC0,
])
REPORT_SIZES = {3: 4, 4: 64}

HIDIOCGRDESCSIZE = 0x80044801
HIDIOCGRDESC = 0x90044802
HIDIOCGRAWINFO = 0x80084803
BUS_USB = 3
READ_HOLD_MS = 1000


class HidrawNode(UMockdev.IoctlBase):
    __gtype_name__ = "CorvestelHidrawNode"

    def __init__(self, rom):
        super().__init__()
        self.rom = rom
        self.held = None  # (client, timer) of a read waiting for a report

    def do_handle_ioctl(self, client):
        request = client.get_request()
        arg = client.get_arg()
        if self.rom.gone:
            client.complete(-1, errno.ENODEV)
        elif request == HIDIOCGRDESCSIZE:
            arg.resolve(0, 4).update(0, struct.pack("<I", len(REPORT_DESCRIPTOR)))
            client.complete(0, 0)
        elif request == HIDIOCGRDESC:
            arg.resolve(0, 4 + len(REPORT_DESCRIPTOR)).update(4, REPORT_DESCRIPTOR)
            client.complete(0, 0)
        elif request == HIDIOCGRAWINFO:
            arg.resolve(0, 8).update(0, struct.pack("<IHH", BUS_USB, self.rom.vendor, self.rom.product))
            client.complete(0, 0)
        else:
            client.complete(-1, errno.EINVAL)
        return True

    def do_handle_write(self, client):
        data = bytes(client.get_arg().retrieve())
        if self.rom.gone:
            client.complete(-1, errno.ENODEV)
            return True
        self.rom.host_report(data)
        client.complete(len(data), 0)
        return True

    def do_handle_read(self, client):
        if self.rom.gone:
            client.complete(-1, errno.ENODEV)
        elif self.rom.reports:
            self._serve(client)
        else:
            self.held = (client, GLib.timeout_add(READ_HOLD_MS, self._hold_ended))
        return True

    def _serve(self, client):
        report = self.rom.take_report()
        arg = client.get_arg()
        length = len(bytes(arg.retrieve()))
        report = report[:length]
        arg.update(0, report)
        client.complete(len(report), 0)

    def _hold_ended(self):
        client, _ = self.held
        self.held = None
        client.complete(-1, errno.EAGAIN)
        return False

    def report_ready(self):
        if self.held is not None:
            client, timer = self.held
            self.held = None
            GLib.source_remove(timer)
            self._serve(client)

    def gone(self):
        if self.held is not None:
            client, timer = self.held
            self.held = None
            GLib.source_remove(timer)
            client.complete(-1, errno.ENODEV)


GObject.type_register(HidrawNode)


def _hid_class_descriptor():
    return struct.pack("<BBHBBBH", 9, 0x21, 0x0110, 0, 1, 0x22, len(REPORT_DESCRIPTOR))


class ImxRomDevice(UsbDevice):
    kind = "imxrom"

    def __init__(self, keys):
        d = dict(keys)
        interface = Interface(0, 0x03, 0x00, 0x00, [Endpoint(0x81, 3, 64, 1), Endpoint(0x01, 3, 64, 1)],
                              extra=_hid_class_descriptor())
        super().__init__(VENDOR, PRODUCT, serial=None, manufacturer="NXP", name="i.MX RT1050 serial download",
                         interfaces=[interface], bcd_device=0x0001)
        self.pty_path = d["pty"]
        self.hidraw_mode = int(d.get("mode", "0666"), 8)
        self.pty = None
        self.watch = None
        self.pending = b""  # framed bytes from the ROM not yet whole
        self.reports = []
        self.fifo = None
        self.children = []  # (syspath, devname) in the order made
        self.node_handler = None
        self.gone = False

    # The ROM's side.
    def open_rom(self):
        """The descriptor the ROM's framed answers come from."""
        return os.open(self.pty_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    def host_report(self, report):
        """A report the host wrote, its report id first."""
        self.to_rom(report[1:])

    def to_rom(self, data):
        if self.pty is not None and data:
            os.write(self.pty, data)

    def _from_rom(self, fd, condition):
        try:
            data = os.read(fd, 65536)
        except BlockingIOError:
            return True
        except OSError:
            data = b""
        if not data:
            self.watch = None
            return False
        self.pending += data
        # Frames: "R", report id, length (16 bits, little-endian), bytes.
        while len(self.pending) >= 4:
            if self.pending[0:1] != b"R":
                self.pending = self.pending[1:]  # out of step: slide on
                continue
            rid = self.pending[1]
            (n,) = struct.unpack_from("<H", self.pending, 2)
            if len(self.pending) < 4 + n:
                break
            body = self.pending[4:4 + n]
            self.pending = self.pending[4 + n:]
            size = REPORT_SIZES.get(rid, n)
            self.reports.append(bytes([rid]) + body[:size] + b"\0" * (size - len(body[:size])))
            if self.fifo is not None:
                os.write(self.fifo, b"x")
            if self.node_handler is not None:
                self.node_handler.report_ready()
        return True

    def take_report(self):
        if self.fifo is not None:
            try:
                os.read(self.fifo, 1)
            except BlockingIOError:
                pass
        return self.reports.pop(0)

    # On the bus.
    def plug(self, bus):
        """Puts the ROM on the bus: the USB device, its HID interface, the hid
        device and the hidraw node, made in one piece (umockdev checks a
        parent given by name on the real /sys)."""
        self.bus = bus
        self.port = bus.next_port
        bus.next_port += 1
        self.devnum = bus.next_devnum
        bus.next_devnum += 1
        self.pty = self.open_rom()
        self.watch = GLib.io_add_watch(self.pty, GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP, self._from_rom)
        usb = "/devices/1-%d" % self.port
        interface = usb + "/1-%d:1.0" % self.port
        hid = interface + "/0003:%04X:%04X.0001" % (self.vendor, self.product)
        raw = hid + "/hidraw/hidraw0"
        devname = "/dev/hidraw0"
        records = [
            (raw, ["N: hidraw0", "E: DEVNAME=" + devname, "E: SUBSYSTEM=hidraw", "E: MAJOR=240", "E: MINOR=0"]),
            (hid, ["E: SUBSYSTEM=hid", "E: HID_ID=0003:%08X:%08X" % (self.vendor, self.product),
                   "E: HID_NAME=NXP i.MX RT1050 serial download", "E: HID_PHYS=usb-simulated-%d/input0" % self.port,
                   "E: HID_UNIQ=", "E: MODALIAS=hid:b0003g0001v%08Xp%08X" % (self.vendor, self.product)]),
            (interface, ["E: SUBSYSTEM=usb", "E: DEVTYPE=usb_interface", "E: INTERFACE=3/0/0",
                         "A: bInterfaceNumber=00", "A: bInterfaceClass=03", "A: bInterfaceSubClass=00",
                         "A: bInterfaceProtocol=00", "A: bNumEndpoints=02"]),
            (usb, ["E: SUBSYSTEM=usb", "E: DEVTYPE=usb_device", "E: BUSNUM=001", "E: DEVNUM=%03d" % self.devnum,
                   "E: PRODUCT=%x/%x/%x" % (self.vendor, self.product, self.bcd_device),
                   "A: idVendor=%04x" % self.vendor, "A: idProduct=%04x" % self.product,
                   "A: bcdDevice=%04x" % self.bcd_device,
                   "A: busnum=1", "A: devnum=%d" % self.devnum, "A: speed=12", "A: bNumConfigurations=1",
                   "A: bConfigurationValue=1", "A: bNumInterfaces= 1", "A: devpath=%d" % self.port,
                   "A: manufacturer=" + self.strings[self.i_manufacturer],
                   "A: product=" + self.strings[self.i_product],
                   "H: descriptors=" + self.descriptors().hex().upper()]),
        ]
        bus.testbed.add_from_string("\n".join("P: %s\n%s\n" % (path, "\n".join(lines)) for path, lines in records))
        # hidapi reaches the hid device from the hidraw node through "device",
        # as on a real sysfs.
        os.symlink("../..", os.path.join(bus.root, "sys" + raw, "device"))
        self.children = [("/sys" + usb, None), ("/sys" + interface, None), ("/sys" + hid, None),
                         ("/sys" + raw, devname)]
        self.node_handler = HidrawNode(self)
        bus.testbed.attach_ioctl(devname, self.node_handler)
        # A FIFO as the node: poll() on it tells whether a report is waiting.
        path = os.path.join(bus.root, devname.lstrip("/"))
        if os.path.lexists(path):
            os.unlink(path)
        os.makedirs(os.path.dirname(path), mode=0o755, exist_ok=True)
        os.mkfifo(path, self.hidraw_mode)
        os.chmod(path, self.hidraw_mode)
        self.fifo = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        for folder in ("ioctl", "sys"):
            for top, dirs, _ in os.walk(os.path.join(bus.root, folder)):
                for d in dirs:
                    os.chmod(os.path.join(top, d), 0o755)
        socket_path = os.path.join(bus.root, "ioctl", devname.lstrip("/"))
        if os.path.exists(socket_path):
            os.chmod(socket_path, 0o777)
        bus.log("plug imxrom - %s" % devname)

    def leave(self):
        """The chip left its ROM: the HID device goes away."""
        if self.gone:
            return
        self.gone = True
        if self.node_handler is not None:
            self.node_handler.gone()
        for syspath, devname in reversed(self.children):
            self.bus.remove_child(syspath, devname)
        self.children = []
        self.bus.log("unplug imxrom - /dev/hidraw0")
        self.close()

    def close(self):
        if self.watch is not None:
            GLib.source_remove(self.watch)
            self.watch = None
        for fd in (self.pty, self.fifo):
            if fd is not None:
                try:
                    os.close(fd)
                except OSError:
                    pass
        self.pty = self.fifo = None


class ImxRom:
    HELP = ("the i.MX RT1050 boot ROM: pty=PATH of corvestel-bootrom --kind sdp --hid (HID device 1fc9:0130; "
            "none: a ROM on a serial line), trace=PATH of the ROM (its jump plugs the module "
            "loader=SERIALTEXT, DEADDEAD, jumpms=MS later, 100), mode=OCTAL of the hidraw node (0666)")

    def __init__(self, bus, keys):
        d = dict(keys)
        self.bus = bus
        self.trace_path = d.get("trace")
        self.loader = d.get("loader", "DEADDEAD")
        self.jump_ms = int(d.get("jumpms", "100"), 0)
        self.offset = 0
        self.partial = ""
        self.device = None
        if "pty" in d:
            self.device = ImxRomDevice(keys)
            self.device.plug(bus)
        if self.trace_path:
            GLib.timeout_add(20, self._watch)

    def _watch(self):
        try:
            with open(self.trace_path, "r", errors="replace") as f:
                f.seek(self.offset)
                text = f.read()
                self.offset = f.tell()
        except OSError:
            return True
        self.partial += text
        lines = self.partial.split("\n")
        self.partial = lines.pop()
        for line in lines:
            if line.startswith("JUMP "):
                self.bus.log("jump imxrom %s" % line[5:])
                if self.device is not None:
                    self.device.leave()
                GLib.timeout_add(max(1, self.jump_ms), self._start_loader)
                return False
        return True

    def _start_loader(self):
        module = self.bus.find(self.loader)
        if module is None:
            self.bus.log("no loader module %s" % self.loader)
        else:
            self.bus.plug(module)
        return False


KINDS["imxrom"] = ImxRom
