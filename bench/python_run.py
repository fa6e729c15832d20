#!/usr/bin/env python3
"""Times what a Python daemon would write instead of Execute:

    subprocess.run(["/bin/true"], capture_output=True, timeout=5)

from a Python process made as large as the C++ caller of the spawn figures,
and prints the median wall time of one call as JSON.

    python_run.py [--ballast-mib MIB] [--runs RUNS]

The ballast (2048 MiB unless told) is one bytearray, every byte written,
so that its pages are really in the process (a zero-filled allocation
would be mapped but not resident). Five untimed calls come first.
"""

import argparse
import json
import statistics
import subprocess
import sys
import time


def resident_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ballast-mib", type=int, default=2048)
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()

    # Repeating a one-byte array fills the whole with memset: every page is
    # written, so it is resident.
    ballast = bytearray(b"\x01") * (args.ballast_mib << 20)

    def run():
        result = subprocess.run(["/bin/true"], capture_output=True, timeout=5)
        if result.returncode != 0:
            sys.exit("python_run.py: /bin/true exited with %d" % result.returncode)

    for _ in range(5):
        run()
    walls = []
    for _ in range(args.runs):
        start = time.perf_counter()
        run()
        walls.append(time.perf_counter() - start)
    json.dump({"median_seconds": statistics.median(walls), "runs": args.runs,
               "ballast_mib": args.ballast_mib, "resident_kib": resident_kib()}, sys.stdout)
    print()
    del ballast


if __name__ == "__main__":
    main()
