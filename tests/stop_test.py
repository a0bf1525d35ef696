#!/usr/bin/env python3
"""A run asked to stop stops, and keeps every promise on its way out:
  - on a file system that stalls a call (stall_fs.cpp, as a share that stops
    answering does), one SIGINT, SIGTERM, SIGHUP or SIGQUIT ends the run by
    that signal while the call hangs, where the stall would outlast the
    test; the output holds its old content, or still nothing; no temporary
    file is left; a file written in place has its old bytes back;
  - while it waits its turn on a file another program holds, a stop ends it
    at once; Ctrl-Z (SIGTSTP) stops it for as long as it is stopped, and it
    goes on when continued; a stop it was started ignoring (nohup) leaves it
    running.

    stop_test.py --tool PATH --strace PATH [--stall-fs PATH]
"""
import argparse
import fcntl
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

import e2e
import traced

OLD = b"old" * 100
DATA = bytes(i % 251 for i in range(300))
WHOLE = e2e.image(b"T", DATA, 1)

# The call stalled, the signal sent while it hangs, and the output: an
# existing file replaced, a new one made, or one written in place (its
# folder takes no new name from the unprivileged user).
STALLS = [
    ("an existing output's new file, created", "create", signal.SIGINT, "existing"),
    ("an existing output's new file, made before the call gave up", "made", signal.SIGTERM,
     "existing"),
    ("an existing output's image, written", "write", signal.SIGTERM, "existing"),
    ("a new output's image, synced", "fsync", signal.SIGHUP, "new"),
    ("a file written in place, opened", "open", signal.SIGINT, "in place"),
    ("a file written in place, its image written", "write", signal.SIGQUIT, "in place"),
    # Stopped for a while, then continued: it goes on. Should the file system
    # have given the call up meanwhile, the run says so.
    ("an existing output's image, written", "write", signal.SIGTSTP, "existing"),
    # Asked to stop between two calls, the run gives up the next that waits.
    ("an existing output's new file, created after a stop", "create", signal.SIGINT,
     "existing", "statx"),
]


def as_nobody():
    os.setgid(e2e.NOBODY)
    os.setuid(e2e.NOBODY)


