#!/usr/bin/env python3
"""Runs the built tool as its users do, each case in a fresh folder, and checks
the exact bytes on standard output, the exit status, and every file in the
folder afterwards: the ones the case expects to change, and that nothing else
was created, changed or removed.

    e2e.py --tool PATH [--emulator CMD] [--windows] GROUP|all
"""
import argparse
import atexit
import contextlib
import ctypes
import dataclasses
import fcntl
import os
import re
import resource
import select
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time

BANNER = b"cardwrap version 1.1\n"
SKIPPED = 77  # the status that tells CTest a test was skipped
# A run takes well under a second, or a few waiting out a held file; one
# that takes this long hangs, and ends its group at once.
HANG = 30
PROMPT = b"Press any key to close this window."
USAGE = (b"Usage: cardwrap in-filename [memcard-title [out-filename]]\n"
         b"   ex)cardwrap pkapp.pda BBSSSSP00000FILE01\n")
BLOCK = 8192
MAX = 15 * BLOCK
DIR = object()  # in Case.files: a folder rather than a file
FIFO = ("fifo",)  # how a snapshot shows a FIFO
NOBODY = 65534  # the unprivileged user that root runs the tool as, where a case asks
FSIZE = resource.RLIMIT_FSIZE
NO_PROC = b"umount -l /proc"  # as Case.mounts: no /proc for the run
HELPER = None  # the Tool, whose helper program a case's setup may ask


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
    limits: dict = dataclasses.field(default_factory=dict)  # on POSIX: resource: its limit
    umask: int = -1                                     # on POSIX; -1 leaves it as it is
    setup: object = None                # function(root): links, FIFOs and modes to lay out
    modes: dict = dataclasses.field(default_factory=dict)  # path: permission bits afterwards
    unprivileged: bool = False          # run without root's power over permissions
    reader: tuple = ()                  # on the FIFO "pipe": ("whole", what it must get) reads
                                        # it all, ("gone",) leaves
    cwd: str = ""                       # the folder, in the case's own, that the tool runs in
    locale: str = ""                    # LANG for the run; the case is skipped where it is missing
    sysctls: dict = dataclasses.field(default_factory=dict)  # set for the run, put back after
    append_only: list = dataclasses.field(default_factory=list)  # folders chattr +a for the run
    held: tuple = ()          # (before, after): a file opened, then unnamed, passed to the
                              # tool open as "{held}", and what it holds afterwards
    owners: dict = dataclasses.field(default_factory=dict)   # path: (uid, gid) afterwards
    kept: list = dataclasses.field(default_factory=list)     # paths whose owner, group, mode
                                                             # and extended attributes stay
    acls: dict = dataclasses.field(default_factory=dict)     # path: its ACL, as getfacl -cn says
    watch: str = ""           # a file that must not be opened: the run may only rename over it
    other: tuple = ()         # Windows: another program meanwhile (windows_helper.cpp):
                              # ("hold", path) holding it, or with "whole" after, until the
                              # image is whole beside it; ("scan", folder, path, n) scanning,
                              # n the temporary files it may have opened
    terminal: bool = False    # run in a terminal of its own; the lines checked, not their bytes
    explorer: bool = False    # Windows, in a terminal: started as Explorer starts it, alone
                              # on the console, by a parent named explorer.exe
    mounts: bytes = b""       # shell words that change the mounts, in a namespace of the
                              # run's own, before it starts
    in_group: int = -1        # the unprivileged user is in this group too
    locked: tuple = ()        # (path, fcntl.LOCK_EX or LOCK_SH): locked by another for the run


class Unsupported(Exception):
    """This system cannot lay a case out: it is skipped, saying why."""


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
        # Each argument is taken in the ANSI code page, where a character
        # the code page lacks becomes '?', never a look-alike: no file name
        # holds one, so such a name is refused, never taken for another's.
        refused("fullwidth letter is not its look-alike", ["\uff41.pda"], "Cannot read", "?.pda",
                files={"a.pda": APP, "a.mcx": b"good"}, only="windows"),
        refused("fullwidth solidus does not climb a folder", ["..\uff0fx.pda"], "Cannot read",
                "..?x.pda", files={"x.pda": APP, "x.mcx": b"good", "work": DIR}, cwd="work",
                only="windows"),
        refused("name outside the code page", ["\u30bb\u30fc\u30d6.pda"], "Cannot read",
                "???.pda", files={"\u30bb\u30fc\u30d6.pda": APP}, only="windows"),
        refused("output name with a fullwidth solidus", ["a.pda", "T", "out\uff0fa.mcx"],
                "Cannot write", "out?a.mcx", files={"a.pda": APP, "out": DIR}, only="windows"),
        # A fullwidth quotation mark splits nothing: the line is split as
        # typed, and only then is each argument taken in the code page.
        converted("a fullwidth quotation mark is a title like any other", "pkapp.pda", APP, b"?",
                  1, args=["pkapp.pda", "\uff02", "keep.mcx"], out="keep.mcx", only="windows"),
        converted("a fullwidth quotation mark under code page 932", "pkapp.pda", APP,
                  b"\xfa\x57", 1, args=["pkapp.pda", "\uff02", "keep.mcx"], out="keep.mcx",
                  locale="ja_JP.UTF-8", only="windows"),
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
                files={"in.pda": b"y" * MAX}, only="posix", limits={FSIZE: 65536}),
        refused("cut write keeps the replaced output", ["in.pda"], "Cannot write", "in.mcx",
                files={"in.pda": b"y" * MAX, "in.mcx": b"old"}, only="posix",
                limits={FSIZE: 65536}),
        refused("cut write keeps the input it was to replace", ["in.mcx"], "Cannot write",
                "in.mcx", files={"in.mcx": b"y" * MAX}, only="posix", limits={FSIZE: 65536}),
        # The image fits in the stream's buffer until the close flushes it.
        refused("write failing only at the final flush", ["in.pda"], "Cannot write", "in.mcx",
                files={"in.pda": b"z"}, only="posix", limits={FSIZE: BLOCK}),
        refused("final flush failing keeps the old output", ["in.pda"], "Cannot write", "in.mcx",
                files={"in.pda": b"z", "in.mcx": b"old"}, only="posix", limits={FSIZE: BLOCK}),
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
                  setup=symlinks(("link.mcx", "real/save.mcx")), watch="real/save.mcx",
                  only="posix"),
        converted("chain of relative links followed", "pkapp.pda", APP, b"T", 1,
                  args=given + ["a.mcx"], out="sub/c.mcx", files={"sub/c.mcx": old},
                  setup=symlinks(("a.mcx", "sub/b.mcx"), ("sub/b.mcx", "c.mcx")), only="posix"),
        converted("the longest chain of links the system follows creates its target",
                  "pkapp.pda", APP, b"T", 1, args=given + ["l0.mcx"], out="made.mcx",
                  setup=symlinks(*[("l%d.mcx" % i, "l%d.mcx" % (i + 1)) for i in range(39)],
                                 ("l39.mcx", "made.mcx")), only="posix"),
        converted("dangling link creates its target", "pkapp.pda", APP, b"T", 1,
                  args=given + ["link.mcx"], out="made.mcx",
                  setup=symlinks(("link.mcx", "made.mcx")), only="posix"),
        refused("link loop", given + ["loop.mcx"], "Cannot write", "loop.mcx", files=app,
                setup=symlinks(("loop.mcx", "loop.mcx")), only="posix"),
        Case("FIFO written in place", given + ["pipe"], summary(len(APP), 1), files=app,
             setup=fifo, changes={"pipe": FIFO}, reader=("whole", image(b"T", APP, 1)),
             only="posix"),
        refused("FIFO whose reader leaves", ["in.pda", "T", "pipe"], "Cannot write", "pipe",
                files={"in.pda": big}, setup=fifo, changes={"pipe": FIFO}, reader=("gone",),
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
                setup=hardlink("in.pda", "in.mcx"), only="posix", limits={FSIZE: 65536}),
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
        converted("the longest name a folder takes is replaced too", "pkapp.pda", APP, b"T", 1,
                  args=given + ["n" * 251 + ".mcx"], out="n" * 251 + ".mcx",
                  files={"n" * 251 + ".mcx": old}, only="posix"),
        converted("15 blocks under a 128 KiB stack", "in.pda", big, b"BBSSSSPIN", 15,
                  limits={resource.RLIMIT_STACK: 128 * 1024}, only="posix"),
    ]


