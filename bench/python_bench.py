#!/usr/bin/env python3
"""Python's side of the benchmarks, for bench/run (inside a private network
namespace: connecting searches by multicast).

  P1  one request/reply from Python (corvestel.Module.serial) to
      corvestel-sim: median and 99th percentile, in microseconds;
  stream delivery: every system option a module streams, 2,000 samples a
      second in all, iterated from Python for a few seconds: samples
      received and dropped.

Prints one JSON line. Usage: python_bench.py BUILD_DIR ROUNDS
"""

import json
import os
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1])
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
sys.path.insert(0, os.path.join(BUILD, "python"))
import corvestel  # noqa: E402

SERIAL = 0x40F5849A


def main():
    work = tempfile.mkdtemp(prefix="corvestel-pybench-")
    ready = os.path.join(work, "ready")
    # Six streamed options, one sample each every 3 ms: 2,000 a second.
    sim = subprocess.Popen([os.path.join(BUILD, "sim", "corvestel-sim"), "--lifetime", "600",
                            "--bind", "198.18.0.1", "--discovery", "198.18.0.1", "--ready-file", ready,
                            "--module", "serial=%08X,streamms=3" % SERIAL],
                           stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.05)
        with corvestel.Module.connect(SERIAL, transport="tcpip") as m:
            for _ in range(100):
                m.serial
            times = []
            for _ in range(ROUNDS):
                start = time.perf_counter()
                m.serial
                times.append(time.perf_counter() - start)
            times.sort()
            received = 0
            with m.stream(corvestel.SYSTEM, 0xFF, 0, queue_size=4000) as samples:
                start = time.monotonic()
                while time.monotonic() - start < 5:
                    samples.get(timeout=5)
                    received += 1
                drops = samples.drops
            seconds = time.monotonic() - start
        print(json.dumps({"median_us": times[len(times) // 2] * 1e6,
                          "p99_us": times[min(len(times) - 1, int(0.99 * len(times)))] * 1e6,
                          "stream_rate": received / seconds, "stream_drops": drops}))
    finally:
        sim.terminate()
        sim.wait(10)


if __name__ == "__main__":
    main()
