#!/usr/bin/python3
"""zefmail against the servers of run_with_servers.py --tls: what `send` put on the wire is read
with Python's email package from the SMTP server's spool; what `fetch --out` wrote is held to
Python's reading of the corpus messages Dovecot serves (reference.py).

  run_with_servers.py --tls CERT_SCRIPT --corpus DIR --mailbox ... -- zefmail_e2e.py ZEFMAIL
"""

import base64
import email
import fcntl
import email.policy
import glob
import hashlib
import imaplib
import json
import mailbox as mailboxes
import os
import pathlib
import poplib
import pty
import pwd
import random
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import time
import unittest

import reference

ZEFMAIL = sys.argv.pop(1) if __name__ == "__main__" else ""
ENV = os.environ
JAPANESE = "山田さん\n\nこんにちは。会議の資料を送ります。\n"


def zefmail(command, port, *args, user=None, password=None, stdin=None, wrap=()):
    environment = {k: v for k, v in ENV.items() if k != "ZEFMAIL_PASSWORD"}
    environment.update({"ZEFMAIL_PASSWORD": password} if password else {})
    return subprocess.run([*wrap, ZEFMAIL, command, "--server", "127.0.0.1", "--port", str(port),
                           "--connect-timeout", "10", "--trans-timeout", "30", *args,
                           *(["--user", user] if user else [])],
                          input=stdin, capture_output=True, env=environment, timeout=120)


def send(*args, auth="login", port=None, password=ENV.get("ZEF_IT_SMTP_PASS"), stdin=None):
    return zefmail("send", port or ENV["ZEF_IT_SMTP_PORT"], "--quiet", *args,
                   *(["--auth", auth] if auth else []), user=auth and ENV["ZEF_IT_SMTP_USER"],
                   password=password, stdin=stdin)


def fetch(user, *args, port=None, password=None, wrap=()):
    return zefmail("fetch", port or ENV["ZEF_IT_POP3_PORT"], *args, user=user,
                   password=password or ENV["ZEF_IT_POP3_PASS"], wrap=wrap)


def on_terminal(argv, environment):
    """Runs a command with its standard error on a terminal: its exit status and what it wrote
    there."""
    master, slave = pty.openpty()
    with subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=slave, env=environment) as process:
        os.close(slave)
        written = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: the command has ended and the terminal is closed
                break
            if not chunk:
                break
            written += chunk
        process.wait(timeout=60)
    os.close(master)
    return process.returncode, written.decode("utf-8", "replace")


def imap_client(user):
    client = imaplib.IMAP4("127.0.0.1", int(ENV["ZEF_IT_IMAP_PORT"]), timeout=30)
    client.login(user, ENV["ZEF_IT_POP3_PASS"])
    return client


def last_sent():
    """The message the SMTP server saved last: parsed, as bytes, and its envelope."""
    path = sorted(glob.glob(os.path.join(ENV["ZEF_IT_SMTP_SPOOL"], "*.eml")))[-1]
    raw = pathlib.Path(path).read_bytes()
    return email.message_from_bytes(raw, policy=email.policy.default), raw, \
        reference.read_json(path[:-4] + ".json")


def scratch(name, data=b""):
    path = os.path.join(ENV["ZEF_IT_WORKDIR"], name)
    pathlib.Path(path).write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


def corpus(name):
    return os.path.join(ENV["ZEF_IT_CORPUS"], name + ".eml")


def mailbox(user):
    return reference.mailbox(ENV["ZEF_IT_POP3_PORT"], user, ENV["ZEF_IT_POP3_PASS"])


def folder_name(listed):
    """An IMAP folder name as LIST shows it (modified UTF-7), read."""
    return re.sub(r"&([^-]*)-", lambda m: base64.b64decode(
        m[1].replace(",", "/") + "=" * (-len(m[1]) % 4)).decode("utf-16-be") if m[1] else "&",
        listed)


