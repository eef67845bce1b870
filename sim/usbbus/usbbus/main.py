# Command line of corvestel-usbbus: starts corvestel-sim for the modules,
# puts them (and any plain devices) on the bus, runs the command under the
# umockdev preload and ends with the command's exit status.
import ctypes
import gc
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import gi

gi.require_version("GLib", "2.0")
from gi.repository import GLib  # noqa: E402

from .bus import Bus  # noqa: E402
from .module import BUS_KEYS, ModuleDevice, PlainDevice, parse_keys  # noqa: E402
from .replay import ReplayModule, ReplayProcess, ReplayRom  # noqa: E402
from . import kinds  # noqa: E402

PRELOAD = "libumockdev-preload.so.0"

HELP = """corvestel-usbbus: simulated modules on a simulated USB bus under the real libusb.

Usage: corvestel-usbbus [OPTIONS] --module KEYS [--behind KEYS] ... [-- COMMAND ARGS...]
       corvestel-usbbus [OPTIONS] --replay FILE [--speed recorded|max] [-- COMMAND ARGS...]

Runs COMMAND (with its arguments) under the umockdev preload, so that its
libusb sees the devices of the bus, and ends with COMMAND's exit status.
Without a command the bus stays up (until --lifetime, SIGTERM or SIGINT) and
prints the variables a program needs to reach it.

Options:
  --module KEYS     a module on the bus, played by corvestel-sim: the keys of
                    corvestel-sim's --module (serial=HEX required), and these
                    keys of the bus itself:
%(bus_keys)s
                    load= and reboot= default to drop (the module leaves the
                    bus when its loader starts and when it reboots, as
                    hardware does); load=keep keeps it on the bus.
  --behind KEYS     a module on the I2C network of the --module before it
                    (corvestel-sim's --behind)
  --device KEYS     a device with no module behind it: vendor=N (0xFFFF),
                    product=N (1), serial=TEXT (none), interface=HEX/HEX/HEX
                    or none (none), mode=OCTAL (0666)
%(kinds)s  --replay FILE     play the USB modules (and a boot ROM's HID device) of an
                    Updater --record recording: corvestel-sim --replay
                    compares what the host sends with the recording, sends
                    the recorded answers and plays the recorded update
                    server; each recorded module is on the bus, leaves it
                    and comes back where the recording shows it. A word of
                    COMMAND holding {http} gets the update server's address
                    in its place (give -u {http}/cgi/u). Prints the
                    replay's last line ("replay complete: N records",
                    "replay diverged at record N: ...") and ends with its
                    status (0 done as recorded, 1 diverged, 2 a recording
                    it refuses)
  --speed MODE      with --replay: recorded (the recorded pace) or max
  --discovery ADDR  with --replay: corvestel-sim's --discovery
  --sim PATH        corvestel-sim to run (next to this program's build, or
                    $CORVESTEL_SIM)
  --sim-option OPT  pass OPT to corvestel-sim (repeatable), e.g. --trace=PATH
  --flash-dir DIR   corvestel-sim's --flash-dir
  --trace PATH      corvestel-sim's --trace
  --log PATH        bus events, one line each: "plug KIND SERIAL NODE",
                    "unplug KIND SERIAL NODE", "restart SERIAL", "pulled SERIAL"
  --ready-file PATH written (atomically) once the devices are on the bus:
                    "UMOCKDEV_DIR PATH" and "READY"
  --user NAME       run COMMAND as this user (from root)
  --lifetime SEC    end by itself after this long (600), ending COMMAND too
  --help            this text

Environment: CORVESTEL_USBBUS_DEBUG=1 writes every bulk transfer and
discard to standard error, with the time since the start.
"""


def _usage():
    lines = []
    for k, v in BUS_KEYS.items():
        lines.append("                      %-10s %s" % (k + "=", v))
    kind_lines = "".join("  --%-15s %s\n" % (name + " KEYS", k.HELP) for name, k in kinds.KINDS.items())
    return HELP % {"bus_keys": "\n".join(lines), "kinds": kind_lines}


def _default_sim():
    if os.environ.get("CORVESTEL_SIM"):
        return os.environ["CORVESTEL_SIM"]
    here = os.path.dirname(os.path.realpath(sys.argv[0]))
    for candidate in (os.path.join(here, "..", "corvestel-sim"),
                      os.path.join(here, "..", "..", "build", "sim", "corvestel-sim")):
        if os.path.exists(candidate):
            return os.path.realpath(candidate)
    return "corvestel-sim"


def _die_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Options:
    def __init__(self):
        self.modules = []  # [(keys, [behind keys...])]
        self.devices = []  # [keys]
        self.extra = []    # [(kind name, keys)]
        self.sim = None
        self.sim_options = []
        self.log = None
        self.ready = None
        self.user = None
        self.lifetime = 600.0
        self.command = []
        self.replay = None
        self.speed = "recorded"
        self.discovery = None


