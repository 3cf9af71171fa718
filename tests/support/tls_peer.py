#!/usr/bin/python3
"""A TLS peer for the socket tests, on loopback: serves one connection and
prints "READY <port>" once it listens. What happened goes to the transcript:
"TLS <version>" after the handshake, "CLOSE clean" when the client ended
the TLS stream with close_notify, "CLOSE ragged" when it just closed.

  tls_peer.py MODE --cert PEM --key PEM --transcript FILE [--send N]
              [--max-version 1.1]

MODE:
  echo      TLS from the first byte; sends back what it reads; with --send N
            sends N bytes instead (byte i is i % 251), ends the TLS stream,
            waits for the client's close_notify ("CLOSE answered") and closes
  starttls  plain text lines, each answered with "plain: LINE"; the line
            STARTTLS is answered "GO", then TLS and echo as above
  plain     answers in plain text, never in TLS
  drop      reads the first bytes of the handshake and hangs up
"""

import argparse
import socket
import ssl


def pattern(n):
    return bytes(i % 251 for i in range(n))


def serve_tls(raw, context, opts, log):
    conn = context.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
    log.write("TLS %s\n" % conn.version())
    log.flush()
    if opts.send:
        conn.sendall(pattern(opts.send))
        # close_notify, and the TCP connection ends only once the client
        # has answered with its own, as servers built on asyncio do.
        conn.unwrap().close()
        log.write("CLOSE answered\n")
        return
    while True:
        try:
            data = conn.recv(65536)
        except ssl.SSLEOFError:
            log.write("CLOSE ragged\n")
            return
        except (ssl.SSLError, OSError) as e:
            log.write("ERROR %s\n" % e)
            return
        if not data:
            log.write("CLOSE clean\n")
            return
        conn.sendall(data)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=["echo", "starttls", "plain", "drop"])
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--transcript", required=True)
    p.add_argument("--send", type=int, default=0)
    p.add_argument("--max-version", default="")
    opts = p.parse_args()

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(opts.cert, opts.key)
    if opts.max_version == "1.1":
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1_1

    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("READY %d" % listener.getsockname()[1], flush=True)
    raw, _ = listener.accept()
    raw.settimeout(20)
    with open(opts.transcript, "w") as log:
        try:
            if opts.mode == "drop":
                raw.recv(5)
                raw.close()
            elif opts.mode == "plain":
                raw.sendall(b"220 plain text here\r\n")
                raw.recv(65536)
            elif opts.mode == "starttls":
                f = raw.makefile("rb")
                while True:
                    line = f.readline().rstrip(b"\r\n")
                    if not line or line == b"STARTTLS":
                        break
                    raw.sendall(b"plain: " + line + b"\r\n")
                f.close()
                raw.sendall(b"GO\r\n")
                serve_tls(raw, context, opts, log)
            else:
                serve_tls(raw, context, opts, log)
        except (ssl.SSLError, OSError) as e:
            log.write("ERROR %s\n" % e)


if __name__ == "__main__":
    main()
