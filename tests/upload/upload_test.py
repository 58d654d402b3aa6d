#!/usr/bin/env python3
"""crateline-cli upload against the local test server (zimbra_server.py): from a mail folder to
the server's verdict, with every way of logging in, faults the server reports, cut connections,
late answers, gateways' errors, reruns that send only the rest, and Ctrl-C.

usage: upload_test.py CRATELINE_CLI
"""
import json
import os
import pty
import random
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zimbra_server  # noqa: E402

CLI = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "crateline-cli"
USER = "ann@example.com"
PASSWORD = "s3cret pass"


def message(subject, size=0, extra="", seed=0):
    """A message of about `size` bytes more than its headers, random enough not to compress."""
    rng = random.Random(seed)
    body = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789+/") for _ in range(size))
    lines = "\r\n".join(body[i:i + 76] for i in range(0, len(body), 76))
    return (f"From: a@example.org\r\nSubject: {subject}\r\nDate: Tue, 3 Mar 2020 09:15:00 +0100\r\n"
            f"{extra}\r\n{lines}\r\nend of {subject}\r\n")


class Upload(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.serverdir = tempfile.mkdtemp(prefix="crateline-server-")
        cls.server = zimbra_server.ZimbraServer(CLI, cls.serverdir)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        subprocess.run(["rm", "-rf", cls.serverdir])

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="crateline-upload-")
        self.server.reset()
        self.source = os.path.join(self.work, "mail")
        self.password = os.path.join(self.work, "password")
        with open(self.password, "w") as f:
            f.write(PASSWORD + "\n")

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.work])

    def put(self, relative, text):
        path = os.path.join(self.source, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", newline="") as f:
            f.write(text)

    def mailbox(self, folders=("Inbox", "Work", "Sent Items"), per_folder=6, size=60000):
        for f, folder in enumerate(folders):
            for i in range(per_folder):
                self.put(f"{folder}/m{i:02d}.eml", message(f"{folder} {i}", size, seed=f * 100 + i))
        return len(folders) * per_folder

    def upload(self, *args, status=0, source=None, password=True, env=None):
        command = [CLI, "upload", *(source or [self.source]), "--url", self.server.url,
                   "--user", USER, "--ca-file", self.server.cert, *args]
        if password:
            command += ["--password-file", self.password]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120,
                                env={**os.environ, **(env or {})})
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        return result.stdout + result.stderr

    def journal(self):
        with open(os.path.join(self.work, ".crateline-upload.json")) as f:
            return json.load(f)["uploads"][0]["volumes"]

    def imported(self, account=USER):
        names = [(folder, name) for folder, name, *_ in self.server.messages(account)]
        self.assertEqual(len(names), len(set(names)), "a message was imported twice")
        return names

    def test_a_store_goes_up_in_volumes_and_a_rerun_sends_nothing(self):
        count = self.mailbox()
        out = self.upload("--volume-size", "1M")
        self.assertEqual(len(self.imported()), count)
        self.assertGreaterEqual(len(self.server.requests), 2, out)
        for request in self.server.requests:
            self.assertEqual(request["verify"], 0)  # every volume stands alone
            self.assertEqual(request["auth"], "cookie")
            self.assertEqual(request["headers"].get("Transfer-Encoding"), "chunked")
            self.assertEqual(request["query"]["callback"], ["crateline"])
        self.assertIn(("Sent", "m00.eml"), self.imported())  # "Sent Items" is Zimbra's Sent
        self.assertTrue(all(v["state"] == "accepted" for v in self.journal()))
        self.assertTrue(os.path.exists(os.path.join(self.work, "mail.upload-report.txt")))
        sent = len(self.server.requests)
        out = self.upload("--volume-size", "1M")
        self.assertIn("Nothing to send", out)
        self.assertEqual(len(self.server.requests), sent)
        # A message added since is all that goes the next time.
        self.put("Inbox/new.eml", message("new", 100))
        self.upload("--volume-size", "1M")
        self.assertEqual(len(self.server.requests), sent + 1)
        self.assertEqual(len(self.imported()), count + 1)

    def test_faults_the_server_reports_name_the_messages(self):
        self.mailbox(per_folder=2, size=100)
        self.put("Inbox/bad.eml", message("bad", 100, "X-Test-Fault: mail.INVALID_NAME\r\n"))
        out = self.upload(status=3)
        self.assertIn(os.path.join(self.source, "Inbox", "bad.eml"), out)
        self.assertIn("mail.INVALID_NAME", out)
        with open(os.path.join(self.work, "mail.upload-report.txt")) as f:
            self.assertIn("mail.INVALID_NAME", f.read())

    def test_a_message_left_out_goes_the_next_time(self):
        # Emptied after the store was read and before it was packed (at the login, which comes
        # between): left out as an empty message, and not taken for sent.
        self.mailbox(per_folder=2, size=100)
        emptied = os.path.join(self.source, "Inbox", "m01.eml")
        content = open(emptied).read()
        self.server.on_soap = lambda: open(emptied, "w").close()
        out = self.upload(status=3)
        self.assertIn("m01.eml", out)
        self.assertEqual(len(self.imported()), 5)
        self.server.on_soap = None
        with open(emptied, "w", newline="") as f:
            f.write(content)
        self.upload()
        self.assertEqual(len(self.imported()), 6)

    def test_every_way_of_logging_in(self):
        self.mailbox(per_folder=1, size=100)
        self.upload("--auth", "basic")
        self.assertEqual(self.server.requests[-1]["auth"], "basic")
        token = os.path.join(self.work, "token")
        self.server.tokens["0_given"] = USER
        with open(token, "w") as f:
            f.write("0_given\n")
        self.upload("--token-file", token, "--subfolder", "Old mail", password=False)
        self.assertEqual(self.server.requests[-1]["auth"], "cookie")
        self.assertIn(("Old mail/Inbox", "m00.eml"), self.imported())
        # An administrator imports for the user; the admin service is found at --admin-url.
        admin_password = os.path.join(self.work, "admin")
        with open(admin_password, "w") as f:
            f.write("adm1n\n")
        os.remove(os.path.join(self.work, ".crateline-upload.json"))
        self.server.mailboxes.clear()
        self.upload("--admin", "admin@example.com", "--admin-url", self.server.url,
                    "--password-file", admin_password, password=False)
        self.assertEqual(len(self.imported()), 3)
        # The password from the environment.
        os.remove(os.path.join(self.work, ".crateline-upload.json"))
        self.server.mailboxes.clear()
        self.upload(password=False, env={"CRATELINE_PASSWORD": PASSWORD})
        self.assertEqual(len(self.imported()), 3)

    def test_refusals_say_why_and_leave_nothing_in_the_journal(self):
        self.mailbox(per_folder=1, size=100)
        with open(self.password, "w") as f:
            f.write("wrong\n")
        out = self.upload(status=1)
        self.assertIn("authentication failed", out)
        out = self.upload("--auth", "basic", status=1)
        self.assertIn("HTTP 401", out)
        with open(os.path.join(self.work, ".crateline-upload.json")) as f:
            self.assertTrue(all(not u["volumes"] for u in json.load(f)["uploads"]))
        out = subprocess.run([CLI, "upload", self.source, "--url", self.server.url, "--user",
                              "tom@example.com", "--ca-file", self.server.cert],
                             capture_output=True, text=True, env={**os.environ,
                                                                  "CRATELINE_PASSWORD": "t0m"})
        self.assertEqual(out.returncode, 1)
        self.assertIn("--token-file", out.stderr)  # a two-factor account is told its way
        self.assertEqual(self.imported(), [], self.server.requests)

    def test_a_cut_connection_is_unknown_and_a_rerun_sends_only_the_rest(self):
        count = self.mailbox(per_folder=6, size=60000)
        self.server.behaviour = {"cut": 200000, "on": [2]}
        out = self.upload("--volume-size", "1M", status=1)
        self.assertIn("import state unknown for volume 02", out)
        first = set(self.imported())
        states = [v["state"] for v in self.journal()]
        self.assertEqual(states, ["accepted", "unknown"])
        self.server.behaviour = {}
        out = self.upload("--volume-size", "1M", status=1)  # volume 2 held back: still 1
        self.assertIn("--resend-unknown", out)
        second = set(self.imported())
        unknown = {tuple(m) for m in self.journal()[1]["messages"]}
        self.assertEqual(len(second), count - len(unknown))  # all but the unknown volume's
        self.assertTrue(first <= second)
        self.upload("--volume-size", "1M", "--resend-unknown")
        self.assertEqual(len(self.imported()), count)
        out = self.upload("--volume-size", "1M")  # settled: nothing held back any more
        self.assertIn("Nothing to send", out)

    def test_a_late_answer_and_a_gateway_timeout_are_unknown(self):
        self.mailbox(per_folder=1, size=100)
        self.server.behaviour = {"delay": 4}
        out = self.upload("--timeout", "1", status=1)
        self.assertIn("import state unknown for volume 01", out)
        self.assertIn("no verdict", out)
        os.remove(os.path.join(self.work, ".crateline-upload.json"))
        self.server.behaviour = {"status": 504}
        out = self.upload(status=1)
        self.assertIn("HTTP 504", out)
        self.assertEqual(self.journal()[0]["state"], "unknown")
        # An archive file, whose length is known, waits for its verdict the same way.
        archive = os.path.join(self.work, "mail.tgz")
        subprocess.run([CLI, "convert", self.source, "-o", archive], check=True,
                       capture_output=True)
        self.server.behaviour = {"delay": 4}
        out = self.upload("--timeout", "1", source=[archive], status=1)
        self.assertIn("no verdict", out)

    def test_archives_and_volumes_made_by_convert(self):
        self.mailbox(per_folder=8, size=60000)
        archive = os.path.join(self.work, "out", "mail.tgz")
        os.makedirs(os.path.dirname(archive))
        subprocess.run([CLI, "convert", self.source, "-o", archive, "--volume-size", "1M"],
                       check=True, capture_output=True)
        parts = sorted(os.path.join(os.path.dirname(archive), p)
                       for p in os.listdir(os.path.dirname(archive)) if p.endswith(".tgz"))
        self.assertGreater(len(parts), 1)
        self.server.behaviour = {"cut": 100000, "on": [2]}
        out = self.upload(source=parts, status=1)
        self.assertIn("import state unknown for volume 02 (mail-part02.tgz)", out)
        self.server.behaviour = {}
        out = self.upload(source=parts, status=1)  # the rest goes; part 2 is held back
        self.assertIn("held back", out)
        self.upload("--resend-unknown", source=parts)
        self.assertEqual(len(self.imported()), 24)
        self.assertEqual(self.server.requests[0]["headers"].get("Content-Length"),
                         str(os.path.getsize(parts[0])))
        out = self.upload(source=parts)
        self.assertEqual(out.count("not sent again"), len(parts))
        # Something that is not an archive Zimbra imports whole is not sent.
        broken = os.path.join(self.work, "broken.tgz")
        with open(parts[0], "rb") as f, open(broken, "wb") as g:
            g.write(f.read()[:-100])
        out = self.upload(source=[broken], status=1)
        self.assertIn("crateline-cli verify", out)

    def test_tls_is_checked_and_plain_http_refused(self):
        self.mailbox(per_folder=1, size=100)
        command = [CLI, "upload", self.source, "--url", self.server.url, "--user", USER,
                   "--password-file", self.password]
        out = subprocess.run(command, capture_output=True, text=True)
        self.assertEqual(out.returncode, 1, out.stdout + out.stderr)
        self.assertIn("certificate", (out.stdout + out.stderr).lower())
        self.assertEqual(self.imported(), [])
        out = subprocess.run(command + ["--insecure"], capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("--insecure", out.stderr)
        out = subprocess.run([CLI, "upload", self.source, "--url", "http://127.0.0.1:1",
                              "--user", USER, "--password-file", self.password],
                             capture_output=True, text=True)
        self.assertEqual(out.returncode, 2)

    def test_the_password_is_asked_without_echo(self):
        self.mailbox(per_folder=1, size=100)
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(CLI, [CLI, "upload", self.source, "--url", self.server.url, "--user", USER,
                           "--ca-file", self.server.cert])
        seen = b""
        deadline = time.time() + 60
        while b"Password for" not in seen and time.time() < deadline:
            seen += os.read(fd, 1024)
        os.write(fd, (PASSWORD + "\n").encode())
        while time.time() < deadline:
            try:
                chunk = os.read(fd, 1024)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, seen.decode(errors="replace"))
        self.assertNotIn(PASSWORD.encode(), seen)
        self.assertEqual(len(self.imported()), 3)

    def test_ctrl_c_stops_after_saying_what_was_sent(self):
        self.mailbox(per_folder=6, size=60000)
        self.server.behaviour = {"delay": 30, "on": [2]}
        process = subprocess.Popen(
            [CLI, "upload", self.source, "--url", self.server.url, "--user", USER, "--ca-file",
             self.server.cert, "--password-file", self.password, "--volume-size", "1M"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        deadline = time.time() + 60
        while len(self.server.requests) < 2 and time.time() < deadline:
            time.sleep(0.1)
        time.sleep(1)
        process.send_signal(signal.SIGINT)
        out, _ = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 130, out)
        self.assertIn("imported", out)  # volume 1
        self.assertIn("import state unknown for volume 02", out)
        self.assertEqual([v["state"] for v in self.journal()], ["accepted", "unknown"])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[2:]], verbosity=1)
