#!/usr/bin/env python3
"""Runs the built tool as its users do, each case in a fresh folder, and checks
the exact bytes on standard output, the exit status, and every file in the
folder afterwards: the ones the case expects to change, and that nothing else
was created, changed or removed.

    e2e.py --tool PATH [--emulator CMD] [--windows] GROUP|all
"""
import argparse
import atexit
import dataclasses
import fcntl
import os
import resource
import select
import shutil
import stat
import subprocess
import sys
import tempfile

BANNER = b"cardwrap version 1.1\n"
USAGE = (b"Usage: cardwrap in-filename [memcard-title [out-filename]]\n"
         b"   ex)cardwrap pkapp.pda BBSSSSP00000FILE01\n")
BLOCK = 8192
MAX = 15 * BLOCK
DIR = object()  # in Case.files: a folder rather than a file
FIFO = ("fifo",)  # how a snapshot shows a FIFO
NOBODY = 65534  # the unprivileged user that root runs the tool as, where a case asks


def image(title, data, blocks):
    """The save image as laid out: a 20-byte title field, 34 zero bytes, the
    data, zero bytes to the end of the last block."""
    assert len(title) <= 20
    return title + bytes(20 - len(title)) + bytes(34) + data + bytes(blocks * BLOCK - len(data))


def summary(size, blocks):
    return b"%d => %d bytes [%d blocks]\n" % (size, blocks * BLOCK + 34, blocks)


def b(text):
    return text if isinstance(text, bytes) else text.encode()


@dataclasses.dataclass
class Case:
    name: str
    args: list
    stdout: bytes                                       # after the banner
    status: int = 0
    files: dict = dataclasses.field(default_factory=dict)    # laid out before the run
    changes: dict = dataclasses.field(default_factory=dict)  # path: bytes, or None for gone
    only: str = ""                                      # "posix" or "windows"
    fsize_limit: int = 0                                # bytes, on POSIX
    stack_limit: int = 0                                # bytes, on POSIX
    umask: int = -1                                     # on POSIX; -1 leaves it as it is
    setup: object = None                # function(root): links, FIFOs and modes to lay out
    modes: dict = dataclasses.field(default_factory=dict)  # path: permission bits afterwards
    unprivileged: bool = False          # run without root's power over permissions
    reader: str = ""                    # on the FIFO "pipe": "whole" reads it all, "gone" leaves
    piped: bytes = None                 # what a "whole" reader must get
    cwd: str = ""                       # the folder, in the case's own, that the tool runs in
    locale: str = ""                    # LANG for the run; the case is skipped where it is missing


def converted(name, path, data, title, blocks, args=None, out=None, **kw):
    """A conversion that succeeds and writes one image."""
    out = out or os.path.splitext(path)[0] + ".mcx"
    return Case(name, args or [path], summary(len(data), blocks),
                files={path: data, **kw.pop("files", {})},
                changes={out: image(title, data, blocks)}, **kw)


def refused(name, args, message, path, files=None, **kw):
    """A run that prints one error line and changes nothing."""
    return Case(name, args, b(message) + b" : " + b(path) + b"\n", 1, files or {}, **kw)


APP = b"\x01PKAPP\x00\x0a\x0d\x1a\xff data"


def usage_cases():
    return [
        Case("no arguments", [], USAGE),
        Case("slash question mark", ["/?"], USAGE),
        Case("dash question mark", ["-?"], USAGE),
        refused("help word with a title is a path", ["/?", "T"], "Cannot read", "/?"),
        refused("help word with title and output", ["-?", "T", "out.mcx"], "Cannot read", "-?"),
        refused("dash h is a path", ["-h"], "Cannot read", "-h"),
        refused("slash h is a path", ["/h"], "Cannot read", "/h", only="posix"),
        refused("lone question mark is a path", ["?"], "Cannot read", "?"),
        refused("upper-case help word is a path", ["-H"], "Cannot read", "-H"),
        refused("help word with more after it is a path", ["-?x"], "Cannot read", "-?x"),
        converted("an existing file named -h", "-h", APP, b"BBSSSSP-H", 1),
    ]


