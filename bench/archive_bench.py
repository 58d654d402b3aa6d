#!/usr/bin/env python3
"""Times `crateline-cli convert` against `tar czf` and `tar | pigz -p2`, side by side.

Generates (or takes) a mailbox of about 1 GiB (bench/gen_mailbox.py), warms the cache, then
runs each command once in this order, interleaved by level so that a noisy neighbour is shared:
crateline default, tar czf, crateline best, tar | pigz -p2. Prints wall times, sizes, the
ratios the goals speak of, and crateline's peak memory.
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(command, shell=False):
    start = time.perf_counter()
    subprocess.run(command, shell=shell, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cli", default=os.path.join(HERE, "..", "build", "cli", "crateline-cli"))
    parser.add_argument("--mailbox", help="an existing mailbox (default: generate one)")
    parser.add_argument("--messages", type=int, default=25000)
    args = parser.parse_args()
    for tool in ("tar", "pigz"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is needed: run scripts/setup.sh")

    with tempfile.TemporaryDirectory(prefix="crateline-bench-") as scratch:
        mailbox = args.mailbox
        if mailbox is None:
            mailbox = os.path.join(scratch, "mailbox")
            subprocess.run([sys.executable, os.path.join(HERE, "gen_mailbox.py"), mailbox,
                            "--messages", str(args.messages)], check=True)
        out = lambda name: os.path.join(scratch, name)
        run(f"tar -cf - -C '{mailbox}' . > /dev/null", shell=True)  # warm the cache

        t = {}
        t["default"] = run([args.cli, "convert", mailbox, "-o", out("default.tgz"), "--force"])
        peak_default = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
        t["tar"] = run(f"tar --format=gnu -czf '{out('tar.tgz')}' -C '{mailbox}' .", shell=True)
        t["best"] = run([args.cli, "convert", mailbox, "-o", out("best.tgz"), "--force",
                         "--level", "best"])
        t["pigz"] = run(f"tar --format=gnu -cf - -C '{mailbox}' . | pigz -p2 > '{out('pigz.tgz')}'",
                        shell=True)
        size = {k: os.path.getsize(out(f"{k}.tgz")) for k in t}
        raw = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(mailbox) for f in fs)

        print(f"mailbox: {raw / 2**20:.0f} MiB")
        for k in ("default", "best", "tar", "pigz"):
            print(f"  {k:8s} {t[k]:7.2f} s  {size[k] / 2**20:8.1f} MiB")
        print(f"default vs tar czf: {t['tar'] / t['default']:.1f}x faster (goal >= 8), "
              f"size {size['default'] / size['tar']:.3f}x (goal <= 1.03)")
        print(f"best vs tar czf: size {size['best'] / size['tar']:.3f}x (goal <= 1.00)")
        print(f"best vs pigz -p2: {t['pigz'] / t['best']:.2f}x faster (goal >= 1.5)")
        print(f"crateline peak memory: {peak_default:.0f} MiB (goal < 256)")


if __name__ == "__main__":
    main()
