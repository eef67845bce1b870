# Further device kinds of the bus. Each entry maps an option name (--NAME
# KEYS) to a class or function called as KIND(bus, keys) once the bus is up,
# where keys is the list of (key, value) pairs of KEYS; it creates its
# devices (UsbDevice subclasses, see device.py), puts them on the bus with
# bus.add(device) and may plug and unplug them later (bus.plug, bus.unplug,
# bus.reenumerate). A class's HELP text (one line) is shown by --help.
# Every file kind_*.py of this package is loaded and registers itself here:
#   from .kinds import KINDS
#   KINDS["imxrom"] = ImxRom
import importlib
import os

KINDS = {}


def _load():
    here = os.path.dirname(os.path.abspath(__file__))
    for name in sorted(os.listdir(here)):
        if name.startswith("kind_") and name.endswith(".py"):
            importlib.import_module("." + name[:-3], __package__)


_load()
