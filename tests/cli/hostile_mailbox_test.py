#!/usr/bin/env python3
"""Crateline's promise, checked end to end on a mailbox built to be hostile:

  after `convert`, every file named *.eml (any case) under the source is in the archive, byte
  for byte, or named on a line of its own in the report, with the reason; and `verify --source`
  says so only when it is true.

The mailbox is walked here with Python's own os.fwalk, independently of Crateline's walk, and
the archive is read with GNU tar, Python's tarfile and bsdtar.

usage: hostile_mailbox_test.py CRATELINE_CLI
"""
import gzip
import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tarfile
import tempfile
import unittest

CLI = sys.argv[1] if len(sys.argv) > 1 else "crateline-cli"
APPLE_DOUBLE = b"\x00\x05\x16\x07\x00\x02\x00\x00" + b"\x00" * 16


def message(tag, date="Tue, 3 Mar 2020 09:15:00 +0100", extra=b"", eol=b"\r\n"):
    head = b"From: a@example.org" + eol + b"Subject: " + tag + eol
    if date:
        head += b"Date: " + date.encode() + eol
    return head + extra + eol + b"Body of " + tag + eol


def safe_text(raw):
    """The report's way of showing a name: control characters and stray bytes as \\xNN."""
    out = []
    text = raw.decode("utf-8", errors="surrogateescape")
    for ch in text:
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:
            out.append("\\x%02X" % (code - 0xDC00))
        elif code < 0x20 or code == 0x7F:
            out.append("\\x%02X" % code)
        elif 0x80 <= code <= 0x9F or code in (0x200E, 0x200F) or 0x202A <= code <= 0x202E \
                or 0x2066 <= code <= 0x2069:
            out.append("\\u{%04X}" % code)
        else:
            out.append(ch)
    return "".join(out).encode("utf-8")


