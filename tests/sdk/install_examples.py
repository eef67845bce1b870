#!/usr/bin/env python3
"""The device link library as a program outside the tree uses it.

Installs the build into a temporary prefix and checks what a user gets:
every installed header compiles on its own, the internal ones are not
there, the version macros and the guards of the interface hold; the
examples build out of the tree with pkg-config and with
find_package(Corvestel), and run against the module simulator: identify and
stream over TCPIP, identify over the simulated USB bus, and share across two
processes there (one serves the USB module, the other reaches it as an
AETHER link). Last, a program kept in a folder anyone can write to does not
load a network plugin planted beside it.

Runs in a private network namespace (tools/netns-run): the searches
multicast. Usage: install_examples.py BUILD_DIR
"""

import glob
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
CXX = os.environ.get("CXX", "c++")
CXXFLAGS = ["-std=c++17", "-Wall", "-Wextra", "-Werror"]
TCP_MODULE = "6A3C0012"
USB_MODULE = "40F5849A"


def fail(text):
    sys.stderr.write("FAIL: " + text + "\n")
    sys.exit(1)


def run(argv, timeout=120, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)


def must(argv, what, **kwargs):
    r = run(argv, **kwargs)
    if r.returncode != 0:
        fail("%s: %s\n%s%s" % (what, " ".join(argv), r.stdout, r.stderr))
    return r


def cached(name):
    for line in open(os.path.join(BUILD, "CMakeCache.txt")):
        if line.startswith(name + ":"):
            return line.split("=", 1)[1].strip()
    return ""


def compiles(work, text, prefix):
    path = os.path.join(work, "probe.cpp")
    with open(path, "w") as f:
        f.write(text)
    return run([CXX] + CXXFLAGS + ["-fsyntax-only", "-I" + os.path.join(prefix, "include"), path])


def check_headers(work, prefix):
    top = os.path.join(prefix, "include", "corvestel")
    headers = sorted(os.path.relpath(p, os.path.join(prefix, "include"))
                     for p in glob.glob(os.path.join(top, "**", "*.h"), recursive=True))
    for inner in ("link/LinkImpl.h", "link/aLinkManagerInternal.h", "link/LocklessQueue_SPSC.h",
                  "transport/cvusb_driver.h", "transport/aZeroMQPlugin.h", "transport/aMulticast.h"):
        if "corvestel/" + inner in headers:
            fail("an internal header is installed: " + inner)
    if "corvestel/corvestel.h" not in headers or len(headers) < 20:
        fail("installed headers: %r" % headers)
    for header in headers:
        r = compiles(work, "#include <%s>\n" % header, prefix)
        if r.returncode != 0:
            fail("%s does not compile on its own:\n%s" % (header, r.stderr))

    version = cached("CMAKE_PROJECT_VERSION").split(".")
    r = compiles(work, """#include <corvestel/corvestel.h>
static_assert(CORVESTEL_VERSION_MAJOR == %s && CORVESTEL_VERSION_MINOR == %s && CORVESTEL_VERSION_PATCH == %s, "");
static_assert(CORVESTEL_VERSION >= CORVESTEL_VERSION_OF(%s, %s, 0), "");
static_assert(Quorvane::Corvestel::AETHER == 4 && USB == 1, "");
int main() { Quorvane::Corvestel::Module m(2, 0); (void)m; return aError_HasValue(aErrStreamStale) ? 0 : 1; }
""" % tuple(version + version[:2]), prefix)
    if r.returncode != 0:
        fail("the version macros and the interface:\n" + r.stderr)
    # A program with its own USB and TCPIP turns the global names off.
    r = compiles(work, """#define CORVESTEL_NO_GLOBAL_LINK_TYPES
#include <corvestel/corvestel.h>
enum Bus { USB, TCPIP, SERIAL, AETHER };
static_assert(Quorvane::Corvestel::USB == 1 && USB == 0, "");
int main() { return 0; }
""", prefix)
    if r.returncode != 0:
        fail("CORVESTEL_NO_GLOBAL_LINK_TYPES does not keep the names apart:\n" + r.stderr)
    # Module(address, false) is no longer a module of model 0.
    r = compiles(work, """#include <corvestel/corvestel.h>
int main() { Quorvane::Corvestel::Module m(2, false); (void)m; return 0; }
""", prefix)
    if r.returncode == 0 or "deleted" not in r.stderr:
        fail("Module(2, false) compiles: " + r.stderr)
    return len(headers)


def build_examples(work, prefix):
    """The examples built with pkg-config and with CMake; two folders of programs."""
    examples = os.path.join(prefix, "share", "doc", "corvestel", "examples")
    libdir = glob.glob(os.path.join(prefix, "lib*", "pkgconfig", "corvestel.pc"))
    if len(libdir) != 1:
        fail("corvestel.pc is not installed")
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.dirname(libdir[0]))
    flags = must(["pkg-config", "--cflags", "--libs", "corvestel"], "pkg-config", env=env).stdout.split()
    libpath = must(["pkg-config", "--variable=libdir", "corvestel"], "pkg-config", env=env).stdout.strip()
    plain = os.path.join(work, "pkgconfig")
    os.makedirs(plain)
    for name in ("identify", "stream", "share"):
        must([CXX] + CXXFLAGS + [os.path.join(examples, name + ".cpp"), "-o", os.path.join(plain, name)] + flags
             + ["-Wl,-rpath," + libpath], "building %s with pkg-config" % name)
    cm = os.path.join(work, "cmake")
    must(["cmake", "-S", examples, "-B", cm, "-DCMAKE_PREFIX_PATH=" + prefix,
          "-DCMAKE_CXX_FLAGS=" + " ".join(CXXFLAGS)], "configuring the examples")
    must(["cmake", "--build", cm], "building the examples with find_package(Corvestel)")
    return plain, cm


