#!/usr/bin/env python3
"""Measures what one conversion costs against copying the same file with cp:
instructions executed, counted exactly by callgrind (a time would vary with
whatever else the machine does), peak resident memory, and the wall time of
one run (the median of RUNS), which shows the price of flushing the image to
the device before reporting success; cp does not. Runs in a folder beside
the tool, on the build machine's own disk. Prints a table and the ratios
cardwrap/cp; for instructions and memory a ratio of 1.0 or less meets the
target.

    bench/run.py [TOOL]     (default: build/release/cardwrap)
"""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

SIZES = [1, 122880]
RUNS = 51


def instructions(command, folder):
    out = os.path.join(folder, "callgrind.out")
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + command,
                         cwd=folder, capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", run.stderr).group(1))


def peak_kib(command, folder):
    # GNU time starts the command from its own small process: started from
    # Python, the peak would count Python's pages, copied at the fork.
    run = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, cwd=folder,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
    return int(run.stderr.split()[-1])


def wall_ms(command, folder):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        subprocess.run(command, cwd=folder, stdout=subprocess.DEVNULL, check=True)
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def main():
    tool = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/release/cardwrap")
    print("%-10s %-9s %13s %10s %9s" % ("input", "command", "instructions", "peak KiB",
                                        "wall ms"))
    ratios = []
    with tempfile.TemporaryDirectory(prefix="cardwrap-bench-", dir=os.path.dirname(tool)) as folder:
        for size in SIZES:
            with open(os.path.join(folder, "in.pda"), "wb") as f:
                f.write(bytes((i * 31 + 7) % 256 for i in range(size)))
            runs = {"cardwrap": [tool, "in.pda", "BENCH", "out.mcx"],
                    "cp": ["cp", "in.pda", "out.cp"]}
            measured = {}
            for name, command in runs.items():
                measured[name] = (instructions(command, folder), peak_kib(command, folder),
                                  wall_ms(command, folder))
                print("%-10s %-9s %13d %10d %9.2f" % ("%d B" % size, name, *measured[name]))
            ratios.append((size, [a / b for a, b in zip(measured["cardwrap"], measured["cp"])]))
    print()
    for size, (ins, mem, wall) in ratios:
        print("%d B: cardwrap/cp instructions %.2f, peak memory %.2f, wall time %.2f"
              % (size, ins, mem, wall))


if __name__ == "__main__":
    main()
