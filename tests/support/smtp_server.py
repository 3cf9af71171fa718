#!/usr/bin/python3
"""A real SMTP server for the tests, on loopback, built on aiosmtpd.

Every accepted message is stored in the spool directory as NNNN.eml (the
bytes as received, dot-stuffing removed) with NNNN.json beside it (envelope
sender, recipients, the user that logged on). Prints "READY <port>" on stdout
once it listens and serves until killed (SIGTERM) or until stdin closes when
--exit-on-stdin-eof is given.

Usage:
  smtp_server.py --spool DIR [--port N] [--auth-required] [--users u:p,...]
                 [--mechanisms PLAIN,LOGIN,CRAM-MD5,CRAM-SHA1]
                 [--refuse-mail ADDR] [--refuse-rcpt ADDR] [--refuse-data ADDR]
                 [--data-size-limit BYTES] [--log FILE]
                 [--tls starttls|implicit --tls-cert PEM --tls-key PEM]
                 [--auth-require-tls]

--refuse-rcpt answers "550 5.1.1 <ADDR>: Recipient address rejected" for
that recipient; --refuse-data answers "554 5.6.0 Message refused" at the end
of DATA when ADDR is among the recipients; --refuse-mail answers
"553 5.1.8 Sender address rejected" for that sender. All three repeat.
--tls starttls offers STARTTLS; --tls implicit speaks TLS from the first
byte; either way the .json of a message then also holds "tls", the protocol
version of its session. --auth-require-tls refuses AUTH before TLS.
"""

import argparse
import asyncio
import base64
import hashlib
import hmac
import json
import logging
import os
import signal
import socket
import ssl
import sys
import time
import warnings

warnings.filterwarnings("ignore")

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, MISSING  # noqa: E402


def parse_users(text):
    users = {}
    for item in filter(None, (text or "").split(",")):
        name, _, password = item.partition(":")
        users[name.encode()] = password.encode()
    return users


class Handler:
    def __init__(self, opts):
        self.opts = opts
        self.users = parse_users(opts.users)
        self.count = 0
        os.makedirs(opts.spool, exist_ok=True)

    def _cram(self, digest):
        async def method(server, args):
            challenge = "<%d.%d@postvane.test>" % (os.getpid(), time.time_ns())
            answer = await server.challenge_auth(challenge)
            if answer is MISSING:
                return AuthResult(success=False, handled=True)
            user, _, given = answer.partition(b" ")
            password = self.users.get(user)
            if password is not None:
                expected = hmac.new(password, challenge.encode(), digest).hexdigest()
                if hmac.compare_digest(expected.encode(), given):
                    return AuthResult(success=True, auth_data=LoginPassword(user, b""))
            return AuthResult(success=False, handled=False)

        return method

    # aiosmtpd finds handler mechanisms by these names ("__" becomes "-").
    async def auth_CRAM__MD5(self, server, args):
        return await self._cram(hashlib.md5)(server, args)

    async def auth_CRAM__SHA1(self, server, args):
        return await self._cram(hashlib.sha1)(server, args)

    def authenticator(self, server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword):
            if self.users.get(auth_data.login) == auth_data.password:
                return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if address in self.opts.refuse_mail:
            return "553 5.1.8 Sender address rejected"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.opts.refuse_rcpt:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if any(r in self.opts.refuse_data for r in envelope.rcpt_tos):
            return "554 5.6.0 Message refused"
        self.count += 1
        base = os.path.join(self.opts.spool, "%04d" % self.count)
        login = session.login_data
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "login": login.decode(errors="replace") if isinstance(login, bytes) else login,
        }
        # Servers built on this handler may have no TLS options.
        if getattr(self.opts, "tls", ""):
            tls = server.transport.get_extra_info("ssl_object")
            meta["tls"] = tls.version() if tls else None
        with open(base + ".tmp", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".json", "w") as f:
            json.dump(meta, f)
        # The .eml appears last, complete: readers wait for it.
        os.rename(base + ".tmp", base + ".eml")
        return "250 OK queued as %04d" % self.count


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--spool", required=True)
    p.add_argument("--auth-required", action="store_true")
    p.add_argument("--users", default="")
    p.add_argument("--mechanisms", default="")
    p.add_argument("--refuse-mail", action="append", default=[])
    p.add_argument("--refuse-rcpt", action="append", default=[])
    p.add_argument("--refuse-data", action="append", default=[])
    p.add_argument("--data-size-limit", type=int, default=0)
    p.add_argument("--log", default="")
    p.add_argument("--exit-on-stdin-eof", action="store_true")
    p.add_argument("--tls", choices=["starttls", "implicit"], default="")
    p.add_argument("--tls-cert", default="")
    p.add_argument("--tls-key", default="")
    p.add_argument("--auth-require-tls", action="store_true")
    opts = p.parse_args()

    if opts.log:
        logging.basicConfig(filename=opts.log, level=logging.DEBUG)
    else:
        logging.disable(logging.CRITICAL)

    handler = Handler(opts)
    excluded = []
    if opts.mechanisms:
        wanted = {m.strip().upper() for m in opts.mechanisms.split(",")}
        excluded = [m for m in ("PLAIN", "LOGIN", "CRAM-MD5", "CRAM-SHA1") if m not in wanted]

    context = None
    if opts.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(opts.tls_cert, opts.tls_key)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def factory():
        return SMTP(
            handler,
            hostname="postvane.test",
            loop=loop,
            auth_required=opts.auth_required,
            auth_require_tls=opts.auth_require_tls,
            tls_context=context if opts.tls == "starttls" else None,
            authenticator=handler.authenticator,
            auth_exclude_mechanism=excluded,
            data_size_limit=opts.data_size_limit or None,
        )

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", opts.port))
    server = loop.run_until_complete(loop.create_server(
        factory, sock=sock, ssl=context if opts.tls == "implicit" else None))
    print("READY %d" % sock.getsockname()[1], flush=True)

    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    if opts.exit_on_stdin_eof:
        loop.add_reader(sys.stdin.fileno(),
                        lambda: os.read(sys.stdin.fileno(), 4096) or loop.stop())
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
