#!/usr/bin/python3
# An SMTP sink on 127.0.0.1 for the benchmarks: answers every command, reads
# DATA in large blocks and discards it. Prints its port, then serves each
# connection on a thread of its own until killed.
import socket
import threading

END = b"\r\n.\r\n"


def serve(conn):
    f = conn.makefile("rb", buffering=1 << 20)
    conn.sendall(b"220 sink ready\r\n")
    while True:
        line = f.readline()
        if not line:
            break
        cmd = line[:4].upper()
        if cmd == b"DATA":
            conn.sendall(b"354 go ahead\r\n")
            tail = b""
            while True:
                chunk = f.read1(1 << 20)
                if not chunk:
                    return
                if END in tail + chunk[:4] or END in chunk:
                    break
                tail = chunk[-4:]
            conn.sendall(b"250 discarded\r\n")
        elif cmd == b"QUIT":
            conn.sendall(b"221 bye\r\n")
            break
        elif cmd == b"EHLO":
            conn.sendall(b"250-sink\r\n250 8BITMIME\r\n")
        else:
            conn.sendall(b"250 ok\r\n")
    conn.close()


def main():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    print(s.getsockname()[1], flush=True)
    while True:
        c, _ = s.accept()
        threading.Thread(target=serve, args=(c,), daemon=True).start()


main()
