#!/usr/bin/env python3
"""Simulated update server: answers the updater's requests on /cgi/u.

Listens on 127.0.0.1 only. Usage:

    update_server.py --root DIR [--port 0] [--port-file FILE] [--log FILE]
                     [--lifetime SECONDS] [--tls-cert FILE --tls-key FILE]

With port 0 a free port is chosen. When the server is ready it prints the
port on a line of its own and, with --port-file, writes it there (the file
appears complete or not at all). Every request's full URL is appended to the
--log file before it is answered. The server ends by itself after
--lifetime seconds (default 600), on SIGTERM or SIGINT, and when the process
that started it goes away. With --tls-cert and --tls-key it speaks https.

The directory DIR holds what the server knows:

    DIR/SSSSSSSS/          one folder per device (serial number, eight
                           upper-case hexadecimal digits)
        latest             line 1: the device's latest build; line 2: its
                           firmware identifier (op=qu)
        builds             the build list, lines "BUILD;VERSION" (op=builds)
        NNNN.bird          the BIRD file of build NNNN (op=bird)
        jwt                the device's token (op=ent_jwt)
    DIR/fingerprints       lines "W0 W1 W2 W3 SERIAL BUILD": the device and
                           build that own a chip (op=fix)
    DIR/faults             optional fault switches, read again on every
                           request, one per line, each optionally limited to
                           one operation by a second word (hi, qu, bird,
                           builds, fix, ent_jwt):
        status500          answer with status 500 and a short body
        notok              answer "error" instead of "ok"
        truncate           cut the base64 firmware short (op=bird)
        crlf               end every answer line with CR LF
        slow:MS            wait MS milliseconds before answering
        stall              read the request and never answer
        drip:MS            answer one byte every MS milliseconds, a body
                           without a length that never ends
        huge:BYTES         add a line of BYTES filler characters
        body:NAME          answer with the bytes of DIR/NAME, as they are
"""

import argparse
import base64
import ctypes
import http.server
import os
import select
import signal
import ssl
import sys
import threading
import time
import urllib.parse

OPS = ("hi", "qu", "bird", "builds", "fix", "ent_jwt")


