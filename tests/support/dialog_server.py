#!/usr/bin/python3
"""A scripted peer for protocol tests: plays the peer's part of a dialogue file.

  dialog_server.py CASE.txt --transcript FILE [--peer NAME] [--port N] [--timeout S]

It listens on 127.0.0.1, prints "READY <port>" on stdout, accepts one
connection for each part of the script and plays that part's steps in order.
The format of CASE.txt is described in tests/data/dialogs/README.md: this
server takes the lines that start with "S" or "C" and one of ": | ~ !" and
ignores the rest, which belongs to the test driver. --peer picks the peer of
a file that has several ("S! peer NAME"); the first is "main".

The transcript has a line for each step played, in the file's notation:
"C: line" for a line received, "S| bytes" for a send (once sent), "C| bytes"
for other bytes received, "D name: line" for data blocks. A line that does not fit
the script ends the run with "MISMATCH ..." in the transcript and on stderr,
exit 1; a script played to its end exits 0; a script that cannot be read exits
2. --timeout bounds each wait for the client (default 10 s).
"""

import argparse
import re
import socket
import struct
import sys
import time


class ScriptError(Exception):
    pass


_ESCAPE = re.compile(r"\\(?:x([0-9A-Fa-f]{2})|\{(.*?)\*(\d+)\}|(.)|$)")
_SIMPLE = {"r": "\r", "n": "\n", "t": "\t", "\\": "\\"}


def unescape(text):
    """The bytes a text stands for (as code points 0-255)."""

    def one(m):
        if m.group(1):
            return chr(int(m.group(1), 16))
        if m.group(3):
            return unescape(m.group(2)) * int(m.group(3))
        if m.group(4) in _SIMPLE:
            return _SIMPLE[m.group(4)]
        raise ScriptError("unknown escape \\%s" % (m.group(4) or ""))

    return _ESCAPE.sub(one, text)


def escape(data):
    """The text as a dialogue file writes it, for the transcript."""
    out = []
    for c in data:
        if c in "\r\n\t\\":
            out.append({"\r": "\\r", "\n": "\\n", "\t": "\\t", "\\": "\\\\"}[c])
        elif " " <= c < "\x7f":
            out.append(c)
        else:
            out.append("\\x%02X" % ord(c))
    return "".join(out)


_PEER_LINE = re.compile(r"^([SC][:|~!])(?: (.*))?$")


def parse_text(path, peer):
    """The connections (lists of steps) that the named peer plays."""
    peers = {"main": [[]]}
    current = "main"
    with open(path, "rb") as f:
        data = f.read().decode("latin-1")
    for number, line in enumerate(data.splitlines(), 1):
        m = _PEER_LINE.match(line)
        if not m:
            continue
        kind, text = m.group(1), m.group(2) or ""
        at = "%s:%d" % (path.rsplit("/", 1)[-1], number)
        try:
            if kind == "S!" or kind == "C!":
                word, _, arg = text.strip().partition(" ")
                if kind == "S!" and word == "peer" and arg:
                    current = arg.strip()
                    peers.setdefault(current, [[]])
                    continue
                if kind == "S!" and word == "accept" and not arg:
                    peers[current].append([])
                    continue
                step = {("S!", "sync"): lambda: {"sync": True},
                        ("S!", "close"): lambda: {"close": True},
                        ("S!", "hold"): lambda: {"hold": float(arg)},
                        ("C!", "close"): lambda: {"expect_close": True},
                        ("C!", "data"): lambda: {"data": arg or "data"}}.get((kind, word))
                if step is None:
                    raise ScriptError("unknown action %r" % text)
                step = step()
            elif kind == "S:":
                step = {"send": unescape(text) + "\r\n"}
            elif kind == "S|":
                step = {"send": unescape(text)}
            elif kind == "C:":
                step = {"expect": unescape(text)}
            elif kind == "C~":
                re.compile(text)
                step = {"expect_re": text}
            else:  # "C|"
                step = {"expect_bytes": unescape(text)}
        except (ScriptError, ValueError, re.error) as e:
            raise ScriptError("%s: %s" % (at, e))
        step["at"] = at
        peers[current][-1].append(step)
    if peer not in peers:
        raise ScriptError("%s has no peer %r" % (path, peer))
    return peers[peer]


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

    def fill(self, enough, what):
        deadline = time.monotonic() + self.timeout
        while not enough():
            left = deadline - time.monotonic()
            if left <= 0:
                raise Mismatch("timed out waiting for %s (have %r)" % (what, self.buf))
            self.conn.settimeout(left)
            try:
                chunk = self.conn.recv(65536)
            except socket.timeout:
                continue
            except OSError as e:
                raise Mismatch("connection error while reading: %s" % e)
            if not chunk:
                raise Mismatch("client closed while %s was expected (have %r)" % (what, self.buf))
            self.buf += chunk

    def read_line(self):
        self.fill(lambda: b"\r\n" in self.buf, "a line")
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    def read_bytes(self, n):
        self.fill(lambda: len(self.buf) >= n, "%d bytes" % n)
        data, self.buf = self.buf[:n], self.buf[n:]
        return data.decode("latin-1")

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
            self.note("C| " + escape(chunk.decode("latin-1")))

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
        self.note("S| " + escape(text))

    def run(self, steps):
        for step in steps:
            where = step["at"]
            if "send" in step:
                self.send(step["send"])
            elif "sync" in step:
                self.sync()
            elif "expect" in step or "expect_re" in step:
                line = self.read_line()
                self.note("C: " + escape(line))
                if "expect" in step and line != step["expect"]:
                    raise Mismatch("%s: expected %r, got %r" % (where, step["expect"], line))
                if "expect_re" in step and not re.search(step["expect_re"], line):
                    raise Mismatch("%s: expected /%s/, got %r" % (where, step["expect_re"], line))
            elif "expect_bytes" in step:
                data = self.read_bytes(len(step["expect_bytes"]))
                self.note("C| " + escape(data))
                if data != step["expect_bytes"]:
                    raise Mismatch("%s: expected %r, got %r" % (where, step["expect_bytes"], data))
            elif "data" in step:
                while True:
                    line = self.read_line()
                    if line == ".":
                        self.note("C: .")
                        break
                    self.note("D %s: %s" % (step["data"], escape(line)))
            elif "close" in step:
                self.note("S! close")
                self.conn.close()
                return
            elif "expect_close" in step:
                self.wait_close(self.timeout, True)
                self.note("C! close")
            elif "hold" in step:
                self.wait_close(float(step["hold"]), False)
            else:
                raise Mismatch("%s: unknown step %r" % (where, step))
        self.conn.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("script")
    p.add_argument("--transcript", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--timeout", type=float, default=10.0)
    p.add_argument("--peer", default="main")
    opts = p.parse_args()

    try:
        connections = parse_text(opts.script, opts.peer)
    except (OSError, ScriptError) as e:
        print("dialog_server.py: %s" % e, file=sys.stderr)
        sys.exit(2)

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
