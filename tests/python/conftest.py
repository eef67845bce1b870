"""Simulators for the corvestel package's tests.

The tests run inside a private network namespace (tools/netns-run), where
the module simulator listens on 198.18.0.1 and answers the TCPIP discovery
search. CORVESTEL_BUILD names the build folder; PYTHONPATH holds its
python/ folder, where the package is built.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

BUILD = os.path.abspath(os.environ.get("CORVESTEL_BUILD", "build"))
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
IFADDR = "198.18.0.1"

# The modules of the simulator, each for its own tests.
RELAY = 0x6A3C0012     # identity, context manager, threads
STREAMER = 0x5E7A0001  # the stream counted against the trace
CALLBACKS = 0x5E7A0002 # callbacks, one of which raises
SILENT = 0x2B0C7A11    # never answers a read of its serial number or model
BARE = 0x40F5849A      # has no uptime


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


class Simulator:
    def __init__(self, folder):
        self.folder = folder
        self.trace = os.path.join(folder, "trace.txt")
        ready = os.path.join(folder, "ready")
        self.err = open(os.path.join(folder, "sim.err"), "w")
        self.proc = subprocess.Popen(
            [os.path.join(BUILD, "sim", "corvestel-sim"), "--lifetime", "280", "--bind", IFADDR,
             "--discovery", IFADDR, "--control-stdin", "--ready-file", ready, "--trace", self.trace,
             "--module", "serial=%08X,model=19,name=Relay rack,version=2.15.7,build=6002,opt12=12000,opt21=250"
             % RELAY,
             "--module", "serial=%08X,model=26,name=Streamer,streamms=5" % STREAMER,
             "--module", "serial=%08X,model=26,name=Callbacks,streamms=10" % CALLBACKS,
             "--module", "serial=%08X,model=17" % SILENT, "--fault", "drop@0349*0", "--fault", "drop@0348*0",
             "--module", "serial=%08X,model=13,missing=22:12" % BARE],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=self.err)
        wait_for(lambda: os.path.exists(ready) or self.proc.poll() is not None, 30, "the module simulator")
        if not os.path.exists(ready):
            raise RuntimeError("module simulator: " + open(os.path.join(folder, "sim.err")).read())

    def sent_samples(self, serial, command, option):
        """(seconds, microseconds, value) of every sample the module sent."""
        head = "%02X %02X %02X" % (command, option, 0x40)
        samples = []
        with open(self.trace) as f:
            for line in f:
                words = line.split()
                if len(words) < 4 or words[0] != "%08X" % serial or words[1] != "tx":
                    continue
                data = bytes(int(w, 16) for w in words[4:])  # after address and length
                if " ".join(words[4:7]) == head and data[3] == 3 and len(data) == 17:
                    samples.append((int.from_bytes(data[4:8], "big"), int.from_bytes(data[8:12], "big"),
                                    int.from_bytes(data[12:16], "big")))
        return samples

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.close()


@pytest.fixture(scope="session")
def sim():
    folder = tempfile.mkdtemp(prefix="corvestel-py-")
    s = Simulator(folder)
    yield s
    s.stop()
    shutil.rmtree(folder, ignore_errors=True)


class UsbRun:
    """One run of a scenario (tests/python/usb_scenarios.py) on the
    simulated USB bus, its JSON answer and its exit status."""

    def __init__(self, modules, words, user=None):
        folder = tempfile.mkdtemp(prefix="corvestel-usb-")
        os.chmod(folder, 0o777)
        argv = [os.path.join(SOURCE, "sim", "usbbus", "corvestel-usbbus"),
                "--sim", os.path.join(BUILD, "sim", "corvestel-sim"), "--lifetime", "120"]
        for keys in modules:
            argv += ["--module", keys]
        if user:
            argv += ["--user", user]
        argv += ["--", sys.executable, os.path.join(os.path.dirname(__file__), "usb_scenarios.py")] + words
        env = dict(os.environ, TMPDIR=folder)
        r = subprocess.run(argv, capture_output=True, text=True, timeout=150, env=env)
        shutil.rmtree(folder, ignore_errors=True)
        self.status, self.err = r.returncode, r.stderr
        lines = [l for l in r.stdout.splitlines() if l.startswith("{")]
        self.answer = json.loads(lines[-1]) if lines else None
        assert self.answer is not None, "no answer: " + r.stdout + r.stderr
