#!/usr/bin/python3
"""An SMTP peer for the TLS faults no real server makes, on loopback. Serves
one connection, prints "READY <port>" once it listens, and writes every line
it receives (in plain text and over TLS) to the transcript as "C: line".

  tls_fault_server.py MODE --cert PEM --key PEM --transcript FILE

MODE:
  inject        answers STARTTLS with "220 Ready to start TLS" and, in the
                same write, a line of its own; then TLS and a plain session
                that accepts one mail
  inject-late   the same, but the extra line follows a moment after the 220,
                when the client has begun its handshake
  drop          answers STARTTLS with 220, reads the client's first TLS bytes
                and hangs up
  drop-implicit reads the client's first bytes (TLS from the first byte) and
                hangs up
"""

import argparse
import socket
import ssl
import sys
import time


class Peer:
    def __init__(self, conn, transcript):
        self.conn = conn
        self.file = conn.makefile("rb")
        self.transcript = transcript

    def send(self, text):
        self.conn.sendall(text.encode("latin-1"))

    def line(self):
        raw = self.file.readline()
        if not raw:
            return None
        text = raw.rstrip(b"\r\n").decode("latin-1")
        self.transcript.write("C: %s\n" % text)
        self.transcript.flush()
        return text

    def starttls(self, context):
        self.file.close()
        self.conn = context.wrap_socket(self.conn, server_side=True)
        self.file = self.conn.makefile("rb")
        self.transcript.write("TLS %s\n" % self.conn.version())
        self.transcript.flush()


def serve_mail(peer):
    """EHLO, MAIL, RCPT, DATA, QUIT: every command accepted."""
    while True:
        text = peer.line()
        if text is None:
            return
        verb = text[:4].upper()
        if verb == "EHLO":
            peer.send("250-fault.test\r\n250 AUTH LOGIN\r\n")
        elif verb == "DATA":
            peer.send("354 go ahead\r\n")
            while True:
                data = peer.file.readline()
                if not data or data == b".\r\n":
                    break
            peer.send("250 accepted\r\n")
        elif verb == "QUIT":
            peer.send("221 bye\r\n")
            return
        else:
            peer.send("250 ok\r\n")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=["inject", "inject-late", "drop", "drop-implicit"])
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--transcript", required=True)
    opts = p.parse_args()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(opts.cert, opts.key)

    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("READY %d" % listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    conn.settimeout(20)
    with open(opts.transcript, "w") as transcript:
        peer = Peer(conn, transcript)
        if opts.mode == "drop-implicit":
            conn.recv(5)
            conn.close()
            return
        peer.send("220 fault.test ESMTP\r\n")
        while True:
            text = peer.line()
            if text is None:
                return
            if text.upper().startswith("EHLO"):
                peer.send("250-fault.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n")
            elif text.upper() == "STARTTLS":
                break
            else:
                peer.send("503 STARTTLS first\r\n")
        if opts.mode == "drop":
            peer.send("220 Ready to start TLS\r\n")
            conn.recv(5)
            conn.close()
            return
        if opts.mode == "inject":
            peer.send("220 Ready to start TLS\r\n250 injected before TLS\r\n")
        else:
            peer.send("220 Ready to start TLS\r\n")
            time.sleep(0.3)
            peer.send("250 injected before TLS\r\n")
        try:
            peer.starttls(context)
        except (ssl.SSLError, OSError) as e:
            transcript.write("TLS failed: %s\n" % e)
            return
        serve_mail(peer)


if __name__ == "__main__":
    sys.exit(main())