def own(path, uid, gid=None):
    def make(root):
        if os.geteuid() != 0:
            raise Unsupported("only root may give a file to another user")
        os.lchown(os.path.join(root, path), uid, uid if gid is None else gid)
    return make


def setfacl(path, spec):
    def make(root):
        if shutil.which("setfacl") is None:
            raise Unsupported("no setfacl here")
        if subprocess.run(["setfacl", "-m", spec, os.path.join(root, path)],
                          capture_output=True).returncode != 0:
            raise Unsupported("no ACLs on this file system")
    return make


def setxattr(path, name, value):
    def make(root):
        try:
            os.setxattr(os.path.join(root, path), name, value)
        except OSError as error:
            raise Unsupported("cannot set %s here: %s" % (name, error.strerror)) from error
    return make


def as_root(root):
    """A setup step for a case about what root may do."""
    if os.geteuid() != 0:
        raise Unsupported("a case about root's powers")


def dos_attributes(path, letters):
    """setup: `path` given the attributes `letters` ("hs": hidden, system)
    by the helper program before the run; afterwards it must still have
    them."""
    def make(root):
        HELPER.ask("attributes", path, letters, cwd=root)

        def after():
            now = HELPER.ask("attributes", path, cwd=root)
            return [] if now == b(letters) else ["%s is %r, not %s" % (path, now, letters)]
        return after
    return make


def all_of(*steps):
    return lambda root: [step(root) for step in steps]


# The longest name Linux's folders take is 255 bytes; this leaves no room for
# any suffix a temporary file might add to it.
LONG = "n" * 246 + ".mcx"
# Wine cannot say where a whole path past MAX_PATH leads, as Windows can: a
# long name whose whole path still fits.
WINE_LONG = "n" * 196 + ".mcx"
DAEMON = 1  # a user, and a group the unprivileged user is not in
USERS = 100  # a group the unprivileged user may be put in


def posix_only(cases):
    for case in cases:
        case.only = "posix"
    return cases


