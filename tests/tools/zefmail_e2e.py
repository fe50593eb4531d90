#!/usr/bin/python3
"""zefmail against real servers: aiosmtpd and Dovecot, started by run_with_servers.py.

What `zefmail send` puts on the wire is read back with Python's email package (the SMTP server
keeps every message byte for byte); what `zefmail fetch --out` writes is compared with Python's
reading of the corpus messages that Dovecot serves.

  run_with_servers.py --corpus DIR --mailbox ... -- zefmail_e2e.py ZEFMAIL
"""

import email
import email.policy
import glob
import hashlib
import json
import os
import random
import re
import socket
import subprocess
import sys
import unittest

HARNESS = os.path.dirname(os.environ.get("ZEF_IT_CHECKER", "."))
sys.path.insert(0, HARNESS)
import mailjson  # noqa: E402  (lives beside the harness)

ZEFMAIL = ""
SERVER = "127.0.0.1"
COMMAND_TIMEOUT = 120

JAPANESE = "山田さん\n\nこんにちは。会議の資料を送ります。\n"
# Circled digits are CP932 extensions that Japanese mailers write inside ISO-2022-JP; Python's
# codec cannot read them, so only popZef's reading is checked for them.
JAPANESE_EXTENDED = "丸数字：①②③ と ㈱\n"


def env(name: str) -> str:
    return os.environ[name]


def run(args, password=None, stdin=None):
    environment = dict(os.environ)
    environment.pop("ZEFMAIL_PASSWORD", None)
    if password is not None:
        environment["ZEFMAIL_PASSWORD"] = password
    return subprocess.run([ZEFMAIL] + args, input=stdin, capture_output=True,
                          env=environment, timeout=COMMAND_TIMEOUT)


def send_args(*more):
    return ["send", "--server", SERVER, "--port", env("ZEF_IT_SMTP_PORT"), "--quiet",
            "--connect-timeout", "10", "--trans-timeout", "30"] + list(more)


def fetch_args(user, *more):
    return ["fetch", "--server", SERVER, "--port", env("ZEF_IT_POP3_PORT"), "--user", user,
            "--connect-timeout", "10", "--trans-timeout", "30"] + list(more)


def spool_files():
    return sorted(glob.glob(os.path.join(env("ZEF_IT_SMTP_SPOOL"), "*.eml")))


def last_spooled():
    """The message the SMTP server received last, and its envelope."""
    path = spool_files()[-1]
    with open(path, "rb") as f:
        raw = f.read()
    with open(path[:-4] + ".json") as f:
        envelope = json.load(f)
    return raw, envelope


def mailbox(user):
    out = subprocess.run([env("ZEF_IT_PYTHON"), env("ZEF_IT_CHECKER"), "mailbox",
                          env("ZEF_IT_POP3_PORT"), user, env("ZEF_IT_POP3_PASS")],
                         capture_output=True, check=True, timeout=60)
    return json.loads(out.stdout)["ids"]


def lf(text: str) -> str:
    return text.replace("\r\n", "\n")


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def closed_port() -> int:
    with socket.socket() as s:
        s.bind((SERVER, 0))
        return s.getsockname()[1]