class HostileMailbox(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="crateline-hostile-")
        cls.src = os.path.join(cls.work, "mail").encode()
        cls.build()
        cls.archive = os.path.join(cls.work, "out", "hostile.tgz")
        os.mkdir(os.path.join(cls.work, "out"))
        cls.convert = subprocess.run([CLI, "convert", cls.src, "-o", cls.archive],
                                     capture_output=True)
        cls.report_path = cls.archive[:-4] + ".report.txt"

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["rm", "-rf", cls.work])

    @classmethod
    def put(cls, relative, data):
        path = os.path.join(cls.src, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    @classmethod
    def build(cls):
        put = cls.put
        put(b"Inbox/normal.eml", message(b"normal"))
        put(b"INBOX/upper.eml", message(b"upper"))
        put(b"inbox/lower.eml", message(b"lower"))
        put(b"Work/a.eml", message(b"work-a"))
        put(b"work/a.eml", message(b"work-a-again"))
        put(b"WORK /b.eml", message(b"work-b"))
        put(b"Sent Items/s.eml", message(b"sent"))
        put(b"Re: plans/r.eml", message(b"colon"))
        put(b"Inbox/SHOUT.EML", message(b"shout"))
        put(b"Inbox/.eml", message(b"dot-eml"))
        put(b"F" * 150 + b"/" + b"n" * 120 + b".eml", message(b"long-names"))
        put(b"d\xe9j\xe0/caf\xe9.eml", message(b"latin1"))
        put(b"d\xe9j\xe0/100%.eml", message(b"percent"))
        put(b"Inbox/esc\x1b[2J.eml", message(b"escape"))
        put(b"Inbox/crlf-only-cr.eml", message(b"old-mac", "Tue, 3 Mar 2020 04:15:00 AST",
                                              b"Status: O\r", eol=b"\r"))
        put(b"Inbox/zone.eml", message(b"zone", "Tue, 3 Mar 2020 08:15:00 XYZ"))
        put(b"Inbox/longline.eml", message(b"longline", extra=b"X-Long: " + b"x" * 11000 + b"\r\n"))
        put(b"Inbox/empty.eml", b"")
        put(b"Inbox/._normal.eml", APPLE_DOUBLE)
        put(b"__MACOSX/Inbox/._normal.eml", APPLE_DOUBLE)
        put(b"__MACOSX/Inbox/copy.eml", message(b"macosx-copy"))
        put(b"Inbox/desktop.ini", b"[.ShellClassInfo]\r\n")
        put(b"ZimbraMailbox1.1.26 1.1.01.tgz", gzip.compress(b"an earlier archive"))
        os.symlink(os.path.join(cls.src, b"Inbox/normal.eml"), os.path.join(cls.src, b"Inbox/link.eml"))
        os.symlink(os.path.join(cls.src, b"Work"), os.path.join(cls.src, b"alias"))
        os.symlink(b"/nonexistent/x.eml", os.path.join(cls.src, b"Inbox/dangling.eml"))
        os.mkfifo(os.path.join(cls.src, b"Inbox/pipe.eml"))
        # Deeper than the system's path limit: made through folder handles, as nothing else can.
        fd = os.open(cls.src, os.O_RDONLY | os.O_DIRECTORY)
        for level in range(36):
            name = b"deep%02d-" % level + b"d" * 120
            os.mkdir(name, dir_fd=fd)
            inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        out = os.open(b"bottom.eml", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(out, message(b"deep"))
        os.close(out)
        os.close(fd)

    def members(self):
        """Entry name → (bytes, mode, mtime), read with Python's tarfile."""
        with tarfile.open(self.archive, encoding="utf-8", errors="surrogateescape") as tar:
            return {m.name: (tar.extractfile(m).read(), m.mode, m.mtime) for m in tar.getmembers()}

    def test_every_message_is_in_the_archive_or_in_the_report(self):
        self.assertEqual(self.convert.returncode, 3, self.convert.stderr.decode(errors="replace"))
        with open(self.report_path, "rb") as f:
            report = f.read()
        named = {line[2:] for line in report.split(b"\n") if line.startswith(b"  ") and
                 not line.startswith(b"   ")}
        archived = {hashlib.sha256(data).digest() for data, _, _ in self.members().values()}
        found = 0
        for folder, dirs, files, dirfd in os.fwalk(self.src, follow_symlinks=False):
            for name in files + dirs:
                if not name.lower().endswith(b".eml"):
                    continue
                found += 1
                path = os.path.join(folder, name)
                st = os.stat(name, dir_fd=dirfd, follow_symlinks=False)
                if stat.S_ISREG(st.st_mode):
                    fd = os.open(name, os.O_RDONLY, dir_fd=dirfd)
                    with os.fdopen(fd, "rb") as f:
                        digest = hashlib.sha256(f.read()).digest()
                    if digest in archived:
                        continue
                self.assertIn(safe_text(path), named, "%r is neither archived nor reported" % path)
        self.assertEqual(found, 25)

    def test_verify_agrees_and_independent_readers_read_it(self):
        verify = subprocess.run([CLI, "verify", self.archive, "--source", self.src],
                                capture_output=True)
        self.assertEqual(verify.returncode, 0, verify.stdout.decode(errors="replace"))
        self.assertIn(b"0 problems", verify.stdout)
        members = self.members()
        names = sorted(members)
        for reader in (["tar", "-tzf"], ["bsdtar", "-tzf"]):
            listed = subprocess.run(reader + [self.archive], capture_output=True, check=True)
            self.assertEqual(len(listed.stdout.splitlines()), len(names), reader[0])
        self.assertFalse([n for n in names if n.startswith(("__MACOSX", "./", "/"))])
        self.assertFalse([n for n in names if "._" in n.split("/")[-1][:2]])

    def test_folders_dates_and_read_state(self):
        members = self.members()
        folders = {os.path.dirname(n) for n in members}
        self.assertIn("Inbox", folders)
        self.assertFalse({"INBOX", "inbox"} & folders, "merged into Inbox")
        self.assertEqual(len([f for f in folders if f.lower().strip() == "work"]), 1)
        self.assertIn("Sent", folders)
        self.assertIn("Re_ plans", folders)
        data, mode, mtime = members["Inbox/crlf-only-cr.eml"]
        self.assertEqual(mtime, 1583223300, "04:15 AST is 08:15 UTC")
        self.assertEqual(mode & 0o200, 0, "Status: O read over CR line ends: unread")
        self.assertIn("Inbox/.eml", members)
        with open(self.report_path, "rb") as f:
            report = f.read()
        self.assertIn(b"merged into", report)
        self.assertIn(b"\"XYZ\"", report)
        self.assertIn(b"AppleDouble", report)
        self.assertNotIn(b"\x1b", report)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
