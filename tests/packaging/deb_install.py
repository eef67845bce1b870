#!/usr/bin/env python3
"""The Debian packages, built and installed into a clean root, run there.

Builds the packages with cpack (corvestel-updater, libcorvestel0,
libcorvestel-dev), makes a root that holds nothing but the packages they
depend on (with their own dependencies, copied from this Debian 12 system, a
shell for the maintainer script, and a C++ compiler with pkg-config for the
development package), installs the .debs into it with dpkg --root (which
checks every Depends against that root), and runs the installed Updater
there with chroot: -h, and the TCPIP discovery against the module
simulator; then builds the identify example there with pkg-config and runs
it. Any library a package forgot to depend on makes a program fail to
start. Needs root (or a user namespace) and runs
in a private network namespace (tools/netns-run), since the search
multicasts.

Usage: deb_install.py BUILD_DIR
"""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
IFADDR = "198.18.0.1"
# Always present on Debian: the shell that runs maintainer scripts and
# ldconfig, which the library's package runs. And what a user of the
# development package builds with.
BASE = ["dash", "libc-bin", "g++", "pkg-config"]
PACKAGES = ("corvestel-updater", "libcorvestel0", "libcorvestel-dev")


def sh(*argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, text=True, **kwargs).stdout


def fail(text):
    sys.stderr.write("FAIL: " + text + "\n")
    sys.exit(1)


def installed(name):
    r = subprocess.run(["dpkg-query", "-W", "-f", "${Status}", name], capture_output=True, text=True)
    return r.returncode == 0 and r.stdout.endswith("install ok installed")


def depends(field):
    """Package names of a Depends field; of alternatives the first installed."""
    names = []
    for clause in filter(None, (c.strip() for c in field.split(","))):
        options = [re.sub(r"[\s(:].*", "", o.strip()) for o in clause.split("|")]
        chosen = next((o for o in options if installed(o)), None)
        if chosen is None:
            fail("no installed package satisfies [%s]" % clause)
        names.append(chosen)
    return names


def closure(roots):
    seen, todo = [], list(roots)
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.append(name)
        fields = sh("dpkg-query", "-W", "-f", "${Depends}, ${Pre-Depends}", name)
        todo.extend(depends(fields))
    return seen


def copy_package(name, root):
    for path in sh("dpkg-query", "-L", name).splitlines():
        if not path.startswith("/") or path.startswith(("/usr/share/doc", "/usr/share/man", "/usr/share/locale")):
            continue
        target = root + path
        if os.path.islink(path):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if not os.path.lexists(target):
                os.symlink(os.readlink(path), target)
        elif os.path.isdir(path):
            os.makedirs(target, exist_ok=True)
        elif os.path.isfile(path):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(path, target)