def start_sim(work):
    ready = os.path.join(work, "sim.ready")
    sim = subprocess.Popen([os.path.join(BUILD, "sim", "corvestel-sim"), "--lifetime", "120", "--bind", IFADDR,
                            "--discovery", IFADDR, "--ready-file", ready, "--module",
                            "serial=%s,model=19,name=Relay rack,version=3.0.1,build=6002,streamms=20" % TCP_MODULE],
                           stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while not os.path.exists(ready) and sim.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    if not os.path.exists(ready):
        fail("the module simulator did not start")
    return sim


def check_tcpip(folders):
    for folder in folders:
        r = must([os.path.join(folder, "identify"), "TCPIP", TCP_MODULE], "identify over TCPIP")
        for line in ("serial   " + TCP_MODULE, "model    19", "version  3.0.1", "build    6002"):
            if line not in r.stdout:
                fail("identify TCPIP printed:\n" + r.stdout)
    r = must([os.path.join(folders[0], "stream"), "TCPIP", TCP_MODULE, "5"], "stream over TCPIP")
    samples = re.findall(r"^\d+\.\d{6} uptime \d+$", r.stdout, re.M)
    if len(samples) < 5 or "connection drops" not in r.stdout:
        fail("stream printed:\n" + r.stdout + r.stderr)


def check_usb(work, folder):
    """identify and share on the simulated USB bus (this script again, as the bus's command)."""
    bus = [os.path.join(SOURCE, "sim", "usbbus", "corvestel-usbbus"), "--sim",
           os.path.join(BUILD, "sim", "corvestel-sim"), "--log", os.path.join(work, "events"), "--flash-dir", work,
           "--trace", os.path.join(work, "trace"), "--lifetime", "120", "--module",
           "serial=%s,model=13,name=Hub,version=2.15.3,build=1234" % USB_MODULE, "--"]
    r = run(bus + [sys.executable, os.path.abspath(__file__), "--on-bus", folder], timeout=150)
    if r.returncode != 0 or "on the bus: ok" not in r.stdout:
        fail("identify and share on the USB bus: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))


def on_bus(folder):
    """Runs on the simulated bus: identify over USB, then share in two processes."""
    r = run([os.path.join(folder, "identify"), "USB", USB_MODULE])
    if r.returncode != 0 or "model    13" not in r.stdout or "version  2.15.3" not in r.stdout:
        fail("identify USB: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
    server = subprocess.Popen([os.path.join(folder, "share"), "serve", USB_MODULE, "60"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = server.stdout.readline()
        if not first.startswith("serving " + USB_MODULE):
            fail("share serve: " + first + server.stderr.read())
        r = run([os.path.join(folder, "share"), "reach", USB_MODULE])
        if r.returncode != 0 or "reached %s through the server" % USB_MODULE not in r.stdout:
            fail("share reach: %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
        server.stdin.close()
        if server.wait(30) != 0 or "stopped serving" not in server.stdout.read():
            fail("share serve did not end cleanly")
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    print("on the bus: ok")


def check_planted_plugin(work, folder):
    """A program in a world-writable folder ignores a plugin planted there."""
    shared = os.path.join(work, "shared")
    os.makedirs(os.path.join(shared, "bin"))
    os.makedirs(os.path.join(shared, "lib", "corvestel"))
    os.chmod(shared, 0o1777)
    marker = os.path.join(work, "planted-plugin-ran")
    planted = os.path.join(work, "planted.c")
    with open(planted, "w") as f:
        f.write('#include <stdio.h>\n__attribute__((constructor)) static void run(void) {\n'
                ' FILE* f = fopen("%s", "w"); if (f) fclose(f); }\n' % marker)
    for place in ("", "bin", "lib/corvestel"):
        must(["cc", "-shared", "-fPIC", planted, "-o", os.path.join(shared, place, "libcorvestel_zmq.so")],
             "building the planted plugin")
    # The example on the installed library, and on the build tree's.
    for program, name in ((os.path.join(folder, "share"), "share"),
                          (os.path.join(BUILD, "examples", "share"), "share-tree")):
        copy = os.path.join(shared, "bin", name)
        shutil.copy2(program, copy)
        # Its search for a server loads the plugin.
        r = run([copy, "reach", "12345678"], timeout=60)
        if os.path.exists(marker):
            fail("%s loaded the plugin planted beside it" % name)
        if "Cannot load the network plugin" in r.stderr or "cannot reach 12345678" not in r.stderr:
            fail("%s did not load its own plugin: %s" % (name, r.stderr))


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--on-bus":
        on_bus(sys.argv[2])
        return
    work = tempfile.mkdtemp(prefix="corvestel-sdk-")
    sim = None
    try:
        prefix = os.path.join(work, "prefix")
        must(["cmake", "--install", BUILD, "--prefix", prefix], "cmake --install")
        headers = check_headers(work, prefix)
        plain, cm = build_examples(work, prefix)
        sim = start_sim(work)
        check_tcpip([plain, cm])
        check_usb(work, plain)
        check_planted_plugin(work, plain)
        print("library: %d headers; the examples build with pkg-config and CMake and run" % headers)
    finally:
        if sim and sim.poll() is None:
            sim.terminate()
            sim.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