def long_name(dir_len, name_len, ext):
    return "d" * dir_len + "/" + "n" * name_len + ext


def naming_cases():
    title20 = "12345678901234567890"
    return [
        converted("plain name", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1),
        converted("in a folder", "dir/pkapp.pda", APP, b"BBSSSSPPKAPP", 1),
        converted("letter case kept in output name", "Dir/PkApp.pda", APP, b"BBSSSSPPKAPP", 1),
        converted("last dot only", "dir/a.b.c", APP, b"BBSSSSPA.B", 1, out="dir/a.b.mcx"),
        converted("name that is all extension", ".pda", APP, b"BBSSSSP", 1, out=".mcx"),
        converted("no extension", "pkapp", APP, b"BBSSSSPPKAPP", 1, out="pkapp.mcx"),
        converted("no extension in a dotted folder", "dir.d/pkapp", APP, b"BBSSSSPPKAPP", 1,
                  out="dir.d/pkapp.mcx"),
        converted("trailing dot", "pkapp.", APP, b"BBSSSSPPKAPP", 1, out="pkapp.mcx", only="posix"),
        converted("13-byte name fills the title", "abcdefghijklm.pda", APP,
                  b"BBSSSSPABCDEFGHIJKLM", 1),
        converted("14-byte name is cut", "abcdefghijklmn.pda", APP, b"BBSSSSPABCDEFGHIJKLM", 1),
        converted("backslash is a separator", "dir\\pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  out="dir\\pkapp.mcx", only="posix"),
        converted("Shift_JIS name keeps its trail bytes", b"a\x82\x61b.pda", APP,
                  b"BBSSSSPA\x82\x61B", 1, out=b"a\x82\x61b.mcx", only="posix"),
        converted("given title taken as it is", "pkapp.pda", APP, b"lower Case", 1,
                  args=["pkapp.pda", "lower Case"]),
        converted("given title of 20 bytes", "pkapp.pda", APP, b(title20), 1,
                  args=["pkapp.pda", title20]),
        converted("given title of 21 bytes is cut", "pkapp.pda", APP, b(title20), 1,
                  args=["pkapp.pda", title20 + "X"]),
        converted("empty given title", "pkapp.pda", APP, b"", 1, args=["pkapp.pda", ""]),
        converted("output name used as given", "pkapp.pda", APP, b"T", 1,
                  args=["pkapp.pda", "T", "out"], out="out"),
        converted("arguments after the third ignored", "pkapp.pda", APP, b"T", 1,
                  args=["pkapp.pda", "T", "out.bin", "extra", "more"], out="out.bin"),
        converted("input replaced by its own image", "pkapp.mcx", APP, b"BBSSSSPPKAPP", 1),
        converted("input named as the output", "pkapp.pda", APP, b"T", 1,
                  args=["pkapp.pda", "T", "pkapp.pda"], out="pkapp.pda"),
        converted("existing output replaced", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  files={"pkapp.mcx": b"old" * 5000}),
        converted("260-byte path, 256-byte stem", long_name(100, 155, ".pda"), APP,
                  b"BBSSSSPNNNNNNNNNNNNN", 1, only="posix"),
        converted("256-byte stem from a trailing dot", long_name(100, 155, "."), APP,
                  b"BBSSSSPNNNNNNNNNNNNN", 1, out=long_name(100, 155, ".mcx"), only="posix"),
        converted("260-byte path with an output name", long_name(100, 159, ""), APP, b"T", 1,
                  args=[long_name(100, 159, ""), "T", "out.mcx"], out="out.mcx", only="posix"),
        refused("261-byte path", [long_name(100, 156, ".pda"), "T", "out.mcx"],
                "Path too long", long_name(100, 156, ".pda"),
                files={long_name(100, 156, ".pda"): APP}, only="posix"),
        refused("257-byte stem", [long_name(100, 156, ".")], "Path too long",
                long_name(100, 156, "."), files={long_name(100, 156, "."): APP}, only="posix"),
        refused("260-byte stem", [long_name(100, 159, "")], "Path too long",
                long_name(100, 159, ""), files={long_name(100, 159, ""): APP}, only="posix"),
        refused("very long path", ["x" * 5000], "Path too long", "x" * 5000),
        # Windows reads a backslash as a separator too, drops a name's trailing
        # dots, matches names without regard to case and resolves a drive
        # prefix with no separator against that drive's current folder.
        converted("backslash names a folder", "dir/pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  args=["dir\\pkapp.pda"], only="windows"),
        converted("input's trailing dot dropped", "pkapp", APP, b"BBSSSSPPKAPP", 1,
                  args=["pkapp."], only="windows"),
        converted("output's trailing dot dropped", "pkapp.pda", APP, b"T", 1,
                  args=["pkapp.pda", "T", "out."], out="out", only="windows"),
        converted("names match in any case", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  args=["PKAPP.PDA"], out="PKAPP.mcx", only="windows"),
        converted("drive prefix without a separator", "pkapp.pda", APP, b"BBSSSSPZ:PKAPP", 1,
                  args=["Z:pkapp.pda"], only="windows"),
        # The program gets its arguments in the ANSI code page, where a
        # character the code page lacks turns into a look-alike or '?': such
        # a name is refused, never taken for another file's.
        refused("fullwidth letter is not its look-alike", ["\uff41.pda"], "Cannot read", "a.pda",
                files={"a.pda": APP, "a.mcx": b"good"}, only="windows"),
        refused("fullwidth solidus does not climb a folder", ["..\uff0fx.pda"], "Cannot read",
                "../x.pda", files={"x.pda": APP, "x.mcx": b"good", "work": DIR}, cwd="work",
                only="windows"),
        refused("name outside the code page", ["\u30bb\u30fc\u30d6.pda"], "Cannot read",
                "???.pda", files={"\u30bb\u30fc\u30d6.pda": APP}, only="windows"),
        refused("output name with a fullwidth solidus", ["a.pda", "T", "out\uff0fa.mcx"],
                "Cannot write", "out/a.mcx", files={"a.pda": APP, "out": DIR}, only="windows"),
        converted("name the code page holds", "\u00e9.pda", APP, b"BBSSSSP\xe9", 1,
                  only="windows"),
        converted("Shift_JIS name under code page 932", "\u30bb\u30fc\u30d6.pda", APP,
                  b"BBSSSSP\x83\x5a\x81\x5b\x83\x75", 1, locale="ja_JP.UTF-8",
                  only="windows"),
    ]


def sizes_cases():
    cases = []
    for size, blocks in [(1, 1), (8191, 1), (8192, 1), (8193, 2), (16384, 2),
                         (16385, 3), (MAX - 1, 15), (MAX, 15)]:
        data = bytes((i * 7 + 3) % 256 for i in range(size))
        cases.append(converted("%d bytes" % size, "in.pda", data, b"BBSSSSPIN", blocks))
    for size in [MAX + 1, MAX + BLOCK, 4 * MAX]:
        cases.append(refused("%d bytes" % size, ["in.pda"], "File size too large", "in.pda",
                             files={"in.pda": b"x" * size, "in.mcx": b"kept"}))
    cases.append(refused("empty input", ["in.pda"], "Cannot read", "in.pda",
                         files={"in.pda": b"", "in.mcx": b"kept"}))
    return cases


def bytes_cases():
    patterns = {
        "every byte value": bytes(range(256)) * 40,
        "one zero byte": b"\x00",
        "one 0xFF byte": b"\xff",
        "0xFF throughout": b"\xff" * BLOCK,
        "line ends": b"\r\n\n\r" * 3000,
        "end-of-file marks": b"\x1a" * 100 + b"after",
        "ends on a zero": b"data\x00",
        "ends on CR": b"data\r",
    }
    return [converted(name, "in.pda", data, b"T", (len(data) + BLOCK - 1) // BLOCK,
                      args=["in.pda", "T"]) for name, data in patterns.items()]


def failures_cases():
    return [
        refused("missing input", ["nothing.pda"], "Cannot read", "nothing.pda"),
        refused("missing input leaves the output", ["nothing.pda"], "Cannot read", "nothing.pda",
                files={"nothing.mcx": b"kept"}),
        refused("input is a folder", ["folder.pda"], "Cannot read", "folder.pda",
                files={"folder.pda": DIR, "folder.mcx": b"kept"}),
        refused("output folder missing", ["pkapp.pda", "T", "no/such/out.mcx"], "Cannot write",
                "no/such/out.mcx", files={"pkapp.pda": APP}),
        refused("output is a folder", ["pkapp.pda", "T", "out"], "Cannot write", "out",
                files={"pkapp.pda": APP, "out": DIR}),
        refused("full device", ["pkapp.pda", "T", "/dev/full"], "Cannot write", "/dev/full",
                files={"pkapp.pda": APP}, only="posix"),
        refused("file-size limit cuts the write", ["in.pda"], "Cannot write", "in.mcx",
                files={"in.pda": b"y" * MAX}, only="posix", fsize_limit=65536),
        refused("cut write keeps the replaced output", ["in.pda"], "Cannot write", "in.mcx",
                files={"in.pda": b"y" * MAX, "in.mcx": b"old"}, only="posix", fsize_limit=65536),
        refused("cut write keeps the input it was to replace", ["in.mcx"], "Cannot write",
                "in.mcx", files={"in.mcx": b"y" * MAX}, only="posix", fsize_limit=65536),
        # The image fits in the stream's buffer until the close flushes it.
        refused("write failing only at the final flush", ["in.pda"], "Cannot write", "in.mcx",
                files={"in.pda": b"z"}, only="posix", fsize_limit=BLOCK),
        refused("final flush failing keeps the old output", ["in.pda"], "Cannot write", "in.mcx",
                files={"in.pda": b"z", "in.mcx": b"old"}, only="posix", fsize_limit=BLOCK),
    ]


def made_mode(umask):
    """The permissions a file made with open(..., 0666) gets under `umask`."""
    with tempfile.TemporaryDirectory(prefix="cardwrap-e2e-") as folder:
        old = os.umask(umask)
        try:
            os.close(os.open(os.path.join(folder, "f"), os.O_CREAT | os.O_WRONLY, 0o666))
        finally:
            os.umask(old)
        return stat.S_IMODE(os.stat(os.path.join(folder, "f")).st_mode)


def chmod(path, mode):
    return lambda root: os.chmod(os.path.join(root, path), mode)


def symlinks(*pairs):
    """Links made as (name, what it points to) pairs."""
    def make(root):
        for name, target in pairs:
            os.symlink(target, os.path.join(root, name))
    return make


def hardlink(existing, name):
    return lambda root: os.link(os.path.join(root, existing), os.path.join(root, name))


def fifo(root):
    os.mkfifo(os.path.join(root, "pipe"))


def outputs_cases():
    old = b"old image" * 100
    big = b"y" * MAX
    app = {"pkapp.pda": APP}
    given = ["pkapp.pda", "T"]
    return [
        converted("new output's mode under umask 000", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  umask=0, modes={"pkapp.mcx": made_mode(0)}, only="posix"),
        converted("new output's mode under umask 022", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  umask=0o022, modes={"pkapp.mcx": made_mode(0o022)}, only="posix"),
        converted("new output's mode under umask 077", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  umask=0o077, modes={"pkapp.mcx": made_mode(0o077)}, only="posix"),
        converted("replaced output keeps mode 0640", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  files={"pkapp.mcx": old}, setup=chmod("pkapp.mcx", 0o640),
                  modes={"pkapp.mcx": 0o640}, only="posix"),
        converted("symlinked output stays a link", "pkapp.pda", APP, b"T", 1,
                  args=given + ["link.mcx"], out="real/save.mcx", files={"real/save.mcx": old},
                  setup=symlinks(("link.mcx", "real/save.mcx")), only="posix"),
        converted("chain of relative links followed", "pkapp.pda", APP, b"T", 1,
                  args=given + ["a.mcx"], out="sub/c.mcx", files={"sub/c.mcx": old},
                  setup=symlinks(("a.mcx", "sub/b.mcx"), ("sub/b.mcx", "c.mcx")), only="posix"),
        converted("dangling link creates its target", "pkapp.pda", APP, b"T", 1,
                  args=given + ["link.mcx"], out="made.mcx",
                  setup=symlinks(("link.mcx", "made.mcx")), only="posix"),
        refused("link loop", given + ["loop.mcx"], "Cannot write", "loop.mcx", files=app,
                setup=symlinks(("loop.mcx", "loop.mcx")), only="posix"),
        Case("FIFO written in place", given + ["pipe"], summary(len(APP), 1), files=app,
             setup=fifo, changes={"pipe": FIFO}, reader="whole", piped=image(b"T", APP, 1),
             only="posix"),
        refused("FIFO whose reader leaves", ["in.pda", "T", "pipe"], "Cannot write", "pipe",
                files={"in.pda": big}, setup=fifo, changes={"pipe": FIFO}, reader="gone",
                only="posix"),
        Case("device written in place", given + ["/dev/null"], summary(len(APP), 1), files=app,
             only="posix"),
        Case("device written in place", given + ["NUL"], summary(len(APP), 1), files=app,
             only="windows"),
        converted("hard-linked output: the other name keeps its bytes", "pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"pkapp.mcx": old},
                  setup=hardlink("pkapp.mcx", "snap.mcx"), only="posix"),
        refused("input hard-linked as the output survives a cut write", ["in.pda"],
                "Cannot write", "in.mcx", files={"in.pda": big},
                setup=hardlink("in.pda", "in.mcx"), only="posix", fsize_limit=65536),
        refused("read-only output refused and kept", ["pkapp.pda"], "Cannot write", "pkapp.mcx",
                files={**app, "pkapp.mcx": old}, setup=chmod("pkapp.mcx", 0o444),
                unprivileged=True),
        converted("folder taking no new name: written in place", "dir/pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"dir/pkapp.mcx": old},
                  setup=lambda root: (chmod("dir/pkapp.mcx", 0o666)(root),
                                      chmod("dir", 0o555)(root)),
                  unprivileged=True, only="posix"),
        refused("folder taking no new name, no output yet", ["dir/pkapp.pda"], "Cannot write",
                "dir/pkapp.mcx", files={"dir/pkapp.pda": APP}, setup=chmod("dir", 0o555),
                unprivileged=True, only="posix"),
        converted("name with no room for a suffix: written in place", "pkapp.pda", APP, b"T", 1,
                  args=given + ["n" * 251 + ".mcx"], out="n" * 251 + ".mcx", only="posix"),
        converted("15 blocks under a 128 KiB stack", "in.pda", big, b"BBSSSSPIN", 15,
                  stack_limit=128 * 1024, only="posix"),
    ]


def canary_cases():
    """A wrong expectation: this group must fail wherever it runs."""
    return [Case("canary", [], b"not the usage text\n")]


GROUPS = {"usage": usage_cases, "naming": naming_cases, "sizes": sizes_cases,
          "bytes": bytes_cases, "failures": failures_cases, "outputs": outputs_cases,
          "canary": canary_cases}


def lay_out(root, files):
    for path, data in files.items():
        full = os.path.join(root, os.fsdecode(path))
        if data is DIR:
            os.makedirs(full, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)


def snapshot(root):
    """Every entry below root: a file's bytes and modification time, so that a
    rewrite with the same bytes shows too; (None, None) for a folder; a link's
    target and a FIFO's kind, never what they lead to."""
    seen = {}
    for folder, dirs, names in os.walk(root):
        for name in dirs + names:
            full = os.path.join(folder, name)
            rel = os.fsencode(os.path.relpath(full, root))
            st = os.lstat(full)
            if stat.S_ISDIR(st.st_mode):
                seen[rel] = (None, None)
            elif stat.S_ISLNK(st.st_mode):
                seen[rel] = (("link", os.readlink(full)), st.st_mtime_ns)
            elif stat.S_ISFIFO(st.st_mode):
                seen[rel] = (FIFO, st.st_mtime_ns)
            else:
                with open(full, "rb") as f:
                    seen[rel] = (f.read(), st.st_mtime_ns)
    return seen


def hand_over(root):
    """Gives the case's folder to the unprivileged user."""
    for folder, dirs, names in os.walk(root):
        for name in [folder] + [os.path.join(folder, n) for n in dirs + names]:
            os.lchown(name, NOBODY, NOBODY)


class Reader:
    """The reading end of the FIFO "pipe", open before the tool starts, so
    that the tool's open never waits and the test never has to guess whether
    it happened. "whole": the pipe holds a whole image, read once the tool
    has ended. "gone": the pipe holds one page, so the tool is still writing
    when its first bytes arrive, and the reader leaves then."""

    def __init__(self, root, how, room):
        self.how = how
        self.fd = os.open(os.path.join(root, "pipe"), os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        fcntl.fcntl(self.fd, fcntl.F_SETPIPE_SZ, room if how == "whole" else 1)
        self.got = b""

    def during(self, proc):
        """While the tool runs: the "gone" reader waits for its first bytes,
        or its end if it never writes, and leaves."""
        if self.how != "gone":
            return
        ended = os.pidfd_open(proc.pid)
        try:
            poller = select.poll()
            poller.register(self.fd, select.POLLIN)
            poller.register(ended, select.POLLIN)
            poller.poll()
        finally:
            os.close(ended)
        self.close()

    def after(self):
        """Once the tool has ended: what the "whole" reader finds in the pipe."""
        if self.fd < 0:
            return
        chunks = []
        while True:
            try:
                chunk = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        self.got = b"".join(chunks)
        self.close()

    def close(self):
        os.close(self.fd)
        self.fd = -1


class Tool:
    def __init__(self, tool, emulator, windows):
        """`tool` run through `emulator` (its words separated by semicolons,
        as CMake lists them, or ""), from any folder."""
        words = [w for w in emulator.split(";") if w] + [tool]
        # Made absolute where they name files, as the tool runs in other folders.
        self.command = [b(os.path.abspath(w) if os.path.exists(w) else w) for w in words]
        self.windows = windows
        self.shared = None  # a copy of the tool that any user may run

    def unprivileged(self, root):
        """The command run without root's power over permissions, from a copy
        of the tool in a folder that user may enter; as it is when not root."""
        if os.geteuid() != 0:
            return self.command
        if self.shared is None:
            folder = tempfile.mkdtemp(prefix="cardwrap-e2e-tool-")
            os.chmod(folder, 0o755)
            self.shared = os.path.join(os.fsencode(folder), os.path.basename(self.command[-1]))
            shutil.copy2(self.command[-1], self.shared)
            atexit.register(shutil.rmtree, folder)
        hand_over(root)
        return [b"setpriv", b"--reuid=%d" % NOBODY, b"--regid=%d" % NOBODY, b"--clear-groups",
                self.shared]

    def run(self, case, cwd, during=None):
        """Runs the case; `during(proc)` is called while the tool runs."""
        def limit():
            if case.fsize_limit:
                resource.setrlimit(resource.RLIMIT_FSIZE, (case.fsize_limit, case.fsize_limit))
            if case.stack_limit:
                resource.setrlimit(resource.RLIMIT_STACK, (case.stack_limit, case.stack_limit))
            if case.umask >= 0:
                os.umask(case.umask)
        command = self.command
        if case.unprivileged and not self.windows:
            command = self.unprivileged(cwd)
        env = dict(os.environ, LANG=case.locale) if case.locale else None
        with subprocess.Popen(command + [b(a) for a in case.args],
                              cwd=os.path.join(cwd, case.cwd), env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, preexec_fn=limit) as proc:
            if during:
                during(proc)
            stdout, stderr = proc.communicate(timeout=120)
        return stdout, proc.returncode, stderr

    def lines(self, text):
        """The lines as the platform's console ends them."""
        return text.replace(b"\n", b"\r\n") if self.windows else text


def describe(content):
    if content is None:
        return "a folder"
    if isinstance(content, tuple):
        return repr(content)
    return "%d bytes" % len(content)


def check(tool, case):
    """The case's faults, as lines of text; none when it passed."""
    faults = []
    with tempfile.TemporaryDirectory(prefix="cardwrap-e2e-") as root:
        lay_out(root, case.files)
        if case.setup:
            case.setup(root)
        before = snapshot(root)
        reader = Reader(root, case.reader, len(case.piped or b"")) if case.reader else None
        stdout, status, stderr = tool.run(case, root, reader and reader.during)
        if reader:
            reader.after()
            if case.piped is not None and reader.got != case.piped:
                faults.append("the FIFO's reader got %d other bytes" % len(reader.got))
        after = snapshot(root)
        want = tool.lines(BANNER + case.stdout)
        if stdout != want:
            faults.append("stdout %r, want %r" % (stdout[:300], want[:300]))
        if status != case.status:
            faults.append("status %d, want %d" % (status, case.status))
        if stderr and not tool.windows:
            faults.append("stderr %r, want nothing" % stderr[:300])
        expected = {path: (data, None) for path, (data, _) in before.items()}
        for path, data in case.changes.items():
            if data is None:
                expected.pop(b(path), None)
            else:
                expected[b(path)] = (data, None)
        for path in sorted(set(expected) | set(after)):
            if path not in after:
                faults.append("%r is gone" % path)
            elif path not in expected:
                faults.append("%r was created" % path)
            elif after[path][0] != expected[path][0]:
                faults.append("%r holds %s, want %s" % (
                    path, describe(after[path][0]), describe(expected[path][0])))
            elif b(path) not in {b(p) for p in case.changes} and after[path] != before[path]:
                faults.append("%r was rewritten" % path)
        for path, mode in case.modes.items():
            full = os.path.join(root, path)
            got = stat.S_IMODE(os.lstat(full).st_mode) if os.path.lexists(full) else None
            if got != mode:
                faults.append("%r has mode %s, want %o" % (path, got and "%o" % got, mode))
        # Folders made read-only for the case must be emptied afterwards.
        for folder, dirs, _ in os.walk(root):
            for name in dirs:
                os.chmod(os.path.join(folder, name), 0o755)
    for device in ("/dev/full", "/dev/null"):
        if device in case.args and not stat.S_ISCHR(os.stat(device).st_mode):
            faults.append("%s is no longer a device" % device)
    return faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--emulator", default="",
                        help="command that runs the tool, if any, its words separated by ';'")
    parser.add_argument("--windows", action="store_true", help="the tool is a Windows build")
    parser.add_argument("group", choices=sorted(GROUPS) + ["all"],
                        help='"all": every group but the canary')
    opts = parser.parse_args()
    tool = Tool(opts.tool, opts.emulator, opts.windows)
    platform = "windows" if opts.windows else "posix"

    passed = failed = skipped = 0
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower()
    groups = [g for g in GROUPS if g != "canary"] if opts.group == "all" else [opts.group]
    for case in [c for g in groups for c in GROUPS[g]()]:
        missing = case.locale and case.locale.lower().replace("utf-8", "utf8") not in locales
        if (case.only and case.only != platform) or missing:
            if missing:
                print("SKIP %s: no %s locale here" % (case.name, case.locale))
            skipped += 1
            continue
        faults = check(tool, case)
        if faults:
            failed += 1
            print("FAIL %s: %s" % (case.name, "; ".join(faults)))
        else:
            passed += 1
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