def read_text(path):
    try:
        with open(path, "r", encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return None


def read_faults(root, op):
    """The switches of DIR/faults that apply to op, as a dict name -> value."""
    faults = {}
    text = read_text(os.path.join(root, "faults"))
    if not text:
        return faults
    for line in text.splitlines():
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        if len(words) > 1 and words[1] != op:
            continue
        name, _, value = words[0].partition(":")
        faults[name] = value
    return faults


def device_dir(root, serial):
    if len(serial) != 8 or any(c not in "0123456789ABCDEF" for c in serial):
        return None
    path = os.path.join(root, serial)
    return path if os.path.isdir(path) else None


def answer_lines(root, op, query):
    """The answer's lines for one request; the first is "ok" or an error."""
    serial = query.get("sn", "")
    if op == "hi":
        return ["ok"]
    if op == "qu":
        folder = device_dir(root, serial)
        latest = read_text(os.path.join(folder, "latest")) if folder else None
        if latest is None:
            return ["error: unknown device"]
        return ["ok"] + latest.splitlines()[:2]
    if op == "builds":
        folder = device_dir(root, serial)
        builds = read_text(os.path.join(folder, "builds")) if folder else None
        if builds is None:
            return ["error: unknown device"]
        return ["ok"] + builds.splitlines()
    if op == "bird":
        folder = device_dir(root, serial)
        build = query.get("bld", "")
        if not folder or not build.isdigit():
            return ["error: unknown device or build"]
        try:
            with open(os.path.join(folder, build + ".bird"), "rb") as f:
                data = f.read()
        except OSError:
            return ["error: no such build"]
        return ["ok", base64.b64encode(data).decode("ascii")]
    if op == "ent_jwt":
        folder = device_dir(root, serial)
        token = read_text(os.path.join(folder, "jwt")) if folder else None
        if token is None:
            return ["error: unknown device"]
        return ["ok", token.strip()]
    if op == "fix":
        try:
            words = [int(w, 16) for w in query.get("fp", "").split()]
        except ValueError:
            return ["error: bad fingerprint"]
        table = read_text(os.path.join(root, "fingerprints")) or ""
        for line in table.splitlines():
            entry = line.split()
            try:
                if len(entry) == 6 and [int(w, 16) for w in entry[:4]] == words:
                    return ["ok", entry[4].upper(), entry[5]]
            except ValueError:
                continue
        return ["error: unknown chip"]
    return ["error: unknown operation"]


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "SimUpdateServer/1"

    def log_message(self, format, *args):  # noqa: A002 - keep stderr quiet
        pass

    def full_url(self):
        if self.path.startswith("/"):
            scheme = "https://" if isinstance(self.connection, ssl.SSLSocket) else "http://"
            return scheme + self.headers.get("Host", "") + self.path
        return self.path  # absolute form, as sent to a proxy

    def send(self, status, body):
        try:
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except OSError:
            pass

    def stall(self):
        # Keep the connection open without a word until the client gives up.
        deadline = self.server.deadline
        while time.monotonic() < deadline:
            readable, _, _ = select.select([self.connection], [], [], 0.2)
            if readable:
                try:
                    if not self.connection.recv(1024):
                        return
                except OSError:
                    return

    def drip(self, pause_ms):
        # Enough to stay clear of a low-speed limit, never enough to finish.
        deadline = self.server.deadline
        try:
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.end_headers()
            self.wfile.flush()
            while time.monotonic() < deadline:
                self.wfile.write(b"A")
                self.wfile.flush()
                time.sleep(pause_ms / 1000.0)
        except OSError:
            pass

    def do_GET(self):
        root = self.server.root
        with self.server.log_lock:
            if self.server.log_path:
                with open(self.server.log_path, "a", encoding="utf-8") as log:
                    log.write(self.full_url() + "\n")
        url = urllib.parse.urlsplit(self.path)
        if url.path != "/cgi/u":
            self.send(404, b"not found\n")
            return
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        op = query.get("op", "")
        faults = read_faults(root, op)

        if "slow" in faults:
            time.sleep(int(faults["slow"] or "0") / 1000.0)
        if "stall" in faults:
            self.stall()
            return
        if "drip" in faults:
            self.drip(int(faults["drip"] or "500"))
            return
        if "status500" in faults:
            self.send(500, b"internal error\n")
            return
        if "body" in faults:
            name = os.path.basename(faults["body"])
            try:
                with open(os.path.join(root, name), "rb") as f:
                    self.send(200, f.read())
            except OSError:
                self.send(500, b"no such body\n")
            return

        lines = answer_lines(root, op, query)
        if "notok" in faults:
            lines[0] = "error"
        if "truncate" in faults and len(lines) > 1 and op == "bird":
            lines[1] = lines[1][:-2]
        if "huge" in faults:
            lines.append("A" * int(faults["huge"] or "0"))
        end = "\r\n" if "crlf" in faults else "\n"
        self.send(200, "".join(line + end for line in lines).encode("utf-8"))


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def watch_parent(parent):
    while True:
        if os.getppid() != parent:
            os._exit(0)
        time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser(description="Simulated update server (loopback only)")
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--log")
    parser.add_argument("--lifetime", type=float, default=600.0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    args = parser.parse_args()

    parent = os.getppid()
    try:  # end with the parent even if it is killed outright
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass
    if os.getppid() != parent:
        return 0

    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.signal(signal.SIGINT, lambda *_: os._exit(0))

    server = Server(("127.0.0.1", args.port), Handler)
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.root = os.path.abspath(args.root)
    server.log_path = args.log
    server.log_lock = threading.Lock()
    server.deadline = time.monotonic() + args.lifetime

    threading.Thread(target=watch_parent, args=(parent,), daemon=True).start()
    timer = threading.Timer(args.lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()

    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w", encoding="ascii") as f:
            f.write("%d\n" % port)
        os.rename(tmp, args.port_file)
    sys.stdout.write("%d\n" % port)
    sys.stdout.flush()
    server.serve_forever(poll_interval=0.2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
