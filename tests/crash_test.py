#!/usr/bin/env python3
"""Stops the tool at each system call it makes from opening its input on:
with SIGKILL, with SIGINT and with an I/O error (strace's fault injection),
and, at one call, with every other signal that ends a process. Checks what
the output path holds afterwards: its old content or the whole new image,
never anything between; at most one temporary file after SIGKILL, none
after anything else, and none ever more open to others than the file it
replaces while it holds less than the whole image; a status and line that
say which of the two it is; death by the very signal sent. And, from one
whole run's trace, that the image reaches the device before it is renamed
into place, and the rename after it; that once it is in place it stays.
And a file written in place whose old bytes read short is emptied when its
write then fails; a replacement that meets an attribute gone meanwhile, or
a folder it may not read to sync; and a new output on a file system with no
rename that keeps from replacing, or no hard links either.

    crash_test.py --tool PATH --strace PATH
"""
import argparse
import dataclasses
import os
import re
import resource
import signal
import stat
import subprocess
import sys
import tempfile

import e2e
import traced
from traced import TEMP
# Calls the C library and the sanitizers make for their own ends (memory,
# clocks, their signal stack), not the tool's: a failure of one says nothing
# of the tool.
RUNTIME = {"mmap", "munmap", "mprotect", "madvise", "brk", "clock_gettime", "sigaltstack",
           "prlimit64", "futex", "sched_yield", "getrandom", "exit_group"}
ACTIONS = ("signal=SIGKILL", "signal=SIGINT", "error=EIO")
# Every signal whose default action ends a process but SIGKILL, SIGSTOP and
# the two a run ignores (SIGPIPE, SIGXFSZ); real-time ones by number, from
# 32: the C library keeps 32 and 33 for its threads, and they end a process
# all the same.
ENDING = ["SIGHUP", "SIGINT", "SIGQUIT", "SIGILL", "SIGTRAP", "SIGABRT", "SIGBUS", "SIGFPE",
          "SIGUSR1", "SIGSEGV", "SIGUSR2", "SIGALRM", "SIGTERM", "SIGSTKFLT", "SIGXCPU",
          "SIGVTALRM", "SIGPROF", "SIGIO", "SIGPWR", "SIGSYS"] + [
              str(n) for n in range(32, signal.SIGRTMAX + 1)]
OLD_MODE = 0o640  # of an output that is replaced: no one but its group may read it


