#!/usr/bin/env python3
"""Writes a deterministic mailbox of .eml files for the archive benchmark.

Default: about 1 GiB in 25,000 messages spread over ~20 folders (Inbox, Sent, Archive/<year>,
projects, ...). Bodies are plain text or HTML; 30% of the messages carry a base64 attachment,
half of them compressible (text, CSV) and half not (random bytes, like photos or zip files).
The same seed always gives the same bytes.
"""
import argparse
import base64
import os
import random

WORDS = ("the of and to in is you that it he was for on are as with his they at be this have "
         "from or one had by word but not what all were we when your can said there use an each "
         "which she do how their if will up other about out many then them these so some her "
         "would make like him into time has look two more write go see number no way could people "
         "my than first water been call who oil its now find long down day did get come made may "
         "part meeting invoice report project budget review schedule deadline client quarterly "
         "attached please regards thanks update figures revenue contract proposal").split()

FOLDERS = ["Inbox", "Inbox/Receipts", "Inbox/Newsletters", "Sent Items", "Drafts",
           "Deleted Items", "Junk E-mail", "Archive/2016", "Archive/2017", "Archive/2018",
           "Archive/2019", "Archive/2020", "Archive/2021", "Projects/Apollo", "Projects/Borealis",
           "Projects/Cascade", "Family", "Travel", "Finance/Tax", "Finance/Bank"]


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize() + "."


def paragraph(rng):
    return " ".join(sentence(rng, rng.randint(6, 18)) for _ in range(rng.randint(3, 8)))


def text_body(rng, size):
    parts, total = [], 0
    while total < size:
        p = paragraph(rng)
        # Wrap at 76 columns, as mail programs do.
        line, lines = "", []
        for w in p.split():
            if len(line) + len(w) + 1 > 76:
                lines.append(line)
                line = w
            else:
                line = (line + " " + w).strip()
        lines.append(line)
        block = "\r\n".join(lines)
        parts.append(block)
        total += len(block)
    return "\r\n\r\n".join(parts)


def html_body(rng, size):
    out, total = ["<html><body>"], 0
    while total < size:
        p = "<p style=\"font-family:Arial;font-size:12px\">" + paragraph(rng) + "</p>"
        out.append(p)
        total += len(p)
    out.append("</body></html>")
    return "\r\n".join(out)


def attachment(rng, compressible, size):
    if compressible:
        rows = [",".join(str(rng.randint(0, 9999)) for _ in range(8)) for _ in range(size // 40)]
        raw = ("id,a,b,c,d,e,f,g\n" + "\n".join(rows)).encode()[:size]
        name, ctype = "figures.csv", "text/csv"
    else:
        raw = rng.randbytes(size)
        name, ctype = "photo.jpg", "image/jpeg"
    b64 = base64.encodebytes(raw).decode().replace("\n", "\r\n")
    return name, ctype, b64


def message(rng, index):
    year = rng.randint(2016, 2021)
    date = (f"{['Mon','Tue','Wed','Thu','Fri','Sat','Sun'][rng.randint(0, 6)]}, "
            f"{rng.randint(1, 28)} {['Jan','Feb','Mar','Apr','May','Jun','Jul','Aug','Sep','Oct','Nov','Dec'][rng.randint(0, 11)]} "
            f"{year} {rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d} "
            f"{rng.choice(['+0000', '+0100', '-0500', '+0200'])}")
    headers = [f"From: Sender {rng.randint(1, 500)} <sender{rng.randint(1, 500)}@example.org>",
               "To: Owner <owner@example.com>",
               f"Subject: {sentence(rng, rng.randint(3, 8))}",
               f"Date: {date}",
               f"Message-ID: <{index}.{rng.randint(0, 10**9)}@bench.crateline.invalid>",
               "MIME-Version: 1.0"]
    html = rng.random() < 0.4
    body = html_body(rng, rng.randint(4000, 20000)) if html else text_body(rng, rng.randint(1500, 9000))
    btype = "text/html" if html else "text/plain"
    if rng.random() < 0.3:
        boundary = f"----=_Part_{index}"
        name, ctype, b64 = attachment(rng, rng.random() < 0.5, rng.randint(40000, 140000))
        headers.append(f"Content-Type: multipart/mixed; boundary=\"{boundary}\"")
        text = "\r\n".join(headers) + "\r\n\r\n" + "\r\n".join([
            f"--{boundary}", f"Content-Type: {btype}; charset=us-ascii", "", body,
            f"--{boundary}", f"Content-Type: {ctype}; name=\"{name}\"",
            "Content-Transfer-Encoding: base64",
            f"Content-Disposition: attachment; filename=\"{name}\"", "", b64,
            f"--{boundary}--", ""])
    else:
        headers.append(f"Content-Type: {btype}; charset=us-ascii")
        text = "\r\n".join(headers) + "\r\n\r\n" + body + "\r\n"
    return text.encode()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("root")
    parser.add_argument("--messages", type=int, default=25000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    total = 0
    for i in range(args.messages):
        folder = os.path.join(args.root, FOLDERS[rng.randrange(len(FOLDERS))])
        os.makedirs(folder, exist_ok=True)
        data = message(rng, i)
        with open(os.path.join(folder, f"message-{i:06d}.eml"), "wb") as out:
            out.write(data)
        total += len(data)
    print(f"{args.messages} messages, {total / 2**20:.1f} MiB, under {args.root}")


if __name__ == "__main__":
    main()
