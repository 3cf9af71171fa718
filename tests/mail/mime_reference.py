#!/usr/bin/python3
"""Decodes what the MIME helpers and digests produced with Python's standard
library, so the tests compare against an independent implementation.

Reads one request per line from stdin, "<command> <hex> [<hex> ...]", where
"-" stands for no bytes, and writes one answer per line: the result as hex,
or "ERR <reason>".

  b64 <text>          strict Base64 decoding of the text (line breaks allowed)
  qp <text>           quoted-printable decoding; every line must be valid
  hdr <value>         RFC 2047 decoding of a header value; answers the bytes
                      and the character set name ("<hex> <charset-hex>")
  hmac-md5 <key> <t>  HMAC of t keyed with key
  hmac-sha1 <key> <t>
  md5 <t> / sha1 <t>  plain digests
"""
import base64
import binascii
import email.header
import hashlib
import hmac
import re
import sys

QP_LINE = re.compile(rb"^(?:[\x21-\x3c\x3e-\x7e \t]|=[0-9A-F]{2})*=?$")


def decode_b64(data):
    joined = b"".join(data.split(b"\r\n"))
    return binascii.a2b_base64(joined, strict_mode=True)


def decode_qp(data):
    lines = data.split(b"\r\n")
    for line in lines:
        if not QP_LINE.match(line):
            raise ValueError("invalid line %r" % line)
        if len(line) > 76:
            raise ValueError("line of %d characters" % len(line))
        if line[-1:] in (b" ", b"\t"):
            raise ValueError("trailing white space")
    # Soft line breaks join the lines; the helper encodes CR and LF itself.
    out = bytearray()
    for line in lines:
        if line.endswith(b"="):
            out += binascii.a2b_qp(line[:-1])
        else:
            out += binascii.a2b_qp(line)
    return bytes(out)


def decode_hdr(data):
    value = data.decode("ascii").replace("\r\n", "")
    parts = email.header.decode_header(value)
    raw = b""
    charsets = set()
    for piece, charset in parts:
        if charset is None:
            raise ValueError("unencoded text %r" % piece)
        raw += piece
        charsets.add(charset)
    if len(charsets) != 1:
        raise ValueError("charsets %r" % charsets)
    # The decoded text must also make a header again without error.
    str(email.header.make_header(parts))
    return raw.hex() + " " + charsets.pop().encode().hex()


def answer(words):
    cmd, args = words[0], [b"" if w == "-" else bytes.fromhex(w) for w in words[1:]]
    if cmd == "b64":
        return decode_b64(args[0] if args else b"").hex()
    if cmd == "qp":
        return decode_qp(args[0] if args else b"").hex()
    if cmd == "hdr":
        return decode_hdr(args[0])
    if cmd == "hmac-md5":
        return hmac.new(args[0], args[1], hashlib.md5).hexdigest()
    if cmd == "hmac-sha1":
        return hmac.new(args[0], args[1], hashlib.sha1).hexdigest()
    if cmd == "md5":
        return hashlib.md5(args[0] if args else b"").hexdigest()
    if cmd == "sha1":
        return hashlib.sha1(args[0] if args else b"").hexdigest()
    raise ValueError("unknown command " + cmd)


def main():
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        try:
            print(answer(words))
        except Exception as e:  # one bad case must not hide the others
            print("ERR " + str(e).replace("\n", " "))
    return 0


if __name__ == "__main__":
    sys.exit(main())
