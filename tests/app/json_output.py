#!/usr/bin/env python3
"""The --json report of every command, read with a real JSON parser.

Runs inside a private network namespace (tools/netns-run), since the TCPIP
search multicasts. Starts the module simulator (a router with two modules
behind it and one more module), the update server simulator on loopback and
a simulated LPC boot ROM, then runs the built Updater with --json and checks
that standard output is one JSON document holding what the simulators were
given, while the console texts went to standard error.

Usage: json_output.py BUILD_DIR
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UPDATER = os.path.join(BUILD, "Updater")
IFADDR = "198.18.0.1"
VERSION_LINE = "Updater (Version: 2.11.3 Jun  6 2025)\n"
ROUTER, BEHIND, POWER, RELAY = "D272031D", "2181F0EE", "40F5849A", "6A3C0012"


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


class Simulators:
    """The three simulators, each ending with this process or its lifetime."""

    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="updater-json-")
        self.procs = []

    def start(self, argv, **kwargs):
        p = subprocess.Popen(argv, stdin=subprocess.PIPE, **kwargs)
        self.procs.append(p)
        return p

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def start_all(self):
        ready = self.path("sim.ready")
        os.mkdir(self.path("flash"))
        sim = self.start([os.path.join(BUILD, "sim", "corvestel-sim"), "--lifetime", "300",
                          "--bind", IFADDR, "--discovery", IFADDR, "--control-stdin",
                          "--ready-file", ready, "--flash-dir", self.path("flash"),
                          "--module", "serial=%s,model=17,address=2,name=Demo router,"
                          "version=2.15.4,build=5101" % ROUTER,
                          "--behind", "serial=%s,model=13,address=4,name=Bench IO,"
                          "version=2.15.2,build=5011" % BEHIND,
                          "--behind", "serial=%s,model=26,address=8,name=Power,version=2.14.2,"
                          "build=4711,newversion=2.14.9,newbuild=4870" % POWER,
                          "--module", "serial=%s,model=19,address=2,name=Relay rack,"
                          "version=3.0.1,build=6002" % RELAY],
                         stdout=subprocess.DEVNULL, stderr=open(self.path("sim.err"), "w"))
        wait_for(lambda: os.path.exists(ready) or sim.poll() is not None, 30, "the module simulator")
        if not os.path.exists(ready):
            raise RuntimeError("module simulator: " + open(self.path("sim.err")).read())

        root = self.path("server")
        os.makedirs(os.path.join(root, POWER))
        with open(self.path("image.bin"), "wb") as f:
            f.write(bytes((i * 7) & 0xFF for i in range(4096)))
        subprocess.run([os.path.join(BUILD, "tools", "birdtool"), "create",
                        "-o", os.path.join(root, POWER, "4870.bird"),
                        "--firmware", "0x8000:" + self.path("image.bin"), "--build", "4870",
                        "--version", "2.14.9", "--serial", POWER, "--model", "Oriel"],
                       check=True, stdout=subprocess.DEVNULL)
        for name, text in (("latest", "4870\nFW-4870\n"), ("builds", "4650;2.13.10\n4870;2.14.9\n"),
                           ("jwt", "eyJhbGciOiJub25lIn0.eyJmZWF0dXJlcyI6WyJhIl19.c2ln\n")):
            with open(os.path.join(root, POWER, name), "w") as f:
                f.write(text)
        port_file = self.path("server.port")
        self.start([sys.executable, os.path.join(SOURCE, "sim", "update_server.py"), "--root", root,
                    "--port-file", port_file, "--lifetime", "300"], stdout=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(port_file), 30, "the update server")
        self.url = "http://127.0.0.1:%s/cgi/u" % open(port_file).read().strip()

        rom = self.start([os.path.join(BUILD, "sim", "bootrom", "corvestel-bootrom"), "--kind", "isp",
                          "--uid", "11223344,55667788,99AABBCC,DDEEFF00", "--lifetime", "300",
                          "--control-stdin"], stdout=subprocess.PIPE, text=True)
        line = rom.stdout.readline().split()
        if len(line) != 2 or line[0] != "READY":
            raise RuntimeError("boot ROM simulator did not start: %r" % line)
        self.rom_pty = line[1]

    def stop(self):
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
        for p in self.procs:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(self.work, ignore_errors=True)


SIMS = None


def run(*words, timeout=180):
    store = SIMS.path("store")
    argv = [UPDATER] + list(words) + ["-u", SIMS.url, "-i", store]
    env = dict(os.environ, HOME=SIMS.work)
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, env=env)


class JsonOutput(unittest.TestCase):
    def report(self, *words, status=0):
        r = run("--json", *words)
        self.assertEqual(r.returncode, status, r.stdout + r.stderr)
        doc = json.loads(r.stdout)  # the whole of standard output, nothing else
        self.assertEqual(doc["exit_status"], status)
        self.assertIn(VERSION_LINE, r.stderr)
        self.assertEqual((doc["program"], doc["version"]), ("Updater", "2.11.3"))
        return doc, r.stderr

    def device(self, devices, serial):
        found = [d for d in devices if d["serial"] == serial]
        self.assertEqual(len(found), 1, devices)
        return found[0]

    def test_discovery_reports(self):
        doc, err = self.report("-D", "-t", "TCPIP")
        self.assertEqual(doc["commands"], ["discover"])
        self.assertEqual(doc["discover"]["link_type"], "TCPIP")
        devices = doc["discover"]["devices"]
        self.assertEqual(sorted(d["serial"] for d in devices), sorted([ROUTER, RELAY]))
        relay = self.device(devices, RELAY)
        self.assertEqual((relay["model"], relay["name"], relay["version"], relay["build"]),
                         (19, "Relay rack", "3.0.1", 6002))
        self.assertEqual((relay["link_type"], relay["ip_address"], relay["error_code"], relay["error_name"]),
                         ("TCPIP", IFADDR, 0, "aErrNone"))
        self.assertIsInstance(relay["port"], int)
        self.assertTrue(relay["model_name"])
        self.assertIn("Discovered Devices: (TCPIP)", err)

        doc, _ = self.report("-D", "-r", ROUTER)
        self.assertEqual(doc["discover"]["router_serial"], ROUTER)
        devices = doc["discover"]["devices"]
        self.assertEqual([d["serial"] for d in devices], [BEHIND, POWER])
        power = self.device(devices, POWER)
        self.assertEqual((power["network_address"], power["router_serial"], power["model"], power["build"]),
                         (8, ROUTER, 26, 4711))

        # No USB module here: an empty list, and the hint on standard error only.
        doc, err = self.report("-D")
        self.assertEqual((doc["discover"]["link_type"], doc["discover"]["devices"]), ("USB", []))
        self.assertIn("-t TCPIP", err)
        plain = run("-D")
        self.assertEqual(plain.returncode, 0)
        self.assertEqual(plain.stdout, VERSION_LINE + "Searching for Corvestel devices\n"
                         "Discovered Devices: (USB)\n    No devices found.\n")
        self.assertEqual(plain.stderr.count("\n"), 1)
        self.assertIn("Updater -D -t TCPIP", plain.stderr)

    def test_server_store_and_update_reports(self):
        doc, _ = self.report("-B", "-d", POWER)
        self.assertEqual(doc["builds"]["builds"],
                         [{"build": 4870, "version": "2.14.9"}, {"build": 4650, "version": "2.13.10"}])
        doc, _ = self.report("-J", "-d", POWER)
        self.assertEqual(doc["token"]["token"], "eyJhbGciOiJub25lIn0.eyJmZWF0dXJlcyI6WyJhIl19.c2ln")

        doc, _ = self.report("-G", "-L", "-d", POWER)
        self.assertEqual(doc["commands"], ["download", "local_builds"])
        self.assertEqual((doc["download"]["build"], doc["download"]["file"]), (4870, "4870.bird"))
        self.assertEqual(doc["local_builds"]["builds"], [{"build": 4870, "version": "2.14.9"}])

        doc, err = self.report("-U", "-d", POWER, "-r", ROUTER)
        update = doc["update"]
        self.assertTrue(update["ok"], err)
        self.assertEqual((update["serial"], update["build"], update["file_version"]), (POWER, 4870, "2.14.9"))
        # The bytes the console counts for the firmware blocks.
        self.assertIn("Transferred 1 blocks, %d total bytes\n" % update["bytes"], err)
        self.assertGreater(update["seconds"], 0)
        # What the module reported after its reboot.
        self.assertEqual((update["version_read_back"], update["build_read_back"]), ("2.14.9", 4870))

        # Failures are reports too, with the error lines.
        doc, _ = self.report("-B", "-d", "12345678", status=1)
        self.assertEqual(doc["builds"]["builds"], [])
        self.assertTrue(doc["errors"])
        doc, _ = self.report("-U", "-t", "RECOVER", "-s", "/nonexistent/port", status=1)
        self.assertFalse(doc["recover"]["ok"])
        self.assertIsNone(doc["recover"]["bytes"])

    def test_fingerprint_and_refusals(self):
        doc, err = self.report("-N", "-s", SIMS.rom_pty)
        self.assertEqual(doc["fingerprint"]["words"], ["11223344", "55667788", "99AABBCC", "DDEEFF00"])
        self.assertEqual(doc["fingerprint"]["chip"], "LPC17xx")
        self.assertIn("[ 11223344 55667788 99AABBCC DDEEFF00 ]", err)
        # A refused option value: the short usage on standard error, the
        # refusal in the document.
        doc, err = self.report("-D", "-d", "xyz", status=1)
        self.assertEqual(doc["commands"], [])
        self.assertEqual(doc["errors"], ["Invalid serial number obtained from argument [xyz]"])
        self.assertIn("Application Usage:", err)


if __name__ == "__main__":
    SIMS = Simulators()
    try:
        SIMS.start_all()
        result = unittest.main(exit=False, verbosity=2).result
    finally:
        SIMS.stop()
    sys.exit(0 if result.wasSuccessful() else 1)
