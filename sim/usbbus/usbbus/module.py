# A module on the bus: our vendor id, product id = model, serial-number
# string "%08X", the vendor interface 0xFF/0x88/0x10 with one bulk IN and one
# bulk OUT endpoint. Its bulk endpoints are bridged to a module of
# corvestel-sim over the module's TCP port: what the host writes goes to the
# simulator, what the simulator answers waits for the host's IN transfers.
# When the simulator closes the connection (the module starts its loader or
# reboots) the module leaves the bus and comes back as a new device once the
# simulator takes connections again.
import socket

import gi

gi.require_version("GLib", "2.0")
from gi.repository import GLib  # noqa: E402

from .device import Endpoint, Interface, UsbDevice  # noqa: E402
from .lock import locked  # noqa: E402

VENDOR_ID = 0xCE57
VENDOR_INTERFACE = (0xFF, 0x88, 0x10)

# Keys of --module that belong to the bus; every other key goes to the
# simulator.
BUS_KEYS = {
    "packet": "bulk packet size, 64 or 512 (512)",
    "product": "USB product id (the model)",
    "serialtext": "serial-number string (the serial as %08X)",
    "interface": "vendor interface class/subclass/protocol as HEX/HEX/HEX, or none (ff/88/10)",
    "mode": "octal mode of the device node (0666); 0600 keeps other users out",
    "restartmode": "octal mode of the node each time the module comes back after a restart (as mode)",
    "reenum": "milliseconds the module is off the bus when its loader starts or it reboots (200)",
    "unplug": "unplug the module after N bytes written to it (0: never)",
    "replug": "milliseconds after an unplug before it comes back (0: never)",
    "stall": "halt an endpoint once: in@N or out@N, after N bytes moved that way",
    "plugged": "0: off the bus until a device kind plugs it (1)",
}


def parse_keys(text):
    keys = []
    for item in filter(None, text.split(",")):
        if "=" not in item:
            raise ValueError("key without value: %s" % item)
        k, v = item.split("=", 1)
        keys.append((k.strip(), v.strip()))
    return keys


def number(text):
    return int(text, 0)


class ModuleDevice(UsbDevice):
    kind = "module"

    def __init__(self, keys, port_of):
        d = dict(keys)
        self.serial_number = int(d["serial"], 16)
        model = number(d.get("model", "13"))
        packet = number(d.get("packet", "512"))
        interface = d.get("interface", "ff/88/10")
        if interface == "none":
            interfaces = [Interface(0, 0x00, 0x00, 0x00, [Endpoint(0x81, 2, packet), Endpoint(0x02, 2, packet)])]
        else:
            cls, sub, proto = (int(x, 16) for x in interface.split("/"))
            interfaces = [Interface(0, cls, sub, proto, [Endpoint(0x81, 2, packet), Endpoint(0x02, 2, packet)])]
        super().__init__(VENDOR_ID, number(d["product"]) if "product" in d else model,
                         serial=d.get("serialtext", "%08X" % self.serial_number),
                         manufacturer="Corvestel", name=d.get("name", "Corvestel module"),
                         interfaces=interfaces)
        self.node_mode = int(d.get("mode", "0666"), 8)
        self.restart_mode = int(d["restartmode"], 8) if "restartmode" in d else None
        self.reenum_ms = number(d.get("reenum", "200"))
        self.unplug_after = number(d.get("unplug", "0"))
        self.replug_ms = number(d.get("replug", "0"))
        self.stall_switch = None
        if "stall" in d:
            way, at = d["stall"].split("@")
            self.stall_switch = (0x81 if way == "in" else 0x02, number(at))
        self.port_of = port_of  # () -> (host, port) of the simulator's module
        self.conn = None
        self.watch = None
        self.out_count = 0
        self.in_count = 0
        self.unplugged_for_good = False

    # The simulator side.
    def _connect(self):
        if self.conn is not None:
            return True
        try:
            s = socket.create_connection(self.port_of(), timeout=1.0)
        except OSError:
            return False
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.setblocking(False)
        self.conn = s
        self.watch = GLib.io_add_watch(s.fileno(), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR,
                                       self._readable)
        return True

    def _disconnect(self):
        if self.watch is not None:
            GLib.source_remove(self.watch)
            self.watch = None
        if self.conn is not None:
            self.conn.close()
            self.conn = None

    @locked
    def _readable(self, fd, condition):
        try:
            data = self.conn.recv(65536)
        except BlockingIOError:
            return True
        except OSError:
            data = b""
        if not data:
            # The module restarted (loader start or reboot): it leaves the bus
            # and enumerates again.
            self.watch = None
            self._disconnect()
            self.bus.log("restart %s" % self.serial)
            if self.restart_mode is not None:
                self.node_mode = self.restart_mode
            self.bus.reenumerate(self, self.reenum_ms)
            return False
        self.in_count += len(data)
        if self.stall_switch and self.stall_switch[0] == 0x81 and self.in_count >= self.stall_switch[1]:
            self.stall_switch = None
            self.halt(0x81)
        self.send_in(data)
        return True

    def wanted(self):
        """Ready to enumerate: the simulator takes the connection."""
        return not self.unplugged_for_good and self._connect()

    def plugged(self):
        self.out_count = 0
        self._connect()

    def unplugged(self):
        self._disconnect()

    def bulk_out(self, endpoint, data):
        if self.stall_switch and self.stall_switch[0] == 0x02 and self.out_count + len(data) >= self.stall_switch[1]:
            self.stall_switch = None
            self.halt(0x02)
            return -32
        if self.unplug_after and self.out_count + len(data) >= self.unplug_after:
            self.unplug_after = 0
            self.bus.log("pulled %s" % self.serial)
            if self.replug_ms:
                self.bus.reenumerate(self, self.replug_ms)
            else:
                self.unplugged_for_good = True
                self.bus.unplug(self)
            return -19
        self.out_count += len(data)
        if self.conn is not None:
            try:
                self.conn.setblocking(True)
                self.conn.sendall(data)
            except OSError:
                pass
            finally:
                if self.conn is not None:
                    self.conn.setblocking(False)
        return len(data)

    def close(self):
        self._disconnect()


class PlainDevice(UsbDevice):
    """A device with no module behind it: descriptors and strings only
    (a foreign device, or one of ours the client must pass over)."""

    kind = "device"

    def __init__(self, keys):
        d = dict(keys)
        interface = d.get("interface", "none")
        eps = [Endpoint(0x81, 2, 64), Endpoint(0x02, 2, 64)]
        if interface == "none":
            interfaces = [Interface(0, 0x00, 0x00, 0x00, eps)]
        else:
            cls, sub, proto = (int(x, 16) for x in interface.split("/"))
            interfaces = [Interface(0, cls, sub, proto, eps)]
        super().__init__(number(d.get("vendor", "0xFFFF")), number(d.get("product", "1")),
                         serial=d.get("serial"), manufacturer=d.get("manufacturer", "Other"),
                         name=d.get("name", "Other device"), interfaces=interfaces)
        self.node_mode = int(d.get("mode", "0666"), 8)

    def wanted(self):
        return True
