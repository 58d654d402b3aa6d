#!/usr/bin/env python3
"""Contacts and calendars end to end: a Google Takeout export (mail, address books by label,
calendars with zones, recurrences, exceptions and alarms) and a phone's vCard 2.1 and 4.0
files, converted with the mail; every card and calendar of the archive read back by Python's
vobject and icalendar, which share nothing with our reader, and matched with the source; the
order Zimbra's importer needs; verify's census; and what verify finds wrong in an archive.

usage: contacts_test.py CRATELINE_CLI
"""
import base64
import io
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tarfile
import tempfile
import unittest
from collections import Counter
from datetime import date, datetime, timezone

import icalendar
import vobject

CLI = sys.argv[1] if len(sys.argv) > 1 else "crateline-cli"

JPEG = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + bytes(range(256)) * 3
PNG = b"\x89PNG\r\n\x1a\n" + bytes(range(200))


def folded(line, width=75):
    """A content line folded as RFC 6350 and 5545 fold them (by bytes, CR LF and a space)."""
    data = line.encode("utf-8")
    out, start = [], 0
    while start < len(data):
        end = min(len(data), start + (width if not out else width - 1))
        while end < len(data) and (data[end] & 0xC0) == 0x80:  # not inside a character
            end -= 1
        out.append(data[start:end])
        start = end
    return b"\r\n ".join(out) + b"\r\n"


def card(*lines, version="3.0"):
    return (b"BEGIN:VCARD\r\n" + folded("VERSION:" + version) +
            b"".join(folded(line) for line in lines) + b"END:VCARD\r\n")


GOOGLE_CARDS = [
    card("FN:J\u00fcrgen M\u00fcller-L\u00fcdenscheidt", "N:M\u00fcller-L\u00fcdenscheidt;J\u00fcrgen;;;",
         "EMAIL;TYPE=INTERNET;TYPE=HOME:juergen@example.de",
         "TEL;TYPE=CELL:+49 170 1234567",
         "ADR;TYPE=HOME:;;Hauptstra\u00dfe 1;K\u00f6ln;;50667;Deutschland",
         "NOTE:A long note that Google folds over several lines\\, with commas\\, "
         "semicolons\\; and an \u00e9l\u00e8ve or two \u2014 to see the folding kept.",
         "PHOTO;ENCODING=b:" + base64.b64encode(JPEG).decode(),  # no TYPE: Zimbra's parser fails
         "CATEGORIES:myContacts,Family"),
    card("FN:\u5c71\u7530 \u592a\u90ce", "N:\u5c71\u7530;\u592a\u90ce;;;", "EMAIL:taro@example.jp",
         "ORG:\u682a\u5f0f\u4f1a\u793e\u4f8b", "BDAY:1980-04-01"),
    card("FN:Ann Lee", "N:Lee;Ann;;;", "EMAIL:ann@example.com",
         "item1.URL:https://example.com/ann", "item1.X-ABLabel:Blog",
         "PHOTO;VALUE=uri:https://lh3.googleusercontent.com/contacts/ann"),
]
PHONE_21 = card("N;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=C3=96zt=C3=BCrk;Ay=C5=9Fe;;;",
                "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Ay=C5=9Fe =C3=96zt=C3=BCrk",
                "TEL;CELL:+90 532 000 0000",
                "PHOTO;JPEG;ENCODING=BASE64:" + base64.b64encode(JPEG).decode(), version="2.1")
PHONE_40 = card("FN:Bo Nilsson", "EMAIL;TYPE=work:bo@example.se",
                "PHOTO:data:image/png;base64," + base64.b64encode(PNG).decode(), version="4.0")
EMPTY = b"BEGIN:VCARD\r\nVERSION:3.0\r\nEND:VCARD\r\n"


def calendar(name, *components, zones=()):
    lines = ["VERSION:2.0", "PRODID:-//Google Inc//Google Calendar 70.9054//EN",
             "CALSCALE:GREGORIAN", "METHOD:PUBLISH", "X-WR-CALNAME:" + name]
    body = b"".join(folded(line) for line in lines)
    return b"BEGIN:VCALENDAR\r\n" + body + b"".join(zones) + b"".join(components) + \
        b"END:VCALENDAR\r\n"


