"""Type stubs of the corvestel package."""

from ._corvestel import Module as Module, ModuleInfo as ModuleInfo, Sample as Sample, Stream as Stream
from ._corvestel import discover as discover, error_name as error_name, library_version as library_version
from ._errors import (ConnectionError as ConnectionError, Error as Error, NotFoundError as NotFoundError,
                      PermissionError as PermissionError, TimeoutError as TimeoutError)

SYSTEM: int
OPTION_INPUT_VOLTAGE: int
OPTION_INPUT_CURRENT: int
OPTION_UPTIME: int
