# A USB device as the host sees it: descriptors, string descriptors, the
# standard control requests, and bulk endpoints whose traffic a subclass
# serves. The usbfs node (usbfs.py) calls into it; a subclass that has bytes
# for the host appends them with send_in() and the node hands them to the
# pending IN transfers.
import struct

# Standard requests and descriptor types.
GET_STATUS, CLEAR_FEATURE, SET_FEATURE = 0, 1, 3
GET_DESCRIPTOR, GET_CONFIGURATION, SET_CONFIGURATION = 6, 8, 9
GET_INTERFACE, SET_INTERFACE = 10, 11
DT_DEVICE, DT_CONFIG, DT_STRING, DT_INTERFACE, DT_ENDPOINT = 1, 2, 3, 4, 5

LANGID_EN_US = 0x0409


class Endpoint:
    def __init__(self, address, attributes=2, packet=64, interval=0):
        self.address = address
        self.attributes = attributes  # 2 bulk, 3 interrupt
        self.packet = packet
        self.interval = interval

    def descriptor(self):
        return struct.pack("<BBBBHB", 7, DT_ENDPOINT, self.address, self.attributes, self.packet, self.interval)


class Interface:
    def __init__(self, number, cls, subclass, protocol, endpoints, string=0, extra=b""):
        self.number = number
        self.cls, self.subclass, self.protocol = cls, subclass, protocol
        self.endpoints = endpoints
        self.string = string
        self.extra = extra  # class descriptors between the interface and its endpoints (HID)

    def descriptor(self):
        d = struct.pack("<BBBBBBBBB", 9, DT_INTERFACE, self.number, 0, len(self.endpoints),
                        self.cls, self.subclass, self.protocol, self.string)
        return d + self.extra + b"".join(e.descriptor() for e in self.endpoints)


class UsbDevice:
    """One device on the bus. Subclasses set the identity in __init__ and
    override bulk_out() (and, if they like, vendor_control()); the bus calls
    plugged()/unplugged() as it adds and removes the device."""

    kind = "device"

    def __init__(self, vendor, product, serial=None, manufacturer="Corvestel", name="Module",
                 interfaces=(), bcd_usb=0x0200, device_class=0, bcd_device=0x0100):
        self.vendor, self.product = vendor, product
        self.bcd_usb, self.bcd_device = bcd_usb, bcd_device
        self.device_class = device_class
        self.interfaces = list(interfaces)
        self.strings = {}  # index -> text
        self.i_manufacturer = self._string(manufacturer)
        self.i_product = self._string(name)
        self.i_serial = self._string(serial)
        self.serial = serial
        self.node = None  # the usbfs node while plugged
        self.bus = None
        self.stall = set()  # endpoint addresses that are halted
        self.node_mode = 0o666
        self.ep0_packet = 64

    def _string(self, text):
        if text is None:
            return 0
        index = len(self.strings) + 1
        self.strings[index] = text
        return index

    # Descriptors.
    def device_descriptor(self):
        return struct.pack("<BBHBBBBHHHBBBB", 18, DT_DEVICE, self.bcd_usb, self.device_class, 0, 0,
                           self.ep0_packet, self.vendor, self.product, self.bcd_device,
                           self.i_manufacturer, self.i_product, self.i_serial, 1)

    def config_descriptor(self):
        body = b"".join(i.descriptor() for i in self.interfaces)
        return struct.pack("<BBHBBBBB", 9, DT_CONFIG, 9 + len(body), len(self.interfaces), 1, 0, 0x80, 50) + body

    def descriptors(self):
        """What sysfs shows as the "descriptors" attribute."""
        return self.device_descriptor() + self.config_descriptor()

    def string_descriptor(self, index):
        if index == 0:
            return struct.pack("<BBH", 4, DT_STRING, LANGID_EN_US)
        text = self.strings.get(index)
        if text is None:
            return None
        body = text.encode("utf-16-le")
        return struct.pack("<BB", 2 + len(body), DT_STRING) + body

    def endpoint(self, address):
        for i in self.interfaces:
            for e in i.endpoints:
                if e.address == address:
                    return e
        return None

    # Control transfers: returns (status, bytes), status 0 or a negative errno
    # (-32, EPIPE, is a stall).
    def control(self, request_type, request, value, index, length, data):
        if request_type == 0x80 and request == GET_DESCRIPTOR:
            kind, number = value >> 8, value & 0xFF
            if kind == DT_DEVICE:
                return 0, self.device_descriptor()[:length]
            if kind == DT_CONFIG and number == 0:
                return 0, self.config_descriptor()[:length]
            if kind == DT_STRING:
                s = self.string_descriptor(number)
                if s is not None:
                    return 0, s[:length]
            return -32, b""
        if request_type == 0x80 and request == GET_STATUS:
            return 0, b"\x00\x00"[:length]
        if request_type == 0x80 and request == GET_CONFIGURATION:
            return 0, b"\x01"[:length]
        if request_type == 0x00 and request == SET_CONFIGURATION:
            return 0, b""
        if request_type == 0x02 and request == CLEAR_FEATURE:
            self.stall.discard(index & 0xFF)
            return 0, b""
        if request_type & 0x60 == 0x40:
            return self.vendor_control(request_type, request, value, index, length, data)
        if request_type & 0x60 == 0x20:
            return self.class_control(request_type, request, value, index, length, data)
        return -32, b""

    def vendor_control(self, request_type, request, value, index, length, data):
        return -32, b""

    def class_control(self, request_type, request, value, index, length, data):
        return -32, b""

    # Bulk and interrupt traffic.
    def bulk_out(self, endpoint, data):
        """Bytes the host sent; returns how many were taken, or a negative
        errno (-32 stall)."""
        return len(data)

    def send_in(self, data):
        """Bytes for the host's IN transfers."""
        if self.node is not None:
            self.node.send_in(data)

    def halt(self, endpoint):
        self.stall.add(endpoint)

    def plugged(self):
        pass

    def unplugged(self):
        pass

    def client_opened(self):
        pass

    def interface_claimed(self):
        """A program claimed an interface of the device (its first)."""

    def interface_released(self):
        """The program that claimed it released its last interface or
        closed the node."""

    def close(self):
        pass