def component(kind, *lines):
    return (b"BEGIN:" + kind.encode() + b"\r\n" + b"".join(folded(line) for line in lines) +
            b"END:" + kind.encode() + b"\r\n")


NEW_YORK = component("VTIMEZONE", "TZID:America/New_York", "X-LIC-LOCATION:America/New_York") \
    .replace(b"END:VTIMEZONE", component(
        "DAYLIGHT", "TZOFFSETFROM:-0500", "TZOFFSETTO:-0400", "TZNAME:EDT",
        "DTSTART:19700308T020000", "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU").rstrip(b"\r\n") +
        b"\r\n" + component("STANDARD", "TZOFFSETFROM:-0400", "TZOFFSETTO:-0500", "TZNAME:EST",
                            "DTSTART:19701101T020000", "RRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU")
        + b"END:VTIMEZONE")
BERLIN = component("VTIMEZONE", "TZID:Europe/Berlin").replace(b"END:VTIMEZONE", component(
    "STANDARD", "TZOFFSETFROM:+0200", "TZOFFSETTO:+0100", "TZNAME:CET",
    "DTSTART:19701025T030000", "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU") + b"END:VTIMEZONE")

PRIMARY = calendar(
    "me@gmail.com",
    component("VEVENT", "DTSTART;TZID=America/New_York:20240108T090000",
              "DTEND;TZID=America/New_York:20240108T093000", "RRULE:FREQ=WEEKLY;BYDAY=MO",
              "EXDATE;TZID=America/New_York:20240115T090000", "UID:standup@google.com",
              "SUMMARY:Weekly stand-up \u2014 caf\u00e9 \u2615",
              "DESCRIPTION:" + "An agenda long enough to be folded. " * 5,
              "BEGIN:VALARM", "ACTION:DISPLAY", "DESCRIPTION:Reminder", "TRIGGER:-P0DT0H10M0S",
              "END:VALARM"),
    component("VEVENT", "DTSTART;TZID=America/New_York:20240122T100000",
              "DTEND;TZID=America/New_York:20240122T103000",
              "RECURRENCE-ID;TZID=America/New_York:20240122T090000", "UID:standup@google.com",
              "SUMMARY:Weekly stand-up (moved)"),
    component("VEVENT", "DTSTART;TZID=Europe/Berlin:20240301T180000",
              "DTEND;TZID=Europe/Berlin:20240301T200000", "UID:berlin@google.com",
              "SUMMARY:Abendessen in M\u00fcnchen", "LOCATION:M\u00fcnchen\\, Marienplatz"),
    component("VEVENT", "DTSTART;VALUE=DATE:20240704", "DTEND;VALUE=DATE:20240705",
              "UID:allday@google.com", "SUMMARY:Holiday"),
    zones=[NEW_YORK, BERLIN])
HOLIDAYS = calendar("Holidays in Germany",
                    component("VEVENT", "DTSTART;VALUE=DATE:20241225", "UID:xmas@holiday",
                              "SUMMARY:Weihnachten"))
REPLY = calendar("Reply", component("VEVENT", "UID:r", "DTSTART:20240101T000000Z")) \
    .replace(b"METHOD:PUBLISH", b"METHOD:REPLY")

AB_SCHEMA = """PRAGMA user_version=4;
CREATE TABLE properties (card TEXT, name TEXT, value TEXT);
CREATE TABLE lists (uid TEXT PRIMARY KEY, name TEXT, nickName TEXT, description TEXT);
CREATE TABLE list_cards (list TEXT, card TEXT, PRIMARY KEY(list, card));
CREATE INDEX properties_card ON properties(card);
CREATE INDEX properties_name ON properties(name);"""

# A card as Thunderbird 102 and later keep it (its whole vCard), and one an older Thunderbird
# left as named fields, with its photo in the profile's Photos folder.
TB_VCARD = card("FN:Chlo\u00e9 Dupont", "N:Dupont;Chlo\u00e9;;;", "EMAIL;PREF=1:chloe@example.fr",
                "UID:5a6b7c8d-0000-4000-8000-000000000001",
                "PHOTO:data:image/png;base64," + base64.b64encode(PNG).decode(), version="4.0")
