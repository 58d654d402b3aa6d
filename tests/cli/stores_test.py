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


def mbox(messages, eol="\n", sender="-"):
    return "".join(f"From {sender} Wed Mar  4 08:15:00 2020{eol}" + m + eol for m in messages)


TAKEOUT = "1833215653612141880@xxx"  # Takeout's separators name Gmail's message id
APPLE_DOUBLE = "\x00\x05\x16\x07\x00\x02\x00\x00"


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
                       labelled("chat", "Chat,Opened"), labelled("archived", "Opened")], "\r\n",
                      TAKEOUT))
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

    def test_a_folder_of_mbox_files(self):
        # As mutt, Pine and Evolution keep them, with and without a suffix: no --from needed.
        self.put("mail/saved-messages", mbox([message("saved", "Status: RO\n")]))
        self.put("mail/sent-mail", mbox([message("sent one", "Status: RO\n"),
                                         message("sent two", "Status: RO\n")]))
        self.put("mail/lists/lkml.mbox", mbox([message("list", "Status: O\n")], "\r\n"))
        entries, _ = self.convert("mail")
        self.assertEqual(entries, {"saved-messages": {("saved", "read", MARCH_3)},
                                   "sent-mail": {("sent one", "read", MARCH_3),
                                                 ("sent two", "read", MARCH_3)},
                                   "lists/lkml": {("list", "unread", MARCH_3)}})

    def test_a_backup_folder_of_every_kind(self):
        """Every message of every store in one folder is archived once, in the folder its place
        gives it, with its read state, or named in the report: checked against what was put
        there, not against any reader."""
        expected = {}  # subject -> (folder, read state), or None when it must be reported

        def msg(subject, where, state="read", headers=""):
            expected[subject] = (where, state) if where is not None else None
            return message(subject, headers)
        self.put("b/Letters/a.eml", msg("eml", "Letters"))
        self.put("b/Letters/._a.eml", APPLE_DOUBLE)
        self.put("b/Letters/inner.mbox", mbox([msg("inner", "Letters/inner", headers="X-Status: A\n")]))
        self.put("b/Letters/Box/cur/1.h:2,S", msg("nested maildir", "Letters/Box"))
        os.makedirs(os.path.join(self.work, "b/Letters/Box/new"))
        self.put("b/spam-1", "From x@y Tue Mar  3 08:15:00 2020\n" + msg("one", "spam-1") +
                 "From y@z Tue Mar  3 08:15:00 2020\n" + msg("glued", "spam-1") +
                 " \nFrom z@w Tue Mar  3 08:15:00 2020\n" + msg("after a space", "spam-1"))
        self.put("b/Old/cur/1.h:2,S", msg("seen", "Old"))
        self.put("b/Old/cur/2.h!2,S", msg("seen too", "Old"))
        self.put("b/Old/cur/3.h!2,ST", msg("trashed", None))
        self.put("b/Old/new/4.h", msg("fresh", "Old", "unread"))
        self.put("b/Old/tmp/5.h", msg("delivering", None))
        self.put("b/Old/.Sent/cur/6.h:2,S", msg("sent", "Old/Sent"))
        self.put("b/Old/beside.eml", msg("beside", "Old"))
        # A file that begins with a "From " line: kept whole here, without it in Thunderbird.
        self.put("b/Old/cur/7.h:2,S", "From - Tue Mar  3 08:15:00 2020\n" + msg("enveloped", "Old"))
        self.put("b/tb/Inbox", mbox([msg("tb read", "tb/Inbox", headers="X-Mozilla-Status: 0001\nStatus: O\n"),
                                     msg("tb forwarded", "tb/Inbox", headers="X-Mozilla-Status: 1001\n"),
                                     msg("tb deleted", None, headers="X-Mozilla-Status: 0009\n")]))
        self.put("b/tb/Inbox.msf", "")
        self.put("b/tb/Inbox.sbd/Sub", mbox([msg("tb sub", "tb/Inbox/Sub", "unread",
                                                 "X-Mozilla-Status: 0000\nX-Gmail-Labels: Elsewhere\n")]))
        self.put("b/tb/loose.eml", msg("tb loose", "tb"))
        self.put("b/tb/Local/cur/1.eml", "From - Tue Mar  3 08:15:00 2020\n" +
                 msg("tb maildir", "tb/Local", headers="X-Mozilla-Status: 0001\n") + "\n")
        self.put("b/tb/Inbox.mozmsgs/1.mozeml", message("a copy for the search"))
        self.put("b/exported.mbox", mbox([msg("labels elsewhere", "exported",
                                              headers="X-Gmail-Labels: Elsewhere\n")]))
        os.makedirs(os.path.join(self.work, "b/tb/Local/tmp"))
        self.put("b/tb/Local.msf", "")
        os.symlink("/etc/hostname", os.path.join(self.work, "b/tb/hostname-link"))
        os.symlink("../../Letters", os.path.join(self.work, "b/Old/cur/letters-link"))
        box = "b/apple/V10/ACCOUNT/INBOX.mbox/11111111-2222-3333-4444-555555555555/Data/Messages/"
        self.put("b/apple/V10/MailData/Envelope Index", "SQLite format 3")
        for n, (subject, flags) in enumerate([("apple", 1), ("apple new", 0)]):
            body = msg(subject, "apple/INBOX", "read" if flags else "unread")
            self.put(box + f"{n}.emlx", f"{len(body.encode()) - 5}\n{body}<?xml version=\"1.0\"?>\n"
                     f"<plist><dict><key>flags</key><integer>{flags}</integer></dict></plist>\n")
        self.put("b/mh/.mh_sequences", "unseen: 2\n")
        self.put("b/mh/1", msg("mh one", "mh"))
        self.put("b/mh/2", msg("mh two", "mh", "unread"))
        self.put("b/Takeout/All mail.mbox",
                 mbox([msg("takeout", "Inbox", "unread", "X-Gmail-Labels: =?UTF-8?Q?Doru=C4=8Den=C3=A9,"
                                                         "Nep=C5=99e=C4=8Dten=C3=A9?=\n"),
                       msg("takeout sent", "Inbox", headers="X-Gmail-Labels: Inbox,Sent\n")],
                      "\r\n", TAKEOUT))

        entries, out = self.convert("b", status=3)  # the link to a folder is left out
        with open(os.path.join(self.work, "out.report.txt")) as f:
            report = f.read()
        archived = {}
        for folder, items in entries.items():
            for subject, state, _ in items:
                self.assertNotIn(subject, archived, "archived twice")
                archived[subject] = (folder, state)
        for subject, where in expected.items():
            if where is None:
                self.assertNotIn(subject, archived)
            else:
                self.assertEqual(archived.get(subject), where, subject)
        self.assertEqual(len(archived), len([w for w in expected.values() if w]))
        for reported in ("3.h!2,ST", "tmp/5.h", "tb/Inbox:", "._a.eml", "hostname-link",
                         "letters-link"):
            self.assertIn(reported, report)
        self.assertIn("Read as", subprocess.run([CLI, "scan", os.path.join(self.work, "b")],
                                                capture_output=True, text=True).stdout)

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
