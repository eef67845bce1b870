"""The exceptions of the corvestel package.

Every failure the library reports becomes a corvestel.Error carrying the
library's code (``code``, an int) and its name (``name``, "aErrTimeout").
The common ones have subclasses that also derive from Python's own
exception of the same meaning, so ``except TimeoutError`` catches a module
that did not answer in time.
"""

import builtins


class Error(Exception):
    """A failure reported by the device link library.

    Attributes: ``code`` (the library's error number), ``name`` (its name,
    such as "aErrTimeout") and ``message`` (what went wrong).
    """

    def __init__(self, message, code=34, name="aErrUnknown"):
        # Python's OS errors take (errno, text) pairs: only the message goes
        # to the base classes.
        Exception.__init__(self, message)
        self.args = (message,)
        self.message = message
        self.code = code
        self.name = name

    def __str__(self):
        return self.message

    def __reduce__(self):
        return (type(self), (self.message, self.code, self.name))


class TimeoutError(Error, builtins.TimeoutError):
    """The module did not answer in time (aErrTimeout)."""


class NotFoundError(Error, LookupError):
    """No module with that serial number answered, or no such value (aErrNotFound)."""


class PermissionError(Error, builtins.PermissionError):
    """This user may not open the module (aErrPermission)."""


class ConnectionError(Error, builtins.ConnectionError):
    """The link is not connected, or could not be made (aErrConnection)."""


for _class in (Error, TimeoutError, NotFoundError, PermissionError, ConnectionError):
    _class.__module__ = "corvestel"

# Library codes with an exception of their own.
_BY_CODE = {18: TimeoutError, 3: NotFoundError, 12: PermissionError, 25: ConnectionError}


def _make(code, name, message):
    """The exception for a library code (used by the native part)."""
    return _BY_CODE.get(code, Error)(message, code, name)
