#!/usr/bin/env python3
"""Times `crateline-cli convert` at every level against `tar czf` and `tar | pigz -p2`, side by
side, on a generated mailbox (bench/gen_mailbox.py: --shape large, about 1 GiB of 43 KB
messages, many with attachments; or --shape real, 60,000 messages of mostly 2-10 KB, as real
mail is), and the same messages as one mbox.

Every timed run is preceded by `sync`, so that writeback of the run before does not land on
it; each row is the median wall time of --runs runs, the rows interleaved run by run so that a
noisy neighbour is shared. Cold rows drop the mailbox's pages from the cache first
(posix_fadvise DONTNEED on every file: no root needed). Prints one table: median wall, the
ratios to tar czf and to pigz, the size ratio to tar czf, and the peak memory of each run; then
the share of each level's processor time spent outside the compressor, which every conversion
measures of itself (`convert --stats`: the compressing threads time their own work).
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


STATS = re.compile(r"Processor time: ([0-9.]+) s, of which compressing ([0-9.]+) s")


def timed(command, shell=False, before=None):
    """Wall time, peak memory (MiB), processor time of one run, and the share of it outside the
    compressor where the run says (None otherwise), after a sync (and `before`, untimed)."""
    subprocess.run(["sync"], check=True)
    if before:
        before()
    start = time.perf_counter()
    child = subprocess.Popen(command, shell=shell, stdout=subprocess.PIPE, text=True)
    output = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) not in (0, 3):
        sys.exit(f"failed: {command}")
    stats = STATS.search(output)
    outside = 1 - float(stats.group(2)) / float(stats.group(1)) if stats else None
    return elapsed, usage.ru_maxrss / 1024, usage.ru_utime + usage.ru_stime, outside


def drop_cache(root):
    """Drops the pages of every file below root (or of root itself) from the page cache."""
    paths = [root] if os.path.isfile(root) else \
        [os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs]
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def write_mbox(mailbox, path):
    """The mailbox's messages as one mbox file (">From " quoting where a line would split)."""
    with open(path, "wb") as out:
        for folder, dirs, files in sorted(os.walk(mailbox)):
            dirs.sort()
            for name in sorted(files):
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                out.write(b"From bench@example.org Tue Mar  3 08:15:00 2020\n")
                out.write(data.replace(b"\nFrom ", b"\n>From "))
                out.write(b"\n" if data.endswith(b"\n") else b"\n\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cli", default=os.path.join(HERE, "..", "build", "cli", "crateline-cli"))
    parser.add_argument("--mailbox", help="an existing mailbox (default: generate one)")
    parser.add_argument("--shape", choices=("large", "real"), default="large")
    parser.add_argument("--messages", type=int, help="default: as gen_mailbox.py makes the shape")
    parser.add_argument("--compare", help="another build's crateline-cli, timed beside this one "
                        "(rows \"default, other\" and the like)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rows", help="only these rows, comma-separated (default: all)")
    args = parser.parse_args()
    for tool in ("tar", "pigz", "sync"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is needed: run scripts/setup.sh")

    with tempfile.TemporaryDirectory(prefix="crateline-bench-") as scratch:
        mailbox = args.mailbox
        if mailbox is None:
            mailbox = os.path.join(scratch, "mailbox")
            more = ["--messages", str(args.messages)] if args.messages else []
            subprocess.run([sys.executable, os.path.join(HERE, "gen_mailbox.py"), mailbox,
                            "--shape", args.shape, *more], check=True)
        mbox = os.path.join(scratch, "all.mbox")
        write_mbox(mailbox, mbox)
        out = lambda name: os.path.join(scratch, name + ".tgz")
        cli = lambda name, *more: [args.cli, "convert", mailbox, "-o", out(name), "--force",
                                   "--stats", *more]
        rows = {
            "tar czf": (f"tar --format=gnu -czf '{out('tar czf')}' -C '{mailbox}' .", True, None),
            "pigz -p2": (f"tar --format=gnu -cf - -C '{mailbox}' . | pigz -p2 > '{out('pigz -p2')}'",
                         True, None),
            "fast": (cli("fast", "--level", "fast"), False, None),
            "default": (cli("default"), False, None),
            "best": (cli("best", "--level", "best"), False, None),
            "default cold": (cli("default cold"), False, lambda: drop_cache(mailbox)),
            "best cold": (cli("best cold", "--level", "best"), False, lambda: drop_cache(mailbox)),
            "read cold": (f"tar -cf - -C '{mailbox}' . | cat > /dev/null", True,
                          lambda: drop_cache(mailbox)),
            "default mbox": ([args.cli, "convert", mbox, "-o", out("default mbox"), "--force"],
                             False, None),
            "default 1 thread": (cli("default 1 thread", "--threads", "1"), False, None),
            "default 2 threads": (cli("default 2 threads", "--threads", "2"), False, None),
            "default 4 threads": (cli("default 4 threads", "--threads", "4"), False, None),
        }
        if args.compare:
            other = lambda name, *more: [args.compare, "convert", mailbox, "-o", out(name),
                                         "--force", "--stats", *more]
            rows["fast, other"] = (other("fast, other", "--level", "fast"), False, None)
            rows["default, other"] = (other("default, other"), False, None)
            rows["best, other"] = (other("best, other", "--level", "best"), False, None)
        if args.rows:
            wanted = args.rows.split(",")
            rows = {k: v for k, v in rows.items()
                    if k in wanted or k in ("tar czf", "default") or k.endswith(", other")}
        # Warm the cache. GNU tar reads nothing when its archive is /dev/null: hence the cat.
        warm = f"tar -cf - -C '{mailbox}' . | cat > /dev/null"
        subprocess.run(f"{warm}; cat '{mbox}' > /dev/null", shell=True, check=True)
        times = {k: [] for k in rows}
        peaks = {k: 0.0 for k in rows}
        cpu = {k: [] for k in rows}
        # What is not the compressor: listing, reading, headers, the line check, the CRC, the
        # copies and the writes.
        outside = {k: [] for k in ("default", "best", "default, other", "best, other")
                   if k in rows}
        for _ in range(args.runs):
            for name, (command, shell, before) in rows.items():
                elapsed, peak, processor, share = timed(command, shell, before)
                times[name].append(elapsed)
                cpu[name].append(processor)
                if name in outside and share is not None:
                    outside[name].append(share)
                peaks[name] = max(peaks[name], peak)
                if before:  # the cold rows leave the cache cold: warm it again for the next
                    subprocess.run(warm, shell=True, check=True)
        wall = {k: statistics.median(v) for k, v in times.items()}
        size = {k: os.path.getsize(out(k)) for k in rows if os.path.exists(out(k))}
        raw = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(mailbox) for f in fs)

        count = sum(len(fs) for _, _, fs in os.walk(mailbox))
        print(f"mailbox: {raw / 2**20:.0f} MiB in {count} messages; {os.cpu_count()} cores; "
              f"median of {args.runs}, sync before each run")
        print(f"{'run':18s} {'wall':>8s} {'vs tar czf':>11s} {'vs pigz':>8s} {'size':>6s} {'peak':>9s} "
              f"{'cpu':>7s}")
        for name in rows:
            vs_pigz = f"{wall['pigz -p2'] / wall[name]:7.2f}x" if "pigz -p2" in wall else "      -"
            ratio = f"{size[name] / size['tar czf']:6.3f}" if name in size else "     -"
            print(f"{name:18s} {wall[name]:7.2f}s {wall['tar czf'] / wall[name]:10.2f}x "
                  f"{vs_pigz} {ratio} {peaks[name]:6.0f} MiB {statistics.median(cpu[name]):6.2f}s")
        if "default cold" in wall:
            print(f"cold / warm, default: {wall['default cold'] / wall['default']:.2f} (goal <= 1.2)")
        if "best cold" in wall:
            print(f"cold / warm, best: {wall['best cold'] / wall['best']:.2f} (goal <= 1.2)")
        for level, shares in outside.items():
            if not shares:
                continue
            print(f"processor time outside compression, {level}: "
                  f"{statistics.median(shares):.1%} (runs {min(shares):.1%} to {max(shares):.1%}; "
                  f"goal < {10 if args.shape == 'large' else 20}%)")
        if "default mbox" in wall:
            print(f"mbox / .eml files, default: {wall['default mbox'] / wall['default']:.2f} "
                  f"(goal <= 1.25)")


if __name__ == "__main__":
    main()