class Send(unittest.TestCase):
    def sent(self, *args, **kwargs):
        result = send(*args, **kwargs)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return result, *last_sent()

    def test_each_mechanism_with_dots_and_every_line_end_and_no_secret_in_the_trace(self):
        lines = [[".", "..twice", ".leading", f"日本語の行 {i}", "x."][i % 5] for i in range(3000)]
        body = "\r".join(lines[:1000]) + "\n" + "\r\n".join(lines[1000:2000]) + "\n" + \
            "\n".join(lines[2000:]) + "\n"
        for mechanism in ("cram-md5", "login", "plain"):
            result, message, _, envelope = self.sent(
                "--from", "山田 太郎 <taro@example.jp>", "--to", "to@example.org", "--cc",
                "cc@example.org", "--bcc", "hidden@example.org", "--subject", "会議：第3四半期",
                "--trace", "--body-file", "-" if mechanism == "plain" else scratch("b.txt", body),
                auth=mechanism, stdin=body.encode())
            self.assertEqual((str(message["Subject"]), message["From"].addresses[0].display_name,
                              str(message["To"]), str(message["Cc"]), message["Bcc"]),
                             ("会議：第3四半期", "山田 太郎", "to@example.org", "cc@example.org", None))
            # Under --charset auto standard input, unseen before the send, goes as UTF-8.
            self.assertEqual(message.get_content_charset(),
                             "utf-8" if mechanism == "plain" else "iso-2022-jp")
            self.assertEqual(message.get_content().replace("\r\n", "\n"), "\n".join(lines) + "\n")
            self.assertEqual((envelope["auth_mechanism"], envelope["mail_from"],
                              envelope["rcpt_tos"]), (mechanism.upper(), "taro@example.jp", [
                                  "to@example.org", "cc@example.org", "hidden@example.org"]))
            trace = (result.stderr + result.stdout).replace(b"\r", b"")
            self.assertIn(b">>AUTH", trace)
            self.assertEqual(reference.leaks(ENV["ZEF_IT_SMTP_USER"], ENV["ZEF_IT_SMTP_PASS"],
                                             trace), {"found": [], "forms": 5 if "cram" in mechanism else 3})

    def test_multipart_with_html_and_attachments(self):
        big = random.Random(5).randbytes(200_001)  # not a multiple of 57
        html = ("<html><body>\n<p>こんにちは 😀 " + "長い行 " * 40 + "</p>\n.dot\n"
                "  trailing spaces  \n</body></html>\n")
        files = [scratch("random.bin", big), scratch("空.txt"),
                 scratch("報告書 2024.pdf", b"%PDF-1.4\n" + big[:1000]),
                 scratch('say "hi".csv', b"a,b\r\n1,2\r\n")]
        _, _, raw, _ = self.sent(
            "--from", "taro@example.jp", "--to", "to@example.org", "--subject", "添付あり",
            "--body-file", scratch("body.txt", JAPANESE + ".\n"), "--html-file",
            scratch("body.html", html), *sum((["--attach", f] for f in files), []), auth="plain")
        leaves = reference.describe(raw)["leaves"]
        self.assertEqual([(leaf["content_type"], leaf["charset"], leaf["transfer_encoding"],
                           leaf["filename"]) for leaf in leaves],
                         [("text/plain", "iso-2022-jp", "7bit", None),
                          ("text/html", "utf-8", "quoted-printable", None),
                          ("application/octet-stream", None, "base64", "random.bin"),
                          ("text/plain", None, "base64", "空.txt"),
                          ("application/pdf", None, "base64", "報告書 2024.pdf"),
                          ("text/csv", None, "base64", 'say "hi".csv')])
        self.assertEqual([leaf["text"].replace("\r\n", "\n") for leaf in leaves[:2]],
                         [JAPANESE + ".\n", html])
        self.assertEqual([leaf["data"] for leaf in leaves[2:]], [pathlib.Path(f).read_bytes() for f in files])
        # Every base64 line of the big attachment is whole: 76 characters, the last one aside.
        encoded = next(part.get_payload() for part in email.message_from_bytes(raw).walk()
                       if part.get_filename() == "random.bin")
        lengths = [len(line) for line in encoded.split("\r\n") if line]
        self.assertEqual((set(lengths[:-1]), lengths[-1] <= 76), ({76}, True))

    def test_utf8_round_trips_extensions_and_the_charset_auto_chooses(self):
        subject, name = "会議の件 🎉 café naïve", "山田 🌸 Müller"
        text = "Grüße, naïve café 🎉\n" + "長い行の日本語と絵文字😀 " * 12 + "\n.dot\n"
        attachment = scratch("報告書🎉 für Zoë – ein sehr langer Dateiname, über 78 Zeichen.txt", b"x")
        common = ["--from", f"{name} <taro@example.jp>", "--to", "hanako@example.org",
                  "--subject", subject, "--body-file", scratch("u.txt", text)]
        for extra in ([], ["--attach", attachment]):
            message, raw, meta = self.sent(*common, *extra)[1:]
            self.assertEqual((str(message["subject"]), message["from"].addresses[0].display_name),
                             (subject, name))
            self.assertTrue(raw.isascii())
            body = message.get_body(("plain",))
            self.assertEqual((body.get_content_charset(), body.get_content().replace("\r\n", "\n")),
                             ("utf-8", text))
        self.assertEqual([part.get_filename() for part in message.iter_attachments()],
                         [os.path.basename(attachment)])
        # Japanese that fits stays ISO-2022-JP under auto; --charset utf-8 sends it as UTF-8.
        for charset, expected in (("auto", "iso-2022-jp"), ("utf-8", "utf-8")):
            message = self.sent("--from", "taro@example.jp", "--to", "a@example.org", "--charset",
                                charset, "--subject", "会議", "--body-file",
                                scratch("j.txt", JAPANESE))[1]
            self.assertEqual((message.get_content_charset(), str(message["subject"]),
                              message.get_content().replace("\r\n", "\n")),
                             (expected, "会議", JAPANESE))
        # An IDN domain: its A-label without SMTPUTF8, as written with it; a UTF-8 local part
        # only with it. MAIL FROM declares what the message needs.
        to = ["--from", "taro@example.jp", "--subject", "x", "--body-file", scratch("a.txt", "a\n")]
        _, _, raw, meta = self.sent(*to, "--to", "bob@例え.jp")
        self.assertEqual((meta["rcpt_tos"], meta["mail_options"]), (["bob@xn--r8jz45g.jp"], []))
        self.assertIn(b"To: bob@xn--r8jz45g.jp", raw)
        meta = self.sent(*to, "--to", "山田@例え.jp", port=ENV["ZEF_IT_SMTPUTF8_PORT"])[3]
        self.assertEqual((meta["rcpt_tos"], sorted(meta["mail_options"])),
                         (["山田@例え.jp"], ["BODY=8BITMIME", "SMTPUTF8"]))
        refused = send(*to, "--to", "山田@例え.jp")
        self.assertEqual(refused.returncode, 1)
        self.assertIn(b"SMTPUTF8", refused.stderr)
        # Bytes that are not UTF-8 are refused before connecting, by name and offset.
        bad = send("--from", "taro@example.jp", "--to", "a@example.org", "--subject", "x",
                   "--body-file", scratch("bad.txt", b"ok\n\xff"))
        self.assertEqual(bad.returncode, 2)
        self.assertIn(b"bad.txt: the byte at offset 3 is not UTF-8", bad.stderr)

    def test_header_file_as_it_stands_with_bcc_only_in_the_envelope(self):
        header = scratch("header.txt", 'From: 差出人 <from@example.jp>\nTo: "Yamada, Taro" '
                         '<taro@example.org>,\n  hanako@example.org\nBcc: secret@example.org\n'
                         "Subject: 手書きのヘッダー\nX-Custom: kept\n")
        _, message, raw, envelope = self.sent("--header-file", header, "--body-file",
                                              scratch("body.txt", "本文\n"), "--attach", header,
                                              auth=None)
        self.assertEqual((str(message["Subject"]), str(message["X-Custom"]), message["Bcc"]),
                         ("手書きのヘッダー", "kept", None))
        self.assertNotIn(b"secret@example.org", raw)
        self.assertEqual(next(message.iter_parts()).get_content().replace("\r\n", "\n"), "本文\n")
        self.assertEqual((envelope["mail_from"], envelope["rcpt_tos"]), (
            "from@example.jp", ["taro@example.org", "hanako@example.org", "secret@example.org"]))


    def test_partial_recipients_and_the_sasl_logins_of_dovecot_submission(self):
        body = ["--from", "a@example.jp", "--to", "one@example.org", "--body-file", scratch("p", "x\n")]
        result = send(*body, "--to", "refused@example.org", "--cc", "two@example.org")
        self.assertEqual((result.returncode, last_sent()[2]["rcpt_tos"]), (3, ["one@example.org",
                         "two@example.org"]), result.stderr.decode())
        self.assertRegex(result.stderr.decode(), r"refused: refused@example.org \(550 5\.1\.1 <")
        oauth, token, spool = ENV["ZEF_IT_OAUTH_USER"], ENV["ZEF_IT_OAUTH_TOKEN"], ENV["ZEF_IT_SMTP_SPOOL"]
        for auth, user, secret, status, error in [
                ("xoauth2", oauth, token, 0, ""), ("oauthbearer", oauth, token, 0, ""),
                ("auto", oauth, token, 0, ""), ("scram-sha-256", "corpus", ENV["ZEF_IT_POP3_PASS"], 0, ""),
                ("oauthbearer", oauth, ENV["ZEF_IT_OAUTH_TOKEN_EXPIRED"], 1, r": invalid_token\)"),
                ("xoauth2", oauth, ENV["ZEF_IT_OAUTH_TOKEN_WRONGUSER"], 1, r"\(status 401, .*scope")]:
            with self.subTest(auth=auth, secret=secret[-8:]):
                spooled = len(os.listdir(spool))
                result = zefmail("send", ENV["ZEF_IT_SUBMISSION_PORT"], *body, "--auth", auth,
                                 "--trace", user=user, password=secret)
                self.assertEqual((result.returncode, len(os.listdir(spool))),
                                 (status, spooled + (0 if status else 2)), result.stderr.decode())
                self.assertRegex(result.stderr.decode(), error or r">>AUTH [A-Z0-9-]+ \*\*\*\n")
                self.assertNotIn(secret.encode(), result.stderr + result.stdout)

    def test_sendmail_through_a_link_byte_for_byte_less_bcc_and_its_exit_statuses(self):
        link = os.path.join(ENV["ZEF_IT_WORKDIR"], "sendmail")
        if not os.path.lexists(link):
            os.symlink(os.path.abspath(ZEFMAIL), link)
        head = ('From: =?UTF-8?B?5beu5Ye65Lq6?= <from@example.jp>\r\nTo: team: a@example.org,\r\n'
                ' "B, Jr." <b@example.org>;, c@example.org (Sales, Tokyo)\r\n'
                'Bcc: hidden@example.org\r\nSubject: 8 bit\r\nDate: Mon, 7 Dec 2026 09:00:00 +0900\r\n'
                'Message-ID: <1@example.jp>\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n'
                '\r\n').encode()
        body = "こんにちは\r\n.leading dot\r\n.\r\n".encode() + b"x" * 998 + b"\r\n\xff\xfe\r\n"
        environment = {k: v for k, v in ENV.items() if not k.startswith("ZEFMAIL_")}
        environment.update(ZEFMAIL_SERVER="127.0.0.1", ZEFMAIL_PORT=ENV["ZEF_IT_SMTP_PORT"])

        def sendmail(*args, stdin=head + body, **variables):
            return subprocess.run([link, *args], input=stdin, capture_output=True, timeout=120,
                                  env=environment | variables)

        result = sendmail("-t", "-oi", "-odi")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        _, raw, envelope = last_sent()
        self.assertEqual(raw, head.replace(b"Bcc: hidden@example.org\r\n", b"") + body)
        self.assertEqual((envelope["mail_from"], envelope["rcpt_tos"]), ("from@example.jp", [
            "a@example.org", "b@example.org", "c@example.org", "hidden@example.org"]))
        # Lone CR line ends and "Bcc :" (obsolete, still a Bcc field), no -f: Bcc goes nowhere
        # but to its address.
        cr_head = b"From: from@example.jp\rTo: a@example.org\rBcc : hidden@example.org\rDate: d\r"
        result = sendmail("-t", stdin=cr_head + b"Message-ID: <2@x>\r\rbody\r")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        _, raw, envelope = last_sent()
        self.assertEqual((raw, envelope["mail_from"], envelope["rcpt_tos"]), (
            b"From: from@example.jp\r\nTo: a@example.org\r\nDate: d\r\nMessage-ID: <2@x>\r\n\r\n"
            b"body\r\n", "from@example.jp", ["a@example.org", "hidden@example.org"]))
        # As mailx and cron hand it over: no From, Date or Message-ID, or a sender without a
        # domain; an address named twice gets one RCPT. Python's email package reads the result.
        login = pwd.getpwuid(os.geteuid()).pw_name
        for stdin, args, sender, author in [
                (b"To: a@example.org\nSubject: hi\n\nhello\n", ["a@example.org"],
                 login + "@example.net", login + "@example.net"),
                (b"From: root (Cron Daemon)\nTo: a@example.org\nBcc: a@EXAMPLE.ORG\n\nout\n",
                 ["-t"], "root@example.net", "root"),
                # An auto-reply: the null sender; DSN asked for but not offered, so left out.
                (b"To: a@example.org\n\nout\n", ["-f", "<>", "-N", "failure", "a@example.org"],
                 "<>", login + "@example.net")]:
            result = sendmail(*args, stdin=stdin, ZEFMAIL_DOMAIN="example.net")
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            _, raw, envelope = last_sent()
            self.assertEqual((envelope["mail_from"], envelope["rcpt_tos"]),
                             (sender, ["a@example.org"]))
            message = email.message_from_bytes(raw, policy=email.policy.default)
            self.assertTrue(message["Message-ID"].endswith("@example.net>"), raw)
            self.assertIsNotNone(message["Date"].datetime, raw)
            self.assertEqual(message["From"], author)
        spooled = len(os.listdir(ENV["ZEF_IT_SMTP_SPOOL"]))
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            nowhere = str(closed.getsockname()[1])
        for result, status, error in [
                (sendmail("-t", ZEFMAIL_AUTH="login", ZEFMAIL_USER=ENV["ZEF_IT_SMTP_USER"],
                          ZEFMAIL_PASSWORD="wrong"), 69, r"code -1: 535"),
                (sendmail("a@example.org", "bad@@example.org"), 69,
                 r"refused the recipient <bad@@example.org> .*code -1: 553 "),
                (sendmail("-t", ZEFMAIL_PORT=nowhere), 75, r"cannot reach 127\.0\.0\.1"),
                (sendmail("-t", stdin=b""), 66, r"no message on standard input"),
                (sendmail("-t", "-bs"), 64, r"-bs \(an SMTP dialogue on standard input\) is not")]:
            with self.subTest(error=error):
                self.assertEqual(result.returncode, status, result.stderr.decode())
                self.assertRegex(result.stderr.decode(), "^zefmail sendmail: .*" + error)
        self.assertEqual(len(os.listdir(ENV["ZEF_IT_SMTP_SPOOL"])), spooled)


    def test_queue_then_flush_over_one_session_each_file_to_its_end(self):
        queue = os.path.join(ENV["ZEF_IT_WORKDIR"], "queue")
        shutil.rmtree(queue, ignore_errors=True)
        environment = {k: v for k, v in ENV.items() if not k.startswith("ZEFMAIL_")}
        environment.update(ZEFMAIL_SERVER="127.0.0.1", ZEFMAIL_PORT=ENV["ZEF_IT_SMTP_PORT"],
                           ZEFMAIL_DOMAIN="example.net")

        def run(*args, stdin=b""):
            return subprocess.run([ZEFMAIL, *args], input=stdin, capture_output=True,
                                  timeout=120, env=environment)

        # Stored, not sent: two by sendmail (one to a recipient the server refuses), one file
        # put there by hand, one that is no message.
        spooled = len(os.listdir(ENV["ZEF_IT_SMTP_SPOOL"]))
        for args, text in [(["-t"], b"To: a@example.org\nBcc: b@example.org\nSubject: q1\n\none\n"),
                           (["bad@@example.org"], b"Subject: q2\n\ntwo\n")]:
            result = run("sendmail", "--queue", queue, *args, stdin=text)
            self.assertEqual(result.returncode, 0, result.stderr.decode())
        pathlib.Path(queue, "zz-by-hand").write_bytes(b"From: h@example.org\nTo: c@example.org\n"
                                                      b"Subject: q3\n\nthree\n")
        pathlib.Path(queue, "zz-not-mail").write_bytes(b"just some words\n")
        self.assertEqual(len(os.listdir(ENV["ZEF_IT_SMTP_SPOOL"])), spooled)
        # A second flush while the first holds the queue sends nothing twice.
        with open(os.path.join(queue, ".lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            self.assertEqual(run("flush", queue).returncode, 75)
        result = run("flush", "--events", "--trace", queue)
        self.assertEqual(result.returncode, 69, result.stderr.decode())
        self.assertEqual(result.stderr.decode().count(">>EHLO"), 1)  # one session for all
        events = [json.loads(line) for line in result.stdout.decode().splitlines()]
        self.assertEqual([e["outcome"] for e in events], ["sent", "failed", "sent", "failed"])
        self.assertEqual(sorted(os.listdir(queue)), [".lock", "failed", "tmp"])
        failed = sorted(os.listdir(os.path.join(queue, "failed")))
        self.assertEqual(len([name for name in failed if name.endswith(".reason")]), 2)
        self.assertIn(b"no recipient", pathlib.Path(queue, "failed", "zz-not-mail.reason").read_bytes())
        sent = sorted(glob.glob(os.path.join(ENV["ZEF_IT_SMTP_SPOOL"], "*.json")))[-2:]
        envelopes = [reference.read_json(path) for path in sent]
        self.assertEqual([e["rcpt_tos"] for e in envelopes],
                         [["a@example.org", "b@example.org"], ["c@example.org"]])
        self.assertEqual(run("flush", queue).returncode, 0)  # nothing left
        # A flush killed halfway: the next one sends the rest, and nothing arrives twice but
        # (at most) the one message whose removal the kill overtook.
        for i in range(40):
            run("sendmail", "--queue", queue, "-t", stdin=f"To: k@example.org\nSubject: k{i}\n\n"
                f"{i} 日本語\n".encode())  # 8-bit: BODY=8BITMIME in a kept session too
        spool = ENV["ZEF_IT_SMTP_SPOOL"]
        before = set(glob.glob(os.path.join(spool, "*.eml")))
        flush = subprocess.Popen([ZEFMAIL, "flush", queue], env=environment,
                                 stderr=subprocess.DEVNULL)
        while len(set(glob.glob(os.path.join(spool, "*.eml"))) - before) < 10 and \
                flush.poll() is None:
            time.sleep(0.005)
        flush.kill()
        flush.wait()
        self.assertEqual(run("flush", queue).returncode, 0)
        subjects = [email.message_from_bytes(pathlib.Path(path).read_bytes())["Subject"]
                    for path in set(glob.glob(os.path.join(spool, "*.eml"))) - before]
        self.assertEqual(sorted(set(subjects)), sorted(f"k{i}" for i in range(40)))
        self.assertLessEqual(len(subjects), 41)
        # On a terminal a progress bar counts the messages to the end; --quiet draws none.
        for quiet, count in ((), 2), (("--quiet",), 1):
            for i in range(count):
                run("sendmail", "--queue", queue, "-t", stdin=b"To: k@example.org\n\nx\n")
            status, shown = on_terminal([ZEFMAIL, "flush", *quiet, queue], environment)
            self.assertEqual((status, f"{count}/{count} messages" in shown), (0, not quiet), shown)


class Fetch(unittest.TestCase):
    def fetched(self, user, *args):
        result = fetch(user, *args)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return result

    def imap_fetched(self, user, *args):
        result = fetch(user, "--protocol", "imap", *args, port=ENV["ZEF_IT_IMAP_PORT"])
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return result.stderr.decode()

    def test_imap_corpus_kept_twice_a_new_uidvalidity_and_the_maildir_of_pop3(self):
        work, names = ENV["ZEF_IT_WORKDIR"], ENV["ZEF_IT_MAILBOX_IMAPCORPUS"].split(",")
        out, state = f"{work}/imap-out", pathlib.Path(work, "imap-out", ".zefmail-state")
        self.imap_fetched("imapcorpus", "--out", out, "--keep", "--text", "--quiet")
        for number, name in enumerate(names, start=1):
            self.assertEqual(reference.compare(os.path.join(out, str(number)), corpus(name)), [],
                             name)
        uidls = [reference.read_json(out, str(n), "message.json")["uidl"]
                 for n in range(1, len(names) + 1)]
        validity = uidls[0].split(".")[0]
        self.assertEqual(uidls, [f"{validity}.{uid}" for uid in range(1, len(names) + 1)])
        again = self.imap_fetched("imapcorpus", "--out", out, "--keep")
        self.assertIn(f"0 saved in {out}, 0 deleted on the server, {len(names)} saved before",
                      again)
        # The folder numbered anew (as a restored server does): said once, every message saved.
        state.write_text(state.read_text().replace(f"\t{validity}.", "\t7."))
        renewed = self.imap_fetched("imapcorpus", "--out", out, "--keep")
        self.assertEqual(renewed.count("UIDVALIDITY"), 1, renewed)
        self.assertIn(f"folder INBOX has a new UIDVALIDITY (7 → {validity}): its messages are "
                      f"taken as new\n", renewed)
        self.assertIn(f"{len(names)} saved in", renewed)
        self.assertEqual(sorted(line.split("\t")[1:] for line in state.read_text().splitlines()),
                         [["imapcorpus@127.0.0.1/INBOX", uidl] for uidl in sorted(uidls)])
        # The raw messages, as IMAP hands them over, are POP3's byte for byte.
        self.fetched("imapcorpus", "--keep", "--quiet", "--maildir", f"{work}/pop3-maildir")
        self.imap_fetched("imapcorpus", "--keep", "--quiet", "--maildir", f"{work}/imap-maildir")
        files = lambda name: sorted(pathlib.Path(f).read_bytes()
                                    for f in glob.glob(f"{work}/{name}/new/*"))
        self.assertEqual(len(files("imap-maildir")), len(names))
        self.assertEqual(files("imap-maildir"), files("pop3-maildir"))
        self.assertEqual(mailbox("imapcorpus"), names)

    def test_imap_deletes_exactly_what_it_saved_and_reads_each_folder_apart(self):
        work, names = ENV["ZEF_IT_WORKDIR"], ENV["ZEF_IT_MAILBOX_IMAPDEL"].split(",")
        with imap_client("imapdel") as client:  # another program flags the largest \Deleted
            client.select("INBOX")
            sizes = {int(re.search(rb"UID (\d+)", item)[1]):
                     int(re.search(rb"RFC822.SIZE (\d+)", item)[1])
                     for item in client.uid("FETCH", "1:*", "(UID RFC822.SIZE)")[1]}
            flagged = max(sizes, key=sizes.get)
            client.uid("STORE", str(flagged), "+FLAGS", "(\\Deleted)")
        below = max(size for uid, size in sizes.items() if uid != flagged)
        summary = self.imap_fetched("imapdel", "--out", f"{work}/imapdel", "--max-size",
                                    str(below))
        self.assertIn(f"{len(names) - 1} saved in {work}/imapdel, {len(names) - 1} deleted",
                      summary)
        with imap_client("imapdel") as client:
            client.select("INBOX", readonly=True)
            self.assertEqual(client.uid("SEARCH", "ALL")[1][0].split(), [str(flagged).encode()])
            self.assertIn(b"\\Deleted", client.uid("FETCH", str(flagged), "(FLAGS)")[1][0])
        # Two folders of one mailbox into one --out: each remembered apart.
        out = f"{work}/imap-folders"
        folder = json.loads(ENV["ZEF_IT_FOLDERS"])["imap"]["仕事"]
        self.imap_fetched("imap", "--folder", "仕事", "--out", out, "--keep", "--quiet")
        for number, name in enumerate(folder, start=1):
            self.assertEqual(reference.compare(f"{out}/{number}", corpus(name)), [], name)
        self.assertIn("3 saved in", self.imap_fetched("imap", "--out", out, "--keep"))
        self.assertIn(f"0 saved in {out}, 0 deleted on the server, {len(folder)} saved before",
                      self.imap_fetched("imap", "--folder", "仕事", "--out", out, "--keep"))
        # The folders listed, no mail read; with --search UNSEEN only the one message not read.
        listed = fetch("imap", "--protocol", "imap", "--list-folders", port=ENV["ZEF_IT_IMAP_PORT"])
        self.assertEqual((listed.returncode, sorted(line.split("\t")[0] for line in
                                                    listed.stdout.decode().splitlines())),
                         (0, ["INBOX", "仕事"]), listed.stderr.decode())
        # On a terminal, the progress bar of the whole folder.
        status, shown = on_terminal(
            [ZEFMAIL, "fetch", "--protocol", "imap", "--keep", "--server", "127.0.0.1", "--port",
             ENV["ZEF_IT_IMAP_PORT"], "--user", "imap"],
            dict(ENV, ZEFMAIL_PASSWORD=ENV["ZEF_IT_POP3_PASS"]))
        self.assertEqual((status, "100%" in shown, "3/3 messages" in shown), (0, True, True), shown)
        # --mark-seen flags it once it is saved: not when the output refused it.
        def seen():
            with imap_client("imap") as client:
                client.select("INBOX", readonly=True)
                return b"\\Seen" in client.uid("FETCH", "2", "(FLAGS)")[1][0]
        with imap_client("imap") as client:
            client.select("INBOX")
            client.uid("STORE", "2", "-FLAGS", "(\\Seen)")
        refused = fetch("imap", "--protocol", "imap", "--search", "unseen", "--mark-seen", "--keep",
                        "--mda", "exit 1", port=ENV["ZEF_IT_IMAP_PORT"])
        self.assertEqual((refused.returncode, seen()), (1, False), refused.stderr.decode())
        self.assertIn("1 of 1 message(s) read, 1 saved", self.imap_fetched(
            "imap", "--search", "unseen", "--mark-seen", "--out", f"{work}/imap-unseen", "--keep"))
        self.assertTrue(seen())

    def test_imap_idle_saves_new_mail_as_it_comes_until_ctrl_c_which_ends_the_whole_run(self):
        out = os.path.join(ENV["ZEF_IT_WORKDIR"], "imap-idle")
        os.makedirs(os.path.join(out + "-config", "zefmail"))  # the idle account, then another
        pathlib.Path(out + "-config", "zefmail", "config.toml").write_text(
            f'[accounts.idle]\nprotocol = "imap"\nidle = true\nserver = "127.0.0.1"\n'
            f'port = {ENV["ZEF_IT_IMAP_PORT"]}\nuser = "imapidle"\n[accounts.later]\n'
            f'server = "127.0.0.1"\nport = {ENV["ZEF_IT_POP3_PORT"]}\nuser = "nobody"\n')
        environment = dict(ENV, ZEFMAIL_PASSWORD=ENV["ZEF_IT_POP3_PASS"],
                           XDG_CONFIG_HOME=out + "-config")
        idle = subprocess.Popen([ZEFMAIL, "fetch", "--all-accounts", "--out", out],
                                stderr=subprocess.PIPE, env=environment)
        def wait_for(number):  # saved within 30 s
            deadline = time.monotonic() + 30
            path = os.path.join(out, str(number), "message.json")
            while not os.path.exists(path) and time.monotonic() < deadline:
                time.sleep(0.1)
            return os.path.exists(path)
        try:
            self.assertTrue(wait_for(1), "the message already there was not saved")
            with imap_client("imapidle") as client:
                client.append("INBOX", None, None, pathlib.Path(corpus("05-utf8-qp")).read_bytes())
            self.assertTrue(wait_for(2), "the message that came during IDLE was not saved")
            self.assertEqual(reference.compare(os.path.join(out, "2"), corpus("05-utf8-qp")), [])
        finally:
            idle.send_signal(signal.SIGINT)
            _, err = idle.communicate(timeout=30)
        self.assertEqual((idle.returncode, [line for line in err.decode().splitlines()
                                            if line.startswith("[later]")]),
                         (1, ["[later] zefmail fetch: not read: stopped on request"]), err.decode())
        with imap_client("imapidle") as client:  # both saved, both deleted
            client.select("INBOX", readonly=True)
            self.assertEqual(client.uid("SEARCH", "ALL")[1], [b""])

    def test_corpus_written_as_python_reads_it_and_kept(self):
        out = os.path.join(ENV["ZEF_IT_WORKDIR"], "corpus-out")
        umask = os.umask(0o022)
        try:
            self.fetched("corpus", "--out", out, "--keep", "--text", "--quiet")
        finally:
            os.umask(umask)
        for folder, _, files in os.walk(out):  # private, whatever the umask
            self.assertEqual([(os.stat(path).st_mode & 0o777, path) for path in [folder] + [
                os.path.join(folder, name) for name in files]],
                [(0o700, folder)] + [(0o600, os.path.join(folder, name)) for name in files])
        names = ENV["ZEF_IT_MAILBOX_CORPUS"].split(",")
        self.assertEqual(sorted(n for n in os.listdir(out) if n[0] != "."),
                         sorted(str(i) for i in range(1, len(names) + 1)))
        for number, name in enumerate(names, start=1):
            folder = os.path.join(out, str(number))
            self.assertEqual(reference.compare(folder, corpus(name)), [], name)
            seen = reference.read_json(folder, "message.json")
            self.assertEqual((seen["id"], seen["uidl"].endswith("." + name)), (number, True))
        self.assertEqual(mailbox("corpus"), names)

    def test_cron_keep_new_mail_expiry_and_moved_server_every_message_once(self):
        out = os.path.join(ENV["ZEF_IT_WORKDIR"], "clash-out")
        os.makedirs(os.path.join(out, "1"))  # an earlier fetch's message 1
        scratch("clash-out/1/keep.txt", "earlier")
        names = ENV["ZEF_IT_MAILBOX_CLASH"].split(",")
        state = pathlib.Path(out, ".zefmail-state")
        folders = lambda: sorted(n for n in os.listdir(out) if not n.startswith("."))
        self.fetched("clash", "--out", out, "--quiet", "--keep")
        self.assertEqual(send("--from", "a@example.jp", "--to", "clash@zef-test.localhost",
                              "--subject", "新着", "--body-file", scratch("new.txt", JAPANESE)
                              ).returncode, 0)
        summary = self.fetched("clash", "--out", out, "--keep").stderr.decode()
        self.assertIn("1 saved in " + out + ", 0 deleted on the server, 2 saved before", summary)
        self.assertEqual(folders(), ["1", "2", "3", "4"])
        self.assertEqual(pathlib.Path(out, "1", "keep.txt").read_text(encoding="utf-8"), "earlier")
        for folder, name in (("2", names[0]), ("3", names[1])):
            self.assertEqual(reference.compare(os.path.join(out, folder), corpus(name)), [], name)
        seen = reference.read_json(out, "4", "message.json")
        self.assertEqual((seen["id"], ["Subject", "新着"] in seen["headers"]), (3, True))
        # Eight days on, the first two are past --keep-days 7 and go without being read again.
        lines = state.read_text().splitlines()
        aged = [f"{int(t) - 8 * 86400}\t{rest}" for t, rest in (l.split("\t", 1) for l in lines[:2])]
        state.write_text("\n".join(aged + lines[2:]) + "\n")
        self.fetched("clash", "--out", out, "--quiet", "--keep-days", "7")
        self.assertEqual((len(mailbox("clash")), folders()), (1, ["1", "2", "3", "4"]))
        # A server that numbers its messages anew: said on standard error, and saved again.
        moved = state.read_text().replace("\t" + seen["uidl"], "\tmoved-away")
        state.write_text(moved)
        notice = self.fetched("clash", "--out", out, "--keep").stderr.decode()
        self.assertIn("if the server gave its messages new UIDLs", notice)
        self.assertEqual(folders(), ["1", "2", "3", "4", "5"])
        # From cron with the account of the configuration file, the password from a command.
        os.makedirs(os.path.join(ENV["ZEF_IT_WORKDIR"], "zefmail"))
        scratch("zefmail/config.toml", f'default = "c"\n[accounts.c]\nserver = "127.0.0.1"\n'
                f'port = {ENV["ZEF_IT_POP3_PORT"]}\nuser = "clash"\npassword_command = "echo $PW"\n')
        environment = dict(ENV, XDG_CONFIG_HOME=ENV["ZEF_IT_WORKDIR"], PW=ENV["ZEF_IT_POP3_PASS"])
        environment.pop("ZEFMAIL_PASSWORD", None)
        result = subprocess.run([ZEFMAIL, "fetch", "--out", out, "--quiet"], env=environment,
                                capture_output=True, timeout=60)  # saved before: only deleted
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual((mailbox("clash"), folders()), ([], ["1", "2", "3", "4", "5"]))
        self.assertEqual(state.read_text(), "")  # deleted: nothing left to remember

    def test_all_accounts_in_the_file_order_a_refused_login_stops_none_and_the_worst_exits(self):
        work, port = os.path.join(ENV["ZEF_IT_WORKDIR"], "all-accounts"), ENV["ZEF_IT_POP3_PORT"]
        os.makedirs(os.path.join(work, "zefmail"))
        pathlib.Path(work, "zefmail", "config.toml").write_text("".join(
            f'[accounts.{name}]\nserver = "127.0.0.1"\nport = {port}\nuser = "accounts"\n'
            f'password_env = "{variable}"\n' for name, variable in (("wrong", "BAD"), ("good", "PW"))))
        environment = dict(ENV, XDG_CONFIG_HOME=work, PW=ENV["ZEF_IT_POP3_PASS"], BAD="wrong")
        run = lambda *args: subprocess.run([ZEFMAIL, "fetch", *args], env=environment,
                                           capture_output=True, timeout=60)
        result = run("--all-accounts", "--out", f"{work}/out")
        summaries = [line for line in result.stderr.decode().splitlines() if "read" in line]
        self.assertEqual((result.returncode, summaries), (1, [
            "[wrong] zefmail fetch: 0 of 0 message(s) read, 0 saved in " + work + "/out, 0 deleted "
            "on the server", "[good] zefmail fetch: 2 of 2 message(s) read, 2 saved in " + work +
            "/out, 2 deleted on the server"]), result.stderr.decode())
        self.assertEqual((mailbox("accounts"), sorted(os.listdir(f"{work}/out"))),
                         ([], [".zefmail-state", "1", "2"]))
        environment["XDG_CONFIG_HOME"] = f"{work}/none"
        result = run("--all-accounts")
        self.assertEqual((result.returncode, result.stderr.decode()), (
            2, f"zefmail fetch: --all-accounts: there is no configuration file {work}/none/zefmail/"
            "config.toml\n"))

    def test_killed_at_random_moments_every_message_saved_once_or_still_on_the_server(self):
        names, rng = ENV["ZEF_IT_MAILBOX_CORPUS"].split(","), random.Random(14)
        lf = lambda data: data.replace(b"\r\n", b"\n") + b"\n" * (not data.endswith(b"\n"))
        by_bytes = {lf(pathlib.Path(corpus(name)).read_bytes()): name for name in names}
        unquote = lambda data: lf(re.sub(rb"(?m)^>(>*From )", rb"\1", data))
        found = {  # what is in each kind of output, by corpus name; None for anything else
            "--out": lambda out: [next((n for n in names if reference.read_json(
                out, f, "message.json")["uidl"].endswith("." + n)), None)
                for f in os.listdir(out) if f[0] != "."],
            "--maildir": lambda path: [by_bytes.get(lf(box.get_bytes(k))) for box in
                                       [mailboxes.Maildir(path, create=False)] for k in box.keys()],
            "--mbox": lambda path: [by_bytes.get(unquote(box.get_bytes(k))) for box in
                                    [mailboxes.mbox(path, create=False)] for k in box.keys()]}
        # Killed after a random time, or by strace at the Nth call that commits a message to an
        # output (the rename into --out or new/, the unlink of the mbox's dot-lock).
        at = lambda call, *nths, path=(): [
            ["strace", "-f", "-qq", "-o", "/dev/null", *path, "-e", f"trace={call}", "-e",
             f"inject={call}:signal=SIGKILL:when={n}"] for n in nths]
        lock = ["-P", os.path.join(ENV["ZEF_IT_WORKDIR"], "kill-three--mbox.lock")]
        for user, kinds, keep, kills in (
                ("kill-out", ["--out"], [], None), ("kill-keep", ["--out"], ["--keep"], None),
                ("kill-maildir", ["--maildir"], ["--keep"], None), ("kill-mbox", ["--mbox"], [], None),
                ("kill-two", ["--out", "--maildir"], [], at("renameat2", 2, 1, 4, 3, 6)),
                ("kill-three", ["--out", "--maildir", "--mbox"], ["--keep"], at("renameat2", 2, 3) +
                 at("unlink", 1, 3, path=lock) + at("renameat2", 5))):
            outs = [(kind, os.path.join(ENV["ZEF_IT_WORKDIR"], user + kind)) for kind in kinds]
            argv = [ZEFMAIL, "fetch", "--server", "127.0.0.1", "--port", ENV["ZEF_IT_POP3_PORT"],
                    "--user", user, "--quiet", *sum(map(list, outs), []), *keep]
            environment = dict(ENV, ZEFMAIL_PASSWORD=ENV["ZEF_IT_POP3_PASS"])
            for run in range(20 if kills is None else len(kills) + 1):
                killer = kills[run] if kills and run < len(kills) else []
                process = subprocess.Popen(killer + argv, env=environment, stderr=subprocess.DEVNULL)
                try:
                    finished = process.wait(timeout=10 ** rng.uniform(-2.3, -0.5)
                                            if kills is None and run < 19 else 60)
                except subprocess.TimeoutExpired:
                    process.kill()
                    finished = process.wait()
                left, everywhere = mailbox(user), set(names)
                for kind, out in outs:
                    saved = found[kind](out) if os.path.exists(out) else []
                    if kind == "--mbox" and os.path.exists(out + ".lock") and saved[-1:] == [None]:
                        saved.pop()  # a killed append, which the next run cuts off
                    saved = sorted(saved, key=str)
                    self.assertEqual(sorted(set(saved), key=str), saved, f"{user}{kind}: saved twice")
                    self.assertEqual(sorted(set(saved) | set(left), key=str), sorted(names), user)
                    everywhere &= set(saved)
                if finished == 0:
                    break
            self.assertEqual((finished, everywhere, left), (0, set(names), names if keep else []))

    def test_filed_mail_an_edited_state_and_a_last_message_not_written_save_nothing_twice(self):
        names, work = ENV["ZEF_IT_MAILBOX_FILED"].split(","), ENV["ZEF_IT_WORKDIR"]
        out, maildir, mbox = f"{work}/filed-out", f"{work}/filed-maildir", f"{work}/filed.mbox"
        outputs = ["--out", out, "--maildir", maildir, "--mbox", mbox]
        state = pathlib.Path(out, ".zefmail-state")
        self.fetched("filed", "--keep", "--quiet", *outputs)
        # A mail reader files every message away; the next cron run saves none of them again.
        os.makedirs(f"{work}/filed-away")
        for name in [*glob.glob(f"{out}/[0-9]*"), *glob.glob(f"{maildir}/new/*")]:
            os.rename(name, f"{work}/filed-away/{os.path.basename(name)}")
        os.truncate(mbox, 0)
        lines = state.read_bytes()
        state.write_bytes(lines.rstrip(b"\n"))  # saved by an editor without the last line end
        summary = self.fetched("filed", "--keep", *outputs).stderr.decode()
        self.assertEqual((f"0 saved in {out}" in summary, glob.glob(f"{out}/[0-9]*"),
                          os.listdir(f"{maildir}/new"), os.path.getsize(mbox), state.read_bytes()),
                         (True, [], [], 0, lines))
        state.write_bytes(lines + b"garbage")
        refused = fetch("filed", "--keep", *outputs)
        self.assertRegex(f"{refused.returncode} {refused.stderr.decode()}", r"^1 .* line 4 is not")
        # The last message cannot be put in place (a full disk): the first two are deleted, and
        # only after the flush that puts them on the disk.
        state.unlink()
        result = fetch("filed", "--out", f"{work}/filed-full", wrap=[
            "strace", "-f", "-qq", "-o", f"{work}/filed.trace", "-e", "trace=syncfs,sendto,sendmsg,"
            "write,renameat2", "-e", "inject=renameat2:error=ENOSPC:when=3"])
        calls = [line for line in pathlib.Path(f"{work}/filed.trace").read_text().splitlines()
                 if "syncfs(" in line or "QUIT" in line]
        self.assertEqual(["syncfs(" in line for line in calls], [True, False], calls)
        self.assertIn(b"1 message(s) could not be written and stay on the server", result.stderr)
        self.assertEqual(mailbox("filed"), names[2:])

    def test_events_and_trace_delete_nothing_nor_show_the_password(self):
        names = ENV["ZEF_IT_MAILBOX_EVENTS"].split(",")
        for login, shown in ([], r">>PASS \*\*\*\n"), (["--apop"], r"(?m)^>>APOP events [0-9a-f]{32}$"):
            result = self.fetched("events", "--events", "--top-lines", "2", "--trace", *login)
            events = [json.loads(line) for line in result.stdout.decode().splitlines()]
            self.assertEqual(events[-1], {"event": "Done", "Code": 0, "msg": ""})
            self.assertEqual({e["event"] for e in events}, {
                "Stat", "UidlFirst", "UidlDone", "TopFirst", "TopNext", "CaptionChanged", "RetrFirst",
                "MailHeadFirst", "MailHeadNext", "MailHeadDone", "MultiPartOpen", "MimeHeadFirst",
                "MimeHeadNext", "MimeHeadDone", "MimeDataFirst", "MimeDataNext", "MimeDataDone",
                "RetrDone", "MultiPartClose", "Trace", "Done"})  # every kind of event, named
            self.assertEqual([e["CancelDelete"] for e in events if e["event"] == "RetrDone"],
                             [True] * len(names))
            self.assertRegex(result.stderr.decode(), shown)
            self.assertEqual(reference.leaks("events", ENV["ZEF_IT_POP3_PASS"],
                                             result.stdout + result.stderr)["found"], [])
        self.assertEqual(mailbox("events"), names)

    def test_maildir_and_mbox_hold_every_message_byte_for_byte(self):
        names = ENV["ZEF_IT_MAILBOX_BOXES"].split(",")
        lf = lambda data: data.replace(b"\r\n", b"\n") + b"\n" * (not data.endswith(b"\n"))
        expected = [lf(pathlib.Path(corpus(name)).read_bytes()) for name in names]
        work = ENV["ZEF_IT_WORKDIR"]
        self.fetched("boxes", "--keep", "--quiet", "--crlf", "--maildir", f"{work}/crlf")
        crlf = mailboxes.Maildir(f"{work}/crlf", create=False)
        self.assertEqual(sorted(lf(crlf.get_bytes(key)) for key in crlf.keys()), sorted(expected))
        self.assertTrue(all(b"\n" not in crlf.get_bytes(key).replace(b"\r\n", b"")
                            for key in crlf.keys()))
        maildir, mbox = f"{work}/boxes-maildir", f"{work}/boxes.mbox"
        result = self.fetched("boxes", "--maildir", maildir, "--mbox", mbox)
        self.assertIn(f"{len(names)} saved in {maildir} (Maildir) and {mbox} (mbox), "
                      f"{len(names)} deleted", result.stderr.decode())
        self.assertEqual(mailbox("boxes"), [])
        in_maildir = mailboxes.Maildir(maildir, create=False)
        order = sorted(in_maildir.keys(), key=lambda key: int(key.split("Q")[1].split(".")[0]))
        self.assertEqual([lf(in_maildir.get_bytes(key)) for key in order], expected)
        in_mbox = mailboxes.mbox(mbox, create=False)
        self.assertEqual([lf(re.sub(rb"(?m)^>(>*From )", rb"\1", in_mbox.get_bytes(key)))
                          for key in in_mbox.keys()], expected)
        for message in in_mbox:
            self.assertRegex(message.get_from(), r"^\S+ \w{3} \w{3} [ 123]\d \d\d:\d\d:\d\d \d{4}$")
        self.assertFalse(os.path.exists(mbox + ".lock"))
        # A mail reader (s-nail) lists the same messages, with the subjects Python decodes.
        subjects = [str(email.message_from_bytes(data, policy=email.policy.default)["Subject"])
                    for data in expected]
        for folder, in_order in ((mbox, True), ("maildir://" + maildir, False)):
            listed = subprocess.run(
                ["s-nail", "-n", "-N", "-R", "-Sheadline=%s", "-Sttycharset=utf-8", "-H", "-f",
                 folder], env=dict(ENV, MAIL="/dev/null", COLUMNS="400"), capture_output=True,
                stdin=subprocess.DEVNULL, timeout=60).stdout.decode().split("\n")[:-1]
            listed = [line.strip() for line in listed]
            self.assertEqual(listed if in_order else sorted(listed),
                             subjects if in_order else sorted(subjects), folder)

    def test_mbox_locked_by_another_program_keeps_the_messages_on_the_server(self):
        held = scratch("held.mbox")
        scratch("held.mbox.lock")  # empty: another program's
        result = fetch("events", "--quiet", "--mbox", held)
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr.decode(), r"(?s)message 1 stays on the server: .*held\.mbox "
                         r"is locked by another program.*2 message\(s\) could not be written")
        self.assertEqual((os.path.getsize(held), os.path.exists(held + ".lock")), (0, True))
        self.assertEqual(mailbox("events"), ENV["ZEF_IT_MAILBOX_EVENTS"].split(","))

    def test_sibling_mbox_files_a_killed_run_and_a_message_without_a_body(self):
        def deliver(*texts):
            for text in texts:
                head = "From: a@example.org\nTo: siblings@zef-test.localhost\n"
                result = zefmail("sendmail", ENV["ZEF_IT_SMTP_PORT"], "-t",
                                 stdin=(head + text).encode())
                self.assertEqual(result.returncode, 0, result.stderr.decode())

        deliver("Subject: only a header\n", "Subject: second\n\nbody\n")
        alice, bob = scratch("alice.mbox"), scratch("bob.mbox")
        # Killed at its first write to or removal of FILE.lock: zefmail's dot-lock is never
        # empty, and the next run takes over the lock of the dead one. Meanwhile another run
        # holds its own sibling file, waiting for a server.
        killed = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-P", bob + ".lock",
                                 "-e", "inject=write,unlink:signal=KILL:when=1", ZEFMAIL, "fetch",
                                 "--server", "127.0.0.1", "--port", ENV["ZEF_IT_POP3_PORT"],
                                 "--user", "siblings", "--mbox", bob], timeout=60,
                                env=ENV | {"ZEFMAIL_PASSWORD": ENV["ZEF_IT_POP3_PASS"]},
                                capture_output=True)
        self.assertEqual(killed.returncode, -9)
        deliver("Subject: third\n\nbody\n")
        with socket.socket() as silent:
            silent.bind(("127.0.0.1", 0))
            silent.listen()
            waiting = subprocess.Popen(
                [ZEFMAIL, "fetch", "--server", "127.0.0.1", "--port", str(silent.getsockname()[1]),
                 "--user", "siblings", "--mbox", alice, "--quiet"],
                env=ENV | {"ZEFMAIL_PASSWORD": "x"}, stderr=subprocess.DEVNULL)
            try:
                with silent.accept()[0]:
                    self.fetched("siblings", "--quiet", "--mbox", bob)
                    self.assertRegex(fetch("siblings", "--mbox", alice).stderr.decode(),
                                     "another zefmail fetch is writing to .*alice.mbox")
            finally:
                waiting.kill()
                waiting.wait()
        self.assertEqual(mailbox("siblings"), [])
        self.assertFalse(glob.glob(bob + ".lock*"))
        # Python and mailutils both read two messages.
        subjects = ["only a header", "second", "third"]
        self.assertEqual([m["Subject"] for m in mailboxes.mbox(bob)], subjects)
        listed = subprocess.run(["frm", "-f", "subject", bob], capture_output=True, timeout=60)
        self.assertEqual(listed.stdout.decode().split("\n"), subjects + [""])

    def test_mda_takes_each_message_once_and_what_it_refuses_or_is_too_large_stays(self):
        names, work = ENV["ZEF_IT_MAILBOX_MDA"].split(","), ENV["ZEF_IT_WORKDIR"]
        ENV["XDG_STATE_HOME"] = f"{work}/mda-state"  # --mda alone keeps its state there
        lf = lambda data: data.replace(b"\r\n", b"\n") + b"\n" * (not data.endswith(b"\n"))
        pop = poplib.POP3("127.0.0.1", int(ENV["ZEF_IT_POP3_PORT"]), timeout=10)
        pop.user("mda")
        pop.pass_(ENV["ZEF_IT_POP3_PASS"])
        sizes = [int(line.split()[1]) for line in pop.list()[1]]
        uidls = [line.split()[1].decode() for line in pop.uidl()[1]]
        pop.quit()
        big = sizes.index(max(sizes))
        limit = ["--max-size", str(max(sizes) - 1)]
        got = f"{work}/mda-got"
        os.makedirs(got)
        deliver = f"cat > $(mktemp -p {got}) && printf '%s\\n' %F >> {got}.senders"
        for command, status, said in (("exit 75", 4, "3 deferred by --mda; try again later"),
                                      ("cat >/dev/null; exit 1", 1, "failed with exit status 1"),
                                      (deliver, 0, "2 saved in " + deliver), (deliver, 0, "0 saved")):
            result = fetch("mda", "--keep", "--mda", command, *limit[:2 * (status != 4)])
            with self.subTest(command=command, status=status):
                self.assertEqual(result.returncode, status, result.stderr.decode())
                self.assertIn(said, result.stderr.decode())
                self.assertEqual(mailbox("mda"), names)
        self.assertIn(f"message {big + 1} ({sizes[big]} bytes, UIDL {uidls[big]}) is over "
                      f"--max-size {sizes[big] - 1} and stays on the server", result.stderr.decode())
        # Without --keep: the two taken before are deleted unread, the big one is taken now.
        self.fetched("mda", "--quiet", "--mda", deliver)
        self.assertEqual(mailbox("mda"), [])
        self.assertEqual(sorted(pathlib.Path(f).read_bytes() for f in glob.glob(f"{got}/*")),
                         sorted(lf(pathlib.Path(corpus(name)).read_bytes()) for name in names))
        self.assertEqual(len(pathlib.Path(f"{got}.senders").read_text().splitlines()), 3)

    def test_sent_and_fetched_back_intact(self):
        blob = random.Random(9).randbytes(300_000)
        # Every two-byte code of code page 932 outside its user-defined area, ～ (U+FF5E) and
        # the NEC and IBM extensions included, comes back as it was typed.
        codes = [bytes([lead, trail]) for lead in [*range(0x81, 0xA0), *range(0xE0, 0xF0),
                                                   *range(0xFA, 0xFD)] for trail in range(0x40, 0xFD)]
        repertoire = [code.decode("cp932") for code in codes
                      if "\ufffd" not in code.decode("cp932", "replace")]
        self.assertEqual(len(repertoire), 7724)
        text = JAPANESE + "".join(c + "\n" * (i % 40 == 39) for i, c in enumerate(repertoire)) + "\n"
        self.assertEqual(send("--from", "a@example.jp", "--to", "roundtrip@zef-test.localhost",
                              "--subject", "往復テスト", "--body-file", scratch("body.txt", text),
                              "--attach", scratch("写真.jpg", blob)).returncode, 0)
        out = os.path.join(ENV["ZEF_IT_WORKDIR"], "roundtrip-out")
        self.fetched("roundtrip", "--out", out, "--text", "--quiet")
        seen = reference.read_json(out, "1", "message.json")
        body, image = seen["parts"]
        written = pathlib.Path(out, "1", body["text_file"]).read_text(encoding="utf-8")
        self.assertEqual((["Subject", "往復テスト"] in seen["headers"],
                          reference.same_text(written, text), image["name"], image["content_type"],
                          image["sha256"]), (True, True, "写真.jpg", "image/jpeg",
                                             hashlib.sha256(blob).hexdigest()))
        self.assertEqual(mailbox("roundtrip"), [])


    def test_tokens_scram_and_capa_through_dovecot_and_in_use_from_a_second_session(self):
        oauth, token, password = (ENV[k] for k in ("ZEF_IT_OAUTH_USER", "ZEF_IT_OAUTH_TOKEN",
                                                   "ZEF_IT_POP3_PASS"))
        for auth, name, secret, status, said in [
                ("xoauth2", oauth, token, 0, ">>AUTH XOAUTH2\n"),  # two steps
                ("oauthbearer", oauth, token, 0, ">>AUTH OAUTHBEARER"),
                ("auto", oauth, token, 0, ">>AUTH OAUTHBEARER"),  # a secret that looks like a token
                ("xoauth2", oauth, ENV["ZEF_IT_OAUTH_TOKEN_EXPIRED"], 1,
                 r"\[token refused \(status 401, schemes bearer"),
                ("oauthbearer", oauth, ENV["ZEF_IT_OAUTH_TOKEN_WRONGUSER"], 1,
                 r"\[AUTH\] .*\[invalid_token\]"),
                ("scram-sha-256", "tls", password, 0, r">>AUTH SCRAM-SHA-256 \*\*\*\n"),
                ("auto", "tls", password, 0, r">>AUTH SCRAM-SHA-256 \*\*\*\n")]:  # from CAPA
            out = os.path.join(ENV["ZEF_IT_WORKDIR"], f"sasl-{auth}-{secret[-8:]}")
            result = fetch(name, "--auth", auth, "--keep", "--out", out, "--trace", "--quiet",
                           password=secret)
            with self.subTest(auth=auth, name=name, status=status):
                self.assertEqual(result.returncode, status, result.stderr.decode())
                self.assertRegex(result.stderr.decode(), said)
                self.assertNotIn(secret.encode(), result.stderr)
                messages = ENV["ZEF_IT_MAILBOX_" + name.upper()].split(",") if status == 0 else []
                self.assertEqual(len(glob.glob(os.path.join(out, "[0-9]*"))), len(messages))
        holder = poplib.POP3("127.0.0.1", int(ENV["ZEF_IT_POP3_PORT"]), timeout=30)
        holder.user("locked")
        holder.pass_(ENV["ZEF_IT_POP3_PASS"])
        try:
            result = fetch("locked", "--keep", "--quiet")
        finally:
            holder.quit()
        self.assertEqual(result.returncode, 4, result.stderr.decode())
        self.assertRegex(result.stderr.decode(), r"-ERR \[IN-USE\].*; try again later\n$")

    def test_imap_serves_the_pop3_mailboxes_and_a_unicode_folder_plain_and_over_tls(self):
        # imaplib, until zefmail reads IMAP: the harness's Dovecot over its plain port, and the
        # TLS twin's over STARTTLS and implicit TLS.
        folders = json.loads(ENV["ZEF_IT_FOLDERS"])["imap"]
        expected = {"INBOX": ENV["ZEF_IT_MAILBOX_IMAP"].split(","), **folders}
        tls = json.loads(ENV["ZEF_IT_TLS"])
        context = ssl.create_default_context(cafile=tls["ca"])
        starttls = imaplib.IMAP4("127.0.0.1", tls["imap"]["starttls"]["good"], timeout=30)
        self.assertIn("STARTTLS", starttls.capabilities)
        starttls.starttls(context)
        self.assertNotIn("STARTTLS", starttls.capabilities)  # asked again, over TLS
        password = ENV["ZEF_IT_POP3_PASS"]
        log_in = lambda client: client.login("imap", password)
        plain = lambda client: client.authenticate("PLAIN", lambda _: f"\0imap\0{password}".encode())
        for name, client, login in [
                ("plain", imaplib.IMAP4("127.0.0.1", int(ENV["ZEF_IT_IMAP_PORT"]), timeout=30),
                 log_in), ("starttls", starttls, log_in),
                ("implicit", imaplib.IMAP4_SSL("127.0.0.1", tls["imap"]["implicit"]["good"],
                                               ssl_context=context, timeout=30), plain)]:
            with self.subTest(name), client:
                self.assertLessEqual({"IDLE", "SASL-IR", "AUTH=PLAIN", "AUTH=SCRAM-SHA-256",
                                      "AUTH=XOAUTH2", "AUTH=OAUTHBEARER"}, set(client.capabilities))
                self.assertEqual(login(client)[0], "OK")
                offered = client.capability()[1][-1].decode().split()
                self.assertLessEqual({"IDLE", "UIDPLUS", "SASL-IR"}, set(offered))
                listed = [re.fullmatch(r'\(.*\) "\." "?(.*?)"?', line.decode())[1]
                          for line in client.list()[1]]
                self.assertTrue(all(name.isascii() for name in listed), listed)
                self.assertEqual(sorted(map(folder_name, listed)), sorted(expected))
                for folder in listed:
                    self.assertEqual(client.select(folder, readonly=True)[0], "OK")
                    uids = client.uid("SEARCH", "ALL")[1][0].decode().split()
                    fetched = client.uid("FETCH", ",".join(uids), "(BODY.PEEK[])")[1]
                    self.assertEqual([item[1] for item in fetched if isinstance(item, tuple)], [
                        pathlib.Path(corpus(n)).read_bytes() for n in expected[folder_name(folder)]])
        self.assertEqual(mailbox("imap"), expected["INBOX"])  # the same mailbox over POP3


