#!/usr/bin/env python3
"""Which floor may include which: fails, naming the file and line, when a
unit includes one above it.

  base/       the trace, the display interface, the text guard: nothing else
  link/, transport/  the library: each other, never the program's floors;
              the engine (link/) never the network server, which is built
              on it
  store/, server/, recovery/  the library and base/
  updater/    all of those, but not the USB driver's internals (transport/
              cvusb_*): it waits for modules through link/
  app/        anything

Usage: layers.py SOURCE_DIR
"""
import os
import re
import sys

FLOORS = ["base", "link", "transport", "store", "server", "recovery", "updater", "app"]

# The floors each floor may include (its own always).
ALLOWED = {
    "base": set(),
    "link": {"transport"},
    "transport": {"link"},
    "store": {"base", "link", "transport"},
    "server": {"base", "link", "transport"},
    "recovery": {"base", "link", "transport"},
    "updater": {"base", "link", "transport", "store", "server", "recovery"},
    "app": set(FLOORS),
}

# Single headers a floor may not include although it may include their floor.
FORBIDDEN = {
    "link": [re.compile(r"^transport/aServer_ZeroMQ\.h$")],
    "updater": [re.compile(r"^transport/cvusb_")],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def check(root):
    faults = []
    for floor in FLOORS:
        top = os.path.join(root, floor)
        for folder, _, names in os.walk(top):
            for name in sorted(names):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m or "/" not in m.group(1):
                            continue
                        target = m.group(1)
                        other = target.split("/", 1)[0]
                        if other not in FLOORS or other == floor and not FORBIDDEN.get(floor):
                            continue
                        bad = other != floor and other not in ALLOWED[floor]
                        bad = bad or any(p.match(target) for p in FORBIDDEN.get(floor, []))
                        if bad:
                            faults.append("%s:%d: %s/ includes %s" %
                                          (os.path.relpath(path, root), number, floor, target))
    return faults


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    faults = check(sys.argv[1])
    for fault in faults:
        print(fault)
    if faults:
        print("%d include(s) look up a floor" % len(faults))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
