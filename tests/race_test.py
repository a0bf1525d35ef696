#!/usr/bin/env python3
"""Runs the tool against others changing its output while it runs, each at
a point strace stops it at, so that nothing depends on timing:
  - two runs writing one file in place take turns: the one that fails does
    not put its old bytes back over the other's image, also for a new file
    made in an append-only folder;
  - a new output that another user makes meanwhile is not replaced;
  - an output replaced meanwhile is looked up again, and written;
  - an output removed meanwhile, or a link planted in its place, gets no
    new file unless the run then writes its whole image;
  - many runs writing one output at once all succeed.

    race_test.py --tool PATH --strace PATH
"""
import argparse
import concurrent.futures
import os
import resource
import subprocess
import sys
import tempfile

import e2e
import traced
from traced import read

OLD = b"old" * 1000
# A file-size limit that an image of more than one block passes.
CUT = 10000


def cut_short():
    resource.setrlimit(resource.RLIMIT_FSIZE, (CUT, CUT))


def lay_out(root, files, unprivileged):
    e2e.lay_out(root, files)
    if unprivileged:
        e2e.hand_over(root)


def turns_faults(opts, name, append_only):
    """Run B has taken its turn on the file and is stopped before it writes;
    run A, on the same file, must wait for B. B goes on, its write is cut
    short by a file-size limit, and it puts back what it kept; A's image is
    what must stay, A having succeeded. In place because the folder takes no
    new name from the user; or, in an append-only folder, a new file that B
    made."""
    b_data = bytes(i % 251 for i in range(20000))
    a_data = b"\x01A"
    files = {"b.pda": b_data, "a.pda": a_data}
    if not append_only:
        files["in.mcx"] = OLD
    with tempfile.TemporaryDirectory(prefix="cardwrap-race-") as root:
        lay_out(root, files, not append_only)
        user = "" if append_only else "nobody"
        if append_only:
            if subprocess.run(["chattr", "+a", root], capture_output=True).returncode != 0:
                return "SKIP %s: no append-only folders here" % name
        else:
            os.chmod(root, 0o555)
        try:
            b = traced.Run(opts, root, ["b.pda", "B", "in.mcx"], user, ("flock", 1), cut_short)
            b.wait_stopped()
            a = traced.Run(opts, root, ["a.pda", "A", "in.mcx"], user)
            # A asks for its turn, and is refused while B holds it.
            waited = a.wait_for("EAGAIN")
            b_status, _ = b.finish()
            a_status, a_out = a.finish()
            now = read(root, "in.mcx")
        finally:
            if append_only:
                subprocess.run(["chattr", "-a", root], check=True)
            os.chmod(root, 0o755)
    want = e2e.image(b"A", a_data, 1)
    if not b.stopped or not waited or b_status != 1 or a_status != 0 or now != want:
        return ["%s: B %s, A %s, B status %d, A status %d %r, in.mcx %s" % (
            name, "stopped" if b.stopped else "never stopped", "waited" if waited else
            "never waited", b_status, a_status, a_out[-40:],
            "A's image" if now == want else "not A's image")]
    return []


def made_meanwhile_faults(opts, append_only=False):
    """While the run, as the user nobody, syncs its image (or right after it
    looked up a new output, or asks whether its folder is append-only), a
    file is put under the output's name: another
    user's read-only file stays theirs, and the run says it cannot write;
    one the user could replace as well (as another run leaves one) is
    replaced."""
    cases = [("a new output, another user's file made meanwhile", False, "fsync",
              e2e.DAEMON, 0o444, 1),
             ("an existing output, another user's file put in its place", True, "fsync",
              e2e.DAEMON, 0o444, 1),
             ("an existing output, the user's own put in its place", True, "fsync",
              e2e.NOBODY, 0o644, 0),
             ("a new output made by the user right after the lookup", False, "lookup",
              e2e.NOBODY, 0o644, 0)]
    if append_only:
        # Made there just before the run makes it in place: looked up
        # again, and written.
        cases = [("a new output in an append-only folder made just before its open", False,
                  "statx", e2e.NOBODY, 0o644, 0)]
    faults = []
    whole = e2e.image(b"BBSSSSPIN", b"\x01", 1)
    for name, existing, at, who, mode, status in cases:
        with tempfile.TemporaryDirectory(prefix="cardwrap-race-") as root:
            lay_out(root, {"in.pda": b"\x01", **({"in.mcx": b"old"} if existing else {})}, True)
            os.chmod(root, 0o777)
            stop = lookup_point(opts, root, ["in.pda"], "nobody") if at == "lookup" else (at, 1)
            if not existing and os.path.exists(os.path.join(root, "in.mcx")):
                os.remove(os.path.join(root, "in.mcx"))
            if append_only and subprocess.run(["chattr", "+a", root],
                                              capture_output=True).returncode != 0:
                return "SKIP %s: no append-only folders here" % name
            try:
                run = traced.Run(opts, root, ["in.pda"], "nobody", stop)
                run.wait_stopped()
                path = os.path.join(root, "in.mcx")
                if existing:
                    os.remove(path)
                with open(path, "wb") as f:
                    f.write(OLD)
                os.chown(path, who, who)
                os.chmod(path, mode)
                got, out = run.finish()
            finally:
                if append_only:
                    subprocess.run(["chattr", "-a", root], capture_output=True)
            now = read(root, "in.mcx")
            left = traced.left(root, "in.pda", "in.mcx")
        want = whole if status == 0 else OLD
        if not run.stopped or got != status or now != want or left:
            faults.append("%s: status %d %r, in.mcx %s, left %r" % (
                name, got, out[-40:], "as it should be" if now == want else "not as it should be",
                left))
    return faults


