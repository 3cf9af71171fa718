#!/usr/bin/python3
"""The aiosmtpd server of tests/support/smtp_server.py with a few faults more
that whole jobs need, on loopback. Prints "READY <port>" once it listens.

  e2e_smtp.py --spool DIR [--users u:p,...] [--auth-required]
              [--refuse-data-nth N] [--delete-at-rcpt PATH] [--delete-at-data PATH]
              [--append-at-data PATH] [--lock-at-data PATH]
              [--link-at-rcpt PATH] [--link-at-data PATH] [--link-target TARGET]

Stores every accepted message as NNNN.eml with NNNN.json beside it, like
smtp_server.py. --refuse-data-nth answers the Nth DATA of the server's life
with "554 5.6.0 Message refused"; --delete-at-rcpt removes a file when the
first RCPT TO arrives (so it vanishes after the mail was built but before
it is read); --delete-at-data removes it when the first DATA has arrived,
before the reply; --append-at-data appends a line to a file then (a writer
changing it after it was mailed); --lock-at-data takes an exclusive flock of a
file then and holds it (another program keeping the file to itself);
--link-at-rcpt and --link-at-data replace a file by a symbolic link to
--link-target at those moments (a link put in its place between the scan and
the reading, or between the mail and the backup). Every command line received
is appended to DIR/commands.
"""

import argparse
import asyncio
import fcntl
import os
import signal
import socket
import sys
import warnings

warnings.filterwarnings("ignore")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from aiosmtpd.smtp import SMTP  # noqa: E402
import smtp_server  # noqa: E402


class Handler(smtp_server.Handler):
    def __init__(self, opts):
        super().__init__(opts)
        self.datas = 0

    def _unlink(self, attr):
        path = getattr(self.opts, attr)
        if path:
            setattr(self.opts, attr, "")
            try:
                os.unlink(path)
            except OSError:
                pass

    def _link(self, attr):
        path = getattr(self.opts, attr)
        if path:
            setattr(self.opts, attr, "")
            os.unlink(path)
            os.symlink(self.opts.link_target, path)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        self._unlink("delete_at_rcpt")
        self._link("link_at_rcpt")
        return await super().handle_RCPT(server, session, envelope, address, rcpt_options)

    async def handle_DATA(self, server, session, envelope):
        self.datas += 1
        self._unlink("delete_at_data")
        self._link("link_at_data")
        if self.opts.append_at_data:
            with open(self.opts.append_at_data, "ab") as f:
                f.write(b"written after it was mailed\r\n")
            self.opts.append_at_data = ""
        if self.opts.lock_at_data:
            self.held = open(self.opts.lock_at_data, "rb")
            fcntl.flock(self.held, fcntl.LOCK_EX)
            self.opts.lock_at_data = ""
        if self.datas == self.opts.refuse_data_nth:
            return "554 5.6.0 Message refused"
        return await super().handle_DATA(server, session, envelope)


class LoggingSMTP(SMTP):
    def __init__(self, *args, commands="", **kwargs):
        super().__init__(*args, **kwargs)
        self._commands = commands

    def _trace(self, line):
        with open(self._commands, "a") as f:
            f.write(line + "\n")

    async def smtp_HELO(self, hostname):
        self._trace("HELO")
        return await super().smtp_HELO(hostname)

    async def smtp_EHLO(self, hostname):
        self._trace("EHLO")
        return await super().smtp_EHLO(hostname)

    async def smtp_AUTH(self, arg):
        self._trace("AUTH " + (arg or "").split(" ")[0])
        return await super().smtp_AUTH(arg)

    async def smtp_MAIL(self, arg):
        self._trace("MAIL " + (arg or ""))
        return await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        self._trace("RCPT " + (arg or ""))
        return await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        self._trace("DATA")
        return await super().smtp_DATA(arg)

    async def smtp_QUIT(self, arg):
        self._trace("QUIT")
        return await super().smtp_QUIT(arg)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--spool", required=True)
    p.add_argument("--users", default="")
    p.add_argument("--auth-required", action="store_true")
    p.add_argument("--refuse-data-nth", type=int, default=0)
    p.add_argument("--delete-at-rcpt", default="")
    p.add_argument("--delete-at-data", default="")
    p.add_argument("--append-at-data", default="")
    p.add_argument("--lock-at-data", default="")
    p.add_argument("--link-at-rcpt", default="")
    p.add_argument("--link-at-data", default="")
    p.add_argument("--link-target", default="")
    opts = p.parse_args()
    # What the base handler looks at.
    opts.refuse_mail, opts.refuse_rcpt, opts.refuse_data = [], [], []

    handler = Handler(opts)
    commands = os.path.join(opts.spool, "commands")
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def factory():
        return LoggingSMTP(
            handler,
            hostname="postvane.test",
            loop=loop,
            auth_required=opts.auth_required,
            auth_require_tls=False,
            authenticator=handler.authenticator,
            commands=commands,
        )

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    server = loop.run_until_complete(loop.create_server(factory, sock=sock))
    print("READY %d" % sock.getsockname()[1], flush=True)
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