def parse(argv):
    o = Options()
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            o.command = argv[i + 1:]
            break
        if a in ("-h", "--help"):
            print(_usage(), end="")
            sys.exit(0)
        value = None
        if "=" in a and a.startswith("--"):
            a, value = a.split("=", 1)
        if value is None:
            if i + 1 >= len(argv):
                raise ValueError("%s needs a value" % a)
            value = argv[i + 1]
            i += 1
        i += 1
        name = a[2:]
        if a == "--module":
            o.modules.append((value, []))
        elif a == "--behind":
            if not o.modules:
                raise ValueError("--behind needs a --module before it")
            o.modules[-1][1].append(value)
        elif a == "--device":
            o.devices.append(value)
        elif name in kinds.KINDS:
            o.extra.append((name, value))
        elif a == "--replay":
            o.replay = value
        elif a == "--speed":
            if value not in ("recorded", "max"):
                raise ValueError("--speed is recorded or max")
            o.speed = value
        elif a == "--discovery":
            o.discovery = value
        elif a == "--sim":
            o.sim = value
        elif a == "--sim-option":
            o.sim_options.append(value)
        elif a == "--flash-dir":
            o.sim_options.append("--flash-dir=" + value)
        elif a == "--trace":
            o.sim_options.append("--trace=" + value)
        elif a == "--log":
            o.log = value
        elif a == "--ready-file":
            o.ready = value
        elif a == "--user":
            o.user = value
        elif a == "--lifetime":
            o.lifetime = float(value)
        else:
            raise ValueError("unknown option %s" % a)
    return o


class SimProcess:
    """corvestel-sim playing the bus's modules; ends when the bus ends."""

    def __init__(self, path, modules, options, lifetime):
        self.work = tempfile.mkdtemp(prefix="usbbus-sim-")
        ready = os.path.join(self.work, "ready")
        args = [path, "--ready-file", ready, "--lifetime", str(int(lifetime) + 5), "--control-stdin"]
        for opt in options:
            if "=" in opt and opt.startswith("--"):
                args += opt.split("=", 1)
            else:
                args.append(opt)
        for keys, behind in modules:
            args += ["--module", keys]
            for b in behind:
                args += ["--behind", b]
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     preexec_fn=_die_with_parent, env=_plain_env())
        self.ports = {}
        for line in self.proc.stdout:
            words = line.decode().split()
            if words and words[0] == "MODULE" and words[2] == "tcp":
                self.ports[int(words[1], 16)] = (words[3], int(words[4]))
            if words == ["READY"]:
                break
        else:
            raise RuntimeError("corvestel-sim did not become ready")
        # Its standard output is no longer read: send it nowhere.
        self.proc.stdout.close()

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.work, ignore_errors=True)


def _sim_keys(keys):
    """The module's keys for the simulator: the bus's own keys taken out,
    link=tcp and the re-enumerating defaults added."""
    pairs = parse_keys(keys)
    names = {k for k, _ in pairs}
    out = [(k, v) for k, v in pairs if k not in BUS_KEYS]
    if "load" not in names:
        out.append(("load", "drop"))
    if "reboot" not in names:
        out.append(("reboot", "drop"))
    out = [(k, v) for k, v in out if k != "link"] + [("link", "tcp")]
    return ",".join("%s=%s" % kv for kv in out), pairs


def _plain_env():
    # The bus runs under the preload; what it starts gets the caller's own.
    env = dict(os.environ)
    env.pop("UMOCKDEV_DIR", None)
    env["LD_PRELOAD"] = env.pop("CORVESTEL_USBBUS_PRELOAD", "")
    if not env["LD_PRELOAD"]:
        del env["LD_PRELOAD"]
    return env


def _command_env(bus):
    env = _plain_env()
    env.update(bus.environment())
    preload = env.get("LD_PRELOAD", "")
    # A sanitizer runtime already preloaded stays first.
    env["LD_PRELOAD"] = (preload + " " + PRELOAD).strip()
    asan = env.get("ASAN_OPTIONS", "")
    if "verify_asan_link_order" not in asan:
        env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
    return env


