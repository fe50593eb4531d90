#!/usr/bin/python3
"""End-to-end benchmark: zef against curl, Python and GMime, on real servers on loopback.

  bench/e2e/run.py [--build DIR] [--quick] [--reps N] [--only SECTIONS] [--smtp sink|aiosmtpd]
                   [--outputs DIR] [--fresh-fs]

Starts Dovecot (POP3 and IMAP) and an SMTP server on 127.0.0.1 with scripts/servers' launcher code,
makes a mailbox of Japanese-heavy MIME messages (make_corpus.py: 300 messages, about
106 MB; --quick: 30 messages, 10 MB) and runs, in turn and --reps times over:

  fetch  zefmail fetch --keep (every message retrieved and counted; with no output nothing is
         parsed or written), curl's POP3 RETR of every message (a plain copy to /dev/null),
         Python poplib + email (parse and decode), the server's own pace (pop_drain: zefmail's
         LIST and RETR dialogue on a bare socket, responses read and dropped unparsed: the floor
         for a client that asks one command at a time),
         and zefmail fetch --out (every part parsed, decoded, hashed and written to disk) and
         --maildir (every message as received), once with --keep and once deleting (from a
         second copy of the mailbox, refilled before each run)
  imap   the same mailbox over IMAP, every message written to a file of its own, over one
         connection: curl's UID FETCH of UIDs 1 to N (URL globbing) against zefmail fetch
         --protocol imap --keep with --out (every part decoded and written) and with --maildir
         (each message as received, as curl writes it); the IMAP logins each run made are
         counted in Dovecot's log
  parse  the parser alone on the message files (pop_parse_files), against GMime 3 (gmime_parse);
         both once with transfer decoding only and once with text parts converted to text
  send   zefmail send of a 20 MiB attachment (base64 on the fly), curl's smtp:// upload of the
         same message already encoded, Python email + smtplib building and sending it
  many   200 small messages, one connection each: smtp_many (the next send started from Done)
         against Python smtplib
  queue  500 queued 2-KB messages (zefmail sendmail --queue, outside the timing): zefmail flush
         (one session, pipelined) against Python smtplib over one connection and with one
         connection per message
  flat   peak RSS of zefmail fetch and zefmail send for a 1 MB and a 200 MB message

and prints a table of medians, rates, ratios and peak RSS. Rates are MB of 10^6 bytes per
second of wall-clock time: of the mailbox (fetch, parse) or of the attachment (send). Every
tool of a section runs against the same server in the same round, so their ratios hold even
on a busy machine; the absolute figures do not.

The SMTP server is bench/smtp/sink.py by default (accepts and discards, so the client's own
speed shows); --smtp aiosmtpd uses the integration tests' aiosmtpd server, which saves every
message (the flat section always uses the sink: aiosmtpd refuses messages over 64 MiB).
--outputs DIR puts what fetch --out and --maildir write into DIR (default: the scratch folder,
beside the server's mailboxes). A server is far away in real use: with DIR on a file system of
its own, the flush before QUIT does not also flush the local server's files, and an ext4 without
a journal (where the scratch folder may be) is slow to allocate inodes for 30 s after many
deletions, which the server's expunges and refills cause here all the time.
--fresh-fs (root only) gives every run that writes its outputs a new ext4 of its own, made in
an image file under the outputs folder and loop-mounted there (direct I/O), so that no run pays for what
earlier runs (or the server's refills) deleted: the figures then measure the writer alone.
The build folder (default build/bench) is configured with -DZEF_BUILD_BENCH=ON when it has no
CMakeCache.txt yet; the targets needed are built unless --no-build. Generated files are kept
in DIR/bench-e2e and reused.
"""

import argparse
import base64
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from email import policy
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from contextlib import contextmanager
from typing import Callable, Iterator

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "scripts", "servers"))
import servers  # noqa: E402  (the server launcher: Dovecot, aiosmtpd, process control)

