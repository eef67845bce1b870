# corvestel-usbbus --replay: the USB modules of a recording, played by
# corvestel-sim --replay. The simulator reads and checks the recording,
# compares what the host sends with it and sends the modules' recorded
# answers; the bus presents each recorded module (its serial-number string
# and product id) and bridges its bulk endpoints to the simulator: the host's
# claim of the interface opens a connection, its release closes it, and a
# connection the simulator closes is the module leaving the bus, to come back
# as a new device (re-enumeration).
import subprocess

from .module import ModuleDevice


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


class ReplayProcess:
    """corvestel-sim --replay FILE; its ready report names the USB modules
    ("USB SERIAL PRODUCT PORT"). Its verdict lines are passed on by the bus."""

    def __init__(self, sim, path, options, lifetime, env, preexec):
        args = [sim, "--replay", path, "--lifetime", str(int(lifetime))] + options
        # Unbuffered: what follows the ready report is read by the bus's loop.
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, bufsize=0,
                                     preexec_fn=preexec, env=env)
        self.modules = []  # (serial, product, port)
        self.report = []   # the other lines of the ready report
        for line in iter(self.proc.stdout.readline, b""):
            text = line.decode(errors="replace").rstrip("\n")
            words = text.split()
            if words == ["READY"]:
                break
            if len(words) == 4 and words[0] == "USB":
                self.modules.append((words[1], int(words[2]), int(words[3])))
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
