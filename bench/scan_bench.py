#!/usr/bin/env python3
"""Times `crateline-cli scan --from eml` (the window's scan) against `find`, side by side: a plain
`find DIR -iname '*.eml'`, and one that gathers the facts the search record carries (`-printf
'%s %T@\\n'`: a stat of each entry, as the scan must make); and `crateline-cli scan`, which reads
the tree as convert does (every reader bidding at every folder), beside them.

Warm cache (one unmeasured run of each first), median of --runs runs each, interleaved so that
a noisy neighbour hurts all alike. Prints the wall-time ratios and the scan's peak memory
against its budget of 64 MiB + 200 bytes per queued message.
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def timed(command, shell=False):
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    result = subprocess.run(command, shell=shell, stdout=subprocess.PIPE, check=True)
    elapsed = time.perf_counter() - start
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return elapsed, result.stdout.decode().strip(), max(before, peak_kib)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cli", default=os.path.join(HERE, "..", "build", "cli", "crateline-cli"))
    parser.add_argument("--tree", help="an existing tree (default: generate one in a temp folder)")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="crateline-scan-bench-") as scratch:
        tree = args.tree
        if tree is None:
            tree = os.path.join(scratch, "tree")
            subprocess.run([sys.executable, os.path.join(HERE, "gen_scan_tree.py"), tree], check=True)
        ours = [args.cli, "scan", "--from", "eml", tree]
        walk = [args.cli, "scan", tree]
        find = f"find '{tree}' -iname '*.eml' | wc -l"
        find_stat = f"find '{tree}' -iname '*.eml' -printf '%s %T@\\n' | wc -l"
        timed(ours)
        timed(walk)
        timed(find, shell=True)
        timed(find_stat, shell=True)
        our_times, walk_times, find_times, stat_times = [], [], [], []
        for _ in range(args.runs):
            t, summary, _ = timed(ours)
            our_times.append(t)
            t, _, _ = timed(walk)
            walk_times.append(t)
            t, count, _ = timed(find, shell=True)
            find_times.append(t)
            t, _, _ = timed(find_stat, shell=True)
            stat_times.append(t)
        messages = int(summary.split()[0])
        # ru_maxrss of children is the largest of any child so far; ours is the biggest by far.
        peak_mib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
        budget_mib = 64 + 200 * messages / (1024 * 1024)
        ours_median = statistics.median(our_times)
        walk_median = statistics.median(walk_times)
        find_median = statistics.median(find_times)
        stat_median = statistics.median(stat_times)
        print(f"crateline-cli: {summary}")
        print(f"find:          {count} files")
        print(f"median wall time: crateline-cli {ours_median:.3f} s, find {find_median:.3f} s, "
              f"find -printf {stat_median:.3f} s; scan without --from {walk_median:.3f} s")
        print(f"ratio crateline-cli / find -printf: {ours_median / stat_median:.2f} (goal: at most 1.00)")
        print(f"ratio crateline-cli / find: {ours_median / find_median:.2f} (goal: at most 2.00)")
        print(f"ratio scan without --from / find -printf: {walk_median / stat_median:.2f}")
        print(f"peak memory: {peak_mib:.1f} MiB (budget {budget_mib:.1f} MiB)")


if __name__ == "__main__":
    main()