PYTHON = "/usr/bin/python3"
TIME = "/usr/bin/time"  # Debian package time
MB = 1000 * 1000
MIB = 1024 * 1024
POP3_PASS = "b3nch-Pa55"
SMTP_USER, SMTP_PASS = "bench@bench.localhost", "b3nch-Pa55"
SENDER, RECIPIENT = "bench@example.jp", "sink@example.jp"
RUN_TIMEOUT = 600  # seconds for any one command
BODY_TEXT = ("お世話になっております。\n添付ファイルをお送りします。ご確認ください。\n"
             "A line of ASCII text as well.\n")
SECTIONS = ["fetch", "imap", "parse", "send", "many", "queue", "flat"]
TARGETS = ["zefmail", "pop_parse_files", "pop_drain", "smtp_many"]


class Sample:
    def __init__(self, wall: float, cpu: float, rss_kib: int, out: str):
        self.wall, self.cpu, self.rss_kib, self.out = wall, cpu, rss_kib, out

    def field(self, key: str) -> str:
        for pair in self.out.split():
            name, _, value = pair.partition("=")
            if name == key:
                return value
        raise KeyError(key)


class CommandFailed(RuntimeError):
    pass


def run(argv: list[str], env: dict[str, str] | None = None) -> Sample:
    """Runs one command to its end: its wall time, and the CPU time and peak RSS of its process
    as /usr/bin/time reports them (the rusage that this script would get for a child of its
    own counts this script's memory, which a forked child starts with)."""
    with tempfile.NamedTemporaryFile() as usage, tempfile.TemporaryFile() as out, \
            tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.Popen([TIME, "-f", "%M %U %S", "-o", usage.name] + argv,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                                preexec_fn=servers.die_with_parent)
        # A blocking wait sees the end when it comes: wait(timeout) polls, up to 50 ms apart,
        # which rounded every time up to its next poll (a 0.12 s run took 0.17 s). A timer
        # stops a command that hangs.
        watchdog = threading.Timer(RUN_TIMEOUT, proc.kill)
        watchdog.start()
        try:
            proc.wait()
        finally:
            watchdog.cancel()
        wall = time.monotonic() - start
        out.seek(0)
        err.seek(0)
        text = out.read().decode("utf-8", "replace")
        if proc.returncode != 0:
            raise CommandFailed(f"{' '.join(argv)} exited with {proc.returncode}:\n"
                                f"{text}{err.read().decode('utf-8', 'replace')}")
        rss_kib, user, system = open(usage.name).read().split()[-3:]
        return Sample(wall, float(user) + float(system), int(rss_kib), text)


@contextmanager
def output_folder(parent: str, prefix: str, fresh_fs_bytes: int) -> Iterator[str]:
    """A new, empty folder for one run's outputs. With fresh_fs_bytes, the root of a new ext4
    of that size, loop-mounted for the run and thrown away after it; otherwise a folder
    under `parent`, kept to the end (deleting it would slow the next run's inode allocation)."""
    folder = tempfile.mkdtemp(prefix=prefix, dir=parent)
    if not fresh_fs_bytes:
        yield folder
        return
    image = folder + ".img"
    with open(image, "wb") as f:
        f.truncate(fresh_fs_bytes)
    try:
        subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True)
        # Direct I/O: the loop device writes through to the disk as a disk of its own would,
        # rather than into the page cache of the image, which would leave all the writing to
        # the flush at the end.
        device = subprocess.run(["losetup", "--direct-io=on", "--find", "--show", image],
                                check=True, capture_output=True, text=True).stdout.strip()
        try:
            subprocess.run(["mount", device, folder], check=True)
            try:
                yield folder
            finally:
                subprocess.run(["umount", folder], check=True)
        finally:
            subprocess.run(["losetup", "--detach", device], check=True)
    finally:
        os.remove(image)
        os.rmdir(folder)


