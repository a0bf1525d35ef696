#!/usr/bin/env python3
"""Stops the tool at each write, sync, close and rename it makes once it has
opened its input, with SIGKILL, with SIGINT and with an I/O error (strace's
fault injection), and checks what the output path holds afterwards: its old
content or the whole new image, never anything between; at most one
temporary file after SIGKILL and none after anything else; and a status and
line that say which of the two it is.

    crash_test.py --tool PATH --strace PATH
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile

import e2e

POINTS = ("write", "fsync", "close", "rename")
# LeakSanitizer cannot work under ptrace, and says so by failing the run.
ENV = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
ACTIONS = ("signal=SIGKILL", "signal=SIGINT", "error=EIO")


def scenarios():
    """(name, files laid out, arguments, output path, its old content or None)."""
    for size in (1, e2e.MAX):
        data = bytes((i * 13 + 5) % 256 for i in range(size))
        yield ("%d B, input replaced by its own image" % size, {"in.mcx": data}, ["in.mcx"],
               data)
        yield ("%d B, existing output" % size, {"in.pda": data, "in.mcx": b"old"}, ["in.pda"],
               b"old")
        yield ("%d B, new output" % size, {"in.pda": data}, ["in.pda"], None)


def lay_out(root, files):
    for name, data in files.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)


def points(strace, tool, files, args):
    """(syscall, n) for each of POINTS the tool makes after opening its input,
    n counting that syscall from the process's start, as strace's when= does."""
    with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root:
        lay_out(root, files)
        log = os.path.join(root, "trace.log")
        subprocess.run([strace, "-o", log, "-e", "trace=openat,open," + ",".join(POINTS), tool]
                       + args, cwd=root, stdin=subprocess.DEVNULL, capture_output=True,
                       check=True, env=ENV)
        with open(log) as f:
            calls = [line.split("(", 1)[0] for line in f]
            f.seek(0)
            started = [i for i, line in enumerate(f) if '"%s"' % args[0] in line][0]
    seen = {}
    found = []
    for i, name in enumerate(calls):
        seen[name] = seen.get(name, 0) + 1
        if i > started and name in POINTS:
            found.append((name, seen[name]))
    return found


def check(strace, tool, scenario, point, action):
    name, files, args, old = scenario
    faults = []
    with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root:
        lay_out(root, files)
        inject = "inject=%s:%s:when=%d" % (point[0], action, point[1])
        proc = subprocess.run([strace, "-o", "/dev/null", "-e", "trace=" + point[0], "-e", inject,
                               tool] + args, cwd=root, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60, env=ENV)
        data = files.get("in.pda", files.get("in.mcx"))
        whole = e2e.image(b"BBSSSSPIN", data, (len(data) + e2e.BLOCK - 1) // e2e.BLOCK)
        path = os.path.join(root, "in.mcx")
        now = open(path, "rb").read() if os.path.exists(path) else None
        left = sorted(set(os.listdir(root)) - {"in.pda", "in.mcx"})
        status = proc.returncode
        killed = status in (-signal.SIGKILL, 128 + signal.SIGKILL)
        interrupted = status in (-signal.SIGINT, 128 + signal.SIGINT)

        if now not in (old, whole):
            faults.append("in.mcx holds %s" % ("nothing" if now is None else
                                              "%d bytes, neither old nor new" % len(now)))
        # Standard output's own write is one of the points, so the summary
        # line may be lost; the status must still tell the truth.
        if status == 0 and now != whole:
            faults.append("status 0 without the image in place")
        if status == 1 and (now != old or not proc.stdout.endswith(b"Cannot write : in.mcx\n")):
            faults.append("status 1 but the output changed, or no Cannot write line")
        if status not in (0, 1) and not killed and not interrupted:
            faults.append("status %d" % status)
        if action == "signal=SIGINT" and not interrupted:
            faults.append("status %d after SIGINT, want death by SIGINT" % status)
        if killed and (len(left) > 1 or any(".tmp-" not in n for n in left)):
            faults.append("left %r after SIGKILL" % left)
        if not killed and left:
            faults.append("left %r" % left)
        if "in.pda" in files and open(os.path.join(root, "in.pda"), "rb").read() != data:
            faults.append("the input changed")
    return ["%s, %s #%d, %s: %s" % (name, point[0], point[1], action, f) for f in faults]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--strace", required=True)
    opts = parser.parse_args()
    tool = os.path.abspath(opts.tool)

    passed = failed = 0
    for scenario in scenarios():
        found = points(opts.strace, tool, scenario[1], scenario[2])
        if not any(p[0] == "rename" for p in found):
            print("FAIL %s: no rename seen in %r" % (scenario[0], found))
            failed += 1
        for point in found:
            for action in ACTIONS:
                faults = check(opts.strace, tool, scenario, point, action)
                for fault in faults:
                    print("FAIL " + fault)
                failed += bool(faults)
                passed += not faults
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
