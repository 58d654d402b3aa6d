#!/usr/bin/env python3
"""Every mail store Crateline reads, end to end: built here as its program lays it out,
converted with crateline-cli, read back with Python's tarfile (folders, read state, dates), and
checked with `verify --source`.

usage: stores_test.py CRATELINE_CLI
"""
import os
import subprocess
import sys
import tarfile
import tempfile
import unittest

CLI = sys.argv[1] if len(sys.argv) > 1 else "crateline-cli"
MARCH_3 = 1583223300  # Tue, 3 Mar 2020 08:15:00 UTC


def message(subject, headers="", eol="\n", date="Tue, 3 Mar 2020 09:15:00 +0100"):
    head = f"From: a@example.org{eol}Subject: {subject}{eol}"
    if date:
        head += f"Date: {date}{eol}"
    return head + headers.replace("\n", eol) + eol + f"Body of {subject}{eol}"


def mbox(messages, eol="\n"):
    return "".join(f"From - Wed Mar  4 08:15:00 2020{eol}" + m + eol for m in messages)


class Stores(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="crateline-stores-")

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.work])

    def put(self, relative, text):
        path = os.path.join(self.work, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", newline="") as f:
            f.write(text)

    def convert(self, source, *options, status=0):
        archive = os.path.join(self.work, "out.tgz")
        result = subprocess.run([CLI, "convert", os.path.join(self.work, source), "-o", archive,
                                 "--force", *options], capture_output=True, text=True)
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        verify = subprocess.run([CLI, "verify", archive, "--source", os.path.join(self.work, source),
                                 *options], capture_output=True, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        entries = {}
        with tarfile.open(archive) as tar:
            for m in tar.getmembers():
                data = tar.extractfile(m).read().decode()
                subject = data.split("Subject: ")[1].split("\n")[0].strip()
                read = "read" if m.mode & 0o200 else "unread"
                entries.setdefault(os.path.dirname(m.name), set()).add((subject, read, m.mtime))
        return entries, result.stdout

    def test_thunderbird_profile(self):
        local = "profile/Mail/Local Folders/"
        self.put(local + "Inbox", mbox([message("read", "X-Mozilla-Status: 0001\n"),
                                        message("new", "X-Mozilla-Status: 0000\n"),
                                        message("gone", "X-Mozilla-Status: 0009\n")]))
        self.put(local + "Inbox.msf", "")
        self.put(local + "Inbox.sbd/Receipts", mbox([message("receipt", "X-Mozilla-Status: 0001\n",
                                                              date="")]))
        self.put(local + "Inbox.sbd/Receipts.msf", "")
        self.put("profile/ImapMail/imap.example.org/Sent", mbox([message("sent", "Status: RO\n")], "\r\n"))
        self.put("profile/prefs.js", "")
        entries, out = self.convert("profile")
        self.assertEqual(entries["Local Folders/Inbox"], {("read", "read", MARCH_3),
                                                          ("new", "unread", MARCH_3)})
        # No Date: the date of its "From " line.
        self.assertEqual(entries["Local Folders/Inbox/Receipts"], {("receipt", "read", MARCH_3 + 86400)})
        self.assertEqual(entries["imap.example.org/Sent"], {("sent", "read", MARCH_3)})
        self.assertIn("deleted", out)
        # One account, at the top: its Inbox is Zimbra's.
        entries, _ = self.convert("profile", "--account", "Local Folders")
        self.assertIn("Inbox", entries)
        self.assertIn("Inbox/Receipts", entries)

    def test_google_takeout(self):
        def labelled(subject, labels):
            return message(subject, f"X-Gmail-Labels: {labels}\n")
        self.put("Takeout/Mail/All mail Including Spam and Trash.mbox",
                 mbox([labelled("plain", "Inbox,Opened"), labelled("nested", "Opened,Work/Projects"),
                       labelled("two", "Family,Trips,Unread"), labelled("spam", "Spam"),
                       labelled("chat", "Chat,Opened"), labelled("archived", "Opened")], "\r\n"))
        entries, out = self.convert("Takeout/Mail/All mail Including Spam and Trash.mbox")
        self.assertEqual(entries[""] if "" in entries else entries.get("Inbox"),
                         {("plain", "read", MARCH_3)})
        self.assertEqual(entries["Work/Projects"], {("nested", "read", MARCH_3)})
        self.assertEqual(entries["Family"], {("two", "unread", MARCH_3)})
        self.assertEqual(entries["Junk"], {("spam", "read", MARCH_3)})
        self.assertEqual(entries["Archive"], {("archived", "read", MARCH_3)})
        self.assertIn("more than one label", out)
        entries, _ = self.convert("Takeout/Mail/All mail Including Spam and Trash.mbox",
                                  "--labels", "copy")
        self.assertEqual(entries["Trips"], {("two", "unread", MARCH_3)})

    def test_plain_mbox(self):
        self.put("mutt/saved", mbox([message("one", "Status: O\n"), message("two", "Status: RO\n")]))
        entries, _ = self.convert("mutt/saved", "--folder", "Saved mail")
        self.assertEqual(entries["Saved mail"], {("one", "unread", MARCH_3), ("two", "read", MARCH_3)})

    def test_maildir(self):
        self.put("Maildir/cur/1.M1.host:2,S", message("seen"))
        self.put("Maildir/new/2.M2.host", message("fresh"))
        self.put("Maildir/cur/3.M3.host:2,ST", message("trashed"))
        os.makedirs(os.path.join(self.work, "Maildir/tmp"))
        self.put("Maildir/.Sent Items/cur/4.M4.host:2,S", message("sent"))
        os.makedirs(os.path.join(self.work, "Maildir/.Sent Items/new"))
        self.put("Maildir/.&AMk-t&AOk-/cur/5.M5.host:2,", message("summer"))
        os.makedirs(os.path.join(self.work, "Maildir/.&AMk-t&AOk-/new"))
        entries, _ = self.convert("Maildir")
        self.assertEqual(entries[""], {("seen", "read", MARCH_3), ("fresh", "unread", MARCH_3)})
        self.assertEqual(entries["Sent"], {("sent", "read", MARCH_3)})
        self.assertEqual(entries["\u00c9t\u00e9"], {("summer", "unread", MARCH_3)})

    def test_apple_mail(self):
        self.put("export/Work.mbox/mbox", mbox([message("exported")]))
        self.put("export/Work.mbox/Info.plist", "<plist/>")
        entries, _ = self.convert("export")
        self.assertEqual(entries["Work"], {("exported", "read", MARCH_3)})

        def emlx(subject, flags):
            body = message(subject)
            return (f"{len(body.encode())}       \n{body}<?xml version=\"1.0\"?>\n<plist><dict>"
                    f"<key>flags</key><integer>{flags}</integer></dict></plist>\n")
        box = "Mail/V10/ACCOUNT/INBOX.mbox/UUID/Data/Messages/"
        self.put(box + "1.emlx", emlx("opened", 8590195713))
        self.put(box + "2.emlx", emlx("waiting", 8590195712))
        self.put(box + "3.partial.emlx", emlx("partial", 1))
        entries, out = self.convert("Mail", status=3)  # the partial message is left out
        self.assertEqual(entries["Inbox"], {("opened", "read", MARCH_3), ("waiting", "unread", MARCH_3)})
        self.assertIn("3.partial.emlx", out)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