class Scratch:
    """Files of one test in its own folder under the harness's scratch folder."""

    def __init__(self, name):
        self.dir = os.path.join(env("ZEF_IT_WORKDIR"), name)
        os.makedirs(self.dir)

    def file(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return path

    def path(self, name):
        return os.path.join(self.dir, name)


class Send(unittest.TestCase):
    def send(self, *args, auth=("login",), stdin=None):
        auth_args = ["--auth", auth[0], "--user", env("ZEF_IT_SMTP_USER")] if auth else []
        result = run(send_args(*auth_args, *args), password=env("ZEF_IT_SMTP_PASS"), stdin=stdin)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return last_spooled()

    def test_plain_japanese_body_with_dots_across_pieces(self):
        scratch = Scratch("plain")
        # Long enough for several pieces; dot lines and every kind of line end throughout.
        lines = []
        for i in range(3000):
            lines.append([".", "..twice", ".leading", "日本語の行 %d" % i, "x." ][i % 5])
        body = "\r".join(lines[:1000]) + "\n" + "\r\n".join(lines[1000:2000]) + "\n" + \
            "\n".join(lines[2000:]) + "\n"
        raw, envelope = self.send(
            "--from", "山田 太郎 <taro@example.jp>", "--to", "to@example.org",
            "--cc", "cc@example.org", "--bcc", "hidden@example.org",
            "--subject", "会議の資料：第3四半期", "--body-file", scratch.file("body.txt", body))
        message = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertEqual(str(message["Subject"]), "会議の資料：第3四半期")
        self.assertEqual(message["From"].addresses[0].display_name, "山田 太郎")
        self.assertEqual(str(message["To"]), "to@example.org")
        self.assertEqual(str(message["Cc"]), "cc@example.org")
        self.assertIsNone(message["Bcc"])
        self.assertEqual(message.get_content_type(), "text/plain")
        self.assertEqual(message.get_content_charset(), "iso-2022-jp")
        self.assertEqual(lf(message.get_content()), "\n".join(lines) + "\n")
        self.assertEqual(envelope["mail_from"], "taro@example.jp")
        self.assertEqual(envelope["rcpt_tos"],
                         ["to@example.org", "cc@example.org", "hidden@example.org"])
        self.assertEqual(envelope["auth_mechanism"], "LOGIN")

    def test_multipart_with_html_and_attachments(self):
        scratch = Scratch("multipart")
        rng = random.Random(5)
        big = bytes(rng.randrange(256) for _ in range(200_001))  # not a multiple of 57
        html = ("<html><body>\n<p>こんにちは 😀 " + "長い行 " * 40 + "</p>\n.dot\n"
                "  trailing spaces  \n</body></html>\n")
        attachments = [scratch.file("random.bin", big), scratch.file("空.txt", b""),
                       scratch.file("報告書 2024.pdf", b"%PDF-1.4\n" + big[:1000]),
                       scratch.file('say "hi".csv', b"a,b\r\n1,2\r\n")]
        raw, _ = self.send(
            "--from", "taro@example.jp", "--to", "to@example.org", "--subject", "添付あり",
            "--body-file", scratch.file("body.txt", JAPANESE + ".\n"),
            "--html-file", scratch.file("body.html", html),
            *sum((["--attach", path] for path in attachments), []), auth=("plain",))
        seen = mailjson.describe(raw)
        self.assertEqual(seen["multiparts"], 2)
        leaves = seen["leaves"]
        self.assertEqual([leaf["content_type"] for leaf in leaves],
                         ["text/plain", "text/html", "application/octet-stream", "text/plain",
                          "application/pdf", "text/csv"])
        self.assertEqual(leaves[0]["charset"], "iso-2022-jp")
        self.assertEqual(lf(leaves[0]["text"]), JAPANESE + ".\n")
        self.assertEqual(leaves[1]["charset"], "utf-8")
        self.assertEqual(leaves[1]["transfer_encoding"], "quoted-printable")
        self.assertEqual(lf(leaves[1]["text"]), html)
        for leaf, path in zip(leaves[2:], attachments):
            with open(path, "rb") as f:
                data = f.read()
            self.assertEqual(leaf["filename"], os.path.basename(path))
            self.assertEqual(leaf["transfer_encoding"], "base64")
            self.assertEqual((leaf["length"], leaf["sha256"]), (len(data), sha256(data)))
        # Every base64 line of the big attachment is whole: 76 characters, the last one aside.
        compat = email.message_from_bytes(raw, policy=email.policy.compat32)
        encoded = next(part.get_payload() for part in compat.walk()
                       if part.get_filename() == "random.bin")
        lengths = [len(line) for line in encoded.split("\r\n") if line]
        self.assertEqual(set(lengths[:-1]), {76})
        self.assertLessEqual(lengths[-1], 76)

    def test_every_auth_mechanism_and_stdin_body(self):
        for mechanism, seen in (("cram-md5", "CRAM-MD5"), ("login", "LOGIN"), ("plain", "PLAIN")):
            raw, envelope = self.send("--from", "a@example.jp", "--to", "b@example.org",
                                      "--subject", mechanism, "--body-file", "-",
                                      auth=(mechanism,), stdin=b"from stdin\n")
            self.assertEqual(envelope["auth_mechanism"], seen)
            message = email.message_from_bytes(raw, policy=email.policy.default)
            self.assertEqual(lf(message.get_content()), "from stdin\n")

    def test_header_file_as_it_stands(self):
        scratch = Scratch("header")
        header = scratch.file("header.txt", "From: 差出人 <from@example.jp>\nTo: to@example.org\n"
                                            "Subject: 手書きのヘッダー\nX-Custom: kept\n")
        raw, envelope = self.send("--header-file", header, "--body-file",
                                  scratch.file("body.txt", "本文\n"), auth=None)
        message = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertEqual(str(message["Subject"]), "手書きのヘッダー")
        self.assertEqual(str(message["X-Custom"]), "kept")
        self.assertEqual(lf(message.get_content()), "本文\n")
        self.assertEqual(envelope["rcpt_tos"], ["to@example.org"])
        self.assertEqual(envelope["mail_from"], "from@example.jp")

    def test_header_file_bcc_reaches_its_recipient_but_not_the_header(self):
        scratch = Scratch("header-bcc")
        header = scratch.file("header.txt",
                              'From: "Sender, Team" <from@example.jp>\n'
                              'To: "Yamada, Taro" <taro@example.org>,\n  hanako@example.org\n'
                              "Bcc: secret@example.org\nSubject: bcc\n")
        raw, envelope = self.send("--header-file", header, "--body-file",
                                  scratch.file("body.txt", "x\n"), "--attach", header,
                                  auth=None)
        message = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertIsNone(message["Bcc"])
        self.assertNotIn(b"secret@example.org", raw)
        self.assertEqual(envelope["mail_from"], "from@example.jp")
        self.assertEqual(envelope["rcpt_tos"],
                         ["taro@example.org", "hanako@example.org", "secret@example.org"])

    def test_failures_are_one_line_with_code_and_message(self):
        scratch = Scratch("failures")
        before = len(spool_files())
        body = scratch.file("body.txt", "x\n")
        wrong = run(send_args("--auth", "login", "--user", env("ZEF_IT_SMTP_USER"), "--from",
                              "a@example.jp", "--to", "b@example.org", "--body-file", body),
                    password="wrong")
        self.assertEqual(wrong.returncode, 1)
        self.assertRegex(wrong.stderr.decode(), r"^zefmail send: .*code -1: 535[^\n]*\n$")

        unreachable = run(["send", "--server", SERVER, "--port", str(closed_port()), "--from",
                           "a@example.jp", "--to", "b@example.org", "--body-file", body])
        self.assertEqual(unreachable.returncode, 1)
        self.assertRegex(unreachable.stderr.decode(), r"^zefmail send: cannot reach [^\n]*\n$")

        missing = run(send_args("--from", "a@example.jp", "--to", "b@example.org", "--attach",
                                scratch.path("missing.pdf")))
        self.assertEqual(missing.returncode, 2)
        self.assertIn(b"missing.pdf: No such file or directory", missing.stderr)
        self.assertEqual(len(spool_files()), before)

        emoji = run(send_args("--from", "a@example.jp", "--to", "b@example.org", "--body-file",
                              "-"), stdin=("ok\n" * 5000 + "😀\n").encode())
        self.assertEqual(emoji.returncode, 1)
        self.assertRegex(emoji.stderr.decode(),
                         r"^zefmail send: standard input: U\+1F600 .*the message was not sent\n$")
        self.assertEqual(len(spool_files()), before)

        unset = run(send_args("--auth", "plain", "--user", "u", "--from", "a@example.jp",
                              "--to", "b@example.org"))
        self.assertEqual(unset.returncode, 2)
        self.assertIn(b"ZEFMAIL_PASSWORD is not set", unset.stderr)


def corpus_expectation(name):
    with open(os.path.join(env("ZEF_IT_CORPUS"), name + ".json")) as f:
        return json.load(f)


def same_bytes(data: bytes, leaf) -> bool:
    """The part Python decoded, or that part plus the CR LF that Python counts as the start of
    the next delimiter (popZef ends every line of 7bit data with CR LF)."""
    if len(data) == leaf["length"]:
        return sha256(data) == leaf["sha256"]
    return (len(data) == leaf["length"] + 2 and data.endswith(b"\r\n")
            and sha256(data[:-2]) == leaf["sha256"])


class Fetch(unittest.TestCase):
    def fetch(self, user, *args, expect=0):
        result = run(fetch_args(user, *args), password=env("ZEF_IT_POP3_PASS"))
        self.assertEqual(result.returncode, expect, result.stderr.decode())
        return result

    def check_message(self, folder, name):
        with open(os.path.join(folder, "message.json"), encoding="utf-8") as f:
            seen = json.load(f)
        expected = corpus_expectation(name)
        self.assertEqual(seen["size"], expected["size"])
        self.assertEqual([h[0] for h in seen["headers"]],
                         [h["name"] for h in expected["headers"]])
        subject = [h for h in seen["headers"] if h[0] == "Subject"]
        expected_subject = [h["decoded"] for h in expected["headers"] if h["name"] == "Subject"]
        if subject and expected_subject:
            self.assertEqual(re.sub(r"\s", "", subject[0][1]),
                             re.sub(r"\s", "", expected_subject[0]))
        parts = [p for p in seen["parts"] if p["file"] is not None]
        leaves = expected["leaves"]
        if not parts and len(leaves) == 1 and leaves[0]["length"] == 0:
            leaves = []  # an empty body without parts gives no data part
        self.assertEqual(len(parts), len(leaves), name)
        for part, leaf in zip(parts, leaves):
            with open(os.path.join(folder, part["file"]), "rb") as f:
                data = f.read()
            self.assertEqual(part["content_type"].lower(), leaf["content_type"], name)
            self.assertEqual(part["bytes"], len(data))
            self.assertEqual(part["sha256"], sha256(data))
            self.assertTrue(same_bytes(data, leaf), f"{name} part {part['path']}")
            if leaf["text"] is not None and part.get("text_file"):
                with open(os.path.join(folder, part["text_file"]), encoding="utf-8") as f:
                    text = lf(f.read())
                expected_text = lf(leaf["text"])
                self.assertIn(text, (expected_text, expected_text + "\n"),
                              f"{name} part {part['path']}")
        return seen

    def test_corpus_written_as_python_reads_it_and_kept(self):
        out = os.path.join(env("ZEF_IT_WORKDIR"), "corpus-out")
        self.fetch("corpus", "--out", out, "--keep", "--text", "--quiet")
        names = env("ZEF_IT_MAILBOX_CORPUS").split(",")
        self.assertEqual(sorted(os.listdir(out)), sorted(str(i) for i in range(1, len(names) + 1)))
        for number, name in enumerate(names, start=1):
            with self.subTest(message=name):
                seen = self.check_message(os.path.join(out, str(number)), name)
                self.assertEqual(seen["id"], number)
                self.assertTrue(seen["uidl"])
        self.assertEqual(len(mailbox("corpus")), len(names))  # --keep deleted nothing

    def test_deleted_only_after_being_written(self):
        out = os.path.join(env("ZEF_IT_WORKDIR"), "deleted-out")
        self.fetch("deleted", "--out", out, "--quiet")
        names = env("ZEF_IT_MAILBOX_DELETED").split(",")
        for number, name in enumerate(names, start=1):
            self.check_message(os.path.join(out, str(number)), name)
        self.assertEqual(mailbox("deleted"), [])

    def test_a_message_that_cannot_be_written_stays_on_the_server(self):
        out = os.path.join(env("ZEF_IT_WORKDIR"), "clash-out")
        os.makedirs(os.path.join(out, "1"))  # an earlier fetch's message 1
        result = self.fetch("clash", "--out", out, "--quiet", expect=1)
        self.assertIn(b"message 1 stays on the server", result.stderr)
        self.assertIn(b"already exists", result.stderr)
        names = env("ZEF_IT_MAILBOX_CLASH").split(",")
        self.assertEqual(os.listdir(os.path.join(out, "1")), [])
        self.check_message(os.path.join(out, "2"), names[1])
        self.assertEqual(mailbox("clash"), [names[0]])

    def test_events_name_every_argument_and_delete_nothing(self):
        result = self.fetch("events", "--events", "--top-lines", "2")
        events = [json.loads(line) for line in result.stdout.decode().splitlines()]
        self.assertEqual(events[-1], {"event": "Done", "Code": 0, "msg": ""})
        kinds = [e["event"] for e in events]
        for kind in ("Stat", "UidlFirst", "UidlDone", "TopFirst", "TopNext", "RetrFirst",
                     "MailHeadFirst", "MailHeadNext", "MailHeadDone", "MultiPartOpen",
                     "MimeHeadFirst", "MimeHeadDone", "MimeDataFirst", "MimeDataNext",
                     "MimeDataDone", "RetrDone", "MultiPartClose", "Trace"):
            self.assertIn(kind, kinds)
        names = env("ZEF_IT_MAILBOX_EVENTS").split(",")
        stat = next(e for e in events if e["event"] == "Stat")
        self.assertEqual(stat["Many"], len(names))
        self.assertTrue(all(e["CancelDelete"] for e in events if e["event"] == "RetrDone"))
        self.assertTrue(all(e["IsText"] is False for e in events if e["event"] == "MimeDataFirst"))
        self.assertFalse(any("r3ad-Pa55" in e.get("msg", "") for e in events))
        # The data of message 1, put together from its MimeDataNext events, is its only part.
        import base64
        data = b"".join(base64.b64decode(e["Data"]) for e in events
                        if e["event"] == "MimeDataNext" and e["id"] == 1)
        self.assertTrue(same_bytes(data, corpus_expectation(names[0])["leaves"][0]))
        opens = [e["Tag"] for e in events if e["event"] == "MultiPartOpen"]
        closes = [e["Tag"] for e in events if e["event"] == "MultiPartClose"]
        self.assertEqual(sorted(opens), sorted(closes))
        self.assertEqual(len(mailbox("events")), len(names))

    def test_apop_login_and_trace_without_the_password(self):
        result = self.fetch("events", "--apop", "--keep", "--trace", "--quiet")
        trace = result.stderr.decode()
        self.assertRegex(trace, r"(?m)^>>APOP events [0-9a-f]{32}$")
        self.assertNotIn(env("ZEF_IT_POP3_PASS"), trace)
        result = self.fetch("events", "--keep", "--trace", "--quiet")
        self.assertIn(">>PASS ***\n", result.stderr.decode())
        self.assertNotIn(env("ZEF_IT_POP3_PASS"), result.stderr.decode())

    def test_wrong_password_and_unreachable_server(self):
        wrong = run(fetch_args("corpus"), password="wrong")
        self.assertEqual(wrong.returncode, 1)
        self.assertRegex(wrong.stderr.decode(), r"^zefmail fetch: .*code -1: -ERR[^\n]*\n")
        unreachable = run(["fetch", "--server", SERVER, "--port", str(closed_port()), "--user",
                           "x", "--quiet"], password="x")
        self.assertEqual(unreachable.returncode, 1)
        self.assertRegex(unreachable.stderr.decode(), r"^zefmail fetch: cannot reach [^\n]*\n$")


class RoundTrip(unittest.TestCase):
    def test_sent_and_fetched_back_intact(self):
        scratch = Scratch("roundtrip")
        rng = random.Random(9)
        blob = bytes(rng.randrange(256) for _ in range(300_000))
        attachment = scratch.file("写真.jpg", blob)
        sent = run(send_args("--from", "a@example.jp", "--to", "roundtrip@zef-test.localhost",
                             "--subject", "往復テスト", "--body-file",
                             scratch.file("body.txt", JAPANESE + JAPANESE_EXTENDED),
                             "--attach", attachment))
        self.assertEqual(sent.returncode, 0, sent.stderr.decode())
        out = scratch.path("out")
        got = run(fetch_args("roundtrip", "--out", out, "--text", "--quiet"),
                  password=env("ZEF_IT_POP3_PASS"))
        self.assertEqual(got.returncode, 0, got.stderr.decode())
        with open(os.path.join(out, "1", "message.json"), encoding="utf-8") as f:
            seen = json.load(f)
        self.assertIn(["Subject", "往復テスト"], seen["headers"])
        text, image = seen["parts"]
        with open(os.path.join(out, "1", text["text_file"]), encoding="utf-8") as f:
            expected = JAPANESE + JAPANESE_EXTENDED
            self.assertIn(lf(f.read()), (expected, expected + "\n"))
        self.assertEqual((image["name"], image["content_type"]), ("写真.jpg", "image/jpeg"))
        self.assertEqual(image["sha256"], sha256(blob))
        self.assertEqual(mailbox("roundtrip"), [])


if __name__ == "__main__":
    ZEFMAIL = sys.argv[1]
    unittest.main(argv=[sys.argv[0], "-v"])
