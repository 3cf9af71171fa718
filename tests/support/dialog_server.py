#!/usr/bin/python3
"""A scripted peer for protocol tests: plays a dialog from a JSON script.

It listens on 127.0.0.1, prints "READY <port>" on stdout, accepts one
connection per entry of "connections" and runs that entry's steps in order.
The script is data only, so one server serves the SMTP and POP3 tests alike:

  {"connections": [[step, step, ...], ...]}     (a bare list is one connection)

Steps (one key each, plus "note" for a comment):
  {"line": "220 hi"}          send the text and CR LF
  {"send": "220-a\\r\\n2"}      send the text exactly (latin-1 bytes)
  {"sync": true}              wait until the client has read everything sent so
                              far, so that the next send arrives in a read of its own
  {"expect": "EHLO x"}        read one CR LF line; it must equal the text
  {"expect_re": "^EHLO \\\\S+$"} read one line; it must match the expression
  {"data": "name"}            read lines up to the lone "." and keep them under
                              that name in the transcript (dot-stuffing kept)
  {"close": true}             close the connection now
  {"expect_close": true}      the client must close (end of input) next
  {"hold": 30}                say nothing; wait for the client to close or for
                              the given seconds, whichever comes first

Every line received is written to --transcript as "C: line", every send as
"S: text", data blocks as "D name: line". A line that does not fit the script
ends the run with "MISMATCH ..." in the transcript and on stderr, exit 1;
a script played to its end exits 0. --timeout bounds each read (default 10 s).
"""

import argparse
import json
import re
import socket
import struct
import sys
import time


class Mismatch(Exception):
    pass


class Peer:
    def __init__(self, conn, log, timeout):
        self.conn = conn
        self.log = log
        self.timeout = timeout
        self.buf = b""

    def note(self, text):
        self.log.write(text + "\n")
        self.log.flush()

    def read_line(self):
        deadline = time.monotonic() + self.timeout
        while b"\r\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Mismatch("timed out waiting for a line (have %r)" % self.buf)
            self.conn.settimeout(left)
            try:
                chunk = self.conn.recv(65536)
            except socket.timeout:
                continue
            except OSError as e:
                raise Mismatch("connection error while reading: %s" % e)
            if not chunk:
                raise Mismatch("client closed while a line was expected (have %r)" % self.buf)
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    def wait_close(self, seconds, must_close):
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                if must_close:
                    raise Mismatch("client did not close")
                return
            self.conn.settimeout(left)
            try:
                chunk = self.conn.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if not chunk:
                return
            if must_close:
                raise Mismatch("data instead of close: %r" % chunk)
            self.note("C: " + chunk.decode("latin-1").replace("\r\n", "\\r\\n"))

    def sync(self):
        # The kernel's view of both ends: nothing of ours unacknowledged and
        # nothing unread in the client's receive queue.
        def endpoint(addr):
            host, port = addr[0], addr[1]
            return "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(host))[0], port)

        ours = (endpoint(self.conn.getsockname()), endpoint(self.conn.getpeername()))
        theirs = (ours[1], ours[0])
        deadline = time.monotonic() + self.timeout
        while True:
            queues = {}
            with open("/proc/net/tcp") as table:
                for row in table.readlines()[1:]:
                    f = row.split()
                    tx, rx = (int(v, 16) for v in f[4].split(":"))
                    queues[(f[1], f[2])] = (tx, rx)
            unsent = queues.get(ours, (0, 0))[0]
            unread = queues.get(theirs, (0, 0))[1]
            if unsent == 0 and unread == 0:
                return
            if time.monotonic() > deadline:
                raise Mismatch("the client did not read what was sent (%d bytes unsent, "
                               "%d unread)" % (unsent, unread))
            time.sleep(0.002)

    def send(self, text):
        # Noted once sent, so a test that sees the note knows the bytes are
        # on their way.
        try:
            self.conn.sendall(text.encode("latin-1"))
        except OSError as e:
            raise Mismatch("connection error while sending %r: %s" % (text, e))
        self.note("S: " + text.replace("\r\n", "\\r\\n"))

    def run(self, steps):
        for i, step in enumerate(steps, 1):
            if "line" in step:
                self.send(step["line"] + "\r\n")
            elif "send" in step:
                self.send(step["send"])
            elif "sync" in step:
                self.sync()
            elif "expect" in step or "expect_re" in step:
                line = self.read_line()
                self.note("C: " + line)
                if "expect" in step and line != step["expect"]:
                    raise Mismatch("step %d: expected %r, got %r" % (i, step["expect"], line))
                if "expect_re" in step and not re.search(step["expect_re"], line):
                    raise Mismatch("step %d: expected /%s/, got %r" % (i, step["expect_re"], line))
            elif "data" in step:
                while True:
                    line = self.read_line()
                    if line == ".":
                        self.note("C: .")
                        break
                    self.note("D %s: %s" % (step["data"], line))
            elif "close" in step:
                self.note("S: <close>")
                self.conn.close()
                return
            elif "expect_close" in step:
                self.wait_close(self.timeout, True)
                self.note("C: <close>")
            elif "hold" in step:
                self.wait_close(float(step["hold"]), False)
            else:
                raise Mismatch("step %d: unknown step %r" % (i, step))
        self.conn.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("script")
    p.add_argument("--transcript", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--timeout", type=float, default=10.0)
    opts = p.parse_args()

    with open(opts.script) as f:
        script = json.load(f)
    connections = script["connections"] if isinstance(script, dict) else [script]

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", opts.port))
    listener.listen(4)
    listener.settimeout(opts.timeout * 3)
    print("READY %d" % listener.getsockname()[1], flush=True)

    status = 0
    with open(opts.transcript, "w") as log:
        for n, steps in enumerate(connections, 1):
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                log.write("MISMATCH no connection %d\n" % n)
                print("MISMATCH no connection %d" % n, file=sys.stderr)
                status = 1
                break
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            log.write("-- connection %d\n" % n)
            try:
                Peer(conn, log, opts.timeout).run(steps)
            except Mismatch as e:
                log.write("MISMATCH %s\n" % e)
                print("MISMATCH %s" % e, file=sys.stderr)
                conn.close()
                status = 1
                break
        log.write("-- end %d\n" % status)
    sys.exit(status)


if __name__ == "__main__":
    main()
