#!/usr/bin/env python3
"""share: one process serves a module attached by USB, others reach it
through that process's local network server as an AETHER link.

    share.py serve 40F5849A [SECONDS]   serves until standard input closes
                                        or SECONDS (default 60) have passed
    share.py reach 40F5849A             in another process: reads the module
"""

import sys
import threading

import corvestel


def serve(serial, seconds):
    try:
        module = corvestel.Module.connect(serial, transport="usb", share=True)
    except corvestel.Error as e:
        print("cannot serve %08X: %s" % (serial, e), file=sys.stderr)
        return 1
    with module:
        print("serving %08X on port %d" % (serial, module.port), flush=True)
        # The server lives as long as this connection.
        closed = threading.Event()
        reader = threading.Thread(target=lambda: (sys.stdin.read(), closed.set()), daemon=True)
        reader.start()
        closed.wait(seconds)
    print("stopped serving %08X" % serial, flush=True)
    return 0


def reach(serial):
    try:
        with corvestel.Module.connect(serial, transport="aether") as module:
            print("reached %s through the server: uptime %s" % (module.serial_text, module.uptime))
    except corvestel.Error as e:
        print("cannot reach %08X through a server: %s" % (serial, e), file=sys.stderr)
        return 1
    return 0


def main(argv):
    if len(argv) < 3 or argv[1] not in ("serve", "reach"):
        print("usage: share.py serve SERIAL [SECONDS] | share.py reach SERIAL", file=sys.stderr)
        return 2
    serial = int(argv[2], 16)
    if argv[1] == "serve":
        return serve(serial, float(argv[3]) if len(argv) > 3 else 60)
    return reach(serial)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