def make_root(root, packages):
    # Debian 12's merged /usr: /bin, /lib, /lib64 and /sbin lead into /usr.
    for d in ("usr/bin", "usr/sbin", "usr/lib", "usr/lib64", "etc", "tmp", "var/lib/dpkg/info",
              "var/lib/dpkg/updates", "var/lib/dpkg/triggers"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for link in ("bin", "sbin", "lib", "lib64"):
        os.symlink("usr/" + link, os.path.join(root, link))
    status = []
    for name in packages:
        copy_package(name, root)
        status.append(sh("dpkg-query", "-s", name).rstrip("\n"))
    with open(os.path.join(root, "var/lib/dpkg/status"), "w") as f:
        f.write("\n\n".join(status) + "\n")
    open(os.path.join(root, "var/lib/dpkg/available"), "w").close()


def main():
    work = tempfile.mkdtemp(prefix="updater-deb-")
    sim = server = None
    try:
        sh("cpack", "-G", "DEB", "-B", work, "--config", os.path.join(BUILD, "CPackConfig.cmake"))
        debs = []
        for package in PACKAGES:
            found = glob.glob(os.path.join(work, package + "_*.deb"))
            if len(found) != 1:
                fail("cpack made %r" % glob.glob(os.path.join(work, "*.deb")))
            debs.append(found[0])
        deb = debs[0]
        field = ", ".join(sh("dpkg-deb", "-f", d, "Depends") for d in debs[:2])
        # The system's packages; the library's own package comes from here.
        names = depends(", ".join(c for c in field.split(",") if not c.strip().startswith("libcorvestel")))
        for wanted in ("libusb-1.0-0", "libhidapi-hidraw0", "libcurl4", "zlib1g", "libzmq5", "libczmq4"):
            if wanted not in names:
                fail("Depends lacks %s: %s" % (wanted, field))
        if not re.match(r"libcorvestel0 \(= ", sh("dpkg-deb", "-f", debs[2], "Depends")) or \
                "libcorvestel0 (= " not in sh("dpkg-deb", "-f", deb, "Depends"):
            fail("the packages do not depend on the library of their own version")

        root = os.path.join(work, "root")
        packages = closure(names + BASE)
        make_root(root, packages)
        # dpkg checks every Depends against the root's own status; it looks
        # for ldconfig and start-stop-daemon on its PATH, which this small
        # root need not have.
        r = subprocess.run(["dpkg", "--root=" + root, "--force-bad-path", "-i"] + debs,
                           capture_output=True, text=True)
        if r.returncode != 0:
            fail("dpkg --root -i: " + r.stdout + r.stderr)
        for path in ("usr/bin/Updater", "usr/bin/birdtool", "usr/lib/udev/rules.d/70-corvestel.rules",
                     "usr/share/man/man1/Updater.1.gz", "usr/share/bash-completion/completions/Updater",
                     # the library, and its ZeroMQ code in a folder beside it
                     "usr/lib/libcorvestel.so.0", "usr/lib/corvestel/libcorvestel_zmq.so",
                     "usr/include/corvestel/corvestel.h", "usr/lib/pkgconfig/corvestel.pc",
                     "usr/lib/cmake/Corvestel/CorvestelConfig.cmake",
                     "usr/share/doc/corvestel/examples/identify.cpp",
                     # the server program, its manual page and unit template
                     "usr/bin/corvestel-serve", "usr/share/man/man1/corvestel-serve.1.gz",
                     "usr/lib/systemd/system/corvestel-serve@.service"):
            if not os.path.exists(os.path.join(root, path)):
                fail("the package did not install /" + path)

        env = {"PATH": "/usr/bin:/bin", "HOME": "/tmp"}
        chroot = shutil.which("chroot") or "/usr/sbin/chroot"

        def updater(*words):
            r = subprocess.run([chroot, root, "/usr/bin/Updater"] + list(words), capture_output=True,
                               text=True, env=env, timeout=120)
            # A part of the program that is loaded at run time and missing
            # from the package says so on standard error.
            if "Cannot load" in r.stderr or "cannot open shared object" in r.stderr:
                fail("Updater %s in the clean root: %s" % (" ".join(words), r.stderr))
            return r

        # The plugin is loaded only by runs that need ZeroMQ: its own
        # libraries must be in the root all the same.
        loader = [l for l in ("/lib64/ld-linux-x86-64.so.2", "/lib/ld-linux-aarch64.so.1")
                  if os.path.exists(os.path.join(root, l.lstrip("/")))]
        if loader:
            r = subprocess.run([chroot, root, loader[0], "--list", "/usr/lib/corvestel/libcorvestel_zmq.so"],
                               capture_output=True, text=True, env=env, timeout=60)
            if r.returncode != 0 or "not found" in r.stdout or "libczmq" not in r.stdout:
                fail("the plugin's libraries in the clean root: " + r.stdout + r.stderr)
        r = updater("-h")
        if r.returncode != 0 or r.stdout != "Updater (Version: 2.11.3 Jun  6 2025)\n" or \
                "Application Usage:" not in r.stderr:
            fail("Updater -h in the clean root: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))

        # The server program runs, and its unit names it where it is.
        r = subprocess.run([chroot, root, "/usr/bin/corvestel-serve", "--help"], capture_output=True, text=True,
                           env=env, timeout=60)
        if r.returncode != 0 or "corvestel-serve -d SERIAL" not in r.stdout:
            fail("corvestel-serve --help in the clean root: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
        with open(os.path.join(root, "usr/lib/systemd/system/corvestel-serve@.service")) as f:
            if "ExecStart=/usr/bin/corvestel-serve -d %i --foreground" not in f.read():
                fail("the unit does not start /usr/bin/corvestel-serve")

        ready = os.path.join(work, "sim.ready")
        sim = subprocess.Popen([os.path.join(BUILD, "sim", "corvestel-sim"), "--lifetime", "120",
                                "--bind", IFADDR, "--discovery", IFADDR, "--ready-file", ready,
                                "--module", "serial=6A3C0012,model=19,name=Relay rack,version=3.0.1,build=6002",
                                "--module", "serial=D272031D,model=17,name=Demo router",
                                "--behind", "serial=2181F0EE,model=13,address=4,version=2.15.2,build=5011"],
                               stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(ready) and sim.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if not os.path.exists(ready):
            fail("the module simulator did not start")
        r = updater("-D", "-t", "TCPIP", "-i", "/tmp/store")
        if r.returncode != 0 or "    6A3C0012  " not in r.stdout or "Relay rack" not in r.stdout:
            fail("Updater -D -t TCPIP in the clean root: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
        # A program of the user's own, built against the development package.
        build = "g++ -std=c++17 -Wall -Werror -o /tmp/identify /usr/share/doc/corvestel/examples/identify.cpp " \
                "$(pkg-config --cflags --libs corvestel)"
        r = subprocess.run([chroot, root, "/bin/sh", "-c", build], capture_output=True, text=True, env=env,
                           timeout=300)
        if r.returncode != 0:
            fail("building identify in the clean root: " + r.stdout + r.stderr)
        r = subprocess.run([chroot, root, "/tmp/identify", "TCPIP", "6A3C0012"], capture_output=True, text=True,
                           env=env, timeout=60)
        if r.returncode != 0 or "version  3.0.1" not in r.stdout or "build    6002" not in r.stdout:
            fail("identify in the clean root: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
        # The demo's discoveries: the network, and the modules behind a router.
        r = updater("--json", "-D", "-t", "TCPIP", "-i", "/tmp/store")
        devices = json.loads(r.stdout)["discover"]["devices"]
        if sorted(d["serial"] for d in devices) != ["6A3C0012", "D272031D"]:
            fail("--json -D -t TCPIP in the clean root: " + r.stdout)
        r = updater("-D", "-r", "D272031D", "-i", "/tmp/store")
        if r.returncode != 0 or "    2181F0EE  " not in r.stdout or "2.15.2 (      5011)" not in r.stdout:
            fail("Updater -D -r in the clean root: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
        # The update server over HTTP (libcurl).
        os.makedirs(os.path.join(work, "server", "40F5849A"))
        with open(os.path.join(work, "server", "40F5849A", "builds"), "w") as f:
            f.write("4870;2.14.9\n")
        port_file = os.path.join(work, "server.port")
        server = subprocess.Popen([sys.executable, os.path.join(SOURCE, "sim", "update_server.py"), "--root",
                                   os.path.join(work, "server"), "--port-file", port_file, "--lifetime", "120"],
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file) and server.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        url = "http://127.0.0.1:%s/cgi/u" % open(port_file).read().strip()
        r = updater("-B", "-d", "40F5849A", "-u", url, "-i", "/tmp/store")
        if r.returncode != 0 or "4870           \t2.14.9" not in r.stdout:
            fail("Updater -B in the clean root: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
        print("packages: %s (%d packages in the clean root) install and run" % (
            ", ".join(os.path.basename(d) for d in debs), len(packages)))
    finally:
        for p in (sim, server):
            if p and p.poll() is None:
                p.terminate()
                p.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