TB_BOOKS = {
    "abook.sqlite": [
        ("5a6b7c8d-0000-4000-8000-000000000001",
         {"_vCard": TB_VCARD.decode(), "DisplayName": "Chlo\u00e9 Dupont",
          "PrimaryEmail": "chloe@example.fr", "LastModifiedDate": "1700000000"}),
        ("5a6b7c8d-0000-4000-8000-000000000002",
         {"DisplayName": "Old, Card", "FirstName": "Old", "LastName": "Card",
          "PrimaryEmail": "old@example.com", "SecondEmail": "old2@example.com",
          "HomeCity": "K\u00f6ln", "Notes": "two\nlines; here", "PhotoName": "old.jpg"}),
    ],
    # A card that Thunderbird 102 made a vCard of keeps its photo where it was.
    "abook-1.sqlite": [("w1", {"_vCard": card("FN:Bob Work", "EMAIL:bob@work.example").decode(),
                               "PhotoName": "old.jpg"})],
    "history.sqlite": [("h1", {"PrimaryEmail": "someone@example.net"})],
}
PREFS = b'''user_pref("ldap_2.servers.pab.description", "chrome://messenger/locale/addressbook/addressBook.properties");
user_pref("ldap_2.servers.pab.filename", "abook.sqlite");
user_pref("ldap_2.servers.Work.description", "Work");
user_pref("ldap_2.servers.Work.filename", "abook-1.sqlite");
user_pref("calendar.registry.0a1b2c3d-1111-4222-8333-444455556666.name", "Home");
user_pref("calendar.registry.9f8e7d6c-5555-4444-8333-222211110000.name", "Work");
'''


CAL_SCHEMA = """CREATE TABLE cal_calendar_schema_version (version INTEGER);
CREATE TABLE cal_attendees (item_id TEXT, recurrence_id INTEGER, recurrence_id_tz TEXT,
    cal_id TEXT, icalString TEXT);
CREATE TABLE cal_recurrence (item_id TEXT, cal_id TEXT, icalString TEXT);
CREATE TABLE cal_properties (item_id TEXT, key TEXT, value BLOB, recurrence_id INTEGER,
    recurrence_id_tz TEXT, cal_id TEXT);
CREATE TABLE cal_events (cal_id TEXT, id TEXT, time_created INTEGER, last_modified INTEGER,
    title TEXT, priority INTEGER, privacy TEXT, ical_status TEXT, flags INTEGER,
    event_start INTEGER, event_end INTEGER, event_stamp INTEGER, event_start_tz TEXT,
    event_end_tz TEXT, recurrence_id INTEGER, recurrence_id_tz TEXT, alarm_last_ack INTEGER,
    offline_journal INTEGER);
CREATE TABLE cal_todos (cal_id TEXT, id TEXT, time_created INTEGER, last_modified INTEGER,
    title TEXT, priority INTEGER, privacy TEXT, ical_status TEXT, flags INTEGER,
    todo_entry INTEGER, todo_due INTEGER, todo_completed INTEGER, todo_complete INTEGER,
    todo_entry_tz TEXT, todo_due_tz TEXT, todo_completed_tz TEXT, recurrence_id INTEGER,
    recurrence_id_tz TEXT, alarm_last_ack INTEGER, todo_stamp INTEGER, offline_journal INTEGER);
CREATE TABLE cal_tz_version (version TEXT);
CREATE TABLE cal_metadata (cal_id TEXT, item_id TEXT, value BLOB);
CREATE TABLE cal_alarms (cal_id TEXT, item_id TEXT, recurrence_id INTEGER,
    recurrence_id_tz TEXT, icalString TEXT);
CREATE TABLE cal_relations (cal_id TEXT, item_id TEXT, recurrence_id INTEGER,
    recurrence_id_tz TEXT, icalString TEXT);
CREATE TABLE cal_attachments (item_id TEXT, cal_id TEXT, recurrence_id INTEGER,
    recurrence_id_tz TEXT, icalString TEXT);
CREATE TABLE cal_parameters (cal_id TEXT, item_id TEXT, recurrence_id INTEGER,
    recurrence_id_tz TEXT, key1 TEXT, key2 TEXT, value BLOB);
INSERT INTO cal_calendar_schema_version VALUES (23);"""
HOME, WORK = "0a1b2c3d-1111-4222-8333-444455556666", "9f8e7d6c-5555-4444-8333-222211110000"


def prtime(*civil):
    """Thunderbird's stored time: microseconds since 1970, UTC."""
    return int(datetime(*civil, tzinfo=timezone.utc).timestamp()) * 1000000


