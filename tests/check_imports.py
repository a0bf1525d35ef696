#!/usr/bin/env python3
"""Fails if a Windows program imports a DLL that a bare Windows lacks, such as
a compiler's runtime that should have been linked in.

    check_imports.py OBJDUMP PROGRAM...
"""
import subprocess
import sys

# DLLs every Windows since 7 ships; the C runtime msvcrt.dll among them.
SHIPPED = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll",
           "ws2_32.dll", "shell32.dll", "ole32.dll", "bcrypt.dll"}


def imports(objdump, program):
    dump = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                          text=True).stdout
    return [line.split(":", 1)[1].strip() for line in dump.splitlines()
            if line.strip().startswith("DLL Name:")]


def main():
    objdump, programs = sys.argv[1], sys.argv[2:]
    failed = 0
    for program in programs:
        dlls = imports(objdump, program)
        foreign = [d for d in dlls if d.lower() not in SHIPPED]
        print("%s imports %s" % (program, ", ".join(dlls) or "nothing"))
        if not dlls or foreign:
            failed += 1
            print("FAIL %s needs %s" % (program, ", ".join(foreign) or "an import table"))
    print("%d passed, %d failed" % (len(programs) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
