"""Corvestel instrument modules from Python.

    import corvestel

    for info in corvestel.discover("usb"):
        print(info.serial_text, info.model_name, info.version)

    with corvestel.Module.connect(0x40F5849A, transport="usb") as m:
        print(m.name, m.version, m.build, m.uptime)
        with m.stream(3, 22, 0) as samples:        # the system entity's uptime
            for sample in samples:
                print(sample.timestamp, sample.value)
                break

Failures raise corvestel.Error (code and name of the library's error), or
one of its subclasses TimeoutError, NotFoundError, PermissionError and
ConnectionError. Every call into the library lets other Python threads run.
"""

import atexit

from ._errors import ConnectionError, Error, NotFoundError, PermissionError, TimeoutError
from ._corvestel import Module, ModuleInfo, Sample, Stream, discover, error_name, library_version
from . import _corvestel

__all__ = [
    "ConnectionError", "Error", "NotFoundError", "PermissionError", "TimeoutError",
    "Module", "ModuleInfo", "Sample", "Stream", "discover", "error_name", "library_version",
    "SYSTEM", "OPTION_UPTIME", "OPTION_INPUT_VOLTAGE", "OPTION_INPUT_CURRENT",
]

# The system entity and a few of its options that modules stream.
SYSTEM = 3
OPTION_INPUT_VOLTAGE = 12
OPTION_INPUT_CURRENT = 21
OPTION_UPTIME = 22

# Open links end before the interpreter does: their callback threads must
# not call into Python once it is gone.
atexit.register(_corvestel._close_all)