def make_calendars(path):
    """Thunderbird's local calendars, made by SQLite with its schema (version 23)."""
    db = sqlite3.connect(path)
    db.executescript(CAL_SCHEMA)
    event = ("INSERT INTO cal_events (cal_id, id, time_created, last_modified, title, flags, "
             "event_start, event_end, event_stamp, event_start_tz, event_end_tz, recurrence_id, "
             "recurrence_id_tz, offline_journal) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)")
    made = prtime(2023, 12, 1, 12, 0, 0)
    # A weekly meeting at 09:00 in Berlin (08:00 UTC in winter), one occurrence moved to 10:00.
    db.execute(event, (HOME, "weekly", made, made, "Jour fixe, Raum 3", 16 | 32 | 256 | 2 | 4,
                       prtime(2024, 1, 8, 8), prtime(2024, 1, 8, 9), made, "Europe/Berlin",
                       "Europe/Berlin", None, None, None))
    db.execute(event, (HOME, "weekly", made, made, "Jour fixe (verschoben)", 0,
                       prtime(2024, 1, 22, 9), prtime(2024, 1, 22, 10), made, "Europe/Berlin",
                       "Europe/Berlin", prtime(2024, 1, 22, 8), "Europe/Berlin", None))
    # New York in summer is UTC-4: 14:00 UTC is 10:00 there.
    db.execute(event, (HOME, "ny", made, made, "Call", 0, prtime(2024, 7, 10, 14),
                       prtime(2024, 7, 10, 15), made, "America/New_York", "America/New_York",
                       None, None, None))
    db.execute(event, (HOME, "allday", made, made, "Feiertag", 8, prtime(2024, 7, 4),
                       prtime(2024, 7, 5), made, "floating", "floating", None, None, None))
    db.execute(event, (HOME, "gone", made, made, "Deleted offline", 0, prtime(2024, 2, 1),
                       prtime(2024, 2, 1, 1), made, "UTC", "UTC", None, None, 4))
    db.execute(event, (WORK, "review", made, made, "Review", 0, prtime(2024, 3, 1, 13),
                       prtime(2024, 3, 1, 14), made, "UTC", "UTC", None, None, None))
    db.execute("INSERT INTO cal_todos (cal_id, id, time_created, last_modified, title, flags, "
               "todo_due, todo_due_tz, todo_stamp, todo_complete) VALUES (?,?,?,?,?,?,?,?,?,?)",
               (HOME, "task", made, made, "Steuererkl\u00e4rung", 0, prtime(2024, 5, 31, 22),
                "Europe/Berlin", made, 50))
    db.executemany("INSERT INTO cal_recurrence VALUES (?, ?, ?)", [
        ("weekly", HOME, "RRULE:FREQ=WEEKLY;BYDAY=MO"),
        ("weekly", HOME, "EXDATE;TZID=Europe/Berlin:20240115T090000")])
    db.execute("INSERT INTO cal_alarms VALUES (?, ?, NULL, NULL, ?)",
               (HOME, "weekly", "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER;VALUE=DURATION:-PT15M"
                "\r\nDESCRIPTION:Default Mozilla Description\r\nEND:VALARM\r\n"))
    db.execute("INSERT INTO cal_attendees VALUES (?, NULL, NULL, ?, ?)",
               ("weekly", HOME, "ATTENDEE;CN=Ann Lee;PARTSTAT=ACCEPTED:mailto:ann@example.com"))
    db.executemany("INSERT INTO cal_properties VALUES (?, ?, ?, NULL, NULL, ?)", [
        ("weekly", "DESCRIPTION", "Agenda: 1, 2; 3\nZweite Zeile", HOME),
        ("weekly", "LOCATION", "M\u00fcnchen", HOME),
        ("weekly", "CATEGORIES", "Business,Meeting", HOME)])
    db.commit()
    db.close()


