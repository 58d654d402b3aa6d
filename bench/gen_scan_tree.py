#!/usr/bin/env python3
"""Writes a deterministic tree of small .eml files for the scan benchmark.

100,000 messages in 2,000 folders by default (two levels: 40 top folders of 50 each), plus a
few non-message files, so that the pattern has something to reject.
"""
import argparse
import os


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("root")
    parser.add_argument("--messages", type=int, default=100_000)
    parser.add_argument("--folders", type=int, default=2_000)
    args = parser.parse_args()

    per_folder = args.messages // args.folders
    top = max(1, int(args.folders ** 0.5 * 0.9))
    body = b"From: a@example.org\r\nSubject: hello\r\n\r\nbody\r\n"
    written = 0
    for f in range(args.folders):
        folder = os.path.join(args.root, f"Top{f % top:03d}", f"Folder {f:05d}")
        os.makedirs(folder, exist_ok=True)
        count = per_folder if f < args.folders - 1 else args.messages - written
        for m in range(count):
            with open(os.path.join(folder, f"message-{m:04d}.eml"), "wb") as out:
                out.write(body)
        written += count
        if f % 100 == 0:
            with open(os.path.join(folder, "Thumbs.db"), "wb") as out:
                out.write(b"\0" * 16)
    print(f"{written} messages in {args.folders} folders under {args.root}")


if __name__ == "__main__":
    main()