def replacing_cases():
    """Outputs replaced, or written in place where their folder takes no new
    name: whatever the name, a failed write leaves every name as it was, and
    the file keeps who may read and write it."""
    old = b"old image" * 100
    big = b"y" * MAX
    cut = 40960
    app = {"pkapp.pda": APP}
    given = ["pkapp.pda", "T"]
    no_new_names = all_of(chmod("dir/in.mcx", 0o666), chmod("dir", 0o555))
    sticky = all_of(own("st", 0), chmod("st", 0o1777), own("st/pkapp.mcx", 0),
                    chmod("st/pkapp.mcx", 0o666))
    return posix_only([
        refused("250-byte name, a link: it stays, its target keeps its bytes", ["in.pda", "T", LONG],
                "Cannot write", LONG, files={"in.pda": big, "real/save.mcx": old},
                setup=symlinks((LONG, "real/save.mcx")), limits={FSIZE: cut}),
        refused("250-byte name, hard-linked: both names keep their bytes", ["in.pda", "T", LONG],
                "Cannot write", LONG, files={"in.pda": big, LONG: old},
                setup=hardlink(LONG, "snap.mcx"), limits={FSIZE: cut}),
        refused("250-byte name as its own input keeps its bytes", [LONG], "Cannot write", LONG,
                files={LONG: big}, limits={FSIZE: cut}),
        refused("folder taking no new name: its own input keeps its bytes", ["dir/in.mcx"],
                "Cannot write", "dir/in.mcx", files={"dir/in.mcx": big}, setup=no_new_names,
                unprivileged=True, limits={FSIZE: cut}),
        refused("folder taking no new name: an empty file cut short stays so, its times too",
                ["dir/in.pda"], "Cannot write", "dir/in.mcx",
                files={"dir/in.pda": big, "dir/in.mcx": b""}, setup=no_new_names,
                unprivileged=True, limits={FSIZE: cut}),
        # A run writing in place waits its turn, but not for ever: a lock
        # held by another program for longer than a run takes is no turn.
        refused("folder taking no new name: a file locked meanwhile is left alone",
                ["dir/in.pda"], "Cannot write", "dir/in.mcx",
                files={"dir/in.pda": APP, "dir/in.mcx": old}, setup=no_new_names,
                unprivileged=True, locked=("dir/in.mcx", fcntl.LOCK_EX)),
        refused("folder taking no new name: a file a reader locks is left alone", ["dir/in.pda"],
                "Cannot write", "dir/in.mcx", files={"dir/in.pda": APP, "dir/in.mcx": old},
                setup=no_new_names, unprivileged=True, locked=("dir/in.mcx", fcntl.LOCK_SH)),
        refused("folder taking no new name: a hard-linked file is left alone", ["dir/in.mcx"],
                "Cannot write", "dir/in.mcx", files={"dir/in.mcx": APP},
                setup=all_of(hardlink("dir/in.mcx", "dir/snap.mcx"), no_new_names),
                unprivileged=True),
        refused("folder taking no new name: a file longer than any image is left alone",
                ["dir/in.pda"], "Cannot write", "dir/in.mcx",
                files={"dir/in.pda": APP, "dir/in.mcx": b"z" * (2 * MAX)}, setup=no_new_names,
                unprivileged=True),
        converted("folder taking no new name: a file as long as the longest image is written",
                  "dir/in.pda", APP, b"BBSSSSPIN", 1, files={"dir/in.mcx": b"z" * (MAX + 54)},
                  setup=no_new_names, unprivileged=True),
        refused("a file that cannot be read is emptied when its write fails",
                ["st/in.pda", "T", "st/log.mcx"], "Cannot write", "st/log.mcx",
                files={"st/in.pda": big, "st/log.mcx": old}, changes={"st/log.mcx": b""},
                setup=all_of(own("st", 0), chmod("st", 0o1777), own("st/log.mcx", DAEMON),
                             chmod("st/log.mcx", 0o622)), unprivileged=True, limits={FSIZE: cut}),
        # Written where it is, but not a byte of it: it is left as it was,
        # not emptied, though it could not be read to be kept.
        refused("a file that cannot be read, not written at all, is left as it was",
                ["st/pkapp.pda", "T", "st/log.mcx"], "Cannot write", "st/log.mcx",
                files={"st/pkapp.pda": APP, "st/log.mcx": old},
                setup=all_of(own("st", 0), chmod("st", 0o1777), own("st/log.mcx", DAEMON),
                             chmod("st/log.mcx", 0o622)), unprivileged=True, limits={FSIZE: 0}),
        converted("another user's file in a shared folder stays theirs", "sh/pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"sh/pkapp.mcx": old},
                  setup=all_of(own("sh", 0, USERS), chmod("sh", 0o2775),
                               own("sh/pkapp.mcx", DAEMON, USERS), chmod("sh/pkapp.mcx", 0o660)),
                  owners={"sh/pkapp.mcx": (DAEMON, USERS)}, unprivileged=True, in_group=USERS),
        # Your own file there is yours to rename: it is replaced, so its
        # other name keeps the old bytes where writing in place would refuse.
        converted("sticky folder, your own hard-linked file: replaced under its name",
                  "st/pkapp.pda", APP, b"BBSSSSPPKAPP", 1, files={"st/pkapp.mcx": old},
                  setup=all_of(own("st", 0), chmod("st", 0o1777),
                               hardlink("st/pkapp.mcx", "st/snap.mcx")), unprivileged=True),
        converted("sticky folder, another user's file: written in place", "st/pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"st/pkapp.mcx": old}, setup=sticky,
                  owners={"st/pkapp.mcx": (0, 0)}, unprivileged=True),
        # Only its owner may set its times back.
        refused("sticky folder, another user's file keeps its bytes", ["st/pkapp.pda"],
                "Cannot write", "st/pkapp.mcx", files={"st/pkapp.pda": big, "st/pkapp.mcx": old},
                changes={"st/pkapp.mcx": old}, setup=sticky, unprivileged=True,
                limits={FSIZE: cut}),
        converted("append-only folder: written in place", "ap/pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  files={"ap/pkapp.mcx": old}, append_only=["ap"]),
        refused("append-only folder: the file keeps its bytes", ["ap/in.pda"], "Cannot write",
                "ap/in.mcx", files={"ap/in.pda": big, "ap/in.mcx": old}, append_only=["ap"],
                limits={FSIZE: cut}),
        converted("append-only folder: a new output made in place", "ap/pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"ap/pkapp.pda": APP}, append_only=["ap"]),
        refused("append-only folder: a new output left empty", ["ap/in.pda"], "Cannot write",
                "ap/in.mcx", files={"ap/in.pda": big}, changes={"ap/in.mcx": b""},
                append_only=["ap"], limits={FSIZE: cut}),
        converted("ACL and extended attributes kept", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  files={"pkapp.mcx": old}, kept=["pkapp.mcx"],
                  setup=all_of(setfacl("pkapp.mcx", "u:daemon:rw"),
                               setxattr("pkapp.mcx", "user.note", b"mine"))),
        # What the kernel gives any file made with mode 0666 there.
        converted("a new output gets the folder's default ACL", "dir/pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, setup=setfacl("dir", "d:u:daemon:rw"), umask=0o077,
                  acls={"dir/pkapp.mcx": "user::rw- user:1:rw- group::r-x #effective:r-- "
                                         "mask::rw- other::r--"}),
        converted("no ACL taken from the folder's default for a file that had none",
                  "pkapp.pda", APP, b"T", 1, args=given + ["d/save.mcx"], out="d/save.mcx",
                  files={"d/save.mcx": old},
                  setup=all_of(setfacl("d", "d:u:nobody:rw"), chmod("d/save.mcx", 0o640)),
                  acls={"d/save.mcx": "user::rw- group::r-- other::---"}),
        # Only root may give a file to a group not its own: where the new
        # file could not keep the old one's group, the file is written in
        # place, so that no member of another group gains its group's rights.
        converted("a group this user cannot keep: written in place", "pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"pkapp.mcx": old},
                  setup=all_of(own("pkapp.mcx", NOBODY, DAEMON), chmod("pkapp.mcx", 0o604)),
                  owners={"pkapp.mcx": (NOBODY, DAEMON)}, modes={"pkapp.mcx": 0o604},
                  unprivileged=True),
        converted("a group this user cannot keep: the ACL stays", "pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"pkapp.mcx": old},
                  setup=all_of(own("pkapp.mcx", NOBODY, DAEMON), chmod("pkapp.mcx", 0o660),
                               setfacl("pkapp.mcx", "u:daemon:r")),
                  acls={"pkapp.mcx": "user::rw- user:1:r-- group::rw- mask::rw- other::---"},
                  owners={"pkapp.mcx": (NOBODY, DAEMON)}, unprivileged=True),
        converted("a group this user cannot keep: set-group-ID as a write leaves it", "pkapp.pda",
                  APP, b"BBSSSSPPKAPP", 1, files={"pkapp.mcx": old},
                  setup=all_of(own("pkapp.mcx", NOBODY, DAEMON), chmod("pkapp.mcx", 0o2755)),
                  owners={"pkapp.mcx": (NOBODY, DAEMON)}, modes={"pkapp.mcx": 0o755},
                  unprivileged=True),
        converted("owner and group kept by root", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  files={"pkapp.mcx": old}, setup=all_of(own("pkapp.mcx", NOBODY, DAEMON),
                                                          chmod("pkapp.mcx", 0o640)),
                  owners={"pkapp.mcx": (NOBODY, DAEMON)}, modes={"pkapp.mcx": 0o640}),
        converted("set-ID bits cleared for a user, as a write clears them", "pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"pkapp.mcx": old},
                  setup=chmod("pkapp.mcx", 0o6775), modes={"pkapp.mcx": 0o775},
                  unprivileged=True),
        converted("set-ID bits kept for root, as a write keeps them", "pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"pkapp.mcx": old},
                  setup=all_of(as_root, chmod("pkapp.mcx", 0o6775)),
                  modes={"pkapp.mcx": 0o6775}),
        Case("standard output named as /dev/stdout", given + ["/dev/stdout"],
             image(b"T", APP, 1) + summary(len(APP), 1), files=app),
        Case("standard output named as /proc/self/fd/1", given + ["/proc/self/fd/1"],
             image(b"T", APP, 1) + summary(len(APP), 1), files=app),
        Case("an open file with no name left", given + ["{held}"], summary(len(APP), 1),
             files=app, held=(old, image(b"T", APP, 1))),
        converted("a link's target keeps its extended attributes", "pkapp.pda", APP, b"T", 1,
                  args=given + ["link.mcx"], out="real/save.mcx", files={"real/save.mcx": old},
                  kept=["real/save.mcx"],
                  setup=all_of(symlinks(("link.mcx", "real/save.mcx")),
                               setxattr("real/save.mcx", "user.note", b"mine"))),
        converted("without /proc, a link's target is replaced", "pkapp.pda", APP, b"T", 1,
                  args=given + ["link.mcx"], out="real/save.mcx", files={"real/save.mcx": old},
                  setup=symlinks(("link.mcx", "real/save.mcx")), mounts=NO_PROC),
        converted("without /proc, extended attributes kept", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  files={"pkapp.mcx": old}, kept=["pkapp.mcx"],
                  setup=setxattr("pkapp.mcx", "user.note", b"mine"), mounts=NO_PROC),
        # As a container is given a file: the name cannot be renamed over.
        converted("a file mounted over the output is written where it is", "pkapp.pda", APP,
                  b"T", 1, args=given + ["ctr/save.mcx"], out="host/save.mcx",
                  files={"host/save.mcx": old, "ctr/save.mcx": b""},
                  mounts=b"mount --bind host/save.mcx ctr/save.mcx"),
        converted("replacing opens no old file", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  files={"pkapp.mcx": old}, watch="pkapp.mcx"),
        converted("without /proc, a file named as it is is still replaced", "pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"pkapp.mcx": old}, watch="pkapp.mcx", mounts=NO_PROC),
        # Root's file capability on this user's own file: this user may not
        # set it, and a write would clear it anyway.
        converted("an attribute only privilege sets is left to the system", "pkapp.pda", APP,
                  b"BBSSSSPPKAPP", 1, files={"pkapp.mcx": old}, unprivileged=True,
                  setup=setxattr("pkapp.mcx", "security.capability",
                                 struct.pack("<5I", 0x02000001, 1 << 13, 0, 0, 0))),
        refused("a refused output is not opened", ["pkapp.pda"], "Cannot write", "pkapp.mcx",
                files={**app, "pkapp.mcx": old}, setup=chmod("pkapp.mcx", 0o444),
                watch="pkapp.mcx", unprivileged=True),
    ])


def planted(name, target):
    """A sticky folder "st" open to all, and in it a link to `target` that
    the unprivileged user made."""
    def make(root):
        os.makedirs(os.path.join(root, "st"), exist_ok=True)
        os.chmod(os.path.join(root, "st"), 0o1777)
        os.symlink(target, os.path.join(root, "st", name))
        os.lchown(os.path.join(root, "st", name), NOBODY, NOBODY)
    return make


def protections_cases():
    """The kernel's protections of sticky folders hold for the tool as for any
    open: run as root, on what another user left in one."""
    old = b"old image" * 100
    given = ["pkapp.pda", "T"]
    theirs = all_of(chmod("st", 0o1777), own("st/save.mcx", NOBODY), chmod("st/save.mcx", 0o666))
    return posix_only([
        refused("a planted link is not followed", given + ["st/save.mcx"], "Cannot write",
                "st/save.mcx", files={"pkapp.pda": APP, "victim": old},
                setup=planted("save.mcx", "../victim"), sysctls={"fs.protected_symlinks": 1}),
        refused("a planted dangling link makes nothing", given + ["st/save.mcx"], "Cannot write",
                "st/save.mcx", files={"pkapp.pda": APP}, setup=planted("save.mcx", "../made"),
                sysctls={"fs.protected_symlinks": 1}),
        # The tool reads such a link itself to learn where to make the file,
        # and holds it to the kernel's rule even where the kernel does not.
        refused("a planted dangling link makes nothing, whatever the setting",
                given + ["st/save.mcx"], "Cannot write", "st/save.mcx", files={"pkapp.pda": APP},
                setup=planted("save.mcx", "../made"), sysctls={"fs.protected_symlinks": 0}),
        refused("a planted link is not followed, whatever the setting", given + ["st/save.mcx"],
                "Cannot write", "st/save.mcx", files={"pkapp.pda": APP, "victim": old},
                setup=planted("save.mcx", "../victim"), sysctls={"fs.protected_symlinks": 0}),
        refused("another user's file is not written", given + ["st/save.mcx"], "Cannot write",
                "st/save.mcx", files={"pkapp.pda": APP, "st/save.mcx": old}, setup=theirs,
                sysctls={"fs.protected_regular": 1}),
        converted("unprotected, another user's file is written in place", "pkapp.pda", APP, b"T",
                  1, args=given + ["st/save.mcx"], out="st/save.mcx",
                  files={"st/save.mcx": old}, setup=theirs,
                  owners={"st/save.mcx": (NOBODY, NOBODY)}, sysctls={"fs.protected_regular": 0}),
    ])


def windows_only(cases):
    for case in cases:
        case.only = "windows"
    return cases


def windows_cases():
    """What other programs and Windows itself do around the tool: holds on
    the output, scanners on the temporary file, attributes, links, devices,
    long names, a terminal."""
    old = b"old image" * 100
    given = ["pkapp.pda", "T"]
    return windows_only([
        refused("a target held for the whole run is left as it was", ["pkapp.pda"],
                "Cannot write", "pkapp.mcx", files={"pkapp.pda": APP, "pkapp.mcx": old},
                other=("hold", "pkapp.mcx")),
        converted("a target held a moment is waited for", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  files={"pkapp.mcx": old}, other=("hold", "pkapp.mcx", "whole")),
        converted("a scanner cannot hold the temporary file", "pkapp.pda", APP, b"BBSSSSPPKAPP",
                  1, files={"pkapp.mcx": old}, other=("scan", ".", "pkapp.mcx", 0)),
        converted("hidden and system attributes kept", "pkapp.pda", APP, b"BBSSSSPPKAPP", 1,
                  files={"pkapp.mcx": old}, setup=dos_attributes("pkapp.mcx", "hs")),
        converted("a symbolic link stays a link", "pkapp.pda", APP, b"T", 1,
                  args=given + ["link.mcx"], out="real/save.mcx", files={"real/save.mcx": old},
                  setup=symlinks(("link.mcx", "real/save.mcx"))),
        refused("a port as input is not waited on", ["aux.pda"], "Cannot read", "aux.pda"),
        refused("a console as input is not waited on", ["con.pda"], "Cannot read", "con.pda"),
        # Windows has no file-size limit to cut a write short: a hold makes
        # the replacement fail instead.
        refused("200-character name keeps its bytes", ["in.pda", "T", WINE_LONG], "Cannot write",
                WINE_LONG, files={"in.pda": b"y" * MAX, WINE_LONG: old},
                other=("hold", WINE_LONG)),
        converted("200-character name replaced", "pkapp.pda", APP, b"T", 1,
                  args=given + [WINE_LONG], out=WINE_LONG, files={WINE_LONG: old}),
        Case("started from a terminal's shell: the command line as typed",
             given + ["out.mcx"], summary(len(APP), 1), files={"pkapp.pda": APP},
             changes={"out.mcx": image(b"T", APP, 1)}, terminal=True),
        # Dropped files arrive as the only arguments, by their full paths:
        # none is a title or an output, and the window stays until a key is
        # pressed.
        Case("started from Explorer with three files: each wrapped, then a key waited for",
             ["{here}\\a.pda", "{here}\\b.pda", "{here}\\c.pda"],
             summary(len(APP), 1) + (BANNER + summary(len(APP), 1)) * 2 + PROMPT,
             files={name: APP for name in ("a.pda", "b.pda", "c.pda")},
             changes={"a.mcx": image(b"BBSSSSPA", APP, 1), "b.mcx": image(b"BBSSSSPB", APP, 1),
                      "c.mcx": image(b"BBSSSSPC", APP, 1)},
             terminal=True, explorer=True),
        # Whatever their characters and lengths, dropped files are only
        # files: one that cannot be used is refused on its own line.
        Case("started from Explorer with a name outside the code page: the others wrapped",
             ["{here}\\a.pda", "{here}\\\u30bb\u30fc\u30d6.pda", "{here}\\c.pda"],
             summary(len(APP), 1) + BANNER + b"Cannot read : {here}\\???.pda\n" + BANNER +
             summary(len(APP), 1) + PROMPT, 1,
             files={name: APP for name in ("a.pda", "\u30bb\u30fc\u30d6.pda", "c.pda")},
             changes={"a.mcx": image(b"BBSSSSPA", APP, 1), "c.mcx": image(b"BBSSSSPC", APP, 1)},
             terminal=True, explorer=True),
        Case("started from Explorer with names Windows makes over: each on its own line",
             ["{here}\\a.pda", "{here}\\b.pda.", "{here}\\b.pda ", "{here}\\aux.pda",
              "{here}\\c.pda"],
             summary(len(APP), 1) + b"".join(
                 BANNER + b"Cannot read : {here}\\" + name + b"\n"
                 for name in (b"b.pda.", b"b.pda ", b"aux.pda")) + BANNER +
             summary(len(APP), 1) + PROMPT, 1,
             files={name: APP for name in ("a.pda", "b.pda.", "b.pda ", "aux.pda", "c.pda")},
             changes={"a.mcx": image(b"BBSSSSPA", APP, 1), "c.mcx": image(b"BBSSSSPC", APP, 1)},
             terminal=True, explorer=True),
        Case("started from Explorer with a long path: refused on its own line",
             ["{here}\\a.pda", "{here}\\" + "d" * 250 + "\\b.pda"],
             summary(len(APP), 1) + BANNER + b"Path too long : {here}\\" + b"d" * 250 +
             b"\\b.pda\n" + PROMPT, 1, files={"a.pda": APP, "d" * 250 + "/b.pda": APP},
             changes={"a.mcx": image(b"BBSSSSPA", APP, 1)}, terminal=True, explorer=True),
        # A console shows the user's characters, whatever its own code page.
        Case("a console shows a name as typed", ["\u00e9.pda"],
             b"Cannot read : \xc3\xa9.pda\n", 1, terminal=True),
        Case("double-clicked with no file: the usage, then a key waited for", [],
             USAGE + PROMPT, terminal=True, explorer=True),
        # A shortcut's or the Run box's own command line, from Explorer too.
        Case("started from Explorer with a command line: taken as typed, then a key waited for",
             given + ["out.mcx"], summary(len(APP), 1) + PROMPT, files={"pkapp.pda": APP},
             changes={"out.mcx": image(b"T", APP, 1)}, terminal=True, explorer=True),
    ] + drop_cases() + start_cases())


def dropped(*names):
    return ["{here}\\" + name for name in names]


def drop_cases():
    """A folder's files dropped at once, Ctrl-A: where a file's image would
    go over another dropped file, or where another's goes, neither is
    written, each said on its own line; the others are wrapped."""
    old = b"old image" * 100
    no_place = b"Cannot write : {here}\\save.mcx\n"
    return windows_only([
        Case("dropped with the image it would overwrite: both refused, neither touched",
             dropped("save.pda", "save.mcx"), no_place + BANNER + no_place + PROMPT, 1,
             files={"save.pda": APP, "save.mcx": old}, terminal=True, explorer=True),
        Case("dropped files whose images share a name in any case: refused, the others wrapped",
             dropped("SAVE.pda", "c.pda", "save.bin"),
             b"Cannot write : {here}\\SAVE.mcx\n" + BANNER + summary(len(APP), 1) + BANNER +
             no_place + PROMPT, 1, files={"SAVE.pda": APP, "c.pda": APP, "save.bin": APP},
             changes={"c.mcx": image(b"BBSSSSPC", APP, 1)}, terminal=True, explorer=True),
        Case("an image a link leads onto another dropped file: refused, that file wrapped",
             dropped("save.pda", "data.bin"),
             no_place + BANNER + summary(len(APP), 1) + PROMPT, 1,
             files={"save.pda": APP, "data.bin": APP}, setup=symlinks(("save.mcx", "data.bin")),
             changes={"data.mcx": image(b"BBSSSSPDATA", APP, 1)}, terminal=True, explorer=True),
        Case("under code page 932, names in its own characters: both refused",
             dropped("セーブ.pda", "セーブ.mcx"), b"Cannot write : {here}\\" +
             "セーブ.mcx".encode() + b"\n" + BANNER + b"Cannot write : {here}\\" +
             "セーブ.mcx".encode() + b"\n" + PROMPT, 1,
             files={"セーブ.pda": APP, "セーブ.mcx": old}, terminal=True, explorer=True,
             locale="ja_JP.UTF-8"),
        # Named as Windows makes it over, the file without its trailing dot,
        # which another dropped file's image is about to be.
        Case("a dropped name that names nothing as Windows opens it is refused",
             dropped("foo.pda", "foo.mcx."),
             summary(len(APP), 1) + BANNER + b"Cannot read : {here}\\foo.mcx.\n" + PROMPT, 1,
             files={"foo.pda": APP, "foo.mcx.": old},
             changes={"foo.mcx": image(b"BBSSSSPFOO", APP, 1)}, terminal=True, explorer=True),
        # One refused before any image is written keeps no other from its own.
        Case("a dropped name gone meanwhile: refused, its image's name still replaced",
             dropped("save.pda", "save.mcx"),
             b"Cannot read : {here}\\save.pda\n" + BANNER + summary(len(old), 1) + PROMPT, 1,
             files={"save.mcx": old}, changes={"save.mcx": image(b"BBSSSSPSAVE", old, 1)},
             terminal=True, explorer=True),
        Case("a dropped long path that names nothing: too long, as a run says",
             dropped("d" * 250 + "\\b.pda", "a.pda"),
             b"Path too long : {here}\\" + b"d" * 250 + b"\\b.pda\n" + BANNER +
             summary(len(APP), 1) + PROMPT, 1, files={"a.pda": APP, "d" * 250 + "/x": b"x"},
             changes={"a.mcx": image(b"BBSSSSPA", APP, 1)}, terminal=True, explorer=True),
        Case("a dropped image beside another file is still replaced by its own image",
             dropped("save.mcx", "c.pda"),
             summary(len(old), 1) + BANNER + summary(len(APP), 1) + PROMPT,
             files={"save.mcx": old, "c.pda": APP},
             changes={"save.mcx": image(b"BBSSSSPSAVE", old, 1),
                      "c.mcx": image(b"BBSSSSPC", APP, 1)}, terminal=True, explorer=True),
    ])


@dataclasses.dataclass
class Started(Case):
    """A Windows case whose tool another program starts: `by(tool)` gives
    the command that the case's arguments follow; `shown(text)`, if given,
    what a terminal's text says."""
    by: object = None
    shown: object = None


def batch(line):
    """The tool started by a batch file holding `line`, run by cmd, the
    batch file beside a copy of the tool in a folder whose name has a space,
    `{parent}` that folder's parent."""
    def by(tool):
        parent = tempfile.mkdtemp(prefix="cardwrap-e2e-batch-")
        atexit.register(shutil.rmtree, parent)
        folder = os.path.join(parent, "my tools")
        os.mkdir(folder)
        shutil.copy2(os.fsdecode(tool.command[-1]), os.path.join(folder, "cardwrap.exe"))
        with open(os.path.join(folder, "run.bat"), "wb") as f:
            f.write(b"@" + line.replace(b"{parent}", here_of(parent)) + b"\r\n")
        return tool.command[:-1] + [b"cmd", b"/c", here_of(folder) + b"\\run.bat"]
    return by


def plain(tool):
    """The tool started on a console that shows each control character it
    is given, a CR or an LF, as a '?', so that each line's end shows."""
    if tool.helper is None:
        raise Unsupported("no helper program given")
    return tool.helper + [b"plain", b"Z:" + tool.command[-1].replace(b"/", b"\\")]


def start_cases():
    """The program's name split as the C runtime splits it, quoted in part,
    as batch files give it; each line reaching a console with CR LF."""
    given = ["pkapp.pda", "T", "out.mcx"]
    return windows_only([
        Started("a batch file's \"%~dp0\"cardwrap.exe %1", ["pkapp.pda"],
                summary(len(APP), 1), files={"pkapp.pda": APP},
                changes={"pkapp.mcx": image(b"BBSSSSPPKAPP", APP, 1)},
                by=batch(b'"%~dp0"cardwrap.exe %1')),
        Started("a program path quoted in part, C:\\\"my tools\"\\cardwrap.exe", given,
                summary(len(APP), 1), files={"pkapp.pda": APP},
                changes={"out.mcx": image(b"T", APP, 1)},
                by=batch(b'{parent}\\"my tools"\\cardwrap.exe %*')),
        # A CR LF shows as "??"; a bare LF would leave one '?'.
        Started("a console is given each line with CR LF, the usage's first too", [], USAGE,
                terminal=True, by=plain, shown=lambda text: text.replace(b"??", b"")),
    ])


def canary_cases():
    """A wrong expectation: this group must fail wherever it runs."""
    return [Case("canary", [], b"not the usage text\n")]


GROUPS = {"usage": usage_cases, "naming": naming_cases, "sizes": sizes_cases,
          "bytes": bytes_cases, "failures": failures_cases, "outputs": outputs_cases,
          "replacing": replacing_cases, "protections": protections_cases,
          "windows": windows_cases,
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


def shared_copy(tool):
    """A copy of `tool` in a folder any user may enter, removed at exit."""
    folder = tempfile.mkdtemp(prefix="cardwrap-e2e-tool-")
    os.chmod(folder, 0o755)
    atexit.register(shutil.rmtree, folder)
    copy = os.path.join(os.fsencode(folder), os.path.basename(os.fsencode(tool)))
    shutil.copy2(tool, copy)
    return copy


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
    def __init__(self, tool, emulator, windows, helper=""):
        """`tool` run through `emulator` (its words separated by semicolons,
        as CMake lists them, or ""), from any folder; `helper`, the Windows
        tests' other program, if there is one."""
        words = [w for w in emulator.split(";") if w] + [tool]
        # Made absolute where they name files, as the tool runs in other folders.
        self.command = [b(os.path.abspath(w) if os.path.exists(w) else w) for w in words]
        self.windows = windows
        self.helper = self.command[:-1] + [b(os.path.abspath(helper))] if helper else None
        self.shared = None  # a copy of the tool that any user may run

    def unprivileged(self, in_group=-1):
        """The command run without root's power over permissions, from a copy
        of the tool in a folder that user may enter, in no group but its own
        (and `in_group`); as it is when not root."""
        if os.geteuid() != 0:
            return self.command
        if self.shared is None:
            self.shared = shared_copy(self.command[-1])
        groups = b"--groups=%d" % in_group if in_group >= 0 else b"--clear-groups"
        return [b"setpriv", b"--reuid=%d" % NOBODY, b"--regid=%d" % NOBODY, groups, self.shared]

    def run(self, case, cwd, during=None, held=None):
        """Runs the case; `during(proc)` is called while the tool runs; `held`
        is a descriptor it inherits, named in its arguments as "{held}"."""
        def limit():
            for which, value in case.limits.items():
                resource.setrlimit(which, (value, value))
            if case.umask >= 0:
                os.umask(case.umask)
        command = self.command
        if case.unprivileged and not self.windows:
            command = self.unprivileged(case.in_group)
        if case.mounts:
            if os.geteuid() != 0:
                raise Unsupported("only root may change the mounts")
            if NO_PROC in case.mounts and "ASAN_OPTIONS" in os.environ:
                raise Unsupported("the sanitizers need /proc themselves")
            # A mount namespace of the run's own, gone with it.
            command = [b"unshare", b"-m", b"--propagation", b"private", b"sh", b"-c",
                       case.mounts + b' && exec "$0" "$@"'] + command
        if isinstance(case, Started):
            command = case.by(self)
        env = dict(os.environ, LANG=case.locale) if case.locale else None
        args = [b(a).replace(b"{held}", b"/dev/fd/%d" % (held or 0)) for a in case.args]
        with subprocess.Popen(command + args, cwd=os.path.join(cwd, case.cwd), env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, preexec_fn=limit,
                              pass_fds=(held,) if held else ()) as proc:
            if during:
                during(proc)
            try:
                stdout, stderr = proc.communicate(timeout=HANG)
            except subprocess.TimeoutExpired:
                proc.kill()
                raise
        return stdout, proc.returncode, stderr

    def lines(self, text):
        """The lines as the platform's console ends them."""
        return text.replace(b"\n", b"\r\n") if self.windows else text

    def other(self, *args, cwd):
        """The helper program started, once it says it is in place."""
        if self.helper is None:
            raise Unsupported("no helper program given")
        proc = subprocess.Popen(self.helper + [b(a) for a in args], cwd=cwd,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if not proc.stdout.readline():
            proc.kill()
            raise RuntimeError("the helper program did not start: %r" % (args,))
        return proc

    def ask(self, *args, cwd):
        """What the helper program says, run to its end."""
        if self.helper is None:
            raise Unsupported("no helper program given")
        return subprocess.run(self.helper + [b(a) for a in args], cwd=cwd, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120).stdout.strip()

    def explorer(self):
        """The helper program as Explorer: a copy named explorer.exe, in a
        folder of its own, removed at exit."""
        folder = tempfile.mkdtemp(prefix="cardwrap-e2e-explorer-")
        atexit.register(shutil.rmtree, folder)
        copy = os.path.join(folder, "explorer.exe")
        shutil.copy2(os.fsdecode(self.helper[-1]), copy)
        return self.helper[:-1] + [b(copy), b"start"]

    def in_terminal(self, case, cwd):
        """The case run with a terminal for its input and output, its lines
        as they would read there: escapes and spacing dropped. A key is
        pressed if it asks for one."""
        command = self.command
        if case.explorer:
            if self.helper is None:
                raise Unsupported("no helper program given")
            # Started by path, as Explorer starts a program: a Windows path.
            command = self.explorer() + [b"Z:" + self.command[-1].replace(b"/", b"\\")]
        if isinstance(case, Started):
            command = case.by(self)
        args = [b(a).replace(b"{here}", here_of(cwd)) for a in case.args]
        main, side = os.openpty()
        env = dict(os.environ, LANG=case.locale) if case.locale else None
        with subprocess.Popen(command + args, cwd=cwd, stdin=side, env=env,
                              stdout=side, stderr=side) as proc:
            os.close(side)
            shown = b""
            pressed = waited = False
            while True:
                try:
                    chunk = os.read(main, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
                # A space, which the terminal's echo of it cannot add to
                # the lines.
                if not pressed and re.sub(rb"\s", b"", PROMPT) in as_read(shown):
                    waited = still_running(proc)
                    os.write(main, b" ")
                    pressed = True
            status = proc.wait(timeout=HANG)
        os.close(main)
        if pressed and not waited:
            shown += b"(closed without waiting for a key)"
        if isinstance(case, Started) and case.shown:
            return case.shown(as_read(shown)), status
        return as_read(shown), status


def here_of(folder):
    """`folder` as a Windows program under Wine names it."""
    return b"Z:" + b(os.path.abspath(folder)).replace(b"/", b"\\")


def still_running(proc):
    """Whether `proc`, which should now wait for a key, is still there a
    while later. A correct tool is there however long it is given; a wrong
    one ends at once, well within the time allowed."""
    try:
        proc.wait(timeout=2)
        return False
    except subprocess.TimeoutExpired:
        return True


def as_read(shown):
    """What a terminal shows, escapes and spacing dropped."""
    return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\s", b"", shown)


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
        # Not root, the files are this user's already.
        if case.unprivileged and not tool.windows and os.geteuid() == 0:
            hand_over(root)
        try:
            after = case.setup(root) if case.setup else None
            with sysctls(case.sysctls), append_only(root, case.append_only):
                faults = run_and_look(tool, case, root, after)
        finally:
            # Folders made read-only for the case must be emptied afterwards.
            for folder, dirs, _ in os.walk(root):
                for name in dirs:
                    os.chmod(os.path.join(folder, name), 0o755)
    for device in ("/dev/full", "/dev/null"):
        if device in case.args and not stat.S_ISCHR(os.stat(device).st_mode):
            faults.append("%s is no longer a device" % device)
    return faults


def run_and_look(tool, case, root, after):
    """`after`: what the case's setup gave, if a function: the case's faults
    it finds once the run has ended."""
    faults = []
    before = snapshot(root)
    started = time.time_ns()
    attributes = {path: attributes_of(os.path.join(root, path)) for path in case.kept}
    watch = Watch(os.path.join(root, case.watch)) if case.watch else None
    held = holding(root, case.held[0]) if case.held else None
    lock = os.open(os.path.join(root, case.locked[0]), os.O_RDONLY) if case.locked else None
    if lock is not None:
        fcntl.flock(lock, case.locked[1])
    reader = Reader(root, case.reader[0], len(case.reader[-1])) if case.reader else None
    other = tool.other(*case.other[:3], cwd=root) if case.other else None
    image_len = sum(len(d) for d in case.changes.values() if isinstance(d, bytes))

    def during(proc):
        if reader:
            reader.during(proc)
        if other and case.other[-1] == "whole":
            # Let go once the image is whole beside the file: the tool is
            # then replacing it, or about to.
            while proc.poll() is None and not whole_beside(root, image_len):
                time.sleep(0.001)
            other.stdin.close()

    try:
        if case.terminal:
            stdout, status = tool.in_terminal(case, root)
            stderr = b""
        else:
            stdout, status, stderr = tool.run(case, root, during, held)
    finally:
        got = os.pread(held, 2 * MAX, 0) if held else None
        if lock is not None:
            os.close(lock)
        if held:
            os.close(held)
        said = b""
        if other:
            if not other.stdin.closed:
                other.stdin.close()
            said = other.stdout.read().strip()
            other.wait(timeout=60)
    if case.other and case.other[0] == "scan" and said != b"seen some opened %d" % case.other[3]:
        faults.append("the scanner says %r, want seen some opened %d" % (said, case.other[3]))
    if callable(after):
        faults += after()
    if reader:
        reader.after()
        if case.reader[0] == "whole" and reader.got != case.reader[1]:
            faults.append("the FIFO's reader got %d other bytes" % len(reader.got))
    if held is not None and got != case.held[1]:
        faults.append("the open file holds %d other bytes" % len(got))
    if watch:
        faults += ["%s was %s" % (case.watch, event) for event in watch.seen()]
    after = snapshot(root)
    want = tool.lines(BANNER + case.stdout)
    if case.terminal:
        want = re.sub(rb"\s", b"", (BANNER + case.stdout).replace(b"{here}", here_of(root)))
    if stdout != want:
        faults.append("stdout %r, want %r" % (stdout[:300], want[:300]))
    if status != case.status:
        faults.append("status %d, want %d" % (status, case.status))
    if stderr and not tool.windows:
        faults.append("stderr %r, want nothing" % stderr[:300])
    faults += change_faults(case, before, after, started)
    faults += attribute_faults(case, root, attributes)
    return faults


def change_faults(case, before, after, started):
    """Files changed as the case says, and only those; none that the run
    wrote dated before it started (the clock that dates files may lag a
    little behind this one)."""
    faults = []
    for path, (data, mtime) in after.items():
        if (isinstance(data, bytes) and after[path] != before.get(path) and
                mtime < started - 2 * 10**9):
            faults.append("%r is dated before the run" % path)
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
    return faults


def attribute_faults(case, root, attributes):
    faults = []
    for path, mode in case.modes.items():
        full = os.path.join(root, path)
        got = stat.S_IMODE(os.lstat(full).st_mode) if os.path.lexists(full) else None
        if got != mode:
            faults.append("%r has mode %s, want %o" % (path, got and "%o" % got, mode))
    for path, owner in case.owners.items():
        st = os.lstat(os.path.join(root, path))
        if (st.st_uid, st.st_gid) != owner:
            faults.append("%r is owned by %d:%d, want %d:%d" % (path, st.st_uid, st.st_gid,
                                                                *owner))
    for path, was in attributes.items():
        now = attributes_of(os.path.join(root, path))
        if now != was:
            faults.append("%r has owner, mode and attributes %r, want %r" % (path, now, was))
    for path, acl in case.acls.items():
        got = subprocess.run(["getfacl", "-cn", os.path.join(root, path)], capture_output=True,
                             text=True).stdout
        if got.split() != acl.split():
            faults.append("%r has the ACL %r, want %r" % (path, got, acl))
    return faults


def attributes_of(path):
    st = os.stat(path)
    names = sorted(os.listxattr(path))
    return (st.st_uid, st.st_gid, "%o" % stat.S_IMODE(st.st_mode),
            [(name, os.getxattr(path, name)) for name in names])


def whole_beside(root, length):
    """True once a temporary file in `root` holds `length` bytes."""
    for name in os.listdir(root):
        try:
            if name.startswith("cardwrap-") and name.endswith(".tmp") and (
                    os.path.getsize(os.path.join(root, name)) >= length):
                return True
        except FileNotFoundError:
            pass  # renamed into place meanwhile
    return False


def holding(root, data):
    """A file opened, written and then unnamed: it lives on only as this
    descriptor, as a shell's `exec 3>file; rm file` leaves one."""
    path = os.path.join(root, "held")
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    os.write(fd, data)
    os.unlink(path)
    return fd


@contextlib.contextmanager
def sysctls(values):
    """The kernel's settings for the run, put back afterwards. CTest runs
    the cases that set them one at a time."""
    old = {}
    try:
        for name, value in values.items():
            path = "/proc/sys/" + name.replace(".", "/")
            try:
                with open(path) as f:
                    was = f.read()
                with open(path, "w") as f:
                    f.write("%d\n" % value)
                old[path] = was
            except OSError as error:
                raise Unsupported("cannot set %s: %s" % (name, error.strerror)) from error
        yield
    finally:
        for path, value in old.items():
            with open(path, "w") as f:
                f.write(value)


@contextlib.contextmanager
def append_only(root, folders):
    """Folders made append-only for the run (chattr +a): only root may, and
    only on some file systems."""
    made = []
    try:
        for folder in folders:
            full = os.path.join(root, folder)
            if subprocess.run(["chattr", "+a", full], capture_output=True).returncode != 0:
                raise Unsupported("cannot make a folder append-only here")
            made.append(full)
        yield
    finally:
        for full in made:
            subprocess.run(["chattr", "-a", full], check=True)


class Watch:
    """What happens to one file, as inotify reports it: anything but a
    rename over it (an open, a read, a write) is an event."""
    EVENTS = {0x1: "read", 0x2: "written", 0x8: "closed after writing", 0x10: "closed",
              0x20: "opened"}

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, os.fsencode(path),
                                                      sum(self.EVENTS)) < 0:
            raise OSError(ctypes.get_errno(), "inotify")

    def seen(self):
        events = set()
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            data = b""
        finally:
            os.close(self.fd)
        while data:
            _, mask, _, size = struct.unpack_from("iIII", data)
            events |= {name for bit, name in self.EVENTS.items() if mask & bit}
            data = data[16 + size:]
        return sorted(events)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--emulator", default="",
                        help="command that runs the tool, if any, its words separated by ';'")
    parser.add_argument("--windows", action="store_true", help="the tool is a Windows build")
    parser.add_argument("--helper", default="", help="the Windows tests' other program")
    parser.add_argument("group", choices=sorted(GROUPS) + ["all"],
                        help='"all": every group but the canary')
    opts = parser.parse_args()
    tool = Tool(opts.tool, opts.emulator, opts.windows, opts.helper)
    global HELPER
    HELPER = tool
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
        try:
            faults = check(tool, case)
        except Unsupported as reason:
            print("SKIP %s: %s" % (case.name, reason))
            skipped += 1
            continue
        if faults:
            failed += 1
            print("FAIL %s: %s" % (case.name, "; ".join(faults)))
        else:
            passed += 1
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    # Every case skipped: CTest shows the group as skipped.
    return 1 if failed else 0 if passed else SKIPPED


if __name__ == "__main__":
    sys.exit(main())
