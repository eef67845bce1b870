#!/usr/bin/env python3
"""Scenarios the tests run on the simulated USB bus (the bus starts this
under its preload, so the library's libusb sees the bus). Each prints one
JSON line with what it saw.

    usb_scenarios.py identify SERIAL
    usb_scenarios.py refused SERIAL
    usb_scenarios.py share SERIAL       serves it, reaches it from a second process
    usb_scenarios.py reach SERIAL       the second process
"""

import json
import os
import subprocess
import sys

import corvestel

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                        "examples", "python")


def describe_error(e):
    return {"class": type(e).__name__, "code": e.code, "name": e.name, "message": str(e),
            "is_builtin_permission": isinstance(e, PermissionError)}


def identify(serial):
    found = corvestel.discover("usb")
    listed = [{"serial": i.serial, "serial_text": i.serial_text, "model": i.model, "model_name": i.model_name,
               "version": i.version, "version_tuple": list(i.version_tuple or ()), "build": i.build,
               "name": i.name, "link_type": i.link_type, "module_address": i.module_address} for i in found]
    with corvestel.Module.connect(serial, transport="usb") as m:
        module = {"serial": m.serial, "version": m.version, "build": m.build, "name": m.name,
                  "link_type": m.link_type, "connected": m.connected}
    return {"discovered": listed, "module": module, "closed": not m.connected}


def refused(serial):
    try:
        corvestel.Module.connect(serial, transport="usb")
    except corvestel.Error as e:
        return {"error": describe_error(e), "discovered": [i.serial for i in corvestel.discover("usb")]}
    return {"error": None}


def share(serial):
    with corvestel.Module.connect(serial, transport="usb", share=True) as m:
        port = m.port
        servers = [{"serial": i.serial, "link_type": i.link_type, "version": i.version}
                   for i in corvestel.discover("aether")]
        reached = subprocess.run([sys.executable, os.path.abspath(__file__), "reach", "%08X" % serial],
                                 capture_output=True, text=True, timeout=60)
        example = subprocess.run([sys.executable, os.path.join(EXAMPLES, "share.py"), "reach", "%08X" % serial],
                                 capture_output=True, text=True, timeout=60)
        # The module still answers its own link after the other process left.
        own = m.serial
    lines = [l for l in reached.stdout.splitlines() if l.startswith("{")]
    return {"port": port, "servers": servers, "own": own, "example": [example.returncode, example.stdout],
            "reached": json.loads(lines[-1]) if lines else reached.stderr}


def reach(serial):
    with corvestel.Module.connect(serial, transport="aether") as m:
        return {"serial": m.serial, "link_type": m.link_type, "uptime": m.uptime}


def main():
    what, serial = sys.argv[1], int(sys.argv[2], 16)
    print(json.dumps({"identify": identify, "refused": refused, "share": share, "reach": reach}[what](serial)),
          flush=True)


if __name__ == "__main__":
    main()
