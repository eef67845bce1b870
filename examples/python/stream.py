#!/usr/bin/env python3
"""stream: asks a module to stream its uptime and prints each sample with
the module's time stamp, then how many samples came, how many the queue
dropped and how often the connection dropped.

    stream.py TCPIP 6A3C0012 [SAMPLES]
"""

import sys

import corvestel


def main(argv):
    if len(argv) < 3 or argv[1] not in ("USB", "TCPIP"):
        print("usage: stream.py USB|TCPIP SERIAL [SAMPLES]", file=sys.stderr)
        return 2
    serial = int(argv[2], 16)
    wanted = int(argv[3]) if len(argv) > 3 else 10
    received = 0
    try:
        with corvestel.Module.connect(serial, transport=argv[1].lower()) as module:
            # The system entity's uptime: the module sends it on its own once
            # the stream is on; the samples wait in a bounded queue.
            with module.stream(corvestel.SYSTEM, corvestel.OPTION_UPTIME, 0) as samples:
                while received < wanted:
                    sample = samples.get(timeout=20)
                    print("%d.%06d uptime %d" % (sample.seconds, sample.microseconds, sample.value), flush=True)
                    received += 1
                drops = samples.drops
            connection_drops = module.drop_count
    except corvestel.Error as e:
        print("cannot stream from %08X: %s" % (serial, e), file=sys.stderr)
        return 1
    print("%d samples, %d dropped, %d connection drops" % (received, drops, connection_drops))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
