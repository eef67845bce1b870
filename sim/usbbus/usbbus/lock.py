# umockdev answers the device nodes' calls on a worker thread of its own,
# while the bus's main loop serves the simulator's sockets and the timers;
# everything that touches the bus's state runs under this one lock.
import functools
import threading

BUS_LOCK = threading.RLock()


def locked(function):
    @functools.wraps(function)
    def run(*args, **kwargs):
        with BUS_LOCK:
            return function(*args, **kwargs)
    return run