class Contract(unittest.TestCase):
    def test_failures_are_one_line_with_the_exit_status(self):
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            nowhere = closed.getsockname()[1]
        spooled = len(os.listdir(ENV["ZEF_IT_SMTP_SPOOL"]))
        body = ["--from", "a@example.jp", "--to", "b@example.org", "--body-file",
                scratch("x.txt", "x\n")]
        for result, status, error in [
                (send(*body, password="wrong"), 1, r"^zefmail send: .*code -1: 535[^\n]*\n$"),
                (send(*body, port=nowhere, auth=None), 4, r"^zefmail send: cannot reach [^\n]*\n$"),
                (send(*body[:4], "--attach", "/missing.pdf", auth=None), 2,
                 r"missing\.pdf: No such file or directory"),
                (send(*body[:4], "--body-file", "-", "--charset", "iso-2022-jp", auth=None,
                      stdin=("ok\n" * 5000 + "😀\n").encode()), 1,
                 r"^zefmail send: standard input: U\+1F600 .*the message was not sent\n$"),
                (send(*body[:4], "--body-file", "-", auth=None, stdin=b"ok\n" * 5000 + b"\xc3("),
                 1, r"^zefmail send: standard input: the byte at offset 15000 is not UTF-8 .*"
                    r"the message was not sent\n$"),
                (send(*body, password=None), 2, r"ZEFMAIL_PASSWORD is not set"),
                (fetch("corpus", password="wrong"), 1, r"^zefmail fetch: .*code -1: -ERR"),
                (fetch("x", "--quiet", port=nowhere), 4,
                 r"^zefmail fetch: cannot reach [^\n]*; try again later\n$")]:
            with self.subTest(error=error):
                self.assertEqual(result.returncode, status, result.stderr.decode())
                self.assertRegex(result.stderr.decode(), error)
        self.assertEqual(len(os.listdir(ENV["ZEF_IT_SMTP_SPOOL"])), spooled)

    def test_tls_with_the_ca_file_refuses_bad_certificates_unless_insecure(self):
        tls = json.loads(ENV["ZEF_IT_TLS"])
        reasons = {"good": "", "expired": "certificate has expired", "wronghost":
                   "IP address mismatch", "unknownca": "unable to get local issuer certificate"}
        for command, mode, certificate, check in [
                ("send", "starttls", "good", "--ca-file"), ("send", "implicit", "good", "--ca-file"),
                ("send", "implicit", "good", ""),  # the system's CAs alone do not know the test CA
                ("send", "starttls", "expired", "--ca-file"), ("send", "starttls", "wronghost",
                "--ca-file"), ("send", "starttls", "unknownca", "--ca-file"),
                ("send", "implicit", "expired", "--insecure"), ("fetch", "stls", "good", "--ca-file"),
                ("fetch", "implicit", "good", "--ca-file"), ("fetch", "implicit", "expired",
                "--ca-file"), ("fetch", "implicit", "unknownca", "--ca-file"),
                ("fetch", "stls", "wronghost", "--insecure")]:
            out = os.path.join(ENV["ZEF_IT_WORKDIR"], f"tls-{mode}-{certificate}-{check}")
            options = ["--tls", mode.replace("stls", "starttls"), "--trace", *{
                "--ca-file": ["--ca-file", tls["ca"]], "--insecure": ["--insecure"]}.get(check, [])]
            result = send("--from", "a@example.jp", "--to", "b@example.org", *options,
                          auth="plain", port=tls["smtp"][mode][certificate]) if command == "send" \
                else fetch("tls", *options, "--apop", "--keep", "--out", out,
                           port=tls["pop3"][mode][certificate])
            with self.subTest(command=command, mode=mode, certificate=certificate, check=check):
                passes = check == "--insecure" or check and certificate == "good"
                self.assertEqual(result.returncode, 0 if passes else 1, result.stderr.decode())
                self.assertNotIn(ENV["ZEF_IT_SMTP_PASS" if command == "send" else
                                     "ZEF_IT_POP3_PASS"].encode(), result.stderr)
                if command == "send" and passes:
                    self.assertEqual([last_sent()[2][k] for k in ("auth_tls", "data_tls")], [True] * 2)
                if command == "fetch":
                    written = sorted(n for n in os.listdir(out) if n[0] != ".") if os.path.exists(out) else []
                    self.assertEqual(written, ["1", "2"] if passes else [])
                if not passes:
                    self.assertRegex(result.stderr.decode(), "the server's certificate was refused.*"
                                     "certificate verify failed: " + (reasons[certificate] or
                                                                      reasons["unknownca"]))
                    self.assertNotIn(b">>AUTH", result.stderr)
                    self.assertNotIn(b">>USER", result.stderr)


if __name__ == "__main__":
    result = unittest.main(verbosity=2, exit=False).result
    with open(ENV["ZEF_IT_SUMMARY"], "w", encoding="utf-8") as summary:
        for test, trace in result.failures + result.errors:
            summary.write(f"{test.id()}:\n{trace[-1500:]}\n")
    sys.exit(not result.wasSuccessful())