class Stalling:
    """stall_fs over `back`, mounted at `mount` for as long as it is in use."""

    def __init__(self, program, back, mount, op):
        self.mount = mount
        self.proc = subprocess.Popen([program, back, mount, op], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        deadline = time.monotonic() + 10
        while not os.path.ismount(mount) and self.proc.poll() is None and (
                time.monotonic() < deadline):
            time.sleep(0.01)

    def __enter__(self):
        return self if os.path.ismount(self.mount) else None

    def __exit__(self, *_):
        subprocess.run(["umount", "-l", self.mount], capture_output=True)
        self.proc.terminate()
        self.proc.wait(timeout=e2e.HANG)

    def stalled(self, tool):
        """True once it stalls a call; False if `tool` ended first."""
        while tool.poll() is None:
            if select.select([self.proc.stdout], [], [], 0.05)[0]:
                return self.proc.stdout.readline().startswith("stalled")
        return False


def stall_faults(opts, name, op, number, output, noted=""):
    """`noted`: the call at which the signal comes, strace's, before the
    stall; else it comes while the stalled call waits."""
    with tempfile.TemporaryDirectory(prefix="cardwrap-stop-") as root:
        back, mount = os.path.join(root, "back"), os.path.join(root, "mnt")
        os.mkdir(mount)
        e2e.lay_out(root, {"in.pda": DATA, "back/in.mcx": OLD} if output != "new" else {
            "in.pda": DATA, "back/": e2e.DIR})
        os.chmod(root, 0o755)
        if output == "in place":
            os.chmod(os.path.join(back, "in.mcx"), 0o666)
            os.chmod(back, 0o555)
        with Stalling(opts.stall_fs, back, mount, op) as fs:
            if fs is None:
                return "SKIP %s: no FUSE file system could be mounted here" % name
            command = [opts.shared, "../in.pda", "T", "in.mcx"]
            if noted:
                command = [opts.strace, "-o", "/dev/null", "-e", "trace=" + noted, "-e",
                           "inject=%s:signal=%d:when=1" % (noted, number)] + command
            tool = subprocess.Popen(command, cwd=mount, env=traced.ENV, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, process_group=0,
                                    preexec_fn=as_nobody if output == "in place" else None)
            stalled = fs.stalled(tool)
            if not noted:
                tool.send_signal(number)
            state = ""
            if number == signal.SIGTSTP:
                state = stopped_state(tool.pid)
                tool.send_signal(signal.SIGCONT)
            try:
                tool.communicate(timeout=e2e.HANG)
            except subprocess.TimeoutExpired:
                tool.kill()
                tool.communicate()
                return ["%s, stalled: still running %d s after %s" % (
                    name, e2e.HANG, signal.Signals(number).name)]
        os.chmod(back, 0o755)
        now = traced.read(back, "in.mcx")
        left = traced.left(back, "in.mcx")
    want = None if output == "new" else OLD
    if number == signal.SIGTSTP:
        ended = state == "T" and tool.returncode in (0, 1)
        want = WHOLE if tool.returncode == 0 else want
    else:
        ended = traced.died_by(tool.returncode, number)
    if not stalled or not ended or now != want or left:
        return ["%s, stalled: %s, %sstatus %d after %s, in.mcx %s, left %r" % (
            name, "stalled" if stalled else "never stalled", state and state + ", ",
            tool.returncode, signal.Signals(number).name,
            "as wanted" if now == want else "not as wanted", left)]
    return []


def ignore_hangups():
    signal.signal(signal.SIGHUP, signal.SIG_IGN)


def state_of(pid):
    """A process's state as the kernel shows it ("T" stopped, "t" stopped
    under strace), or "gone"."""
    try:
        with open("/proc/%d/stat" % pid) as st:
            return st.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return "gone"


def stopped_state(pid):
    """The state of a process sent SIGTSTP, once it shows stopped ("T", or
    "t" under strace) or a while has gone."""
    deadline = time.monotonic() + e2e.HANG
    state = state_of(pid)
    while state not in ("t", "T", "gone") and time.monotonic() < deadline:
        time.sleep(0.01)
        state = state_of(pid)
    return state


def turn_faults(opts, name, number, want_status, want, started=None):
    """Another program holds the file the run must write in place: the run
    waits its turn, and meanwhile gets signal `number`; then the hold ends.
    As the unprivileged user where root runs this."""
    user = "nobody" if os.geteuid() == 0 else ""
    with tempfile.TemporaryDirectory(prefix="cardwrap-stop-") as root:
        e2e.lay_out(root, {"in.pda": DATA, "d/in.mcx": OLD})
        os.chmod(os.path.join(root, "d", "in.mcx"), 0o666)
        os.chmod(os.path.join(root, "d"), 0o555)
        if user:
            os.chmod(root, 0o755)
        held = os.open(os.path.join(root, "d", "in.mcx"), os.O_RDONLY | os.O_CLOEXEC)
        fcntl.flock(held, fcntl.LOCK_EX)
        run = traced.Run(opts, root, ["in.pda", "T", "d/in.mcx"], user, limit=started)
        waited = run.wait_for("EAGAIN")
        pid = run.traced_pid()
        os.kill(pid, number)
        state = ""
        if number == signal.SIGTSTP:
            state = stopped_state(pid)
            # Kept stopped past the two seconds it waits in all, it goes
            # on once continued, the hold gone by then.
            time.sleep(3)
        os.close(held)
        if number == signal.SIGTSTP:
            os.kill(pid, signal.SIGCONT)
        status, out = run.finish()
        now = traced.read(os.path.join(root, "d"), "in.mcx")
        left = traced.left(os.path.join(root, "d"), "in.mcx")
        os.chmod(os.path.join(root, "d"), 0o755)
    stopped = number != signal.SIGTSTP or state in ("t", "T")
    if not waited or not stopped or status != want_status or now != want or left:
        return ["%s: %s, then %s, status %d %r, in.mcx %s, left %r" % (
            name, "waited" if waited else "never waited", state, status, out[-40:],
            "as wanted" if now == want else "not as wanted", left)]
    return []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--strace", required=True)
    parser.add_argument("--stall-fs", default="", help="the stalling file system, if built")
    opts = parser.parse_args()
    opts.tool = os.path.abspath(opts.tool)
    opts.shared = e2e.shared_copy(opts.tool)
    root = os.geteuid() == 0
    checks = [
        lambda: turn_faults(opts, "asked to stop while it waits its turn", signal.SIGTERM,
                            -signal.SIGTERM, OLD),
        lambda: turn_faults(opts, "stopped while it waits its turn, then continued",
                            signal.SIGTSTP, 0, WHOLE),
        lambda: turn_faults(opts, "a hangup it was started ignoring", signal.SIGHUP, 0, WHOLE,
                            ignore_hangups),
    ]
    for row in STALLS:
        if not root or not opts.stall_fs or not os.path.exists("/dev/fuse"):
            checks.append(lambda r=row: "SKIP %s, stalled: mounting a FUSE file system needs "
                          "root, /dev/fuse and stall_fs" % r[0])
        else:
            checks.append(lambda r=row: stall_faults(opts, *r))
    return traced.verdict(checks)


if __name__ == "__main__":
    sys.exit(main())