def make_profile(folder):
    """A Thunderbird profile: prefs, address books made by SQLite with Thunderbird's schema."""
    os.makedirs(os.path.join(folder, "Photos"))
    os.makedirs(os.path.join(folder, "Mail", "Local Folders"))
    with open(os.path.join(folder, "prefs.js"), "wb") as f:
        f.write(PREFS)
    with open(os.path.join(folder, "Photos", "old.jpg"), "wb") as f:
        f.write(JPEG)
    with open(os.path.join(folder, "Mail", "Local Folders", "Inbox"), "wb") as f:
        f.write(MBOX.replace(b"X-Gmail-Labels: Inbox\r\n", b""))
    for name, cards in TB_BOOKS.items():
        db = sqlite3.connect(os.path.join(folder, name))
        db.executescript(AB_SCHEMA)
        for uid, fields in cards:
            db.executemany("INSERT INTO properties VALUES (?, ?, ?)",
                           [(uid, k, v) for k, v in fields.items()])
        if name == "abook.sqlite":
            db.execute("INSERT INTO lists VALUES ('l1', 'Team', '', '')")
            db.execute("INSERT INTO list_cards VALUES ('l1', ?)", (cards[0][0],))
        db.commit()
        db.close()
    with open(os.path.join(folder, "history.mab"), "wb") as f:  # Thunderbird 68's
        f.write(b"// <!-- <mdb:mork:z v=\"1.4\"/> -->\n< <(a=c)> // (f=iso-8859-1)\n")
    os.makedirs(os.path.join(folder, "calendar-data"))
    make_calendars(os.path.join(folder, "calendar-data", "local.sqlite"))


MBOX = (b"From 1@xxx Mon Jan 01 00:00:00 +0000 2024\r\nX-Gmail-Labels: Inbox\r\n"
        b"From: a@example.com\r\nTo: me@gmail.com\r\nSubject: hello\r\n"
        b"Date: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\nbody\r\n\r\n")


def entries(path):
    with tarfile.open(path, "r:gz") as tar:
        return [(member.name, tar.extractfile(member).read()) for member in tar.getmembers()]


def parsed_cards(text):
    """(card, its photo's bytes) for each card of a vCard text, read by vobject, which keeps
    no data of a data: URI (it splits the value at its comma): that photo is read here."""
    out = []
    for c in vobject.readComponents(text.decode("utf-8")):
        photo = c.contents.get("photo", [None])[0]
        data = None
        if photo is not None and isinstance(photo.value, bytes):
            data = photo.value
        elif photo is not None and photo.value.startswith("data:"):
            unfolded = re.sub(rb"\r\n[ \t]", b"", text)
            found = re.search(rb"PHOTO[^:\r\n]*:data:[^,]*,([A-Za-z0-9+/=]+)", unfolded)
            data = base64.b64decode(found.group(1))
        elif photo is not None:
            data = photo.value.encode()
        out.append((c.fn.value, tuple(sorted(e.value for e in c.contents.get("email", []))), data))
    return out


def events_of(text):
    cal = icalendar.Calendar.from_ical(text)
    return Counter((str(e["UID"]), str(e.get("RECURRENCE-ID").to_ical() if "RECURRENCE-ID" in e
                                       else b""), str(e["SUMMARY"]))
                   for e in cal.walk("VEVENT"))


