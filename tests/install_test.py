#!/usr/bin/env python3
"""Installs a build into a scratch prefix, runs the installed tool on the
shipped sample as a user would, and reads the installed manual page.

    install_test.py --build DIR [--emulator CMD] [--windows]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import e2e

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "..", "samples", "pkapp.pda")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--windows", action="store_true")
    opts = parser.parse_args()

    faults = []
    with tempfile.TemporaryDirectory(prefix="cardwrap-install-") as prefix:
        subprocess.run(["cmake", "--install", opts.build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        tool = os.path.join(prefix, "bin", "cardwrap.exe" if opts.windows else "cardwrap")
        if not os.path.isfile(tool):
            faults.append("no %s" % tool)
        else:
            with open(SAMPLE, "rb") as f:
                sample = f.read()
            case = e2e.converted("installed tool", "pkapp.pda", sample, b"BBSSSSPPKAPP", 1)
            faults += e2e.check(e2e.Tool(tool, opts.emulator, opts.windows), case)
        if not opts.windows:
            faults += manual_faults(os.path.join(prefix, "share", "man", "man1", "cardwrap.1"))
    for fault in faults:
        print("FAIL " + fault)
    print("%d passed, %d failed" % (0 if faults else 1, 1 if faults else 0))
    return 1 if faults else 0


def manual_faults(page):
    if not os.path.isfile(page):
        return ["no manual page at %s" % page]
    if shutil.which("man") is None:
        return []
    read = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                          env={**os.environ, "MANWIDTH": "80"})
    if read.returncode != 0 or read.stderr or "EXIT STATUS" not in read.stdout:
        return ["man page reads badly: %s" % read.stderr.strip()[:500]]
    return []


if __name__ == "__main__":
    sys.exit(main())