def _start_replay(o, bus, loop, status):
    """Starts corvestel-sim --replay and puts the recording's USB modules on
    the bus. The simulator's verdict is printed as it comes; when it has
    ended, the modules leave the bus for good."""
    options = ["--speed", o.speed] + (["--discovery", o.discovery] if o.discovery else [])
    replay = ReplayProcess(o.sim or _default_sim(), o.replay, options, o.lifetime, _plain_env(),
                           _die_with_parent)
    if replay.status is not None:
        return replay
    modules = [ReplayModule(serial, product, port) for serial, product, port in replay.modules]
    # A boot ROM on USB comes first: the modules (its loader) come onto the
    # bus once it has jumped and left.
    rom = None
    for m in modules:
        bus.add(m, plugged=replay.hid is None)
    if replay.hid is not None:
        def plug_modules():
            for m in modules:
                if not m.ended:
                    bus.plug(m)
            return False

        vendor, product, port = replay.hid
        rom = ReplayRom(vendor, product, port, lambda: GLib.timeout_add(100, plug_modules))
        rom.plug(bus)

    def verdict(fd, condition):
        data = os.read(fd, 4096) if condition & GLib.IO_IN else b""
        if data:
            sys.stdout.write(data.decode(errors="replace"))
            sys.stdout.flush()
            return True
        return False

    def replay_ended(pid, wait_status):
        code = os.waitstatus_to_exitcode(wait_status)
        while verdict(replay.proc.stdout.fileno(), GLib.IO_IN):
            pass
        status["replay"] = code if code >= 0 else 128 - code
        if rom is not None and not rom.gone:
            rom.leave()
        for m in modules:
            m.ended = True
            bus.unplug(m)
        if status.get("done"):
            loop.quit()

    GLib.io_add_watch(replay.proc.stdout.fileno(), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP, verdict)
    GLib.child_watch_add(GLib.PRIORITY_DEFAULT, replay.proc.pid, replay_ended)
    return replay


def main(argv):
    try:
        o = parse(argv)
    except ValueError as e:
        print("corvestel-usbbus: %s (see --help)" % e, file=sys.stderr)
        return 2

    log_file = open(o.log, "a", buffering=1) if o.log else None

    def log(text):
        if log_file:
            log_file.write(text + "\n")

    sim = None
    replay = None
    bus = Bus(log)
    loop = GLib.MainLoop()
    status = {"code": 1}
    try:
        if o.replay:
            replay = _start_replay(o, bus, loop, status)
            if replay.status is not None:
                return replay.status  # the recording was refused: nothing served
        if o.modules:
            sim_modules = []
            parsed = []
            for keys, behind in o.modules:
                sk, pairs = _sim_keys(keys)
                sim_modules.append((sk, behind))
                parsed.append(pairs)
            sim = SimProcess(o.sim or _default_sim(), sim_modules, o.sim_options, o.lifetime)
            for pairs in parsed:
                serial = int(dict(pairs)["serial"], 16)
                bus.add(ModuleDevice(pairs, lambda s=serial: sim.ports[s]),
                        plugged=dict(pairs).get("plugged", "1") != "0")
        for keys in o.devices:
            bus.add(PlainDevice(parse_keys(keys)))
        for name, keys in o.extra:
            kinds.KINDS[name](bus, parse_keys(keys))

        if o.ready:
            tmp = o.ready + ".tmp"
            with open(tmp, "w") as f:
                f.write("UMOCKDEV_DIR %s\n" % bus.root)
                for line in replay.report if replay else ():
                    f.write(line + "\n")
                f.write("READY\n")
            os.rename(tmp, o.ready)

        def stop(*_):
            loop.quit()
            return False

        # A replay bounds itself by the lifetime; the bus outlives it a little.
        GLib.timeout_add(int(o.lifetime * 1000) + (5000 if replay else 0), stop)
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, stop)
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGINT, stop)

        child = None
        if o.command:
            command = list(o.command)
            if replay is not None:
                # The replay's update server: the recorded path goes after it.
                http = next((line[5:] for line in replay.report if line.startswith("HTTP ")), "")
                command = [word.replace("{http}", http) for word in command]
            if o.user:
                command = ["setpriv", "--reuid=" + o.user, "--regid=" + o.user, "--clear-groups",
                           "--"] + command
            child = subprocess.Popen(command, env=_command_env(bus), preexec_fn=_die_with_parent)

            def ended(pid, wait_status):
                status["code"] = os.waitstatus_to_exitcode(wait_status)
                if status["code"] < 0:
                    status["code"] = 128 - status["code"]
                status["done"] = True
                # A replay ends when it has seen all the host did.
                if replay is None or "replay" in status:
                    loop.quit()

            GLib.child_watch_add(GLib.PRIORITY_DEFAULT, child.pid, ended)
        else:
            print("UMOCKDEV_DIR=%s" % bus.root, flush=True)
            status["code"] = 0
            status["done"] = True
        if replay is None or "replay" not in status:
            loop.run()
        if child is not None and not status.get("done"):
            child.terminate()
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
            print("corvestel-usbbus: the command was stopped", file=sys.stderr)
            status["code"] = 124
        if replay is not None:
            return status.get("replay", 124)
    finally:
        if replay:
            replay.close()
        bus.close()
        if sim:
            sim.close()
        # The testbed takes its folder away when it goes.
        bus = None
        gc.collect()
    return status["code"]