def opened_meanwhile_faults(opts):
    """In a sticky folder, the user nobody's run on root's file, which it
    must write in place, is stopped once it has looked the file up; the
    file is then replaced by one of nobody's own. The run opens the new one
    to write it, sees that it is not the file it looked up, looks again, and
    replaces it, as it replaces any file of its own: a new file is in its
    place, not the one put there written over."""
    whole = e2e.image(b"BBSSSSPIN", b"\x01", 1)
    with tempfile.TemporaryDirectory(prefix="cardwrap-race-") as root:
        e2e.lay_out(root, {"in.pda": b"\x01", "in.mcx": OLD, "own.mcx": b"own"})
        os.chmod(root, 0o1777)
        os.chmod(os.path.join(root, "in.mcx"), 0o666)
        os.chown(os.path.join(root, "own.mcx"), e2e.NOBODY, e2e.NOBODY)
        put = os.stat(os.path.join(root, "own.mcx")).st_ino
        run = traced.Run(opts, root, ["in.pda"], "nobody", ("statx", 1))
        run.wait_stopped()
        os.rename(os.path.join(root, "own.mcx"), os.path.join(root, "in.mcx"))
        status, out = run.finish()
        now = read(root, "in.mcx")
        same = os.stat(os.path.join(root, "in.mcx")).st_ino == put
    if not run.stopped or status != 0 or now != whole or same:
        return ["a file replaced between the lookup and its open: status %d %r, in.mcx %s%s" % (
            status, out[-40:], "whole" if now == whole else "not whole",
            ", the file put there written over" if same else "")]
    return []


def lookup_point(opts, root, args, user=""):
    """(openat, n): the call that looks the output up, counted from the
    process's start as strace's when= counts it."""
    with traced.log() as log:
        traced.run([opts.strace, "-o", log, "-e", "trace=openat"] + (["-u", user] if user else []) +
                   [opts.shared if user else opts.tool] + args, root)
        calls = [line for line in traced.lines(log) if line.startswith("openat(")]
    return ("openat", next(i for i, line in enumerate(calls, 1) if "O_PATH" in line))


def changed_meanwhile_faults(opts):
    """Stopped just after it looked the output up, the output is changed:
    replaced by another file (the run looks it up again and writes it);
    removed; or a link to a file that is not there put in its place. Where
    the path then leads, the run writes its whole image, or makes nothing.
    In a sticky folder, as the user nobody, on root's file: written in
    place, by an open that may create."""
    faults = []
    data = b"\x01R"
    whole = e2e.image(b"BBSSSSPIN", data, 1)
    changes = {
        "replaced": lambda path: os.rename(path + ".new", path),
        "removed": os.remove,
        "a link planted": lambda path: (os.remove(path), os.symlink("victim", path)),
    }
    for name, change in changes.items():
        with tempfile.TemporaryDirectory(prefix="cardwrap-race-") as root:
            e2e.lay_out(root, {"in.pda": data, "in.mcx": OLD, "in.mcx.new": b"new"})
            os.chmod(root, 0o1777)
            for path in ("in.mcx", "in.mcx.new"):
                os.chmod(os.path.join(root, path), 0o666)
            point = lookup_point(opts, root, ["in.pda"], "nobody")
            e2e.lay_out(root, {"in.mcx": OLD})
            run = traced.Run(opts, root, ["in.pda"], "nobody", point)
            run.wait_stopped()
            change(os.path.join(root, "in.mcx"))
            status, out = run.finish()
            now = read(root, "in.mcx")
            victim = read(root, "victim")
        # Where the path now leads, the run's whole image, or nothing new.
        made = victim if name == "a link planted" else now
        ok = (status, made) in ((0, whole), (1, None)) and (name != "replaced" or status == 0)
        if not run.stopped or not ok:
            faults.append("%s meanwhile: status %d %r, in.mcx %s, victim %s" % (
                name, status, out[-40:], "whole" if now == whole else repr(now)[:20],
                "made" if victim is not None else "not made"))
    return faults


def many_faults(opts, runs=600, at_once=20):
    """Many runs writing one output at once, each with its own input: every
    one succeeds, and the output is one of their images, whole."""
    with tempfile.TemporaryDirectory(prefix="cardwrap-race-") as root:
        inputs = {"in%d.pda" % i: b"%d" % i for i in range(at_once)}
        e2e.lay_out(root, inputs)

        def one(i):
            name = "in%d.pda" % (i % at_once)
            return traced.run([opts.tool, name, "T", "out.mcx"], root).returncode

        with concurrent.futures.ThreadPoolExecutor(at_once) as pool:
            failed = sum(1 for status in pool.map(one, range(runs)) if status != 0)
        now = read(root, "out.mcx")
        left = traced.left(root, "out.mcx", *inputs)
    wholes = {e2e.image(b"T", data, 1) for data in inputs.values()}
    if failed or now not in wholes or left:
        return ["%d runs at once: %d failed, out.mcx %s, left %r" % (
            runs, failed, "whole" if now in wholes else "not whole", left)]
    return []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--strace", required=True)
    opts = parser.parse_args()
    if os.geteuid() != 0:
        print("SKIP: other users' runs and files need root")
        return e2e.SKIPPED
    opts.tool = os.path.abspath(opts.tool)
    opts.shared = e2e.shared_copy(opts.tool)
    checks = [lambda: turns_faults(opts, "two runs in place at once", False),
              lambda: turns_faults(opts, "two runs making one new file in an append-only folder",
                                   True),
              lambda: made_meanwhile_faults(opts),
              lambda: made_meanwhile_faults(opts, append_only=True),
              lambda: changed_meanwhile_faults(opts),
              lambda: opened_meanwhile_faults(opts),
              lambda: many_faults(opts)]
    return traced.verdict(checks)


if __name__ == "__main__":
    sys.exit(main())
