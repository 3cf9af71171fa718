#!/usr/bin/python3
"""Checks what jobs killed at random moments left behind: nothing may be lost.

  kill_check.py ORIG_DIR POLL_DIR SPOOL_DIR [PROGRAM_DIR]

ORIG_DIR holds a copy of every file ever put into the poll directory. Every
one must still be in POLL_DIR unchanged, or be the attachment of a mail the
server stored (SPOOL_DIR/NNNN.eml) with the same name and the same bytes.
Every file in POLL_DIR/Backup must be a complete copy of its original (a name
made unique as "name[n].ext" counts as "name.ext"). Nothing else may lie in
the poll directory, and no temporary file of a write cut short in the poll
directory, in Backup or in PROGRAM_DIR.

Prints "OK: ..." and exits 0, or one "FAIL: ..." line per fault and exits 1.
"""

import email
import email.policy
import os
import re
import sys

TEMP_PREFIX = ".postvane-tmp-"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def attachments(spool):
    """(file name, bytes) of every attachment of every stored mail."""
    found = []
    for name in sorted(os.listdir(spool)):
        if not name.endswith(".eml"):
            continue
        msg = email.message_from_bytes(read(os.path.join(spool, name)), policy=email.policy.compat32)
        for part in msg.walk():
            filename = part.get_filename()
            if filename is not None:
                found.append((filename, part.get_payload(decode=True) or b""))
    return found


def main():
    orig_dir, poll_dir, spool = sys.argv[1:4]
    program_dir = sys.argv[4] if len(sys.argv) > 4 else None
    originals = {n: read(os.path.join(orig_dir, n)) for n in os.listdir(orig_dir)}
    mailed = {}
    for filename, data in attachments(spool):
        mailed.setdefault(filename, []).append(data)
    fails = []
    in_poll = in_mail = 0

    for name, data in sorted(originals.items()):
        path = os.path.join(poll_dir, name)
        if os.path.exists(path):
            in_poll += 1
            if read(path) != data:
                fails.append("changed in the poll directory: %s" % name)
            continue
        if data in mailed.get(name, []):
            in_mail += 1
        elif name in mailed:
            fails.append("deleted, and mailed only with other bytes: %s" % name)
        else:
            fails.append("lost: %s is neither in the poll directory nor in a mail" % name)

    for name in sorted(os.listdir(poll_dir)):
        if name != "Backup" and name not in originals:
            fails.append("a stray file in the poll directory: %s" % name)

    backups = 0
    backup_dir = os.path.join(poll_dir, "Backup")
    for name in sorted(os.listdir(backup_dir)) if os.path.isdir(backup_dir) else []:
        if name.startswith(TEMP_PREFIX):
            fails.append("a temporary file left in Backup: %s" % name)
            continue
        original = re.sub(r"\[\d+\](\.[^.]*)?$", lambda m: m.group(1) or "", name)
        if original not in originals:
            fails.append("a backup of no file put into the poll directory: %s" % name)
        elif read(os.path.join(backup_dir, name)) != originals[original]:
            fails.append("an incomplete or wrong backup: Backup/%s" % name)
        else:
            backups += 1

    if program_dir:
        for name in sorted(os.listdir(program_dir)):
            if name.startswith(TEMP_PREFIX):
                fails.append("a temporary file left in the program directory: %s" % name)

    for f in fails:
        print("FAIL: " + f)
    if fails:
        return 1
    print("OK: %d files, %d still in the poll directory, %d only in mails, %d backups"
          % (len(originals), in_poll, in_mail, backups))
    return 0


if __name__ == "__main__":
    sys.exit(main())
