#!/usr/bin/env python3
"""Writes NOTICES.txt for a release file: the notice of every library whose
code its program holds besides cardwrap's own, found in the link's own record
of what went in, a GNU ld map (-Map) or wasm-ld's --trace lines.

    notices.py OUT VERSION linux|windows|web LINK-RECORD [NODE-MODULES]

Each archive member and object file the link took belongs to one library
below, whose notice is in notices/; an input that none claims stops the
release, so that nothing ships without the notice its code asks for.
Windows' own DLLs, reached through import stubs, need none. For the web
page, each package that package.json lists under "dependencies" (what the
page ships; the tests' are devDependencies) adds its own licence file, as
npm installed it in NODE-MODULES; one without a licence file stops it too.
"""
import json
import os
import re
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
NOTICES = os.path.join(HERE, "..", "notices")

# (library, its notice, the inputs that are its code), the order they are
# printed in.
LIBRARIES = [
    ("glibc", "glibc.txt",
     r"/usr/lib/x86_64-linux-gnu/(lib(c|m|m-[0-9.]+|mvec)\.a|crt[1in]\.o)"),
    ("winpthreads", "winpthreads.txt", r"/usr/x86_64-w64-mingw32/lib/lib(win)?pthread\.a"),
    ("mingw-w64", "mingw-w64.txt", r"/usr/x86_64-w64-mingw32/lib/[^/]+\.[ao]"),
    ("gcc", "gcc.txt",
     r"/usr/lib/gcc/[^/]+/[^/]+/(lib(gcc|gcc_eh|stdc\+\+|supc\+\+)\.a|crt(begin|end)T?\.o)"),
    ("emscripten", "emscripten.txt", r"/usr/share/emscripten/cache/sysroot/lib/[^/]+/lib[^/]+\.a"),
]
# The names dlltool gives an import library's members: a stub that leads to
# a DLL of Windows', no code of the library's own.
IMPORT_STUB = re.compile(r"lib\w+?(s\d+|h|t)\.o")

TITLES = {"linux": "Linux (x86-64)", "windows": "Windows (x64)", "web": "the web page"}


def inputs(record):
    """(file, member or None) for every input the link took."""
    with open(record, encoding="utf-8", errors="replace") as f:
        text = f.read()
    taken = {(os.path.normpath(a), m) for a, m in re.findall(r"(\S+\.a)\(([^()\s]+)\)", text)}
    # A map's LOAD lines and a trace's own lines name the object files.
    for line in text.splitlines():
        name = line[5:] if line.startswith("LOAD ") else line
        if re.fullmatch(r"\S+\.(o|obj|res)", name):
            taken.add((os.path.normpath(name), None))
    return taken


def package_of(path):
    """The Debian package that installed path, and its version and source."""
    owner = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True,
                           check=True).stdout.split(":")[0]
    fields = subprocess.run(
        ["dpkg-query", "-W", "-f=${Package} ${Version} ${source:Package} ${source:Version}",
         owner], capture_output=True, text=True, check=True).stdout.split()
    return dict(zip(["package", "version", "source", "source_version"], fields))


def libraries(record):
    """Each library the record shows linked, with the files taken from it."""
    found = {}
    for path, member in sorted(inputs(record), key=lambda item: (item[0], item[1] or "")):
        if not os.path.isabs(path):
            continue  # cardwrap's own objects, built here
        if member is not None and IMPORT_STUB.fullmatch(member):
            continue
        for name, _, pattern in LIBRARIES:
            if re.fullmatch(pattern, path):
                found.setdefault(name, set()).add(path)
                break
        else:
            sys.exit("notices.py: the link took %s%s, which no notice in notices/ covers"
                     % (path, "(%s)" % member if member else ""))
    return found


def fill(text, values):
    for key, value in values.items():
        text = text.replace("@%s@" % key, value)
    left = re.findall(r"@[A-Z_]+@", text)
    if left:
        sys.exit("notices.py: nothing fills %s" % ", ".join(left))
    return text


def npm_notices(node_modules):
    """The notice of each package the page ships, from its own files."""
    with open(os.path.join(HERE, "..", "package.json"), encoding="utf-8") as f:
        shipped = sorted(json.load(f).get("dependencies", {}))
    parts = []
    for name in shipped:
        folder = os.path.join(node_modules, name)
        with open(os.path.join(folder, "package.json"), encoding="utf-8") as f:
            installed = json.load(f)["version"]
        licences = sorted(entry for entry in os.listdir(folder)
                          if re.fullmatch(r"(LICEN[CS]E|COPYING)(\.\w+)?", entry, re.I))
        if not licences:
            sys.exit("notices.py: the npm package %s has no licence file to ship" % name)
        with open(os.path.join(folder, licences[0]), encoding="utf-8") as f:
            text = f.read().rstrip("\n")
        heading = "%s %s, from npm" % (name, installed)
        parts.append("%s\n%s\n\nShipped with the page, as package-lock.json pins it, under its\n"
                     "own licence:\n\n%s\n" % (heading, "-" * len(heading), text))
    return parts


def main():
    out, version, platform, record = sys.argv[1:5]
    node_modules = sys.argv[5] if len(sys.argv) > 5 else None
    heading = "cardwrap %s for %s: notices" % (version, TITLES[platform])
    parts = [heading + "\n" + "=" * len(heading) + "\n\n"
             "cardwrap's own code is under the MIT License, in LICENSE%s. What this\n"
             "release holds besides comes from the libraries below, each under its own\n"
             "terms, as Debian 12 built them; under each, the files it was taken from.\n"
             % ("" if platform == "linux" else ".txt")]
    linked = libraries(record)
    for name, notice, _ in LIBRARIES:
        files = linked.get(name)
        if not files:
            continue
        packages = {}
        for path in sorted(files):
            packages.setdefault(json.dumps(package_of(path), sort_keys=True), []).append(path)
        first = json.loads(next(iter(packages)))
        with open(os.path.join(NOTICES, notice), encoding="utf-8") as f:
            text = fill(f.read(), {
                "VERSION": version, "SOURCE": first["source"],
                "SOURCE_VERSION": first["source_version"],
                "SOURCE_VERSION_URL": first["source_version"].replace("+", "%2B")})
        taken = "".join("\n" + textwrap.fill("Taken from %s, of Debian's %s %s." % (
            ", ".join(os.path.basename(p) for p in paths), json.loads(key)["package"],
            json.loads(key)["version"]), 76, break_on_hyphens=False)
            for key, paths in packages.items())
        parts.append(text.rstrip("\n") + "\n" + taken + "\n")
    if node_modules is not None:
        parts += npm_notices(node_modules)
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n\n".join(parts))


if __name__ == "__main__":
    main()
