#!/usr/bin/env python3
"""Runs many programs at once the way a Python daemon would, with asyncio:

    proc = await asyncio.create_subprocess_exec(*argv, stdout=PIPE, stderr=PIPE)
    out, err = await proc.communicate()

for each of --jobs programs, all gathered by one asyncio.gather, and prints
one figure as JSON. The baseline of bench/many_jobs_bench.cpp, which starts
this script once per repetition.

    python_asyncio.py true [--jobs N]        wall seconds of N /bin/true (and
                                             the CPU seconds of this process
                                             and of the programs)
    python_asyncio.py sleep-echo [--jobs N]  wall seconds of N
                                             sh -c 'sleep 1; echo hi',
                                             every output checked
    python_asyncio.py live [--jobs N]        KiB that N live `sleep 60`
                                             add to the peak RSS (VmHWM)

Before anything is timed or measured, the descriptor limit is raised to
its hard limit (each running program holds three pipes' ends here) and one
program is run to its end in the same event loop, so that what the first
run pays once (the child watcher, imports) is not counted. The event loop
and child watcher are asyncio's defaults.
"""

import argparse
import asyncio
import json
import resource
import signal
import sys
import time

PIPE = asyncio.subprocess.PIPE


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


async def run(argv):
    proc = await asyncio.create_subprocess_exec(*argv, stdout=PIPE, stderr=PIPE)
    out, err = await proc.communicate()
    return proc.returncode, out, err


async def gather_runs(argv, jobs):
    return await asyncio.gather(*(run(argv) for _ in range(jobs)))


def cpu_seconds(who):
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def timed(loop, argv, jobs, expected_out):
    """The wall time of the run, and the CPU seconds of this process and of
    its children (the programs) during it."""
    caller = cpu_seconds(resource.RUSAGE_SELF)
    children = cpu_seconds(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    results = loop.run_until_complete(gather_runs(argv, jobs))
    wall = time.perf_counter() - start
    caller = cpu_seconds(resource.RUSAGE_SELF) - caller
    children = cpu_seconds(resource.RUSAGE_CHILDREN) - children
    for code, out, err in results:
        if code != 0 or out != expected_out or err != b"":
            sys.exit("python_asyncio.py: %r ended with %r, out %r, err %r" % (argv, code, out, err))
    return {"wall_seconds": wall, "caller_cpu_seconds": caller, "children_cpu_seconds": children}


async def live_jobs(jobs):
    """Starts `jobs` programs that run on, measures, then ends them all."""
    procs = []
    for _ in range(jobs):
        procs.append(await asyncio.create_subprocess_exec("/bin/sleep", "60", stdout=PIPE,
                                                          stderr=PIPE))
    # Every program is running and its exit is being watched.
    await asyncio.sleep(0)
    live = {"live_rss_kib": status_kib("VmRSS"), "live_hwm_kib": status_kib("VmHWM")}
    for proc in procs:
        proc.send_signal(signal.SIGKILL)
    await asyncio.gather(*(proc.communicate() for proc in procs))
    return live


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("item", choices=("true", "sleep-echo", "live"))
    parser.add_argument("--jobs", type=int, default=1000)
    args = parser.parse_args()

    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    loop.run_until_complete(run(["/bin/true"]))

    if args.item == "true":
        report = timed(loop, ["/bin/true"], args.jobs, b"")
    elif args.item == "sleep-echo":
        report = timed(loop, ["/bin/sh", "-c", "sleep 1; echo hi"], args.jobs, b"hi\n")
    else:
        before = status_kib("VmHWM")
        report = loop.run_until_complete(live_jobs(args.jobs))
        report["before_hwm_kib"] = before
        report["after_hwm_kib"] = status_kib("VmHWM")
        # The kernel's counts are per CPU and read without adding up the
        # last few pages: the peak is the largest of the readings.
        peak = max(report["after_hwm_kib"], report["live_rss_kib"], report["live_hwm_kib"])
        report["added_kib"] = peak - before
    loop.close()
    report.update({"item": args.item, "jobs": args.jobs})
    json.dump(report, sys.stdout)
    print()


if __name__ == "__main__":
    main()
