"""The Python examples run against the module simulator."""

import os
import subprocess
import sys

from conftest import RELAY, SOURCE, STREAMER

EXAMPLES = os.path.join(SOURCE, "examples", "python")


def run(name, *words):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name)] + list(words),
                          capture_output=True, text=True, timeout=120)


def test_identify_and_stream_examples(sim):
    r = run("identify.py", "TCPIP", "%08X" % RELAY)
    assert r.returncode == 0, r.stderr
    assert "serial   6A3C0012\n" in r.stdout and "model    19 (Saltire)\n" in r.stdout
    assert "version  2.15.7\nbuild    6002\n" in r.stdout

    r = run("stream.py", "TCPIP", "%08X" % STREAMER, "5")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len([l for l in lines if " uptime " in l]) == 5
    assert lines[-1].startswith("5 samples, 0 dropped")

    r = run("identify.py", "TCPIP", "12345678")
    assert r.returncode == 1 and "aErrNotFound" in r.stderr
