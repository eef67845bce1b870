# The bus: a umockdev testbed with USB devices on bus 1, one port each.
# Plugging a device creates its sysfs entry and its /dev/bus/usb node with
# the next device number (as the kernel numbers devices) and sends the "add"
# uevent; unplugging sends "remove" and takes both away. A device that
# re-enumerates is unplugged and plugged again, so it comes back with a new
# device number.
import os

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, UMockdev  # noqa: E402

from .lock import locked  # noqa: E402
from .usbfs import UsbfsNode  # noqa: E402

BUS_NUMBER = 1


class Bus:
    def __init__(self, log=None):
        self.testbed = UMockdev.Testbed.new()
        self.root = self.testbed.get_root_dir()
        # A client run as another user must see the testbed, and its libudev
        # makes the socket of its uevent monitor in it (as in /tmp: sticky).
        os.chmod(self.root, 0o1777)
        self.next_devnum = 2  # 1 is the root hub's number on a real bus
        self.next_port = 1
        self.devices = []
        self.retired = []  # nodes of devices that left the bus
        self.log = log or (lambda text: None)

    def environment(self):
        return {"UMOCKDEV_DIR": self.root}

    def add(self, device, plugged=True):
        """Puts a new device on the bus (its own port) and plugs it in,
        or keeps it off the bus until bus.plug(device)."""
        device.bus = self
        device.port = self.next_port
        self.next_port += 1
        self.devices.append(device)
        if plugged:
            self.plug(device)

    def find(self, serial):
        """The device with this serial-number string, plugged or not."""
        for device in self.devices:
            if device.serial == serial:
                return device
        return None

    def add_child(self, subsystem, name, parent, attributes, properties, devname=None, handler=None,
                  mode=0o666):
        """Adds a device below a plugged device's sysfs entry (parent: its
        syspath), for example the hid and hidraw devices of a USB HID
        interface: attributes and properties as name/value lists, a node
        devname whose calls handler (a UMockdev.IoctlBase: ioctl, read,
        write) answers. Sends the "add" uevent; returns the syspath, which
        remove_child() takes away again."""
        attributes = [a if i % 2 == 0 else a + "\n" for i, a in enumerate(attributes)]
        if devname:
            properties = list(properties) + ["DEVNAME", devname]
        syspath = self.testbed.add_device(subsystem, name, parent, attributes, properties)
        if devname:
            if handler is not None:
                self.testbed.attach_ioctl(devname, handler)
            self._make_node(devname, mode)
        return syspath

    def remove_child(self, syspath, devname=None):
        self.testbed.uevent(syspath, "remove")
        if devname:
            try:
                self.testbed.detach_ioctl(devname)
            except GLib.Error:
                pass
            self._remove_node(devname)
        self.testbed.remove_device(syspath)

    def plug(self, device):
        if device.node is not None:
            return
        devnum = self.next_devnum
        self.next_devnum += 1
        device.devnum = devnum
        name = "%d-%d" % (BUS_NUMBER, device.port)
        devname = "/dev/bus/usb/%03d/%03d" % (BUS_NUMBER, devnum)
        d = device.device_descriptor()
        attributes = [
            "idVendor", "%04x" % device.vendor,
            "idProduct", "%04x" % device.product,
            "bcdDevice", "%04x" % device.bcd_device,
            "busnum", str(BUS_NUMBER),
            "devnum", str(devnum),
            "speed", "480",
            "bConfigurationValue", "1",
            "bNumConfigurations", "1",
            "bNumInterfaces", "%2d" % len(device.interfaces),
            "bDeviceClass", "%02x" % d[4],
            "bMaxPacketSize0", str(device.ep0_packet),
            "devpath", str(device.port),
            "manufacturer", device.strings.get(device.i_manufacturer, ""),
            "product", device.strings.get(device.i_product, ""),
        ]
        if device.serial is not None:
            attributes += ["serial", device.serial]
        properties = [
            "DEVNAME", devname,
            "DEVTYPE", "usb_device",
            "BUSNUM", "%03d" % BUS_NUMBER,
            "DEVNUM", "%03d" % devnum,
            "PRODUCT", "%x/%x/%x" % (device.vendor, device.product, device.bcd_device),
            "TYPE", "%d/0/0" % d[4],
            "MAJOR", "189",
            "MINOR", str((BUS_NUMBER - 1) * 128 + devnum - 1),
        ]
        attributes = [a if i % 2 == 0 else a + "\n" for i, a in enumerate(attributes)]
        syspath = self.testbed.add_device("usb", name, None, attributes, properties)
        self.testbed.set_attribute_binary(syspath, "descriptors", device.descriptors())
        device.syspath = syspath
        device.devname = devname
        node = UsbfsNode(device)
        self.testbed.attach_ioctl(devname, node)
        self._make_node(devname, device.node_mode)
        device.node = node
        # add_device announced the device before its descriptors were there;
        # a client that looked too early passed over it, so it is announced
        # again now that everything is in place (a client that already has
        # it ignores a second "add").
        self.testbed.uevent(syspath, "add")
        self.log("plug %s %s %s" % (device.kind, device.serial, devname))
        device.plugged()

    def _make_node(self, devname, mode):
        # The node the client opens (the preload connects it to the ioctl
        # socket); its mode decides who may open it, as on a real system.
        path = os.path.join(self.root, devname.lstrip("/"))
        os.makedirs(os.path.dirname(path), mode=0o755, exist_ok=True)
        with open(path, "wb"):
            pass
        os.chmod(path, mode)
        socket_path = os.path.join(self.root, "ioctl", devname.lstrip("/"))
        if os.path.exists(socket_path):
            os.chmod(socket_path, 0o777)
        for folder in ("ioctl", "sys"):
            for top, dirs, _ in os.walk(os.path.join(self.root, folder)):
                for d in dirs:
                    os.chmod(os.path.join(top, d), 0o755)

    def _remove_node(self, devname):
        try:
            os.unlink(os.path.join(self.root, devname.lstrip("/")))
        except OSError:
            pass

    def unplug(self, device):
        node = device.node
        if node is None:
            return
        device.node = None
        node.unplug()
        self.testbed.uevent(device.syspath, "remove")
        # The node's handler stays attached: a client that still has the
        # node open goes on getting ENODEV, as from a vanished device, and
        # the next enumeration has another device number.
        self.retired.append(node)
        self.testbed.remove_device(device.syspath)
        self._remove_node(device.devname)
        self.log("unplug %s %s %s" % (device.kind, device.serial, device.devname))
        device.unplugged()

    def reenumerate(self, device, delay_ms):
        """Leaves the bus now and comes back after delay_ms as a new device."""
        self.unplug(device)
        GLib.timeout_add(max(1, delay_ms), self._replug, device)

    @locked
    def _replug(self, device):
        if device.node is None and device.wanted():
            self.plug(device)
        elif device.node is None:
            return True  # not ready to come back yet: try again shortly
        return False

    def close(self):
        for device in self.devices:
            device.close()
        self.testbed = None
