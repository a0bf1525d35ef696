#!/usr/bin/env python3
"""Packs files under one top folder into a .tar.gz or a .zip that is the same
byte for byte wherever and whenever it is made: entries in a fixed order,
owned by root, mode 0755 for programs and 0644 for the rest, every time stamp
SOURCE_DATE_EPOCH (in the gzip header too). A file under docs/ keeps that
folder; any other goes at the top, unless given as NAME=FILE, which puts FILE
at NAME (which may hold a folder) under the top folder.

    archive.py OUT.tar.gz|OUT.zip TOP [NAME=]FILE...
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def split(arg):
    """The name in the archive and the file to pack, from [NAME=]FILE."""
    name, sep, path = arg.partition("=")
    if sep:
        return name, path
    return (arg if arg.startswith("docs/") else os.path.basename(arg)), arg


def folders(names):
    """Every folder that the names hold, each before what it holds."""
    found = set()
    for name in names:
        parts = name.split("/")[:-1]
        found.update("/".join(parts[:i]) for i in range(1, len(parts) + 1))
    return sorted(found)


def mode_of(path):
    return 0o755 if os.access(path, os.X_OK) else 0o644


def pack_tar(out, top, entries, epoch):
    def info(name, mode, size=0, kind=tarfile.REGTYPE):
        entry = tarfile.TarInfo(name)
        entry.type, entry.mode, entry.size, entry.mtime = kind, mode, size, epoch
        entry.uid = entry.gid = 0
        entry.uname = entry.gname = "root"
        return entry

    with open(out, "wb") as raw, \
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=epoch) as gz, \
            tarfile.open(fileobj=gz, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        tar.addfile(info(top + "/", 0o755, kind=tarfile.DIRTYPE))
        for folder in folders(name for name, _ in entries):
            tar.addfile(info(top + "/" + folder + "/", 0o755, kind=tarfile.DIRTYPE))
        for name, path in entries:
            with open(path, "rb") as f:
                data = f.read()
            tar.addfile(info(top + "/" + name, mode_of(path), len(data)), io.BytesIO(data))


def pack_zip(out, top, entries, epoch):
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip holds no date before 1980
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name in [""] + folders(name for name, _ in entries):
            folder = zipfile.ZipInfo(top + "/" + (name + "/" if name else ""), stamp)
            folder.external_attr = (0o40755 << 16) | 0x10
            z.writestr(folder, b"")
        for name, path in entries:
            entry = zipfile.ZipInfo(top + "/" + name, stamp)
            entry.external_attr = (0o100000 | mode_of(path)) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3
            with open(path, "rb") as f:
                z.writestr(entry, f.read())


def main():
    out, top, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    entries = sorted(split(arg) for arg in args)
    names = [name for name, _ in entries]
    if len(set(names)) != len(names):
        sys.exit("archive.py: two files under one name in " + out)
    (pack_zip if out.endswith(".zip") else pack_tar)(out, top, entries, epoch)


if __name__ == "__main__":
    main()
