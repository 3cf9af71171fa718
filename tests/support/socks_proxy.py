#!/usr/bin/python3
"""A real SOCKS proxy on 127.0.0.1 for the tests, on a free high port.

  socks_proxy.py microsocks [--user U --password P]
  socks_proxy.py danted --dir DIR [--block-port N]
  socks_proxy.py socks4 [--reject-user NAME]

microsocks: SOCKS 5, with --user/--password username/password authentication.
danted: SOCKS 4 and 5 from a configuration written into DIR (never the
system's), no authentication; connections to 127.0.0.1 port N are refused by
its ruleset. socks4: SOCKS 4 and 4A served by python3-twisted; requests with
the user id NAME are rejected.

Prints "READY <port>" once the proxy accepts connections, then runs until it
gets SIGTERM, which ends the proxy too. Exit 77 when the proxy's package is
not installed, 1 when it does not start.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


def danted_config(directory, port, block_port):
    lines = [
        "logoutput: %s" % os.path.join(directory, "danted.log"),
        "internal: 127.0.0.1 port = %d" % port,
        "external: 127.0.0.1",
        "socksmethod: none",
        "clientmethod: none",
    ]
    if os.geteuid() == 0:
        lines += ["user.privileged: root", "user.unprivileged: nobody"]
    lines += ["client pass {", "  from: 127.0.0.0/8 to: 0.0.0.0/0", "}"]
    if block_port:
        lines += ["socks block {", "  from: 0.0.0.0/0 to: 127.0.0.1/32 port = %d" % block_port,
                  "  log: error", "}"]
    lines += ["socks pass {", "  from: 127.0.0.0/8 to: 0.0.0.0/0", "}"]
    path = os.path.join(directory, "danted.conf")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def run_child(argv_for_port, binary):
    if not shutil.which(binary):
        sys.stderr.write("%s is not installed\n" % binary)
        sys.exit(77)
    for _ in range(5):
        port = free_port()
        child = subprocess.Popen(argv_for_port(port), stdin=subprocess.DEVNULL,
                                 stdout=sys.stderr, stderr=sys.stderr)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and child.poll() is None and not listening(port):
            time.sleep(0.05)
        if child.poll() is None and listening(port):
            break
        child.kill()
        child.wait()
    else:
        sys.stderr.write("%s did not start\n" % binary)
        sys.exit(1)

    # The handler only asks; the waiting is done here (a wait inside the
    # handler would deadlock with the one it interrupted).
    asked = []

    def stop(*_):
        if not asked:
            asked.append(time.monotonic())
            child.terminate()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("READY %d" % port, flush=True)
    while child.poll() is None:
        if asked and time.monotonic() > asked[0] + 5:
            child.kill()
        time.sleep(0.05)
    if asked:
        sys.exit(0)
    sys.stderr.write("%s ended by itself (status %s)\n" % (binary, child.returncode))
    sys.exit(1)


def run_socks4(reject_user):
    try:
        from twisted.internet import reactor
        from twisted.protocols import socks
    except ImportError:
        sys.stderr.write("python3-twisted is not installed\n")
        sys.exit(77)

    class Proxy(socks.SOCKSv4):
        def authorize(self, code, server, port, user):
            return user != reject_user.encode()

    class Factory(socks.SOCKSv4Factory):
        def buildProtocol(self, addr):
            return Proxy(None, reactor)

    listener = reactor.listenTCP(0, Factory(None), interface="127.0.0.1")
    print("READY %d" % listener.getHost().port, flush=True)
    signal.signal(signal.SIGTERM, lambda *_: reactor.callFromThread(reactor.stop))
    reactor.run(installSignalHandlers=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["microsocks", "danted", "socks4"])
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--dir")
    parser.add_argument("--block-port", type=int, default=0)
    parser.add_argument("--reject-user", default="\0")
    args = parser.parse_args()
    if args.kind == "microsocks":
        auth = ["-u", args.user, "-P", args.password] if args.user else []
        run_child(lambda port: ["microsocks", "-i", "127.0.0.1", "-p", str(port)] + auth,
                  "microsocks")
    elif args.kind == "danted":
        binary = shutil.which("danted") or "/usr/sbin/danted"
        if not os.path.exists(binary):
            sys.stderr.write("danted is not installed\n")
            sys.exit(77)
        run_child(lambda port: [binary, "-f", danted_config(args.dir, port, args.block_port),
                                "-p", os.path.join(args.dir, "danted.pid"), "-N", "1"], binary)
    else:
        run_socks4(args.reject_user)


if __name__ == "__main__":
    main()
