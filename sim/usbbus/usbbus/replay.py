# corvestel-usbbus --replay: the USB modules of a recording, played by
# corvestel-sim --replay. The simulator reads and checks the recording,
# compares what the host sends with it and sends the modules' recorded
# answers; the bus presents each recorded module (its serial-number string
# and product id) and bridges its bulk endpoints to the simulator: the host's
# claim of the interface opens a connection, its release closes it, and a
# connection the simulator closes is the module leaving the bus, to come back
# as a new device (re-enumeration).
import os
import socket
import struct
import subprocess

import gi

gi.require_version("GLib", "2.0")
from gi.repository import GLib  # noqa: E402

from .kind_imxrom import ImxRomDevice  # noqa: E402
from .module import ModuleDevice  # noqa: E402

# How long a boot ROM whose replay has ended waits for the host to read its
# last answers before it leaves the bus.
ROM_LEAVE_MS = 1000


class ReplayModule(ModuleDevice):
    kind = "module"

    def __init__(self, serial, product, port):
        super().__init__([("serial", "0"), ("product", str(product)), ("serialtext", serial),
                          ("reenum", "100")], lambda: ("127.0.0.1", port))
        self.serial_text = serial
        self.ended = False

    def wanted(self):
        # Back on the bus once the pause is over; the connection waits for
        # the host's claim.
        return not self.ended

    def plugged(self):
        self.out_count = 0

    def interface_claimed(self):
        self._connect()

    def interface_released(self):
        self._disconnect()


class ReplayRom(ImxRomDevice):
    """A boot ROM's HID device: the host's reports go to the simulator framed
    "W", length (16 bits, little-endian), report; the ROM's answers come back
    as the device kind's frames. When the simulator closes the connection the
    ROM has jumped: the device leaves the bus once the host has read what
    was sent, and then on_leave() is called."""

    def __init__(self, vendor, product, port, on_leave):
        super().__init__([("pty", "")])
        self.vendor, self.product = vendor, product
        self.port_number = port
        self.on_leave = on_leave
        self.waited = 0

    def open_rom(self):
        s = socket.create_connection(("127.0.0.1", self.port_number), timeout=5)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.setblocking(False)
        return s.detach()

    def host_report(self, report):
        if self.pty is not None:
            try:
                os.write(self.pty, b"W" + struct.pack("<H", len(report)) + report)
            except OSError:
                pass

    def _from_rom(self, fd, condition):
        going = super()._from_rom(fd, condition)
        if not going:
            GLib.timeout_add(10, self._leave_when_read)
        return going

    def _leave_when_read(self):
        self.waited += 10
        if self.reports and self.waited < ROM_LEAVE_MS and not self.gone:
            return True
        if not self.gone:
            self.leave()
            self.on_leave()
        return False


class ReplayProcess:
    """corvestel-sim --replay FILE; its ready report names the USB modules
    ("USB SERIAL PRODUCT PORT"). Its verdict lines are passed on by the bus."""

    def __init__(self, sim, path, options, lifetime, env, preexec):
        args = [sim, "--replay", path, "--lifetime", str(int(lifetime))] + options
        # Unbuffered: what follows the ready report is read by the bus's loop.
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, bufsize=0,
                                     preexec_fn=preexec, env=env)
        self.modules = []  # (serial, product, port)
        self.hid = None    # (vendor, product, port) of a boot ROM's HID device
        self.report = []   # the other lines of the ready report
        for line in iter(self.proc.stdout.readline, b""):
            text = line.decode(errors="replace").rstrip("\n")
            words = text.split()
            if words == ["READY"]:
                break
            if len(words) == 4 and words[0] == "USB":
                self.modules.append((words[1], int(words[2]), int(words[3])))
            elif len(words) == 4 and words[0] == "HID":
                self.hid = (int(words[1]), int(words[2]), int(words[3]))
            else:
                self.report.append(text)
        else:
            self.proc.stdout.close()
            self.status = self.proc.wait()
            return
        self.status = None

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
