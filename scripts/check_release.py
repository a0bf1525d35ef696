#!/usr/bin/env python3
"""Checks the unpacked release files for what scripts/check-dist asks of
them beyond running the tool: one release number everywhere, every notice
and licence each file must carry, the documents each names, and no compiler
warning in any release build. Prints one FAIL line for each fault.

    check_release.py VERSION DIST UNPACKED

UNPACKED holds the tarball, the zips and the .deb (in deb/) as unpacked.
"""
import glob
import json
import os
import re
import shlex
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
LOGS = os.path.join(ROOT, "build", "dist-logs")
faults = []


def fault(text):
    faults.append(text)


def read(path, mode="r"):
    """The file's text (or bytes), or nothing for a file that is not there:
    its absence is a fault of its own, said where it is looked for."""
    if not os.path.isfile(path):
        return b"" if "b" in mode else ""
    with open(path, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as f:
        return f.read()


def version_info(exe):
    """The .exe's version resource: its fixed file version, as a dotted
    string, and its StringFileInfo strings."""
    data = read(exe, "rb")
    start = data.find("VS_VERSION_INFO\0".encode("utf-16-le"))
    if start < 6:
        return None, {}
    strings = {}

    def node(off):
        """A version resource node at off: where it ends, its key, its value,
        and where its children begin."""
        length, value_length, kind = struct.unpack_from("<HHH", data, off)
        key_end = off + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[off + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        size = value_length * 2 if kind == 1 else value_length
        return off + length, key, data[value:value + size], (value + size + 3) & ~3

    end, _, fixed, child = node(start - 6)
    if len(fixed) < 52 or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        return None, {}
    ms, ls = struct.unpack_from("<II", fixed, 8)
    file_version = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    def walk(off, stop):
        while off + 6 <= stop:
            after, key, value, child = node(off)
            if after <= off:
                break
            if key == "StringFileInfo" or re.fullmatch(r"[0-9a-fA-F]{8}", key):
                walk(child, after)
            elif key != "VarFileInfo" and value:
                strings[key] = value.decode("utf-16-le").rstrip("\0")
            off = (after + 3) & ~3

    walk(child, end)
    return file_version, strings


def elf_note_version(program):
    notes = subprocess.run(["readelf", "-n", program], capture_output=True, text=True).stdout
    found = re.search(r"Packaging Metadata: (\{.*\})", notes)
    return json.loads(found.group(1)).get("version") if found else None


def numbers(version, dist, unpacked):
    """Every file and document carries this release's number."""
    linux, windows, web = ("cardwrap-%s-%s" % (version, kind)
                           for kind in ("linux-x86_64", "windows-x86_64", "web"))
    deb = "cardwrap_%s-1_amd64.deb" % version
    shipped = sorted(os.path.basename(p) for p in glob.glob(os.path.join(dist, "*")))
    wanted = sorted([linux + ".tar.gz", windows + ".zip", web + ".zip", deb, "SHA256SUMS"])
    if shipped != wanted:
        fault("dist/ holds %s, not %s" % (" ".join(shipped), " ".join(wanted)))

    control = subprocess.run(["dpkg-deb", "-f", os.path.join(dist, deb), "Version"],
                             capture_output=True, text=True).stdout.strip()
    if control != version + "-1":
        fault("%s: its control file says Version %r" % (deb, control))
    # The README names the C library the package needs, as its Depends does.
    depends = subprocess.run(["dpkg-deb", "-f", os.path.join(dist, deb), "Depends"],
                             capture_output=True, text=True).stdout
    needed = re.search(r"libc6 \(>= ([\d.]+)\)", depends)
    named = re.search(r"\(glibc ([\d.]+)\)", read(os.path.join(ROOT, "README.md")))
    if not needed or not named or needed.group(1) != named.group(1):
        fault("README.md names glibc %s for the .deb, which depends on %s"
              % (named.group(1) if named else "nothing", depends.strip()))
    top = re.match(r"cardwrap \(([^)]*)\).*?\n -- [^\n]*?  ([^\n]*)",
                   read(os.path.join(ROOT, "debian", "changelog")), re.S)
    if not top or top.group(1) != version + "-1":
        fault("debian/changelog: the top entry is not %s-1" % version)
    changelog = read(os.path.join(ROOT, "CHANGELOG.md"))
    section = re.search(r"^## \[%s\] - (\d{4}-\d{2}-\d{2})$" % re.escape(version), changelog, re.M)
    if not section:
        fault("CHANGELOG.md has no section \"## [%s] - YYYY-MM-DD\" (still [Unreleased]?)" % version)
    elif top:
        debian_date = subprocess.run(["date", "-u", "-d", top.group(2), "+%Y-%m-%d"],
                                     capture_output=True, text=True).stdout.strip()
        if debian_date != section.group(1):
            fault("CHANGELOG.md dates %s %s, debian/changelog %s"
                  % (version, section.group(1), debian_date))
    released = re.findall(r"^## \[(\d[\d.]*)\]", changelog, re.M)
    keys = [tuple(int(n) for n in v.split(".")) for v in released]
    if keys != sorted(keys, reverse=True) or len(set(keys)) != len(keys):
        fault("CHANGELOG.md: the releases %s are not newest first, each once" % ", ".join(released))

    for page in (os.path.join(unpacked, linux, "cardwrap.1"),
                 os.path.join(unpacked, "deb", "usr", "share", "man", "man1", "cardwrap.1.gz")):
        text = read(page) if not page.endswith(".gz") else subprocess.run(
            ["zcat", page], capture_output=True, text=True).stdout
        if not re.search(r'^\.TH CARDWRAP 1 \S+ "cardwrap %s"' % re.escape(version), text, re.M):
            fault("%s: its footer does not say cardwrap %s" % (page, version))
    for program in (os.path.join(unpacked, linux, "cardwrap"),
                    os.path.join(unpacked, "deb", "usr", "bin", "cardwrap")):
        if elf_note_version(program) != version:
            fault("%s: its package note does not say version %s" % (program, version))

    exe = os.path.join(unpacked, windows, "cardwrap.exe")
    fixed, strings = version_info(exe)
    if fixed != version + ".0":
        fault("%s: its version resource's file version is %s" % (exe, fixed))
    for key in ("FileVersion", "ProductVersion"):
        if strings.get(key) != version:
            fault("%s: its version resource's %s is %r" % (exe, key, strings.get(key)))
    manifest = re.search(rb'<assemblyIdentity[^>]*version="([^"]*)"', read(exe, "rb"))
    if not manifest or manifest.group(1).decode() != version + ".0":
        fault("%s: its manifest's version is not %s.0" % (exe, version))

    # The web page shows its number; where on the page is the page's own affair.
    if version not in read(os.path.join(unpacked, web, "index.html")):
        fault("%s/index.html does not show %s" % (web, version))

    # A release file's name in a document is this release's.
    for doc in [os.path.join(unpacked, linux, "README.md"), os.path.join(unpacked, linux, "cardwrap.1"),
                os.path.join(unpacked, windows, "README.txt"), os.path.join(unpacked, web, "README.txt")] \
            + sorted(glob.glob(os.path.join(unpacked, linux, "docs", "*.md"))):
        text = read(doc)
        for name in set(re.findall(r"cardwrap[-_]\d[\w.+~]*?(?=[-_](?:\d+_amd64|linux|windows|web))",
                                   text.replace("\\-", "-"))):
            if name[len("cardwrap-"):] != version:
                fault("%s names the release files of %s" % (doc, name[len("cardwrap-"):]))
        heading = text.splitlines()[0] if doc.endswith(".txt") else ""
        if heading and version not in heading:
            fault("%s: its first line does not say %s" % (doc, version))


def notices(version, unpacked):
    """Each release file carries LICENSE, NOTICES.txt as the link's record
    says it must read, and what those send the reader to."""
    linux = os.path.join(unpacked, "cardwrap-%s-linux-x86_64" % version)
    windows = os.path.join(unpacked, "cardwrap-%s-windows-x86_64" % version)
    web = os.path.join(unpacked, "cardwrap-%s-web" % version)
    doc = os.path.join(unpacked, "deb", "usr", "share", "doc", "cardwrap")
    licence = read(os.path.join(ROOT, "LICENSE"))
    sample = read(os.path.join(ROOT, "samples", "pkapp.pda"), "rb")
    for folder, name in ((linux, "LICENSE"), (windows, "LICENSE.txt"), (web, "LICENSE.txt")):
        path = os.path.join(folder, name)
        if read(path).replace("\r\n", "\n") != licence:
            fault("%s is not cardwrap's LICENSE" % path)
    for path in (os.path.join(linux, "pkapp.pda"), os.path.join(windows, "pkapp.pda"),
                 os.path.join(web, "pkapp.pda"), os.path.join(doc, "examples", "pkapp.pda")):
        if read(path, "rb") != sample:
            fault("%s is not samples/pkapp.pda" % path)
    if not os.path.isfile(os.path.join(doc, "copyright")):
        fault("the .deb has no /usr/share/doc/cardwrap/copyright")
    for name in ["README.md"] + ["docs/" + os.path.basename(p) for p in glob.glob(os.path.join(ROOT, "docs", "*.md"))]:
        if not os.path.isfile(os.path.join(doc, name)):
            fault("the .deb has no /usr/share/doc/cardwrap/%s" % name)

    # NOTICES.txt as notices.py writes it from this build's own link record.
    records = [(linux, "linux", os.path.join(ROOT, "build", "dist-linux", "cardwrap.map"), []),
               (windows, "windows", os.path.join(ROOT, "build", "dist-windows", "cardwrap.map"), []),
               (web, "web", os.path.join(LOGS, "dist-web.log"),
                [os.path.join(ROOT, "build", "dist-web", "npm", "node_modules")])]
    with tempfile.TemporaryDirectory() as scratch:
        for folder, platform, record, extra in records:
            shipped = os.path.join(folder, "NOTICES.txt")
            expected = os.path.join(scratch, platform)
            made = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "notices.py"), expected,
                                   version, platform, record] + extra, capture_output=True, text=True)
            if made.returncode != 0:
                fault("%s: %s" % (shipped, made.stderr.strip() or "notices.py failed"))
            elif read(shipped).replace("\r\n", "\n") != read(expected):
                fault("%s is missing, or not the notices of what its program holds" % shipped)
    if read(os.path.join(linux, "LGPL-2.1.txt")) != read("/usr/share/common-licenses/LGPL-2.1"):
        fault("%s/LGPL-2.1.txt is not the LGPL 2.1" % linux)
    if "fflate" not in read(os.path.join(web, "NOTICES.txt")):
        fault("%s/NOTICES.txt has no notice for fflate.js" % web)

    # The relinking command the C library's notice gives, run as written.
    command = re.search(r"^    (g\+\+ .*)$", read(os.path.join(linux, "NOTICES.txt")), re.M)
    with tempfile.TemporaryDirectory() as scratch:
        relinked = os.path.join(scratch, "cardwrap")
        if command:
            words = [w.replace("LIB", "/usr/lib/x86_64-linux-gnu") for w in shlex.split(command.group(1))]
            words[words.index("-o") + 1] = relinked
            subprocess.run(words, cwd=linux, capture_output=True)
        if not command or not os.path.isfile(relinked) or \
                read(relinked, "rb") != read(os.path.join(linux, "cardwrap"), "rb"):
            fault("%s/NOTICES.txt: its relinking command does not give back the program" % linux)

    # Each file names the documents it carries.
    for readme, folder in ((os.path.join(windows, "README.txt"), windows),
                           (os.path.join(web, "README.txt"), web),
                           (os.path.join(linux, "README.md"), linux)):
        text = read(readme) + read(os.path.join(folder, "NOTICES.txt"))
        for name in sorted(os.listdir(folder)):
            documentary = not re.search(r"\.(exe|js|css|html|svg|webmanifest|1)$|^cardwrap$", name)
            if documentary and name not in text and name != os.path.basename(readme):
                fault("%s carries %s but nothing there names it" % (folder, name))
        # ... and what its own documents name is there (the tarball's
        # README.md is every system's, and names the zips' files too).
        own = text if readme.endswith(".txt") else read(os.path.join(folder, "NOTICES.txt"))
        for name in set(re.findall(r"\b(LICENSE(?:\.txt)?|NOTICES\.txt|LGPL-2\.1\.txt|pkapp\.pda|relink/)",
                                   own)):
            if not os.path.exists(os.path.join(folder, name)):
                fault("%s names %s, which it does not carry" % (folder, name))


def warnings():
    """No release build warned, the Debian package's with its flags included."""
    for log in sorted(glob.glob(os.path.join(LOGS, "*.log"))):
        lines = read(log).splitlines()
        for number, line in enumerate(lines):
            if "warning:" in line:
                fault("%s:%d: %s" % (os.path.relpath(log, ROOT), number + 1, line.strip()))
    if not glob.glob(os.path.join(LOGS, "*.log")):
        fault("no build logs in %s: run scripts/dist first" % LOGS)


def main():
    version, dist, unpacked = sys.argv[1:4]
    numbers(version, dist, unpacked)
    notices(version, unpacked)
    warnings()
    for text in faults:
        print("FAIL " + text)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
