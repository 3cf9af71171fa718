#!/usr/bin/python3
"""Archives for the ZIP tests, made and checked with Python's zipfile.

  zipfile_tool.py make ARCHIVE [--comment TEXT] [--stored NAME=PATH]... [--deflated NAME=PATH]...
  zipfile_tool.py verify ARCHIVE NAME=PATH...

verify exits 0 when the archive passes zipfile's CRC test and holds exactly
the named entries, each with every byte of its file; otherwise it says why.
"""
import sys
import zipfile


def make(args):
    archive, rest = args[0], args[1:]
    comment = None
    members = []
    i = 0
    while i < len(rest):
        opt, val = rest[i], rest[i + 1]
        i += 2
        if opt == "--comment":
            comment = val.encode()
        else:
            name, path = val.split("=", 1)
            method = zipfile.ZIP_STORED if opt == "--stored" else zipfile.ZIP_DEFLATED
            members.append((name, path, method))
    with zipfile.ZipFile(archive, "w") as z:
        for name, path, method in members:
            z.write(path, name, compress_type=method)
        if comment is not None:
            z.comment = comment
    return 0


def verify(args):
    archive = args[0]
    expected = dict(a.split("=", 1) for a in args[1:])
    with zipfile.ZipFile(archive) as z:
        bad = z.testzip()
        if bad is not None:
            print("CRC error in", bad)
            return 1
        names = sorted(z.namelist())
        if names != sorted(expected):
            print("entries", names, "expected", sorted(expected))
            return 1
        for name, path in expected.items():
            with open(path, "rb") as f:
                if z.read(name) != f.read():
                    print("content of", name, "differs")
                    return 1
    return 0


if __name__ == "__main__":
    sys.exit({"make": make, "verify": verify}[sys.argv[1]](sys.argv[2:]))
