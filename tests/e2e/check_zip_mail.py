#!/usr/bin/python3
"""Checks the ZIP archives a received message carries, with Python's zipfile.

  check_zip_mail.py MESSAGE.eml EXPECT.json

EXPECT.json: {"archives": [{"filename": "a.txt.zip",
                            "entries": [["a.txt", "/path/of/the/original"], ...]}, ...]}
The message's attachments, in order, must be exactly these archives: each a
valid ZIP file (every entry's CRC checked) whose entries are exactly the
listed names, in order, each holding the bytes of its original.
Prints "OK" and exits 0, or one "FAIL: ..." line per difference and exits 1.
"""

import email
import email.policy
import io
import json
import sys
import zipfile


def main():
    raw = open(sys.argv[1], "rb").read()
    expect = json.load(open(sys.argv[2], encoding="utf-8"))
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    fails = []

    atts = [p for p in msg.iter_attachments()] if msg.is_multipart() else []
    want = expect["archives"]
    if len(atts) != len(want):
        fails.append("attachments: expected %d, got %d (%r)"
                     % (len(want), len(atts), [a.get_filename() for a in atts]))
    for i, (part, arch) in enumerate(zip(atts, want)):
        name = part.get_filename()
        if name != arch["filename"]:
            fails.append("attachment %d: filename %r, expected %r" % (i, name, arch["filename"]))
        data = part.get_payload(decode=True) or b""
        try:
            z = zipfile.ZipFile(io.BytesIO(data))
        except zipfile.BadZipFile as e:
            fails.append("attachment %d (%s): not a ZIP file: %s" % (i, name, e))
            continue
        bad = z.testzip()
        if bad is not None:
            fails.append("attachment %d (%s): entry %r is damaged" % (i, name, bad))
        names = z.namelist()
        expected_names = [e[0] for e in arch["entries"]]
        if names != expected_names:
            fails.append("attachment %d (%s): entries %r, expected %r"
                         % (i, name, names, expected_names))
            continue
        for entry, path in arch["entries"]:
            got = z.read(entry)
            orig = open(path, "rb").read()
            if got != orig:
                fails.append("attachment %d (%s): entry %r has %d bytes, the original %d%s"
                             % (i, name, entry, len(got), len(orig),
                                " (contents differ)" if len(got) == len(orig) else ""))

    for f in fails:
        print("FAIL: " + f)
    if not fails:
        print("OK")
    sys.exit(1 if fails else 0)


if __name__ == "__main__":
    main()
