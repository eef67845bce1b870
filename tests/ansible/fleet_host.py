#!/usr/bin/env python3
"""One managed host of the Ansible test, run inside its own network namespace
(tools/netns-run): starts the module simulator with the given modules and the
update server on the namespace's loopback, writes HOST_DIR/host.json (this
process's id, whose namespace the host's Updater enters, and the server's
URL), and ends both when its standard input closes.

Usage: fleet_host.py BUILD_DIR SOURCE_DIR HOST_DIR MODULE_KEYS...
"""

import json
import os
import subprocess
import sys
import time

IFADDR = "198.18.0.1"


def wait_for(what, done, seconds=30):
    end = time.monotonic() + seconds
    while not done():
        if time.monotonic() > end:
            raise RuntimeError("no " + what)
        time.sleep(0.05)


def main():
    build, source, host = sys.argv[1:4]
    modules = sys.argv[4:]
    ready = os.path.join(host, "sim.ready")
    argv = [os.path.join(build, "sim", "corvestel-sim"), "--lifetime", "600", "--bind", IFADDR,
            "--discovery", IFADDR, "--control-stdin", "--ready-file", ready,
            "--flash-dir", os.path.join(host, "flash")]
    for keys in modules:
        argv += ["--module", keys]
    os.makedirs(os.path.join(host, "flash"), exist_ok=True)
    procs = [subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(host, "sim.err"), "w"))]
    port_file = os.path.join(host, "server.port")
    procs.append(subprocess.Popen([sys.executable, os.path.join(source, "sim", "update_server.py"), "--root",
                                   os.path.join(host, "server"), "--port-file", port_file, "--lifetime", "600"],
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL))
    try:
        wait_for("module simulator", lambda: os.path.exists(ready))
        wait_for("update server", lambda: os.path.exists(port_file))
        with open(os.path.join(host, "host.json.tmp"), "w") as f:
            json.dump({"pid": os.getpid(),
                       "url": "http://127.0.0.1:%s/cgi/u" % open(port_file).read().strip()}, f)
        os.rename(os.path.join(host, "host.json.tmp"), os.path.join(host, "host.json"))
        sys.stdin.read()
    finally:
        for p in procs:
            p.terminate()
        for p in procs:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()


if __name__ == "__main__":
    main()
