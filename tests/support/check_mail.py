#!/usr/bin/python3
"""Checks a received message against expectations, with Python's email package.

  check_mail.py MESSAGE.eml EXPECT.json

EXPECT.json (every key optional):
  "raw_headers":     {"Name": "value"}   the header as sent, folds unfolded
                                          (CR LF removed), compared exactly
  "headers":         {"Name": "value"}   the decoded value (encoded words decoded)
  "header_re":       {"Name": "regex"}   the raw unfolded value must match
  "absent_headers":  ["Name", ...]
  "header_order":    ["Name", ...]       these headers appear in this order
  "multipart":       true | false
  "preamble":        "text"              text before the first boundary
  "text":            {"content": "...", "cte": "7bit"|"quoted-printable"|null,
                      "content_type": "text/plain", "charset": "..."}
                     content is the decoded text part (CR LF line ends)
  "attachments":     [{"path": FILE, "filename": "...", "content_type": "...",
                       "filename_raw": "..."}]  in order; the decoded bytes
                     must equal the file's bytes
  "raw_contains":    ["text", ...]       byte strings the raw message holds
  "raw_lacks":       ["text", ...]
  "max_line":        N                   no raw line longer than N bytes
Strings are bytes written as code points 0-255 (JSON "\u00e9" is the byte
0xE9); an attachment's "filename" is compared after decoding those bytes
with its "charset" (default utf-8).
Prints "OK" and exits 0, or one "FAIL: ..." line per difference and exits 1.
"""

import email
import email.policy
import json
import re
import sys


def unfold(value):
    return re.sub(r"\r?\n", "", value)


def main():
    raw = open(sys.argv[1], "rb").read()
    expect = json.load(open(sys.argv[2], encoding="utf-8"))
    fails = []

    def check(cond, text):
        if not cond:
            fails.append(text)

    old = email.message_from_bytes(raw, policy=email.policy.compat32)
    new = email.message_from_bytes(raw, policy=email.policy.default)

    for name, value in expect.get("raw_headers", {}).items():
        got = old.get(name)
        got = None if got is None else unfold(got)
        check(got == value, "raw header %s: expected %r, got %r" % (name, value, got))
    for name, value in expect.get("headers", {}).items():
        got = new.get(name)
        got = None if got is None else str(got)
        check(got == value, "header %s: expected %r, got %r" % (name, value, got))
    for name, pattern in expect.get("header_re", {}).items():
        got = old.get(name)
        check(got is not None and re.search(pattern, unfold(got)),
              "header %s: %r does not match /%s/" % (name, got, pattern))
    for name in expect.get("absent_headers", []):
        check(old.get(name) is None, "header %s present: %r" % (name, old.get(name)))
    if "header_order" in expect:
        keys = [k.lower() for k in old.keys()]
        pos = [keys.index(k.lower()) if k.lower() in keys else -1 for k in expect["header_order"]]
        check(-1 not in pos and pos == sorted(pos), "header order %r" % old.keys())

    if "multipart" in expect:
        check(old.is_multipart() == expect["multipart"],
              "multipart: expected %s, got %s" % (expect["multipart"], old.is_multipart()))
    if "preamble" in expect:
        got = (old.preamble or "").strip("\r\n")
        check(got == expect["preamble"], "preamble %r" % got)

    parts = list(old.walk())[1:] if old.is_multipart() else [old]
    newparts = list(new.walk())[1:] if new.is_multipart() else [new]

    if "text" in expect:
        t = expect["text"]
        part = parts[0]
        body = part.get_payload(decode=True)
        if "content" in t:
            want = t["content"].encode("latin-1")
            if b"\r\n" not in raw:  # a Maildir keeps lines with LF alone
                want = want.replace(b"\r\n", b"\n")
            check(body == want, "text: expected %r, got %r" % (want[:300], body[:300]))
        if "cte" in t:
            got = part.get("Content-Transfer-Encoding")
            check(got == t["cte"], "text transfer encoding: expected %r, got %r" % (t["cte"], got))
        if "content_type" in t:
            check(part.get_content_type() == t["content_type"],
                  "text content type %r" % part.get_content_type())
        if "charset" in t:
            check(part.get_param("charset") == t["charset"],
                  "text charset %r" % part.get_param("charset"))

    if "attachments" in expect:
        atts = expect["attachments"]
        got_parts = parts[1:]
        check(len(got_parts) == len(atts),
              "attachments: expected %d, got %d" % (len(atts), len(got_parts)))
        for i, (a, part, npart) in enumerate(zip(atts, got_parts, newparts[1:])):
            data = part.get_payload(decode=True) or b""
            want = open(a["path"].encode("latin-1"), "rb").read()
            check(data == want, "attachment %d: %d bytes decoded, file has %d%s" % (
                i, len(data), len(want), "" if len(data) != len(want) else " (contents differ)"))
            check(part.get("Content-Transfer-Encoding") == "base64",
                  "attachment %d transfer encoding %r" % (i, part.get("Content-Transfer-Encoding")))
            if "filename" in a:
                want_name = a["filename"].encode("latin-1").decode(a.get("charset", "utf-8"))
                got = npart.get_filename()
                check(got == want_name, "attachment %d filename: expected %r, got %r" % (
                    i, want_name, got))
                name = npart.get_param("name")
                check(name == want_name, "attachment %d name: expected %r, got %r" % (
                    i, want_name, name))
            if "filename_raw" in a:
                got = part.get_param("filename", header="content-disposition")
                check(got == a["filename_raw"], "attachment %d raw filename: expected %r, got %r"
                      % (i, a["filename_raw"], got))
            if "content_type" in a:
                check(part.get_content_type() == a["content_type"],
                      "attachment %d content type %r" % (i, part.get_content_type()))

    for text in expect.get("raw_contains", []):
        check(text.encode("latin-1") in raw, "raw message lacks %r" % text)
    for text in expect.get("raw_lacks", []):
        check(text.encode("latin-1") not in raw, "raw message holds %r" % text)
    if "max_line" in expect:
        longest = max((len(l) for l in raw.split(b"\r\n")), default=0)
        check(longest <= expect["max_line"], "a line of %d bytes" % longest)

    for f in fails:
        print("FAIL: " + f)
    if not fails:
        print("OK")
    sys.exit(1 if fails else 0)


if __name__ == "__main__":
    main()
