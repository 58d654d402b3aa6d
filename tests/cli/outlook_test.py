#!/usr/bin/env python3
"""Outlook data files end to end: public sample .pst and .ost files (scripts/test-data.sh)
converted beside other stores, every message parsed by Python's email package, and checked
against Debian's pffexport, a reader that shares nothing with ours but libpff: the same items,
subjects, read states, dates and attachment bytes. Then verify's own count of the data files,
a damaged file, and an item the archive lost.

usage: outlook_test.py CRATELINE_CLI SAMPLES_FOLDER
"""
import email
import email.policy
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
from collections import Counter
from datetime import datetime, timezone

CLI = sys.argv[1] if len(sys.argv) > 1 else "crateline-cli"
SAMPLES = sys.argv[2] if len(sys.argv) > 2 else "build-deps/outlook-samples"
PST = "enron.pst"
OST = "pstextractortest@outlook.com.ost"
OST_PDF = "pstextractortestpdf@outlook.com.ost"


def exported_items(data_file, work):
    """What pffexport finds: one (subject, read, time, attachments) per mail item."""
    target = os.path.join(work, "export-" + os.path.basename(data_file))
    subprocess.run(["pffexport", "-q", "-m", "items", "-t", target, data_file], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    items = []
    for top, dirs, files in os.walk(target + ".export"):
        kind = re.fullmatch(r"(Message|Meeting)\d{5}", os.path.basename(top))
        if not kind or "/Attachments/" in top:  # an embedded message is part of its parent
            continue
        # pffexport writes no attachments of a meeting request: those are compared by count.
        meeting = kind.group(1) == "Meeting"
        headers = "Meeting.txt" if meeting else "OutlookHeaders.txt"
        with open(os.path.join(top, headers), encoding="utf-8", errors="replace") as f:
            fields = dict(re.findall(r"^([A-Za-z ]+):\t+(.*)$", f.read(), re.M))
        when = fields.get("Delivery time") or fields.get("Client submit time")
        seconds = int(datetime.strptime(when.split(".")[0], "%b %d, %Y %H:%M:%S")
                      .replace(tzinfo=timezone.utc).timestamp())
        attachments = []
        folder = os.path.join(top, "Attachments")
        for entry in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            path = os.path.join(folder, entry)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    attachments.append(hashlib.sha256(f.read()).hexdigest())
        if "Message.rtf" in files and not {"Message.txt", "Message.html"} & set(files):
            with open(os.path.join(top, "Message.rtf"), "rb") as f:  # we attach it
                attachments.append(hashlib.sha256(f.read().rstrip(b"\0")).hexdigest())
        items.append((fields.get("Subject", "").strip(), "Read" in fields.get("Flags", ""), seconds,
                      None if meeting else tuple(sorted(attachments))))
    return items


def archived_items(archive, test):
    """The archive's messages, each parsed whole: (subject, read, time, attachments), folder."""
    items, folders = [], Counter()
    with tarfile.open(archive) as tar:
        for member in tar.getmembers():
            data = tar.extractfile(member).read()
            message = email.message_from_bytes(data, policy=email.policy.default)
            attachments = []
            for part in message.walk():
                test.assertEqual(part.defects, [], f"{member.name}: {part.get_content_type()}")
                if part.get_content_maintype() == "multipart":
                    continue
                if part.get_content_type() == "message/rfc822":
                    continue
                if part.get_filename() is not None:
                    attachments.append(hashlib.sha256(part.get_content()
                                                      if part.get_content_maintype() != "text"
                                                      else part.get_payload(decode=True))
                                       .hexdigest())
                else:
                    part.get_content()  # the text decodes in its charset
            subject = str(message.get("Subject", "")).strip()
            items.append((subject, bool(member.mode & 0o200), member.mtime,
                          tuple(sorted(attachments))))
            folders[os.path.dirname(member.name)] += 1
    return items, folders


class Outlook(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="crateline-outlook-")
        self.source = os.path.join(self.work, "backup")
        os.makedirs(self.source)

    def tearDown(self):
        shutil.rmtree(self.work)

    def add(self, name, as_name=None):
        path = os.path.join(self.source, as_name or name)
        shutil.copyfile(os.path.join(SAMPLES, name), path)
        return path

    def run_cli(self, *args):
        return subprocess.run([CLI, *args], capture_output=True, text=True)

    def convert(self, status=0):
        archive = os.path.join(self.work, "out.tgz")
        result = self.run_cli("convert", self.source, "-o", archive, "--force")
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        return archive, result.stdout

    def test_samples_carry_what_pffexport_finds(self):
        files = [self.add(PST), self.add(OST), self.add(OST_PDF, "Archiv Ünter.ost")]
        with open(os.path.join(self.source, "loose.eml"), "w") as f:
            f.write("From: a@example.org\nSubject: beside\nDate: Tue, 3 Mar 2020 09:15:00 +0100\n"
                    "\nbody\n")
        archive, report = self.convert()
        expected = []
        for path in files:
            expected += exported_items(path, self.work)
        items, folders = archived_items(archive, self)
        items.remove(("beside", True, 1583223300, ()))
        self.assertEqual(len(expected), 71 + 14 + 2)
        self.assertEqual(Counter(i[:3] for i in items), Counter(e[:3] for e in expected))
        for item in expected:
            if item[3] is not None:
                self.assertIn(item, items)
        # The offline file's Inbox is found by the store's references, and mail only makes
        # folders: its calendars are counted, not carried.
        self.assertEqual(folders["Inbox"], 12)
        self.assertNotIn("Calendar (mail)", folders)
        self.assertIn("160 calendar items (not mail) not carried", report)
        self.assertEqual(folders["lokay-m/MLOKAY (Non-Privileged)/Personal"], 47)
        verify = self.run_cli("verify", archive, "--source", self.source)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn("a census of the source by its content alone found 88", verify.stdout)

    def test_the_same_item_makes_the_same_bytes(self):
        self.add(OST)
        first, _ = self.convert()
        with open(first, "rb") as f:
            before = f.read()
        again, _ = self.convert()
        with open(again, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_an_item_the_archive_lost_is_found(self):
        self.add(PST)
        archive, _ = self.convert()
        kept = os.path.join(self.work, "kept.tgz")
        with tarfile.open(archive) as tar, tarfile.open(kept, "w:gz", format=tarfile.GNU_FORMAT) as out:
            members = tar.getmembers()
            for member in members[1:]:
                out.addfile(member, tar.extractfile(member))
        verify = self.run_cli("verify", kept, "--source", self.source)
        self.assertNotEqual(verify.returncode, 0)
        self.assertIn("enron.pst:", verify.stdout)
        self.assertIn("not in the archive", verify.stdout)

    def test_damage_is_named_and_the_rest_goes_on(self):
        path = self.add(PST)
        with open(path, "r+b") as f:  # two folders' lists of items
            f.seek(1024 * 1024)
            f.write(b"\xff" * 8192)
        archive, report = self.convert(status=3)
        items, folders = archived_items(archive, self)
        self.assertEqual(folders["lokay-m/MLOKAY (Non-Privileged)/Personal"], 47)
        self.assertIn("MLOKAY (Non-Privileged)/Systems\n      its items cannot be listed", report)
        verify = self.run_cli("verify", archive, "--source", self.source)
        self.assertEqual(verify.returncode, 1)
        self.assertIn("cannot read all of the source", verify.stdout)

    def test_bytes_damaged_inside_items_are_found_by_the_blocks_checksums(self):
        # libpff reads such bytes as if they were right; the blocks' own CRCs tell.
        for name, at in ((PST, 6), (OST, 2)):
            with self.subTest(name):
                path = self.add(name)
                with open(path, "r+b") as f:
                    f.seek(at * 1024 * 1024)
                    f.write(b"\xff" * 8192)
                _, report = self.convert(status=3)
                self.assertIn(name + "\n      2 of its ", report)
                self.assertIn("data blocks fail their checksum", report)
                verify = self.run_cli("verify", os.path.join(self.work, "out.tgz"), "--source",
                                      self.source)
                self.assertEqual(verify.returncode, 1)
                self.assertIn("fail their checksum", verify.stdout)
                os.remove(path)

    def test_a_file_that_is_no_data_file_is_a_clear_error(self):
        with open(os.path.join(self.source, "broken.pst"), "wb") as f:
            f.write(b"!BDN" + bytes(4096))
        result = self.run_cli("convert", self.source, "-o", os.path.join(self.work, "x.tgz"))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("broken.pst", result.stdout + result.stderr)
        self.assertIn("cannot be opened as an Outlook data file", result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
