"""What the crash, race and stop tests share: the tool run, often under
strace, in an environment where the sanitizers stand aside, with a time
limit and a log; what a folder holds afterwards; and one verdict for a
harness's checks."""
import contextlib
import os
import re
import signal
import subprocess
import tempfile
import time

import e2e

# LeakSanitizer cannot work under ptrace, and says so by failing the run; and
# the sanitizers' own handlers for faults would end a run that such a signal
# reaches with their report and status, not by the signal.
ENV = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
           ":detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0")
TEMP = re.compile(r"^cardwrap-\d+-[0-9a-f]{8}\.tmp$")


def run(command, root, **kw):
    """`command` run to its end in `root`, its output kept; one that hangs
    fails its check in seconds."""
    return subprocess.run(command, cwd=root, env=ENV, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=e2e.HANG, **kw)


def new_log():
    """A fresh, empty file for strace's log; whoever asks removes it."""
    fd, path = tempfile.mkstemp(prefix="cardwrap-trace-", suffix=".log")
    os.close(fd)
    return path


@contextlib.contextmanager
def log():
    """A fresh file for strace's log, gone afterwards."""
    path = new_log()
    try:
        yield path
    finally:
        os.remove(path)


class Run:
    """The tool started under strace, as `user` ("nobody" or root), stopped
    by SIGSTOP just after its `when`-th call to `syscall`, if one is given;
    its flock calls logged."""

    def __init__(self, opts, root, args, user="", stop=None, limit=None):
        """`limit`: a function that sets the run's limits, as preexec_fn."""
        self.log = new_log()
        trace = ["-e", "trace=flock" + (",%s" % stop[0] if stop else "")]
        if stop:
            trace += ["-e", "inject=%s:signal=SIGSTOP:when=%d" % stop]
        command = [opts.strace, "-o", self.log] + (["-u", user] if user else []) + trace
        tool = opts.shared if user else opts.tool
        # A process group of its own, whose parent is in another: stopped
        # by SIGTSTP, it stops, whatever group the test runs in (the kernel
        # drops SIGTSTP sent to an orphaned group).
        self.proc = subprocess.Popen(command + [tool] + args, cwd=root, env=ENV,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     preexec_fn=limit, process_group=0)
        self.stopped = None

    def said(self, text):
        with open(self.log) as f:
            return text in f.read()

    def wait_for(self, text):
        """Until the log says `text`, or the run ends, or a minute has gone:
        a run that hangs fails the check, not the suite."""
        deadline = time.monotonic() + 60
        while self.proc.poll() is None and not self.said(text) and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.said(text)

    def traced_pid(self):
        """The tool's own process, strace's child."""
        with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as kids:
            return int(kids.read().split()[0])

    def wait_stopped(self):
        """The traced process, once strace has seen it stop."""
        if self.wait_for("stopped by SIGSTOP"):
            self.stopped = self.traced_pid()
        return self.stopped

    def finish(self):
        if self.stopped:
            try:
                os.kill(self.stopped, signal.SIGCONT)
            except ProcessLookupError:
                pass  # gone already: its status says how
        try:
            out = self.proc.communicate(timeout=e2e.HANG)[0]
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out = self.proc.communicate()[0]
        os.remove(self.log)
        return self.proc.returncode, out


def lines(path):
    with open(path) as f:
        return f.read().splitlines()


def read(root, name):
    """What `name` in `root` holds, or None if nothing is there."""
    path = os.path.join(root, name)
    return open(path, "rb").read() if os.path.exists(path) else None


def left(root, *expected):
    """What `root` holds beyond the names expected."""
    return sorted(set(os.listdir(root)) - set(expected))


def died_by(status, number):
    return status in (-number, 128 + number)


def verdict(checks):
    """Runs each check, a function giving its faults, or "SKIP why" where it
    cannot run here; prints them. The status: 1 if any failed, else the one
    that tells CTest the test was skipped where every check skipped, else 0."""
    passed = failed = skipped = 0
    for check in checks:
        faults = check()
        if isinstance(faults, str):
            print(faults)
            skipped += 1
            continue
        for fault in faults:
            print("FAIL " + fault)
        failed += bool(faults)
        passed += not faults
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0 if passed else e2e.SKIPPED
