#!/usr/bin/python3
"""A real POP3 server for the tests, on loopback, built on twisted.mail.pop3.

Every session sees the same mailbox of two messages (320 bytes together, the
second with a line that starts with a dot), fresh for each connection: DELE
and RSET work within a session, and nothing is ever removed for good. USER/PASS
and APOP log on the accounts of --users. Prints "READY <port>" on stdout once
it listens and serves until killed (SIGTERM).

Usage:
  pop3_server.py [--port N] [--users u:p,...] [--no-timestamp] [--log FILE]

--no-timestamp greets without the "<...>" part that APOP needs. --log appends
every command line received (as received) to FILE, one per line, and
"CONNECT" for each connection.
"""

import argparse
import hashlib
import hmac
import io
import signal
import sys

from twisted.cred import checkers, credentials, error, portal
from twisted.internet import defer, protocol, reactor
from twisted.mail import pop3
from zope.interface import implementer

# Stored with LF line ends: the server sends them as CR LF, dot-stuffed.
MESSAGES = [
    b"From: Ann <ann@example.org>\n"
    b"To: Bob <bob@example.org>\n"
    b"Subject: First\n"
    b"Message-ID: <1@example.org>\n"
    b"\n"
    b"Hello Bob.\n",
    b"From: Carl <carl@example.org>\n"
    b"To: Bob <bob@example.org>\n"
    b"Subject: Second, folded\n"
    b"  over two lines\n"
    b"\n"
    b"First line\n"
    b".a line that starts with a dot\n"
    b"Last line\n",
]
UIDS = [b"uid-first-0001", b"uid-second-0002"]


def wire_size(data):
    return len(data) + data.count(b"\n")


# STAT answers "2 320": the second message is padded to make it so.
MESSAGES[1] += b"x" * (320 - sum(wire_size(m) for m in MESSAGES) - 2) + b"\n"
assert sum(wire_size(m) for m in MESSAGES) == 320


@implementer(pop3.IMailbox)
class Mailbox:
    def __init__(self):
        self.deleted = set()

    def listMessages(self, i=None):
        if i is None:
            return [0 if n in self.deleted else wire_size(m) for n, m in enumerate(MESSAGES)]
        if not 0 <= i < len(MESSAGES):
            raise ValueError(i)
        return 0 if i in self.deleted else wire_size(MESSAGES[i])

    def getMessage(self, i):
        if not 0 <= i < len(MESSAGES) or i in self.deleted:
            raise ValueError(i)
        return io.BytesIO(MESSAGES[i])

    def getUidl(self, i):
        if not 0 <= i < len(MESSAGES) or i in self.deleted:
            raise ValueError(i)
        return UIDS[i]

    def deleteMessage(self, i):
        if not 0 <= i < len(MESSAGES) or i in self.deleted:
            raise ValueError(i)
        self.deleted.add(i)

    def undeleteMessages(self):
        self.deleted.clear()

    def sync(self):
        pass


@implementer(checkers.ICredentialsChecker)
class Accounts:
    """USER/PASS and APOP; the APOP digest is checked here (lower-case hex MD5
    of the greeting's time stamp and the password)."""

    credentialInterfaces = (credentials.IUsernamePassword, credentials.IUsernameHashedPassword)

    def __init__(self, users):
        self.users = users

    def requestAvatarId(self, creds):
        password = self.users.get(creds.username)
        if password is not None:
            if isinstance(creds, pop3.APOPCredentials):
                digest = hashlib.md5(creds.magic + password).hexdigest().encode()
                if hmac.compare_digest(digest, creds.digest):
                    return defer.succeed(creds.username)
            elif hmac.compare_digest(password, creds.password):
                return defer.succeed(creds.username)
        return defer.fail(error.LoginFailed())


@implementer(portal.IRealm)
class Realm:
    def requestAvatar(self, avatarId, mind, *interfaces):
        return pop3.IMailbox, Mailbox(), lambda: None


class Server(pop3.POP3):
    def connectionMade(self):
        if self.factory.no_timestamp:
            self.magic = b"Postvane test POP3 server ready"
        self.factory.record(b"CONNECT")
        pop3.POP3.connectionMade(self)

    def lineReceived(self, line):
        self.factory.record(line)
        return pop3.POP3.lineReceived(self, line)

    def do_UIDL(self, i=None):
        # The library leaves the message number out of "+OK n id".
        if i is None:
            return pop3.POP3.do_UIDL(self, i)
        try:
            n = int(i)
            uid = self.mbox.getUidl(n - 1)
        except (ValueError, IndexError):
            self.failResponse(b"Bad message number argument")
        else:
            self.successResponse(b"%d %s" % (n, uid))


class Factory(protocol.ServerFactory):
    protocol = Server
    noisy = False

    def __init__(self, opts):
        users = {}
        for item in filter(None, (opts.users or "").split(",")):
            name, _, password = item.partition(":")
            users[name.encode()] = password.encode()
        self.portal = portal.Portal(Realm(), [Accounts(users)])
        self.no_timestamp = opts.no_timestamp
        self.log = opts.log

    def buildProtocol(self, addr):
        p = protocol.ServerFactory.buildProtocol(self, addr)
        p.portal = self.portal
        return p

    def record(self, line):
        if self.log:
            with open(self.log, "ab") as f:
                f.write(line + b"\n")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--users", default="joe:secret")
    p.add_argument("--no-timestamp", action="store_true")
    p.add_argument("--log")
    opts = p.parse_args()
    port = reactor.listenTCP(opts.port, Factory(opts), interface="127.0.0.1")
    signal.signal(signal.SIGTERM, lambda *a: reactor.callFromThread(reactor.stop))
    print("READY %d" % port.getHost().port, flush=True)
    reactor.run(installSignalHandlers=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
