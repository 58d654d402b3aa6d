#!/usr/bin/env python3
"""Measures the memory a conversion takes per message: the peak of `crateline-cli convert` on a
tree of small .eml files (bench/gen_scan_tree.py) at two sizes, the difference divided by the
difference in messages, so that what every run takes whatever its size (the program, the
compressor's buffers) falls out. With --compare, another build is measured beside this one.

Defaults: 25,000 and 250,000 messages, 50 messages a folder.
"""
import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def peak_kib(cli, tree, out):
    """The peak resident memory of one conversion, in KiB."""
    child = subprocess.Popen([cli, "convert", tree, "-o", out, "--force"],
                             stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    if os.waitstatus_to_exitcode(status) not in (0, 3):
        sys.exit(f"failed: {cli} convert {tree}")
    return usage.ru_maxrss


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cli", default=os.path.join(HERE, "..", "build", "cli", "crateline-cli"))
    parser.add_argument("--compare", help="another build's crateline-cli, measured beside this one")
    parser.add_argument("--small", type=int, default=25_000)
    parser.add_argument("--large", type=int, default=250_000)
    args = parser.parse_args()
    builds = {"this build": args.cli}
    if args.compare:
        builds["other build"] = args.compare
    with tempfile.TemporaryDirectory(prefix="crateline-memory-") as scratch:
        peaks = {name: {} for name in builds}
        for count in (args.small, args.large):
            tree = os.path.join(scratch, str(count))
            subprocess.run([sys.executable, os.path.join(HERE, "gen_scan_tree.py"), tree,
                            "--messages", str(count), "--folders", str(max(1, count // 50))],
                           check=True, stdout=subprocess.DEVNULL)
            for name, cli in builds.items():
                peaks[name][count] = peak_kib(cli, tree, os.path.join(scratch, "out.tgz"))
            subprocess.run(["rm", "-rf", tree], check=True)
        for name, peak in peaks.items():
            per = (peak[args.large] - peak[args.small]) * 1024 / (args.large - args.small)
            print(f"{name}: peak {peak[args.small] / 1024:.0f} MiB at {args.small} messages, "
                  f"{peak[args.large] / 1024:.0f} MiB at {args.large}: {per:.0f} bytes a message")


if __name__ == "__main__":
    main()
