#!/usr/bin/env python3
"""identify: connects to one module by its serial number, over USB or over
TCP/IP, and prints its identity, firmware version and build.

    identify.py USB 40F5849A
    identify.py TCPIP 6A3C0012
"""

import sys

import corvestel


def main(argv):
    if len(argv) != 3 or argv[1] not in ("USB", "TCPIP"):
        print("usage: identify.py USB|TCPIP SERIAL (eight hexadecimal digits)", file=sys.stderr)
        return 2
    serial = int(argv[2], 16)
    try:
        # The connection finds the module by discovery and learns its address.
        with corvestel.Module.connect(serial, transport=argv[1].lower()) as module:
            print("serial   %s" % module.serial_text)
            print("address  %d" % module.module_address)
            print("model    %d (%s)" % (module.model, module.model_name))
            print("version  %s" % module.version)
            print("build    %d" % module.build)
            print("library  %s" % corvestel.library_version)
    except corvestel.Error as e:
        print("cannot identify %08X over %s: %s" % (serial, argv[1], e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