def zefmail_imap_fetch(zefmail: str, port: int, user: str, out: str,
                       output: str = "--out") -> list[str]:
    """zefmail reading a mailbox's INBOX over IMAP, keeping it: into one folder per message
    (--out), or as received into a Maildir in `out` (--maildir, what curl's files hold)."""
    return [zefmail, "fetch", "--protocol", "imap", "--keep", "--quiet", output,
            out if output == "--out" else os.path.join(out, "maildir"),
            "--server", "127.0.0.1", "--port", str(port), "--user", user]


def zefmail_reads_imap(zefmail: str) -> bool:
    shown = subprocess.run([zefmail, "fetch", "--help"], capture_output=True, timeout=60)
    return b"--protocol" in shown.stdout


# --- preparation -------------------------------------------------------------------------------

def build(build_dir: str, skip: bool) -> dict[str, str]:
    if not skip:
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release", "-DZEF_BUILD_BENCH=ON",
                            "-DZEF_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build_dir, "--target"] + TARGETS, check=True,
                       stdout=subprocess.DEVNULL)
        # GMime is optional: without it the target does not exist.
        subprocess.run(["cmake", "--build", build_dir, "--target", "gmime_parse"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    tools = {
        "zefmail": os.path.join(build_dir, "tools", "zefmail"),
        "pop_parse_files": os.path.join(build_dir, "bench", "pop", "pop_parse_files"),
        "pop_drain": os.path.join(build_dir, "bench", "pop", "pop_drain"),
        "smtp_many": os.path.join(build_dir, "bench", "smtp", "smtp_many"),
        "gmime_parse": os.path.join(build_dir, "bench", "peers", "gmime_parse"),
        "curl": shutil.which("curl") or "",
    }
    missing = [name for name, path in tools.items()
               if name != "gmime_parse" and not os.access(path, os.X_OK)]
    if missing:
        raise SystemExit(f"run.py: not built or not installed: {', '.join(missing)}")
    return tools


def random_file(path: str, size: int, seed: int) -> str:
    if not os.path.exists(path) or os.path.getsize(path) != size:
        rng = random.Random(seed)
        with open(path + ".part", "wb") as f:
            for start in range(0, size, MIB):
                f.write(rng.randbytes(min(MIB, size - start)))
        os.rename(path + ".part", path)
    return path


def encoded_message(path: str, attachment: str) -> str:
    """The message curl uploads: text and the attachment, encoded by Python's email."""
    if not os.path.exists(path):
        message = MIMEMultipart("mixed")
        message["From"], message["To"] = SENDER, RECIPIENT
        message["Subject"] = "attachment"
        message.attach(MIMEText(BODY_TEXT.replace("\n", "\r\n"), "plain", "iso-2022-jp"))
        with open(attachment, "rb") as f:
            part = MIMEApplication(f.read(), "octet-stream")
        part.add_header("Content-Disposition", "attachment", filename="attachment.bin")
        message.attach(part)
        with open(path + ".part", "wb") as f:
            f.write(message.as_bytes(policy=policy.SMTP))
        os.rename(path + ".part", path)
    return path


def big_message(path: str, size: int) -> str:
    """A message of about `size` bytes: one base64 attachment, written line by line."""
    if not os.path.exists(path):
        rng = random.Random(size)
        head = ("From: bench@example.jp\r\nTo: sink@example.jp\r\nSubject: big\r\n"
                "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                "--b\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nbig\r\n"
                "--b\r\nContent-Type: application/octet-stream\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\n")
        lines = max(1, size // 78)
        with open(path + ".part", "wb") as f:
            f.write(head.encode())
            for start in range(0, lines, 10000):
                block = rng.randbytes(57 * min(10000, lines - start))
                f.write(base64.encodebytes(block).replace(b"\n", b"\r\n"))
            f.write(b"--b--\r\n")
        os.rename(path + ".part", path)
    return path


def corpus(cache: str, messages: int, megabytes: float) -> list[str]:
    folder = os.path.join(cache, f"corpus-{messages}-{megabytes:g}")
    if not os.path.exists(os.path.join(folder, ".done")):
        shutil.rmtree(folder, ignore_errors=True)
        subprocess.run([PYTHON, os.path.join(HERE, "make_corpus.py"), folder, "--messages",
                        str(messages), "--megabytes", str(megabytes)], check=True)
        open(os.path.join(folder, ".done"), "w").close()
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".eml"))


def start_sink(workdir: str) -> tuple[servers.Process, int]:
    folder = os.path.join(workdir, "sink")
    os.makedirs(folder)
    port_file = os.path.join(folder, "port")
    process = servers.Process("sink", [PYTHON, os.path.join(ROOT, "bench", "smtp", "sink.py"),
                                       port_file], os.path.join(folder, "sink.log"))
    deadline = time.monotonic() + servers.START_TIMEOUT
    while time.monotonic() < deadline and process.alive():
        if os.path.exists(port_file) and os.path.getsize(port_file) > 0:
            port = int(open(port_file).read())
            if servers.read_greeting(port, deadline).startswith(b"220"):
                return process, port
        time.sleep(0.05)
    process.stop()
    raise servers.ServerError("SMTP sink did not start:\n" + process.log_tail())


# --- the sections ------------------------------------------------------------------------------

class Bench:
    def __init__(self, args, tools, files, cache, dovecot, smtp_port, sink_port):
        self.args, self.tools, self.files, self.cache = args, tools, files, cache
        self.dovecot, self.pop_port, self.imap_port = dovecot, dovecot.port, dovecot.imap_port
        self.smtp_port, self.sink_port = smtp_port, sink_port
        self.unavailable: dict[tuple[str, str], str] = {}
        self.zefmail_reads_imap = zefmail_reads_imap(tools["zefmail"])
        self.corpus_bytes = sum(os.path.getsize(f) for f in files)
        self.env = dict(os.environ, ZEFMAIL_PASSWORD=POP3_PASS)
        self.samples: dict[tuple[str, str], list[Sample]] = {}
        self.attachment = random_file(os.path.join(cache, "attachment-20MiB.bin"), 20 * MIB, 20)
        self.encoded = encoded_message(os.path.join(cache, "attachment-20MiB.eml"),
                                       self.attachment)
        self.body = os.path.join(cache, "body.txt")
        with open(self.body, "w", encoding="utf-8") as f:
            f.write(BODY_TEXT)

    def output_folder(self, prefix: str):
        # Room for the mailbox written out twice over (--out writes each part decoded), and
        # the inodes of ext4's default ratio.
        size = 3 * self.corpus_bytes + 256 * MIB if self.args.fresh_fs else 0
        return output_folder(self.outputs, prefix, size)

    def record(self, section: str, tool: str, sample: Sample) -> None:
        self.samples.setdefault((section, tool), []).append(sample)

    def fetch_commands(self, mailbox: str) -> dict[str, list[str]]:
        common = ["--server", "127.0.0.1", "--port", str(self.pop_port), "--user", mailbox]
        count = len(self.files)
        return {
            "zefmail fetch --keep": [self.tools["zefmail"], "fetch", "--keep", "--quiet"] + common,
            "curl pop3:// RETR": [self.tools["curl"], "-s", "-u", f"{mailbox}:{POP3_PASS}",
                                  f"pop3://127.0.0.1:{self.pop_port}/[1-{count}]"],
            "Python poplib+email": [PYTHON, os.path.join(HERE, "peers.py"), "pop-fetch",
                                    str(self.pop_port), mailbox, POP3_PASS],
            "server pace (no parsing)": [self.tools["pop_drain"], str(self.pop_port), mailbox],
        }

    def fetch(self) -> None:
        for tool, argv in self.fetch_commands("bench").items():
            os.sync()
            self.record("fetch", tool, run(argv, self.env))
        # The same with every part written to disk, to show what --out costs: kept, and fetched
        # for good from a copy of the mailbox (deleted, so made durable before QUIT).
        for tool, mailbox, keep, where in (
                ("zefmail fetch --keep --out", "bench", ["--keep"], "--out"),
                ("zefmail fetch --out (deleting)", "bench-del", [], "--out"),
                ("zefmail fetch --keep --maildir", "bench", ["--keep"], "--maildir"),
                ("zefmail fetch --maildir (deleting)", "bench-del", [], "--maildir")):
            # Each run starts as a cron run would: its output new and the disk clean. The bench's
            # own writes (the refilled mailbox) are flushed first, or the flush before QUIT would
            # pay for them; outputs stay until the end, for a file system that has just deleted
            # thousands of files allocates new ones slowly for a while (ext4).
            self.dovecot.refill("bench-del", self.files)
            # Dovecot indexes a mailbox on its first reading (as it does on delivery in real
            # use): a LIST outside the timed run, or the run would pay for it.
            run(self.fetch_commands("bench-del")["curl pop3:// RETR"][:4] +
                [f"pop3://127.0.0.1:{self.pop_port}/"])
            with self.output_folder("out-") as out:
                os.sync()
                argv = [self.tools["zefmail"], "fetch", "--quiet", *keep, where, out] + \
                    self.fetch_commands(mailbox)["zefmail fetch --keep"][4:]
                self.record("fetch", tool, run(argv, self.env))

    def imap_commands(self, mailbox: str) -> dict[str, Callable[[str], list[str]] | None]:
        """The IMAP readers: for a folder, the command that writes every message of the
        mailbox's INBOX into it; None for one that cannot yet."""
        count = len(self.files)
        return {
            "zefmail fetch --protocol imap": (lambda out: zefmail_imap_fetch(
                self.tools["zefmail"], self.imap_port, mailbox, out))
            if self.zefmail_reads_imap else None,
            "zefmail ... --protocol imap --maildir": (lambda out: zefmail_imap_fetch(
                self.tools["zefmail"], self.imap_port, mailbox, out, "--maildir"))
            if self.zefmail_reads_imap else None,
            # One connection: curl keeps it for every URL of the glob (same host and login).
            "curl imap:// UID FETCH": lambda out: [
                self.tools["curl"], "-s", "--user", f"{mailbox}:{POP3_PASS}",
                f"imap://127.0.0.1:{self.imap_port}/INBOX;UID=[1-{count}]",
                "-o", os.path.join(out, "#1")],
        }

    def imap_logins(self, mailbox: str) -> int:
        with open(self.dovecot.mail_log, encoding="utf-8", errors="replace") as log:
            return sum(f"imap-login: Info: Login: user=<{mailbox}>" in line for line in log)

    def imap(self) -> None:
        for tool, command in self.imap_commands("bench").items():
            if command is None:
                self.unavailable[("imap", tool)] = "zefmail fetch has no --protocol yet"
                continue
            with self.output_folder("imap-") as out:  # new, as in fetch()
                os.sync()
                logins = self.imap_logins("bench")
                sample = run(command(out), self.env)
                sample.out += f" logins={self.imap_logins('bench') - logins}"
                self.record("imap", tool, sample)
                maildir = os.path.join(out, "maildir", "new")
                written = [e for e in os.scandir(maildir if os.path.isdir(maildir) else out)
                           if not e.name.startswith(".") and e.name != "lost+found"]
            if len(written) != len(self.files):
                raise CommandFailed(f"{tool} wrote {len(written)} of {len(self.files)} messages")

    def parse(self) -> None:
        commands = {"zef parser, bytes": [self.tools["pop_parse_files"]],
                    "GMime, decoding": [self.tools["gmime_parse"]],
                    "zef parser, text parts as text": [self.tools["pop_parse_files"], "--text"],
                    "GMime, decoding + charset": [self.tools["gmime_parse"], "--text"]}
        for tool, argv in commands.items():
            if os.access(argv[0], os.X_OK):
                sample = run(argv + self.files)
                # The drivers time the parsing alone, without starting and loading.
                sample.wall, sample.cpu = float(sample.field("wall")), float(sample.field("cpu"))
                self.record("parse", tool, sample)

    def send_commands(self, attachment: str, port: int) -> dict[str, list[str]]:
        return {
            "zefmail send": [self.tools["zefmail"], "send", "--quiet", "--server", "127.0.0.1",
                             "--port", str(port), "--from", SENDER, "--to", RECIPIENT,
                             "--subject", "添付ファイル", "--body-file", self.body,
                             "--attach", attachment],
            "curl smtp:// upload": [self.tools["curl"], "-s", f"smtp://127.0.0.1:{port}",
                                    "--mail-from", SENDER, "--mail-rcpt", RECIPIENT,
                                    "-T", self.encoded],
            "Python email+smtplib": [PYTHON, os.path.join(HERE, "peers.py"), "smtp-send",
                                     str(port), attachment],
        }

    def send(self) -> None:
        for tool, argv in self.send_commands(self.attachment, self.smtp_port).items():
            self.record("send", tool, run(argv, self.env))

    def many(self) -> None:
        count = str(self.args.messages_per_batch)
        for tool, argv in {
            "smtp_many (zef)": [self.tools["smtp_many"], str(self.smtp_port), count],
            "Python smtplib": [PYTHON, os.path.join(HERE, "peers.py"), "smtp-many",
                               str(self.smtp_port), count],
        }.items():
            self.record("many", tool, run(argv, self.env))

    def queue(self) -> None:
        count = self.args.queued
        message = os.path.join(self.cache, "queued-2KB.eml")
        with open(message, "w", encoding="utf-8") as f:
            f.write(f"From: {SENDER}\nTo: {RECIPIENT}\nSubject: queued\nDate: Mon, 7 Dec 2026 "
                    "09:00:00 +0900\nMessage-ID: <q@example.jp>\n\n" + BODY_TEXT * 14)
        template = os.path.join(self.cache, f"queue-{count}")
        if not os.path.exists(os.path.join(template, ".done")):
            shutil.rmtree(template, ignore_errors=True)
            for _ in range(count):
                with open(message, "rb") as text:
                    subprocess.run([self.tools["zefmail"], "sendmail", "--queue", template, "-t"],
                                   stdin=text, check=True)
            open(os.path.join(template, ".done"), "w").close()
        folder = os.path.join(self.outputs, "queue")
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(template, folder)
        port = str(self.smtp_port)
        self.record("queue", "zefmail flush", run(
            [self.tools["zefmail"], "flush", "--server", "127.0.0.1", "--port", port, "--quiet",
             folder], self.env))
        peers = os.path.join(HERE, "peers.py")
        self.record("queue", "smtplib, one connection", run(
            [PYTHON, peers, "smtp-session", port, str(count), message], self.env))
        self.record("queue", "smtplib, a connection each", run(
            [PYTHON, peers, "smtp-many", port, str(count), message], self.env))

    def flat(self, small: int, large: int) -> list[str]:
        rows = []
        fetch = {}
        for name in ("small", "large"):
            argv = self.fetch_commands(name)["zefmail fetch --keep"]
            fetch[name] = run(argv, self.env).rss_kib
        rows.append(("zefmail fetch", small, large, fetch["small"], fetch["large"]))
        send = {}
        for name, size in (("small", small), ("large", large)):
            attachment = random_file(os.path.join(self.cache, f"flat-{size}.bin"), size, size)
            argv = self.send_commands(attachment, self.sink_port)["zefmail send"]
            send[name] = run(argv, self.env).rss_kib
        rows.append(("zefmail send", small, large, send["small"], send["large"]))
        return rows

    # --- the table ---

    def rate(self, section: str, sample: Sample) -> float:
        if section == "imap":
            return len(self.files) / sample.wall
        if section in ("fetch", "parse"):
            return self.corpus_bytes / MB / sample.wall
        if section == "send":
            return os.path.getsize(self.attachment) / MB / sample.wall
        if section == "queue":
            return self.args.queued / sample.wall
        return self.args.messages_per_batch / sample.wall

    def table(self) -> str:
        units = {"fetch": "MB/s", "imap": "msg/s", "parse": "MB/s", "send": "MB/s",
                 "many": "msg/s", "queue": "msg/s"}
        lines = [f"{'section':<6} {'tool':<32} {'median s':>9} {'rate':>12} {'zef/peer':>9} "
                 f"{'CPU s':>7} {'peak RSS':>10}"]
        for section in ("fetch", "imap", "parse", "send", "many", "queue"):
            tools = [t for (s, t) in self.samples if s == section]
            if not tools:
                continue
            medians = {t: statistics.median(x.wall for x in self.samples[(section, t)])
                       for t in tools}
            zef = {"fetch": "zefmail fetch --keep", "send": "zefmail send",
                   "imap": "zefmail fetch --protocol imap",
                   "many": "smtp_many (zef)", "queue": "zefmail flush"}.get(section)
            for tool in tools:
                samples = self.samples[(section, tool)]
                wall = medians[tool]
                rate = self.rate(section, Sample(wall, 0, 0, ""))
                own = zef or ("zef parser, text parts as text" if "charset" in tool or
                              "as text" in tool else "zef parser, bytes")
                ratio = f"{medians[tool] / medians[own]:.2f}x" if own in medians and \
                    own != tool else ""
                cpu = statistics.median(x.cpu for x in samples)
                rss = max(x.rss_kib for x in samples) / 1024
                lines.append(f"{section:<6} {tool:<32} {wall:>9.3f} {rate:>7.1f} "
                             f"{units[section]:<5}{ratio:>8} {cpu:>7.2f} {rss:>6.1f} MiB")
            lines += [f"{section:<6} {tool:<32} not run: {why}"
                      for (s, tool), why in self.unavailable.items() if s == section]
        logins = [f"{tool} {'/'.join(sorted({x.field('logins') for x in samples}))}"
                  for (section, tool), samples in self.samples.items() if section == "imap"]
        lines += ["imap: IMAP logins per run: " + ", ".join(logins)] if logins else []
        lines += [
            "rate: MB (10^6 bytes) per second of the mailbox (fetch, parse) or of the attachment",
            "(send), messages per second (imap, many, queue);",
            "zef/peer: the peer's median time over zef's;",
            "CPU s: user + system of the client process (10 ms steps; parse: the parsing alone);",
            "peak RSS: of the client process.",
        ]
        return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--no-build", action="store_true", help="use the build folder as it is")
    parser.add_argument("--quick", action="store_true", help="a 10 MB mailbox, 3 rounds")
    parser.add_argument("--reps", type=int, help="rounds (default 5, --quick 3)")
    parser.add_argument("--messages", type=int, help="messages in the mailbox (default 300)")
    parser.add_argument("--megabytes", type=float, help="size of the mailbox (default 106)")
    parser.add_argument("--batch", dest="messages_per_batch", type=int, default=200,
                        help="messages of the many section")
    parser.add_argument("--queued", type=int, default=500, help="messages of the queue section")
    parser.add_argument("--flat-mb", type=int, nargs=2, default=[1, 200], metavar=("SMALL", "LARGE"),
                        help="message sizes of the flat section in MB")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help="comma list of sections: " + ",".join(SECTIONS))
    parser.add_argument("--smtp", choices=["sink", "aiosmtpd"], default="sink")
    parser.add_argument("--keep", action="store_true", help="keep the server scratch folder")
    parser.add_argument("--outputs", help="folder for what fetch --out and --maildir write")
    parser.add_argument("--fresh-fs", action="store_true",
                        help="a new loop-mounted ext4 for every run that writes (root only)")
    args = parser.parse_args()
    if args.fresh_fs and os.geteuid() != 0:
        parser.error("--fresh-fs mounts file systems: run as root")
    reps = args.reps or (3 if args.quick else 5)
    messages = args.messages or (30 if args.quick else 300)
    megabytes = args.megabytes or (10 if args.quick else 106)
    sections = [s for s in args.only.split(",") if s]
    unknown = set(sections) - set(SECTIONS)
    if unknown:
        parser.error(f"unknown sections: {', '.join(sorted(unknown))}")

    build_dir = os.path.abspath(args.build)
    tools = build(build_dir, args.no_build)
    cache = os.path.join(build_dir, "bench-e2e")
    os.makedirs(cache, exist_ok=True)
    files = corpus(cache, messages, megabytes)
    small, large = (size * MB for size in args.flat_mb)
    flat_files = {}
    if "flat" in sections:
        flat_files = {"small": [big_message(os.path.join(cache, f"flat-{small}.eml"), small)],
                      "large": [big_message(os.path.join(cache, f"flat-{large}.eml"), large)]}

    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    workdir = tempfile.mkdtemp(prefix="zef-bench-")
    started, bench = [], None
    try:
        dovecot = servers.DovecotServer(workdir, {"bench": files, "bench-del": files,
                                                  **flat_files}, POP3_PASS)
        started.append(dovecot)
        sink, sink_port = start_sink(workdir)
        started.append(sink)
        smtp_port = sink_port
        if args.smtp == "aiosmtpd":
            smtp = servers.SmtpServer(workdir, SMTP_USER, SMTP_PASS)
            started.append(smtp)
            smtp_port = smtp.port
        bench = Bench(args, tools, files, cache, dovecot, smtp_port, sink_port)
        bench.outputs = tempfile.mkdtemp(prefix="zef-bench-outputs-", dir=args.outputs or workdir)
        print(f"mailbox: {len(files)} messages, {bench.corpus_bytes / MB:.1f} MB; {reps} rounds; "
              f"SMTP server: {args.smtp}; load average {os.getloadavg()[0]:.1f}", flush=True)
        # Dovecot indexes the mailbox on first reading: a plain copy first, outside the rounds.
        run(bench.fetch_commands("bench")["curl pop3:// RETR"])
        if "imap" in sections:  # and what IMAP adds to the index
            run(bench.imap_commands("bench")["curl imap:// UID FETCH"](
                tempfile.mkdtemp(prefix="imap-", dir=bench.outputs)))
        for rep in range(reps):
            for section in sections:
                if section != "flat":
                    getattr(bench, section)()
            print(f"round {rep + 1} of {reps} done", file=sys.stderr, flush=True)
        print(bench.table())
        if "flat" in sections:
            print(f"\n{'flat memory':<14} {'small':>8} {'large':>8} {'RSS small':>10} "
                  f"{'RSS large':>10} {'difference':>10}")
            for tool, s, l, rss_s, rss_l in bench.flat(small, large):
                print(f"{tool:<14} {s / MB:>5.0f} MB {l / MB:>5.0f} MB {rss_s / 1024:>6.1f} MiB "
                      f"{rss_l / 1024:>6.1f} MiB {(rss_l - rss_s) / 1024:>6.1f} MiB")
        print(f"load average at the end {os.getloadavg()[0]:.1f}")
        return 0
    except (CommandFailed, servers.ServerError) as e:
        servers.warn(f"run.py: {e}")
        return 1
    finally:
        for server in reversed(started):
            server.stop()
        if args.keep:
            servers.warn(f"run.py: scratch folder kept: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)
        if args.outputs and bench is not None:
            shutil.rmtree(bench.outputs, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