@dataclasses.dataclass
class Scenario:
    name: str
    files: dict                 # laid out before the run, all of mode OLD_MODE
    args: list
    old: bytes                  # what in.mcx holds before, or None
    in_place: bool = False      # in a folder that takes no new name, run unprivileged
    link: str = ""              # in.mcx is a link to this name, holding nothing yet

    def whole(self):
        data = self.files.get("in.pda", self.files.get("in.mcx"))
        return e2e.image(b"BBSSSSPIN", data, (len(data) + e2e.BLOCK - 1) // e2e.BLOCK)


def scenarios():
    for size in (1, e2e.MAX):
        data = bytes((i * 13 + 5) % 256 for i in range(size))
        yield Scenario("%d B, input replaced by its own image" % size, {"in.mcx": data},
                       ["in.mcx"], data)
        yield Scenario("%d B, existing output" % size, {"in.pda": data, "in.mcx": b"old"},
                       ["in.pda"], b"old")
        yield Scenario("%d B, new output through a dangling link" % size, {"in.pda": data},
                       ["in.pda"], None, link="made.mcx")
        yield Scenario("%d B, new output" % size, {"in.pda": data}, ["in.pda"], None)
        yield Scenario("%d B, in place, its own input" % size, {"in.mcx": data}, ["in.mcx"],
                       data, in_place=True)
    # Cut to the image only once it is whole: a failure after the cut must
    # still put the old file back whole.
    longer = bytes((i * 7 + 3) % 256 for i in range(20000))
    yield Scenario("1 B, in place over a longer file", {"in.pda": b"\x01", "in.mcx": longer},
                   ["in.pda"], longer, in_place=True)


# An extended attribute that an existing output carries, and must keep.
NOTE = ("user.note", b"kept")


def lay_out(root, scenario):
    for name, data in scenario.files.items():
        path = os.path.join(root, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o666 if scenario.in_place else OLD_MODE)
        if name == "in.mcx" and not scenario.in_place:
            os.setxattr(path, *NOTE)
    if scenario.link:
        os.symlink(scenario.link, os.path.join(root, "in.mcx"))
    if scenario.in_place:
        e2e.hand_over(root)
        os.chmod(root, 0o555)


def strace(opts, scenario, root, *trace, **kw):
    """The tool run under strace, its memory laid out the same way every
    time: the sanitizers read /proc/self/maps at start, in as many reads as
    the layout takes, and strace counts those reads too."""
    user = ["-u", "nobody"] if scenario.in_place else []
    tool = opts.shared if scenario.in_place else opts.tool
    return traced.run(["setarch", "-R", opts.strace, *user, *trace, tool] + scenario.args, root,
                      **kw)


def whole_trace(opts, scenario):
    """The whole run's system calls after the input was opened, as lines."""
    with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root, traced.log() as log:
        lay_out(root, scenario)
        strace(opts, scenario, root, "-o", log)
        lines = traced.lines(log)
        os.chmod(root, 0o755)
    started = next(i for i, line in enumerate(lines)
                   if line.startswith("openat(") and '"%s"' % scenario.args[0] in line)
    return lines, started


def points(lines, started):
    """(syscall, n) for each call after `started`, n counting that syscall
    from the process's start as strace's when= does."""
    seen = {}
    found = []
    for i, line in enumerate(lines):
        name = line.split("(", 1)[0]
        if not re.fullmatch(r"\w+", name):
            continue
        seen[name] = seen.get(name, 0) + 1
        if i > started and name not in RUNTIME:
            found.append((name, seen[name], line))
    return found


def committed(found):
    """The point from which on the image is in place: its rename, or its
    sync when written in place."""
    done = [p for p in found if p[0] == "renameat"] or [p for p in found if p[0] == "fsync"]
    return found.index(done[-1])


def order_faults(lines):
    """A replacement's image is synced after its last write and before the
    rename, and the folder is synced after it."""
    text = "\n".join(lines)
    temp = re.search(r'openat\(\d+, "cardwrap-[^"]+", [^)]*O_CREAT[^)]*\) = (\d+)', text)
    if not temp:
        return ["no temporary file made"]
    fd = temp.group(1)
    index = {}
    for i, line in enumerate(lines):
        if line.startswith(("write(", "pwrite64(")) and not line.startswith("write(1,"):
            index["write"] = i
        elif line.startswith("renameat"):
            index["rename"] = i
        elif line.startswith("fsync(") and "rename" in index:
            index["folder"] = i
        elif line.startswith("fsync(%s)" % fd):
            index.setdefault("sync", i)
    order = [name for name, _ in sorted(index.items(), key=lambda item: item[1])]
    want = ["write", "sync", "rename", "folder"]
    return [] if order == want else ["calls in the order %s, want %s" % (order, want)]


def check(opts, scenario, point, action, after_commit=False):
    """`after_commit`: the point comes after the image was put in place."""
    faults = []
    with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root, traced.log() as log:
        lay_out(root, scenario)
        inject = "inject=%s:%s:when=%d" % (point[0], action, point[1])
        proc = strace(opts, scenario, root, "-o", log, "-e", "trace=openat," + point[0],
                      "-e", inject)
        faults += drift_faults(log, scenario)
        os.chmod(root, 0o755)
        whole = scenario.whole()
        path = os.path.join(root, "in.mcx")
        now = open(path, "rb").read() if os.path.exists(path) else None
        left = traced.left(root, "in.pda", "in.mcx", scenario.link)
        status = proc.returncode
        sent = action.startswith("signal=")
        number = sent and action[7:]
        number = sent and (int(number) if number.isdigit() else getattr(signal, number))
        died = sent and traced.died_by(status, number)

        if now not in (scenario.old, whole):
            faults.append("in.mcx holds %s" % ("nothing" if now is None else
                                              "%d bytes, neither old nor new" % len(now)))
        # Standard output's own write is one of the points, so the summary
        # line may be lost; the status must still tell the truth.
        if status == 0 and now != whole:
            faults.append("status 0 without the image in place")
        if status == 0 and scenario.old is not None and not scenario.in_place and (
                NOTE[0] not in os.listxattr(path) or os.getxattr(path, NOTE[0]) != NOTE[1]):
            faults.append("status 0 with the old file's extended attribute lost")
        if after_commit and now != whole:
            faults.append("the image was in place, and is not after the run")
        # No temporary file: no other way of writing the output either.
        if action == "error=EIO" and point[0] == "openat" and "cardwrap-" in point[2] and (
                status != 1 or now != scenario.old):
            faults.append("the temporary file not made, yet status %d, in.mcx %s" % (
                status, "old" if now == scenario.old else "not old"))
        if scenario.link and not os.path.islink(path):
            faults.append("in.mcx is no longer a link")
        # A failed read of the input is refused as such.
        said = (b"Cannot write : in.mcx\n", b"Cannot read : %s\n" % scenario.args[0].encode())
        if status == 1 and (now != scenario.old or not proc.stdout.endswith(said)):
            faults.append("status 1 but the output changed, or no Cannot write line")
        if status not in (0, 1) and not died:
            faults.append("status %d" % status)
        if sent and number != signal.SIGKILL and status not in (0, 1) and (
                not proc.stdout.startswith(e2e.BANNER)):
            faults.append("ended by the signal without its banner on standard output")
        if action != "signal=SIGKILL" and left:
            faults.append("left %r" % left)
        if action == "signal=SIGKILL":
            faults += leftover_faults(root, left, whole, scenario.old is not None)
        if "in.pda" in scenario.files and open(os.path.join(root, "in.pda"), "rb").read() != (
                scenario.files["in.pda"]):
            faults.append("the input changed")
    return ["%s, %s #%d, %s: %s" % (scenario.name, point[0], point[1], action, f)
            for f in faults]


def drift_faults(log, scenario):
    """The call stopped is one made once the input was opened, as in the run
    that counted it: the count has not drifted."""
    lines = traced.lines(log)
    opened = [i for i, line in enumerate(lines)
              if line.startswith("openat(") and '"%s"' % scenario.args[0] in line]
    # strace marks an error it made, and a signal it sent, right after the
    # call; SIGKILL shows only as the end.
    hit = [i for i, line in enumerate(lines) if line.endswith("(INJECTED)") or (
        line.startswith("--- SIG") and "si_code=SI_KERNEL" in line) or (
        line == "+++ killed by SIGKILL +++")]
    if not opened or not hit or hit[0] < opened[0]:
        return ["the call stopped was not one after the input was opened"]
    return []


def clash_faults(opts, scenario, lines):
    """The temporary file's name already taken, which its random part makes
    all but impossible unless someone could foresee it: the run gives up,
    the old file kept, and removes nothing it did not make."""
    made = [i for i, line in enumerate(lines) if line.startswith("openat(") and
            "cardwrap-" in line and "O_CREAT" in line]
    if not made:
        return ["%s: no temporary file made" % scenario.name]
    n = sum(1 for line in lines[:made[0] + 1] if line.startswith("openat("))
    with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root:
        lay_out(root, scenario)
        proc = strace(opts, scenario, root, "-o", "/dev/null", "-e", "trace=openat", "-e",
                      "inject=openat:error=EEXIST:when=%d" % n)
        now = traced.read(root, "in.mcx")
        left = traced.left(root, "in.pda", "in.mcx", scenario.link)
    if proc.returncode != 1 or now != scenario.old or left:
        return ["%s, name taken at openat #%d: status %d, in.mcx %s, left %r" % (
            scenario.name, n, proc.returncode, "old" if now == scenario.old else "not old", left)]
    return []


def injected_faults(opts):
    """Calls made to fail as some file systems, filters and systems fail them.
    A new output: a file system with no rename that keeps from replacing
    (NFS) makes it by a second name for the image, and one with no hard
    links either makes none; once the second name is made, the image is in
    place, whatever befalls the first; a name taken at every try, as if by
    others, is looked up again a bounded number of times, then given up; a
    rename that fails otherwise is no clash, and is not tried again. An
    existing output: a file system that keeps no extended attributes has
    none to carry; a failed removal of the folder's default ACL fails the
    run, as does a name for the new file with no randomness to make it, or
    a failure to give the new file the old one's owner and group that is no
    want of privilege."""
    new = Scenario("new output", {"in.pda": b"\x01"}, ["in.pda"], None)
    old = Scenario("existing output", {"in.pda": b"\x01", "in.mcx": b"old"}, ["in.pda"], b"old")
    link = Scenario("new output through a dangling link", {"in.pda": b"\x01"}, ["in.pda"], None,
                    link="made.mcx")
    faults = []
    for scenario, inject, status in (
            (new, ["renameat2:error=EINVAL"], 0),
            (new, ["renameat2:error=EINVAL", "linkat:error=EPERM"], 1),
            (new, ["renameat2:error=EINVAL", "unlinkat:error=EIO"], 0),
            (new, ["renameat2:error=EEXIST"], 1),
            (new, ["renameat2:error=EIO:when=1"], 1),
            (old, ["listxattr:error=EOPNOTSUPP"], 0),
            (old, ["fremovexattr:error=EIO"], 1),
            (old, ["getrandom:error=EIO"], 1),
            # A filter's refusal of randomness, or a failure to give the
            # new file the old one's owner for any reason but a want of
            # privilege, is no cause to write the file in place.
            (old, ["getrandom:error=EPERM"], 1),
            (old, ["fchown:error=EIO"], 1),
            # A link that cannot be read names no file to make.
            (link, ["readlinkat:error=EIO"], 1)):
        with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root:
            lay_out(root, scenario)
            calls = sorted({one.split(":")[0] for one in inject})
            trace = ["-o", "/dev/null", "-e", "trace=" + ",".join(calls)]
            for one in inject:
                trace += ["-e", "inject=" + one]
            proc = strace(opts, scenario, root, *trace)
            now = traced.read(root, "in.mcx")
            # A name that could not be removed may stay, as after SIGKILL.
            left = [name for name in traced.left(root, "in.pda", "in.mcx", scenario.link)
                    if "unlinkat:error=EIO" not in inject or not TEMP.match(name)]
        want = scenario.whole() if status == 0 else scenario.old
        if proc.returncode != status or now != want or left:
            faults.append("%s, %s: status %d, in.mcx %s, left %r" % (
                scenario.name, " and ".join(inject), proc.returncode,
                "as it should be" if now == want else "not", left))
    return faults


def unmarked_faults(opts):
    """Where statx cannot say whether a folder is append-only (an old
    kernel, a filter that refuses it), the folder's inode flags are asked;
    where neither answers, the file is written in place: no run leaves a
    new file it can neither rename nor remove. A file system that keeps no
    inode flags has no such mark, and its files are replaced."""
    scenario = Scenario("existing output", {"in.pda": b"\x01", "in.mcx": b"old"}, ["in.pda"],
                        b"old")
    faults = []
    for marked, inject, in_place in (
            (True, ["statx:error=ENOSYS"], True), (True, ["statx:error=EPERM"], True),
            (False, ["statx:error=ENOSYS", "ioctl:error=EPERM"], True),
            (False, ["statx:error=ENOSYS", "ioctl:error=ENOTTY"], False)):
        with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root:
            lay_out(root, scenario)
            was = os.stat(os.path.join(root, "in.mcx")).st_ino
            if marked and subprocess.run(["chattr", "+a", root], capture_output=True).returncode:
                return "SKIP append-only folders: none here"
            trace = ["-o", "/dev/null", "-e", "trace=statx,ioctl"]
            for one in inject:
                trace += ["-e", "inject=" + one]
            try:
                proc = strace(opts, scenario, root, *trace)
            finally:
                subprocess.run(["chattr", "-a", root], capture_output=True)
            now = traced.read(root, "in.mcx")
            same = os.stat(os.path.join(root, "in.mcx")).st_ino == was
            left = traced.left(root, "in.pda", "in.mcx")
        if proc.returncode != 0 or now != scenario.whole() or same != in_place or left:
            faults.append("%s folder, %s: status %d, in.mcx %s, %s, left %r" % (
                "an append-only" if marked else "a", " and ".join(inject), proc.returncode,
                "whole" if now == scenario.whole() else "not whole",
                "written in place" if same else "replaced", left))
    return faults


def device_faults(opts):
    """A block device is written where it is, its old bytes read first and
    put back should the write fail: an image longer than the device leaves
    it as it was; one that fits is there whole, the rest of the device
    untouched. One whose old bytes cannot be read (a node the unprivileged
    user may write but not read) is not written at all."""
    faults = []
    for device_size, size, readable, status in ((e2e.BLOCK, 9000, True, 1),
                                                (2 * e2e.BLOCK, 300, True, 0),
                                                (2 * e2e.BLOCK, 300, False, 1)):
        with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root:
            old = bytes((i * 7 + 1) % 256 for i in range(device_size))
            data = bytes(i % 251 for i in range(size))
            e2e.lay_out(root, {"disk": old, "in.pda": data})
            loop = subprocess.run(["losetup", "-f", "--show", os.path.join(root, "disk")],
                                  capture_output=True, text=True)
            if loop.returncode != 0:
                return "SKIP block devices: no loop device here"
            device = loop.stdout.strip()
            try:
                command = [opts.tool, "in.pda", "T", device]
                if not readable:
                    node = os.path.join(root, "node")
                    os.mknod(node, stat.S_IFBLK | 0o222, os.stat(device).st_rdev)
                    os.chown(node, e2e.NOBODY, e2e.NOBODY)
                    os.chmod(root, 0o755)
                    command = ["setpriv", "--reuid=%d" % e2e.NOBODY, "--regid=%d" % e2e.NOBODY,
                               "--clear-groups", opts.shared, "in.pda", "T", "node"]
                proc = traced.run(command, root)
                with open(device, "rb") as f:
                    now = f.read()
            finally:
                subprocess.run(["losetup", "-d", device], check=True)
        whole = e2e.image(b"T", data, (size + e2e.BLOCK - 1) // e2e.BLOCK)
        want = old if status else whole + old[len(whole):]
        if proc.returncode != status or now != want:
            faults.append("a %d-byte device%s, a %d-byte image: status %d, the device %s" % (
                device_size, "" if readable else " not to be read", len(whole), proc.returncode,
                "as it should be" if now == want else "not as it should be"))
    return faults


def cut_short():
    """A file-size limit that an image of more than one block passes."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (10000, 10000))


def unkept_faults(opts):
    """Written in place, a file whose old bytes could not be kept whole (read
    short, as when it grew shorter meanwhile) is emptied when the write then
    fails: never left holding part of an image."""
    scenario = Scenario("in place, the old bytes read short", {
        "in.pda": bytes(i % 251 for i in range(20000)), "in.mcx": b"old" * 1000}, ["in.pda"],
        b"old" * 1000, in_place=True)
    lines, started = whole_trace(opts, scenario)
    found = points(lines, started)
    locked = next(i for i, p in enumerate(found) if p[0] == "flock")
    keep = next(p for p in found[locked:] if p[0] == "read")
    with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root:
        lay_out(root, scenario)
        proc = strace(opts, scenario, root, "-o", "/dev/null", "-e", "trace=read", "-e",
                      "inject=read:retval=0:when=%d" % keep[1], preexec_fn=cut_short)
        os.chmod(root, 0o755)
        now = open(os.path.join(root, "in.mcx"), "rb").read()
    if proc.returncode != 1 or now != b"":
        return ["%s: status %d, in.mcx holds %d bytes, want 1 and none" % (
            scenario.name, proc.returncode, len(now))]
    return []


def unexpected_faults(opts):
    """A replacement that meets less than it expects, and still succeeds
    whole: an extended attribute removed between its listing and its read is
    passed over, not the run's failure; a folder the user may not read, so
    cannot open to sync once the image is renamed into it, has everything
    synced instead."""
    scenario = Scenario("existing output", {"in.pda": b"\x01A", "in.mcx": b"old"}, ["in.pda"],
                        b"old")
    faults = []
    with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root:
        lay_out(root, scenario)
        proc = strace(opts, scenario, root, "-o", "/dev/null", "-e", "trace=getxattr,lgetxattr",
                      "-e", "inject=getxattr,lgetxattr:error=ENODATA:when=1")
        path = os.path.join(root, "in.mcx")
        if proc.returncode != 0 or open(path, "rb").read() != scenario.whole():
            faults.append("an attribute gone meanwhile: status %d, in.mcx %s" % (
                proc.returncode, "whole" if open(path, "rb").read() == scenario.whole()
                else "not whole"))
    with tempfile.TemporaryDirectory(prefix="cardwrap-crash-") as root:
        lay_out(root, scenario)
        e2e.hand_over(root)
        os.chmod(root, 0o333)
        scenario.in_place = True  # run as the unprivileged user, who owns all here
        with traced.log() as log:
            proc = strace(opts, scenario, root, "-o", log, "-e", "trace=renameat,sync")
            calls = [line.split("(", 1)[0] for line in traced.lines(log) if "(" in line]
        os.chmod(root, 0o755)
        now = open(os.path.join(root, "in.mcx"), "rb").read()
        if proc.returncode != 0 or now != scenario.whole() or calls[-2:] != ["renameat", "sync"]:
            faults.append("a folder the user may not read: status %d, calls %r" % (
                proc.returncode, calls))
    return faults


def leftover_faults(root, left, whole, replacing):
    if len(left) > 1 or any(not TEMP.match(name) for name in left):
        return ["left %r after SIGKILL" % left]
    faults = []
    for name in left:
        st = os.stat(os.path.join(root, name))
        mode = stat.S_IMODE(st.st_mode)
        if replacing and st.st_size < len(whole) and mode & 0o077:
            faults.append("the temporary file was mode %o with part of the image" % mode)
        if replacing and mode & ~OLD_MODE:
            faults.append("the temporary file was mode %o, the file it replaces %o" % (
                mode, OLD_MODE))
    return faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--strace", required=True)
    opts = parser.parse_args()
    opts.tool = os.path.abspath(opts.tool)
    # A copy that the unprivileged user may run, wherever the build is.
    opts.shared = e2e.shared_copy(opts.tool)

    root = os.geteuid() == 0
    checks = []
    for scenario in scenarios():
        # Written in place as another user, strace -u.
        if scenario.in_place and not root:
            checks.append(lambda s=scenario: "SKIP %s: runs as another user: needs root" % s.name)
            continue
        lines, started = whole_trace(opts, scenario)
        found = points(lines, started)
        if not scenario.in_place:
            checks.append(lambda s=scenario, l=lines[started:]: [
                "%s: %s" % (s.name, f) for f in order_faults(l)])
            checks.append(lambda s=scenario, l=lines: clash_faults(opts, s, l))
        actions = [a for a in ACTIONS if not (scenario.in_place and a == "signal=SIGKILL")]
        done = committed(found)
        for at, point in enumerate(found):
            for action in actions:
                checks.append(lambda s=scenario, p=point, a=action, after=at > done:
                              check(opts, s, p, a, after))
        # Every signal that ends a process, while the image is being written;
        # they all take the one same way, so the smaller inputs suffice.
        first_write = [p for p in found if p[0] in ("write", "pwrite64")][0]
        for name in ENDING if len(scenario.whole()) < e2e.MAX else ():
            checks.append(lambda s=scenario, p=first_write, n=name:
                          check(opts, s, p, "signal=" + n))
    checks.append(lambda: injected_faults(opts))
    for needs_root in (unkept_faults, unexpected_faults, unmarked_faults, device_faults):
        checks.append(lambda f=needs_root: f(opts) if root else
                      "SKIP %s: writes in place or in folders as another user: needs root" %
                      f.__name__)
    return traced.verdict(checks)

if __name__ == "__main__":
    sys.exit(main())