class ContactsAndCalendars(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="crateline-cards-")
        self.source = os.path.join(self.work, "backup")
        files = {
            "Takeout/Mail/All mail Including Spam and Trash.mbox": MBOX,
            "Takeout/Contacts/My Contacts/My Contacts.vcf": b"".join(GOOGLE_CARDS),
            # Google writes a card into the file of each of its labels.
            "Takeout/Contacts/Family/Family.vcf": GOOGLE_CARDS[0],
            "Takeout/Calendar/me@gmail.com.ics": PRIMARY,
            "Takeout/Calendar/Holidays in Germany.ics": HOLIDAYS,
            "phone/Kontakte \u00e4.vcf": PHONE_21 + EMPTY + PHONE_40,
            "phone/reply.ics": REPLY,
        }
        for name, data in files.items():
            path = os.path.join(self.source, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        make_profile(os.path.join(self.source, "thunderbird"))

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_cli(self, *args):
        return subprocess.run([CLI, *args], capture_output=True, text=True, timeout=120)

    def convert(self, *args, status=3, name="out.tgz"):  # the reply calendar, the Mork book
        result = self.run_cli("convert", self.source, "-o", os.path.join(self.work, name), *args)
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        return result.stdout

    def volumes(self):
        return sorted(os.path.join(self.work, n) for n in os.listdir(self.work) if "-part" in n)

    def test_every_card_and_event_reaches_the_archive_as_an_independent_parser_reads_it(self):
        out = self.convert("--volume-size", "2M")
        volumes = self.volumes()
        self.assertEqual(len(volumes), 4, out)  # a calendar ends its volume
        archived = [entry for volume in volumes for entry in entries(volume)]
        for volume in volumes:
            names = [name for name, _ in entries(volume)]
            # Mail, then contacts, then the one calendar, as the last entry.
            kinds = [name.rsplit(".", 1)[1] for name in names]
            self.assertEqual(kinds, sorted(kinds, key=["eml", "vcf", "ics"].index), names)
            self.assertEqual(kinds.count("ics"), 1, names)

        cards = [(name, data) for name, data in archived if name.endswith(".vcf")]
        for name, data in cards:
            parsed = list(vobject.readComponents(data.decode("utf-8")))
            self.assertEqual(len(parsed), 1, name)  # a card an entry: one bad card costs no other
            for photo in parsed[0].contents.get("photo", []):
                if photo.params.get("ENCODING"):  # what Zimbra's parser needs of an inline photo
                    self.assertIn("TYPE", photo.params, data)
        got = Counter(key for _, data in cards for key in parsed_cards(data))
        # Every card once (Family's copy of a card is the same card), the empty one left out.
        expected = Counter(key for text in [*GOOGLE_CARDS, PHONE_21, PHONE_40, TB_VCARD]
                           for key in parsed_cards(text))
        expected.update([("Old, Card", ("old2@example.com", "old@example.com"), JPEG),
                         ("Bob Work", ("bob@work.example",), JPEG),
                         ("someone@example.net", ("someone@example.net",), None)])
        self.assertEqual(got, expected)
        folders = Counter(name.rsplit("/", 1)[0] for name, _ in cards)
        # "My Contacts" is the user's own address book: Zimbra's Contacts.
        # Thunderbird's personal book is Contacts too, its collected addresses Zimbra's own.
        self.assertEqual(folders, Counter({"Contacts": 4, "Contacts/Family": 1,
                                           "Contacts/Kontakte \u00e4": 2, "Contacts/Work": 1,
                                           "Emailed Contacts": 1}))
        old = next(data for _, data in cards if b"Old\\, Card" in data)
        self.assertIn(b"NOTE:two\\nlines\\; here\r\n", old)
        self.assertIn("ADR;TYPE=HOME:;;;K\u00f6ln;;;\r\n".encode(), old)

        calendars = {name: data for name, data in archived if name.endswith(".ics")}
        self.assertEqual(set(calendars), {"Calendar/me@gmail.com/me@gmail.com.ics",
                                          "Calendar/Holidays in Germany/Holidays in Germany.ics",
                                          "Calendar/local.ics", "Calendar/Work/local.ics"})
        self.assertEqual(calendars["Calendar/me@gmail.com/me@gmail.com.ics"], PRIMARY)
        self.assertEqual(events_of(calendars["Calendar/me@gmail.com/me@gmail.com.ics"]),
                         events_of(PRIMARY))
        parsed = icalendar.Calendar.from_ical(calendars["Calendar/me@gmail.com/me@gmail.com.ics"])
        self.assertEqual({str(z["TZID"]) for z in parsed.walk("VTIMEZONE")},
                         {"America/New_York", "Europe/Berlin"})
        self.assertEqual(len(parsed.walk("VALARM")), 1)

        # The table counts cards and events; the report names what was not carried and why.
        self.assertIn("4  Calendar/me@gmail.com  (calendar items)", out)
        self.assertIn("4  Contacts  (contacts)", out)
        self.assertIn("1 mailing lists not carried", out)
        self.assertIn(" items: Calendar/me@gmail.com (4 calendar items)\n", out)
        self.assertIn("a card with nothing in it", out)
        self.assertIn("the same card as", out)
        self.assertIn("METHOD is REPLY", out)
        self.assertIn("history.mab\n      an address book of Thunderbird 68 or older", out)

        verify = self.run_cli("verify", *volumes, "--source", self.source)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn("2 messages (0 unread), 9 contacts, 11 calendar items", verify.stdout)
        # The census: 2 messages, 3 + 1 + 3 + 4 cards, 3 + 2 calendars.
        self.assertIn("census of the source by its content alone found 18", verify.stdout)

    def test_thunderbirds_calendars_are_made_as_it_would_write_them(self):
        out = self.convert("--volume-size", "2M", "--only", "calendar")
        # Its items, not the one deleted offline: the master, a moved occurrence, two more and
        # a task.
        self.assertIn("5  Calendar  (calendar items)", out)
        made = {name: data for volume in self.volumes() for name, data in entries(volume)}
        # Thunderbird's first calendar, "Home", is the user's own: Zimbra's Calendar.
        home = icalendar.Calendar.from_ical(made["Calendar/local.ics"])
        self.assertEqual(str(home["X-WR-CALNAME"]), "Home")
        events = {(str(e["UID"]), "RECURRENCE-ID" in e): e for e in home.walk("VEVENT")}
        self.assertEqual(sorted(events), [("allday", False), ("ny", False), ("weekly", False),
                                          ("weekly", True)])  # not the one deleted offline
        master, moved = events[("weekly", False)], events[("weekly", True)]
        # Back to the wall clock of the zone each was set in, whatever its offset that day.
        self.assertEqual(master["DTSTART"].params["TZID"], "Europe/Berlin")
        self.assertEqual(master["DTSTART"].dt.replace(tzinfo=None), datetime(2024, 1, 8, 9))
        self.assertEqual(events[("ny", False)]["DTSTART"].dt.replace(tzinfo=None),
                         datetime(2024, 7, 10, 10))
        self.assertEqual(moved["RECURRENCE-ID"].dt.replace(tzinfo=None), datetime(2024, 1, 22, 9))
        self.assertEqual(moved["DTSTART"].dt.replace(tzinfo=None), datetime(2024, 1, 22, 10))
        self.assertNotIn("RRULE", moved)  # the rules are the recurring item's alone
        self.assertEqual(events[("allday", False)]["DTSTART"].dt, date(2024, 7, 4))
        self.assertEqual(str(master["SUMMARY"]), "Jour fixe, Raum 3")
        self.assertEqual(str(master["DESCRIPTION"]), "Agenda: 1, 2; 3\nZweite Zeile")
        self.assertEqual(str(master["LOCATION"]), "M\u00fcnchen")
        self.assertEqual(master["RRULE"]["FREQ"], ["WEEKLY"])
        self.assertEqual(master["EXDATE"].dts[0].dt.replace(tzinfo=None), datetime(2024, 1, 15, 9))
        self.assertEqual(str(master["ATTENDEE"]), "mailto:ann@example.com")
        self.assertEqual(len(master.walk("VALARM")), 1)
        task = home.walk("VTODO")[0]
        self.assertEqual(str(task["SUMMARY"]), "Steuererkl\u00e4rung")
        self.assertEqual(task["DUE"].dt.replace(tzinfo=None), datetime(2024, 6, 1, 0))
        self.assertEqual(int(task["PERCENT-COMPLETE"]), 50)
        work = icalendar.Calendar.from_ical(made["Calendar/Work/local.ics"])
        self.assertEqual([str(e["SUMMARY"]) for e in work.walk("VEVENT")], ["Review"])

    def test_books_are_read_as_they_are_and_nothing_is_written_beside_them(self):
        profile = os.path.join(self.source, "thunderbird")
        before = sorted(os.listdir(profile))
        # Thunderbird is running: a card it added is still only in the write-ahead log.
        db = sqlite3.connect(os.path.join(profile, "abook-1.sqlite"))
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA wal_autocheckpoint=0")
        db.execute("INSERT INTO properties VALUES ('w2', 'DisplayName', 'In The Log')")
        db.commit()
        try:
            self.assertTrue(os.path.exists(os.path.join(profile, "abook-1.sqlite-wal")))
            out = self.convert("--only", "contacts", "--dry-run")
            self.assertIn("2  Contacts/Work  (contacts)", out)
        finally:
            db.close()
        # Closed, it leaves a database in WAL mode and no log: read as it is, nothing added.
        self.convert("--only", "contacts")
        verify = self.run_cli("verify", os.path.join(self.work, "out.tgz"), "--source",
                              self.source, "--only", "contacts")
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertEqual(sorted(os.listdir(profile)), before)

    def test_volumes_hold_made_cards_at_their_real_size(self):
        profile = os.path.join(self.source, "thunderbird")
        db = sqlite3.connect(os.path.join(profile, "abook-1.sqlite"))
        for i in range(12):  # 12 photos of 200 KB: 3 MiB of cards, made only when written
            with open(os.path.join(profile, "Photos", f"big{i}.jpg"), "wb") as f:
                f.write(JPEG[:4] + os.urandom(200 * 1024))
            db.executemany("INSERT INTO properties VALUES (?, ?, ?)",
                           [(f"big{i}", "DisplayName", f"Big {i}"), (f"big{i}", "PhotoName", f"big{i}.jpg")])
        db.commit()
        db.close()
        self.convert("--only", "contacts", "--volume-size", "1M")
        sizes = [os.path.getsize(volume) for volume in self.volumes()]
        self.assertGreaterEqual(len(sizes), 4, sizes)
        self.assertLessEqual(max(sizes), 1024 * 1024, sizes)

    def test_one_archive_carries_one_calendar_and_names_the_others(self):
        out = self.convert(status=3)
        names = [name for name, _ in entries(os.path.join(self.work, "out.tgz"))]
        self.assertTrue(names[-1].endswith(".ics"), names)
        self.assertEqual(sum(name.endswith(".ics") for name in names), 1)
        self.assertIn("a second calendar", out)
        self.assertIn("--volume-size", out)
        verify = self.run_cli("verify", os.path.join(self.work, "out.tgz"), "--source",
                              self.source)
        self.assertEqual(verify.returncode, 0, verify.stdout)

    def test_only_the_kinds_asked_for(self):
        out = self.convert("--only", "contacts", "--dry-run")
        self.assertIn("(contacts)", out)
        self.assertNotIn("calendar items", out)
        self.assertIn("2 messages not carried", out)
        self.convert("--only", "mail,calendar", "--volume-size", "2M")
        names = [name for volume in self.volumes() for name, _ in entries(volume)]
        self.assertFalse([name for name in names if name.endswith(".vcf")], names)
        self.assertEqual(sum(name.endswith(".ics") for name in names), 4)
        verify = self.run_cli("verify", *self.volumes(), "--source", self.source, "--only",
                              "mail,calendar")
        self.assertEqual(verify.returncode, 0, verify.stdout)

    def test_the_reader_of_mail_chosen_leaves_contacts_and_calendars_to_theirs(self):
        out = self.run_cli("convert", self.source, "-o", os.path.join(self.work, "x.tgz"),
                           "--from", "mbox", "--dry-run").stdout
        self.assertIn("4  Contacts  (contacts)", out)
        self.assertIn("5  Calendar  (calendar items)", out)

    def test_verify_finds_a_lost_card_and_what_zimbra_would_refuse(self):
        self.convert("--volume-size", "2M")
        first = self.volumes()[0]
        kept = [(n, d) for n, d in entries(first)]
        dropped = next(n for n, _ in kept if n.startswith("Contacts/Family/"))

        def write(path, items):
            with tarfile.open(path, "w:gz", format=tarfile.GNU_FORMAT) as tar:
                for name, data in items:
                    info = tarfile.TarInfo(name)
                    info.size, info.mtime, info.mode = len(data), 1700000000, 0o644
                    tar.addfile(info, io.BytesIO(data))

        write(first, [(n, d) for n, d in kept if n != dropped])
        os.remove(first.replace("-part01.tgz", ".report.txt"))
        verify = self.run_cli("verify", *self.volumes(), "--source", self.source)
        self.assertEqual(verify.returncode, 1)
        self.assertIn("Family.vcf:0", verify.stdout)

        odd = os.path.join(self.work, "odd.tgz")
        message = next(d for n, d in kept if n.endswith(".eml"))
        write(odd, [("Work/a.eml", message), ("Work/b.vcf", GOOGLE_CARDS[1]),
                    ("Inbox/c.vcf", GOOGLE_CARDS[2]), ("Calendar/x.ics", HOLIDAYS),
                    ("Contacts/d.vcf", PHONE_40)])
        verify = self.run_cli("verify", odd)
        self.assertEqual(verify.returncode, 1)
        self.assertIn("\"Work/b.vcf\": Zimbra made the folder \"Work\" for messages and refuses "
                      "contacts in it", verify.stdout)
        self.assertIn("Zimbra's Inbox folder takes no contacts", verify.stdout)
        self.assertIn("\"Contacts/d.vcf\" is lost: Zimbra stops reading the archive after the "
                      "calendar entry \"Calendar/x.ics\"", verify.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
