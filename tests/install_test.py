#!/usr/bin/env python3
"""Installs a build into a scratch prefix, runs the installed tool on the
shipped sample as a user would, reads the installed manual page, and runs
the README's build recipes (make, CMake) as written, with the installed tool
on the PATH.

    install_test.py --build DIR [--emulator CMD] [--windows]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

import e2e

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "..", "samples", "pkapp.pda")
README = os.path.join(HERE, "..", "README.md")
# Widths the page is read at: groff breaks lines differently at each, so a
# hyphen it inserted would show at one of them.
WIDTHS = (60, 72, 80, 100, 132)
HYPHEN = "\u2010"  # what groff writes where it hyphenates; the page's own are ASCII


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
            page = os.path.join(prefix, "share", "man", "man1", "cardwrap.1")
            faults += manual_faults(page, project_version(opts.build))
            if os.path.isfile(tool):
                faults += recipe_faults(os.path.dirname(tool))
    for fault in faults:
        print("FAIL " + fault)
    print("%d passed, %d failed" % (0 if faults else 1, 1 if faults else 0))
    return 1 if faults else 0


def project_version(build):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", f.read(), re.M).group(1)


def manual_faults(page, version):
    """The page reads without a warning, its footer names this release, and
    no word in it is hyphenated, at any width."""
    if not os.path.isfile(page):
        return ["no manual page at %s" % page]
    faults = []
    with open(page, encoding="utf-8") as f:
        if not re.search(r'^\.TH CARDWRAP 1 \S+ "cardwrap %s"' % re.escape(version), f.read(), re.M):
            faults.append("the manual page's footer does not say cardwrap %s" % version)
    if shutil.which("groff"):
        lint = subprocess.run(["groff", "-ww", "-man", "-Tutf8", "-t", "-z", page],
                              capture_output=True, text=True)
        if lint.returncode != 0 or lint.stderr:
            faults.append("groff -ww: %s" % lint.stderr.strip()[:500])
    if shutil.which("man") is None:
        return faults
    for width in WIDTHS:
        read = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                              env={**os.environ, "MANWIDTH": str(width), "LC_ALL": "C.UTF-8"})
        if read.returncode != 0 or "EXIT STATUS" not in read.stdout:
            faults.append("man page reads badly at width %d: %s" % (width, read.stderr.strip()[:500]))
        elif width == 80 and read.stderr:
            faults.append("man --warnings at width 80: %s" % read.stderr.strip()[:500])
        for line in read.stdout.splitlines():
            if line.rstrip().endswith(HYPHEN):
                faults.append("the manual page hyphenates at width %d: %s" % (width, line.strip()))
    return faults


def readme_block(holding):
    """The README's indented code block that holds `holding`, as written."""
    with open(README, encoding="utf-8") as f:
        lines = f.read().split("\n")
    blocks, block = [], None
    for line in lines + [""]:
        if line.startswith("    ") or (line == "" and block is not None):
            block = (block or []) + [line[4:]]
        elif block is not None:
            blocks.append("\n".join(block).strip("\n") + "\n")
            block = None
    if block is not None:
        blocks.append("\n".join(block).strip("\n") + "\n")
    return next((text for text in blocks if holding in text), None)


def recipe_faults(bin_dir):
    """The README's Makefile and CMake recipes, run as written in a scratch
    project: each save gets its own title, a failed conversion fails the
    build, and CMake without the tool on the PATH says so."""
    faults = []
    with open(SAMPLE, "rb") as f:
        sample = f.read()
    game = bytes(range(256)) * 40  # 10,240 bytes: two blocks
    env = {**os.environ, "PATH": bin_dir + os.pathsep + os.environ.get("PATH", "")}

    makefile = readme_block("%.mcx: %.pda")
    if makefile is None:
        faults.append("the README has no Makefile recipe")
    elif shutil.which("make"):
        with tempfile.TemporaryDirectory(prefix="cardwrap-make-") as root:
            files = {"Makefile": makefile.encode(), "pkapp.pda": sample, "game.pda": game}
            for name, data in files.items():
                with open(os.path.join(root, name), "wb") as f:
                    f.write(data)
            made = subprocess.run(["make"], cwd=root, env=env, capture_output=True)
            want = {"pkapp.mcx": e2e.image(b"BBSSSSPPKAPP", sample, 1),
                    "game.mcx": e2e.image(b"BBSSSSPGAME", game, 2)}
            faults += files_faults("make", made, root, want)
            with open(os.path.join(root, "huge.pda"), "wb") as f:
                f.write(bytes(e2e.MAX + 1))
            failed = subprocess.run(["make"], cwd=root, env=env, capture_output=True)
            if failed.returncode == 0 or os.path.exists(os.path.join(root, "huge.mcx")):
                faults.append("make: a conversion that fails does not fail the build")

    snippet = readme_block("find_program(CARDWRAP")
    if snippet is None:
        faults.append("the README has no CMake recipe")
        return faults
    with tempfile.TemporaryDirectory(prefix="cardwrap-cmake-") as root:
        source, build = os.path.join(root, "source"), os.path.join(root, "build")
        os.mkdir(source)
        with open(os.path.join(source, "CMakeLists.txt"), "w", encoding="utf-8") as f:
            f.write("cmake_minimum_required(VERSION 3.25)\nproject(saves NONE)\n" + snippet)
        with open(os.path.join(source, "pkapp.pda"), "wb") as f:
            f.write(sample)
        configured = subprocess.run(["cmake", "-S", source, "-B", build], env=env, capture_output=True)
        built = subprocess.run(["cmake", "--build", build], env=env, capture_output=True) \
            if configured.returncode == 0 else configured
        faults += files_faults("cmake", built, build, {"pkapp.mcx": e2e.image(b"BBSSSSPPKAPP", sample, 1)})
        # Without the tool: a PATH holding only what CMake's default generator runs.
        bare = os.path.join(root, "bare")
        os.mkdir(bare)
        for program in ("make", "gmake", "ninja"):
            if shutil.which(program):
                os.symlink(shutil.which(program), os.path.join(bare, program))
        missing = subprocess.run([shutil.which("cmake"), "-S", source, "-B", os.path.join(root, "b2")],
                                 env={**os.environ, "PATH": bare}, capture_output=True, text=True)
        if missing.returncode == 0 or "CARDWRAP" not in missing.stderr + missing.stdout:
            faults.append("cmake without the tool on the PATH does not say so")
    return faults


def files_faults(what, run, folder, want):
    if run.returncode != 0:
        return ["%s failed: %s" % (what, (run.stdout + run.stderr).decode(errors="replace")[-500:])]
    faults = []
    for name, data in want.items():
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            faults.append("%s made no %s" % (what, name))
            continue
        with open(path, "rb") as f:
            if f.read() != data:
                faults.append("%s: %s is not the image of its input under its title" % (what, name))
    return faults


if __name__ == "__main__":
    sys.exit(main())
