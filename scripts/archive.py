#!/usr/bin/env python3
"""Packs files under one top folder into a .tar.gz or a .zip that is the same
byte for byte wherever and whenever it is made: entries in a fixed order,
owned by root, mode 0755 for programs and 0644 for the rest, every time stamp
SOURCE_DATE_EPOCH (in the gzip header too). A file under docs/ keeps that
folder; any other goes at the top.

    archive.py OUT.tar.gz|OUT.zip TOP FILE...
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def name_of(path):
    return path if path.startswith("docs/") else os.path.basename(path)


def mode_of(path):
    return 0o755 if os.access(path, os.X_OK) else 0o644


def pack_tar(out, top, files, epoch):
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
        for path in files:
            with open(path, "rb") as f:
                data = f.read()
            tar.addfile(info(top + "/" + name_of(path), mode_of(path), len(data)),
                        io.BytesIO(data))


def pack_zip(out, top, files, epoch):
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip holds no date before 1980
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        folder = zipfile.ZipInfo(top + "/", stamp)
        folder.external_attr = (0o40755 << 16) | 0x10
        z.writestr(folder, b"")
        for path in files:
            entry = zipfile.ZipInfo(top + "/" + name_of(path), stamp)
            entry.external_attr = (0o100000 | mode_of(path)) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3
            with open(path, "rb") as f:
                z.writestr(entry, f.read())


def main():
    out, top, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    files = sorted(files, key=name_of)
    (pack_zip if out.endswith(".zip") else pack_tar)(out, top, files, epoch)


if __name__ == "__main__":
    main()
