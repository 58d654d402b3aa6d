#!/usr/bin/env python3
"""Writes a deterministic mailbox of .eml files for the archive benchmark, in one of two shapes.

--shape large (the default): about 1 GiB in 25,000 messages spread over ~20 folders (Inbox,
Sent, Archive/<year>, projects, ...). Bodies are plain text or HTML; 30% of the messages carry a
base64 attachment, half of them compressible (text, CSV) and half not (random bytes, like
photos or zip files).

--shape real: mail as most people's is, about 400 MiB in 60,000 messages in 35 folders. Most
messages are 3-11 KB (median 5.3 KB), nearly half of it a header block as servers and lists
leave it (a chain of Received lines, authentication results, a folded DKIM signature, list
headers, references).
Bodies are text, half of them replies quoting a message before them in the folder; a fifth
have an HTML part too, and one in twenty-five carries a small attachment.

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


HOSTS = ["mx%d.mail.example.net" % i for i in range(1, 9)] + [
    "smtp-out.lists.example.org", "relay.example.com", "mail-wr1-f41.example.com",
    "out.newsletter.example", "edge02.corp.example.com"]
LISTS = ["dev", "announce", "users", "board", "hiking", "parents", "release-team", "security"]
REAL_FOLDERS = (["Inbox"] * 12 + ["Sent"] * 4 + ["Archive/%d" % y for y in range(2009, 2024)] +
                ["Lists/" + name for name in LISTS] +
                ["Work/Clients", "Work/Invoices", "Work/Team", "Family", "Receipts", "Travel",
                 "Drafts", "Trash", "Junk", "Newsletters"])
B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def mail_date(rng, year):
    return (f"{['Mon','Tue','Wed','Thu','Fri','Sat','Sun'][rng.randint(0, 6)]}, "
            f"{rng.randint(1, 28)} {['Jan','Feb','Mar','Apr','May','Jun','Jul','Aug','Sep','Oct','Nov','Dec'][rng.randint(0, 11)]} "
            f"{year} {rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d} "
            f"{rng.choice(['+0000', '+0100', '-0500', '+0200', '-0800'])}")


def folded(name, value, rng=None):
    """A header line folded before 78 columns at spaces (or anywhere, for base64)."""
    out, line = [], name + ":"
    for word in value.split(" "):
        while len(line) + 1 + len(word) > 76 and len(word) > 60:  # base64: cut it
            room = max(8, 76 - len(line) - 1)
            line += " " + word[:room]
            out.append(line)
            line, word = "\t", word[room:]
        if len(line) + 1 + len(word) > 76:
            out.append(line)
            line = "\t" + word
        else:
            line += " " + word
    out.append(line)
    return out


def real_headers(rng, index, date, sender, listname, subject, msgid, refs):
    lines = [f"Return-Path: <{sender}>", "Delivered-To: owner@example.com"]
    for _ in range(rng.randint(2, 7)):
        a, b = rng.choice(HOSTS), rng.choice(HOSTS)
        lines += folded("Received", f"from {a} ({a} [10.{rng.randint(0, 255)}.{rng.randint(0, 255)}."
                        f"{rng.randint(1, 254)}]) by {b} (Postfix) with ESMTPS id "
                        f"{rng.getrandbits(40):010X} for <owner@example.com>; {date}")
    lines += folded("Authentication-Results", f"mail.example.com; dkim=pass (2048-bit key; "
                    f"unprotected) header.d=example.org header.i=@example.org header.b="
                    f"\"{''.join(rng.choice(B64) for _ in range(8))}\"; spf=pass smtp.mailfrom="
                    f"{sender}; dmarc=pass (p=none dis=none) header.from=example.org")
    if rng.random() < 0.7:
        sig = "".join(rng.choice(B64) for _ in range(344))
        lines += folded("DKIM-Signature", "v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.org; "
                        "s=20161025; h=mime-version:references:in-reply-to:from:date:message-id:"
                        "subject:to:cc; bh=" + "".join(rng.choice(B64) for _ in range(43)) +
                        "=; b=" + sig)
    if listname:
        lines += [f"List-Id: {listname.capitalize()} discussion <{listname}.lists.example.org>",
                  f"List-Unsubscribe: <mailto:{listname}-leave@lists.example.org>, "
                  f"<https://lists.example.org/options/{listname}>",
                  f"List-Archive: <https://lists.example.org/archives/{listname}>",
                  f"List-Post: <mailto:{listname}@lists.example.org>", "Precedence: list",
                  f"X-BeenThere: {listname}@lists.example.org"]
    lines += [f"X-Spam-Status: No, score=-{rng.randint(0, 40) / 10} required=5.0 tests=BAYES_00,"
              f"DKIM_SIGNED,DKIM_VALID,SPF_PASS autolearn=ham version=3.4.6",
              f"From: {sentence(rng, 2)[:-1]} <{sender}>",
              "To: Owner <owner@example.com>" if not listname else f"To: {listname}@lists.example.org",
              f"Subject: {subject}", f"Date: {date}", f"Message-ID: {msgid}"]
    if refs:
        lines.append(f"In-Reply-To: {refs[-1]}")
        lines += folded("References", " ".join(refs[-8:]))
    lines += ["MIME-Version: 1.0", f"X-Mailer: {rng.choice(['Mutt/2.0.5', 'Evolution 3.38', 'Apple Mail (2.3654)', 'Microsoft Outlook 16.0'])}"]
    return lines


def real_body(rng, replying_to, listname):
    size = int(min(40000, rng.lognormvariate(6.9, 0.9)))  # median about 1 KiB of text
    text = text_body(rng, size)
    if replying_to is not None:  # most replies quote what they answer, cut to a few KiB
        text += "\r\n\r\nOn Tue, 3 Mar 2020, someone wrote:\r\n" + "\r\n".join(
            "> " + line for line in replying_to[:4000].split("\r\n"))
    text += "\r\n\r\n-- \r\n" + sentence(rng, 4) + "\r\n"
    if listname:
        text += (f"_______________________________________________\r\n{listname} mailing list\r\n"
                 f"{listname}@lists.example.org\r\nhttps://lists.example.org/listinfo/{listname}\r\n")
    return text


def real_message(rng, index, threads):
    """A message; about half answer one of the last few in the same folder (threads: the
    folder's recent messages), as real folders hold conversations."""
    date = mail_date(rng, rng.randint(2009, 2023))
    recent = threads[-1] if threads and rng.random() < 0.5 else None
    listname = recent["list"] if recent else (rng.choice(LISTS) if rng.random() < 0.35 else None)
    sender = f"person{rng.randint(1, 900)}@example.org"
    msgid = f"<{rng.getrandbits(64):016x}.{index}@mail.example.org>"
    if recent:
        subject = "Re: " + recent["subject"].removeprefix("Re: ")
        refs = recent["refs"] + [recent["id"]]
    else:
        subject = rng.choice(["", "Fwd: "]) + sentence(rng, rng.randint(3, 9))[:-1]
        refs = []
    headers = real_headers(rng, index, date, sender, listname, subject, msgid, refs)
    body = real_body(rng, recent["body"] if recent else None, listname)
    threads.append({"subject": subject, "id": msgid, "refs": refs, "body": body, "list": listname})
    del threads[:-4]
    boundary = f"=_{rng.getrandbits(64):016x}"
    if rng.random() < 0.04:
        name, ctype, b64 = attachment(rng, rng.random() < 0.5, int(rng.lognormvariate(9.3, 1)))
        headers.append(f"Content-Type: multipart/mixed; boundary=\"{boundary}\"")
        parts = [f"--{boundary}", "Content-Type: text/plain; charset=utf-8", "", body,
                 f"--{boundary}", f"Content-Type: {ctype}; name=\"{name}\"",
                 "Content-Transfer-Encoding: base64",
                 f"Content-Disposition: attachment; filename=\"{name}\"", "", b64,
                 f"--{boundary}--", ""]
    elif rng.random() < 0.2:
        html = "<html><body>" + "".join(f"<p>{p}</p>" for p in body.split("\r\n\r\n")) + \
            "</body></html>"
        headers.append(f"Content-Type: multipart/alternative; boundary=\"{boundary}\"")
        parts = [f"--{boundary}", "Content-Type: text/plain; charset=utf-8", "", body,
                 f"--{boundary}", "Content-Type: text/html; charset=utf-8", "", html,
                 f"--{boundary}--", ""]
    else:
        headers += ["Content-Type: text/plain; charset=utf-8; format=flowed",
                    "Content-Transfer-Encoding: 7bit"]
        parts = [body]
    return ("\r\n".join(headers) + "\r\n\r\n" + "\r\n".join(parts)).encode()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("root")
    parser.add_argument("--shape", choices=("large", "real"), default="large")
    parser.add_argument("--messages", type=int, help="default: 25,000 (large) or 60,000 (real)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.messages is None:
        args.messages = 25000 if args.shape == "large" else 60000
    rng = random.Random(args.seed)
    folders = FOLDERS if args.shape == "large" else REAL_FOLDERS
    threads = {}
    total = 0
    for i in range(args.messages):
        name = folders[rng.randrange(len(folders))]
        folder = os.path.join(args.root, name)
        os.makedirs(folder, exist_ok=True)
        data = message(rng, i) if args.shape == "large" else \
            real_message(rng, i, threads.setdefault(name, []))
        with open(os.path.join(folder, f"message-{i:06d}.eml"), "wb") as out:
            out.write(data)
        total += len(data)
    print(f"{args.messages} messages, {total / 2**20:.1f} MiB, under {args.root}")


if __name__ == "__main__":
    main()
