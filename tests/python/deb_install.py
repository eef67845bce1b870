#!/usr/bin/env python3
"""python3-corvestel, built with cpack and installed with the library's
package into a clean root that holds only what they depend on (and Python),
runs the identify example there against the module simulator. A library
or Python module the package forgot to depend on makes the import fail.
Needs root; runs in a private network namespace (tools/netns-run), since
the search multicasts.

Usage: deb_install.py BUILD_DIR
"""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tests", "packaging"))
import deb_install as base  # noqa: E402  (the library packages' own test: its root making)

BUILD = base.BUILD
IFADDR = "198.18.0.1"
EXAMPLES = "/usr/share/doc/python3-corvestel/examples"


def main():
    work = tempfile.mkdtemp(prefix="corvestel-pydeb-")
    sim = None
    try:
        base.sh("cpack", "-G", "DEB", "-B", work, "--config", os.path.join(BUILD, "CPackConfig.cmake"))
        debs = []
        for package in ("libcorvestel0", "python3-corvestel"):
            found = glob.glob(os.path.join(work, package + "_*.deb"))
            if len(found) != 1:
                base.fail("cpack made %r" % glob.glob(os.path.join(work, "*.deb")))
            debs.append(found[0])
        field = ", ".join(base.sh("dpkg-deb", "-f", d, "Depends") for d in debs)
        if "libcorvestel0 (= " not in base.sh("dpkg-deb", "-f", debs[1], "Depends") or "python3" not in field:
            base.fail("python3-corvestel depends on: " + field)
        names = base.depends(", ".join(c for c in field.split(",") if not c.strip().startswith("libcorvestel")))
        root = os.path.join(work, "root")
        packages = base.closure(names + ["dash", "libc-bin", "python3"])
        base.make_root(root, packages)
        r = subprocess.run(["dpkg", "--root=" + root, "--force-bad-path", "-i"] + debs,
                           capture_output=True, text=True)
        if r.returncode != 0:
            base.fail("dpkg --root -i: " + r.stdout + r.stderr)
        for path in ("usr/lib/python3/dist-packages/corvestel/__init__.py",
                     "usr/lib/python3/dist-packages/corvestel/__init__.pyi",
                     "usr/lib/python3/dist-packages/corvestel/py.typed",
                     EXAMPLES.lstrip("/") + "/identify.py"):
            if not os.path.exists(os.path.join(root, path)):
                base.fail("the package did not install /" + path)
        if not glob.glob(os.path.join(root, "usr/lib/python3/dist-packages/corvestel/_corvestel*.so")):
            base.fail("the package did not install the native module")

        ready = os.path.join(work, "sim.ready")
        sim = subprocess.Popen([os.path.join(BUILD, "sim", "corvestel-sim"), "--lifetime", "120",
                                "--bind", IFADDR, "--discovery", IFADDR, "--ready-file", ready,
                                "--module", "serial=6A3C0012,model=19,name=Relay rack,version=3.0.1,build=6002"],
                               stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(ready) and sim.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if not os.path.exists(ready):
            base.fail("the module simulator did not start")
        chroot = shutil.which("chroot") or "/usr/sbin/chroot"
        env = {"PATH": "/usr/bin:/bin", "HOME": "/tmp"}
        r = subprocess.run([chroot, root, "/usr/bin/python3", EXAMPLES + "/identify.py", "TCPIP", "6A3C0012"],
                           capture_output=True, text=True, env=env, timeout=120)
        if r.returncode != 0 or "version  3.0.1" not in r.stdout or "build    6002" not in r.stdout:
            base.fail("identify.py in the clean root: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
        print("python3-corvestel (%d packages in the clean root) installs and runs" % len(packages))
    finally:
        if sim and sim.poll() is None:
            sim.terminate()
            sim.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
