"""Folds a CPU profile of `bench/run.py --profile` into where the time went: the share of samples at
each symbol and in each library, counting only the samples taken while a timed body ran.

Usage:
  perf record -k CLOCK_MONOTONIC -F 250 -o W1.perf -- .venv/bin/python bench/run.py --profile W1 \\
      --sizes 5000x240 --runs 5 2> W1.runs
  perf script -i W1.perf > W1.txt
  python bench/fold_profile.py W1.txt --windows W1.runs [--top N]

--windows takes the profile run's standard error, whose lines give each timed run's span on
CLOCK_MONOTONIC; samples outside them (data generation, set-up) are left out. Shares are of the samples
kept, all threads together: CPU time, not waiting (fsync's wait is off the CPU; see `perf trace -s`).
The leaf frame is what counts: the native libraries carry no frame pointers, so their stacks end there.
"""

import argparse
import collections
import re

SPAN = re.compile(r"monotonic ([0-9.]+) to ([0-9.]+)")
# "python 11157  3834.455488:    4000000 cpu-clock:ppp: " (comm, tid, time, period, event), followed on
# the same line by the one frame when recorded without -g, or by a frame per line with it.
HEADER = re.compile(r"^\s*(\S+)\s+(\d+)\s+([0-9.]+):\s+\d+\s+\S+:\s*(.*)$")
# "16e0ba __memset_avx512_unaligned_erms+0x7a (/usr/lib/x86_64-linux-gnu/libc.so.6)"
FRAME = re.compile(r"^\s*[0-9a-f]+\s+(.*?)(?:\+0x[0-9a-f]+)?\s+\((.*)\)$")


def read_windows(path):
    with open(path) as handle:
        return [(float(m.group(1)), float(m.group(2))) for m in map(SPAN.search, handle) if m]


def read_samples(path):
    """(time, thread id, leaf symbol, leaf library) per sample of a `perf script` listing."""
    sample = None
    with open(path) as handle:
        for line in handle:
            header = HEADER.match(line)
            if header:
                sample = [float(header.group(3)), header.group(2), None, None]
                line = header.group(4)
            frame = FRAME.match(line)
            if frame and sample is not None and sample[2] is None:
                sample[2], sample[3] = frame.group(1), frame.group(2).rsplit("/", 1)[-1]
                yield tuple(sample)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("script", help="`perf script` output")
    parser.add_argument("--windows", help="the profile run's standard error (its monotonic spans)")
    parser.add_argument("--top", type=int, default=30)
    args = parser.parse_args()
    windows = read_windows(args.windows) if args.windows else []
    symbols, libraries, threads = collections.Counter(), collections.Counter(), collections.Counter()
    for at, thread, symbol, library in read_samples(args.script):
        if windows and not any(start <= at <= end for start, end in windows):
            continue
        symbols[f"{symbol} ({library})"] += 1
        libraries[library] += 1
        threads[thread] += 1
    total = sum(libraries.values())
    if not total:
        raise SystemExit("no samples kept")
    seconds = sum(end - start for start, end in windows)
    print(f"{total} samples kept" + (f" in {len(windows)} runs, {seconds:.2f} s in all" if windows else ""))
    # The process's first thread is the one that called the store; the others are the pools'.
    calling = threads[min(threads, key=int)]
    print(f"calling thread {100 * calling / total:.1f}%, {len(threads) - 1} other threads {100 - 100 * calling / total:.1f}%")
    for title, counter in (("libraries", libraries), ("symbols", symbols)):
        print(f"top {args.top} {title} (self):")
        for name, count in counter.most_common(args.top):
            print(f"  {100 * count / total:5.1f}%  {name[:150]}")


if __name__ == "__main__":
    main()
