"""Start and stop the real servers of the integration tests, on loopback, in a scratch folder.

Every wait here is bounded: a server that does not come up in time is an error, and stopping
ends the server's whole process group after a short grace period.
"""

import ctypes
import grp
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import time

PYTHON = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_TEST_CERTS = os.path.join(HERE, "..", "..", "support", "make_test_certs.sh")
# The server certificates of make_test_certs.sh that TLS servers are started with, by the name
# the tests know them by.
TLS_CERTIFICATES = {"good": "server.pem", "expired": "server-expired.pem",
                    "wronghost": "server-wronghost.pem", "unknownca": "server-unknownca.pem"}
START_TIMEOUT = 15.0
STOP_GRACE = 5.0


class ServerError(RuntimeError):
    pass


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_greeting(port: int, deadline: float) -> bytes:
    """The first line a server sends, or b"" when it does not answer before the deadline."""
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                s.settimeout(max(0.1, deadline - time.monotonic()))
                return s.makefile("rb").readline()
        except OSError:
            time.sleep(0.05)
    return b""


def die_with_parent(signum: int = signal.SIGTERM) -> None:
    """Runs in a child before exec: it gets signum when the harness dies, even by SIGKILL, so
    nothing outlives a killed test run (Linux prctl PR_SET_PDEATHSIG)."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signum)


class Process:
    """A server process in its own process group, with its output in a log file."""

    def __init__(self, name: str, argv: list[str], log_path: str):
        self.name = name
        self.log_path = log_path
        self.log = open(log_path, "ab")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, start_new_session=True,
                                     preexec_fn=die_with_parent)

    def alive(self) -> bool:
        return self.proc.poll() is None

    def begin_stop(self) -> None:
        """Asks the server to stop without waiting, so that several stop at the same time."""
        if self.alive():
            self.proc.send_signal(signal.SIGTERM)

    def stop(self) -> None:
        if self.alive():
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=STOP_GRACE)
            except subprocess.TimeoutExpired:
                pass
        # The group id is the leader's pid; children it left behind go with it.
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait(timeout=STOP_GRACE)
        self.log.close()

    def log_tail(self, lines: int = 30) -> str:
        try:
            with open(self.log_path, "rb") as f:
                return b"".join(f.readlines()[-lines:]).decode("utf-8", "replace")
        except OSError:
            return ""


def make_test_certs(folder: str) -> str:
    """The CA and server certificates of tests/support/make_test_certs.sh, made in `folder`."""
    result = subprocess.run(["sh", MAKE_TEST_CERTS, folder], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, timeout=START_TIMEOUT)
    if result.returncode != 0:
        raise ServerError("make_test_certs.sh failed:\n" + result.stderr.decode(errors="replace"))
    return folder


class SmtpServer:
    """harness/smtp_server.py: AUTH checked against one account, messages saved to a spool.
    With tls_dir, also its TLS listeners; tls_ports holds their ports then."""

    def __init__(self, workdir: str, user: str, password: str, deliver_root: str | None = None,
                 deliver_owner: tuple[int, int] | None = None, tls_dir: str | None = None):
        self.dir = os.path.join(workdir, "smtp")
        self.spool = os.path.join(self.dir, "spool")
        os.makedirs(self.spool)
        port_file = os.path.join(self.dir, "port")
        argv = [PYTHON, os.path.join(HERE, "smtp_server.py"), "--spool", self.spool,
                "--port-file", port_file, "--user", user, "--password", password]
        if deliver_root:
            argv += ["--deliver-root", deliver_root]
        if deliver_owner:
            argv += ["--deliver-owner", f"{deliver_owner[0]}:{deliver_owner[1]}"]
        tls_ports_file = os.path.join(self.dir, "tls-ports.json")
        if tls_dir:
            argv += ["--tls-dir", tls_dir, "--tls-ports-file", tls_ports_file]
        self.process = Process("smtp", argv, os.path.join(self.dir, "server.log"))
        self.port = self._wait_for_port(port_file)
        self.tls_ports = None
        if tls_dir:
            with open(tls_ports_file) as f:
                self.tls_ports = json.load(f)

    def _wait_for_port(self, port_file: str) -> int:
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if not self.process.alive():
                raise ServerError("SMTP server exited at start:\n" + self.process.log_tail())
            if os.path.exists(port_file):
                port = int(open(port_file).read())
                if read_greeting(port, deadline).startswith(b"220"):
                    return port
            time.sleep(0.05)
        raise ServerError("SMTP server did not start in time:\n" + self.process.log_tail())

    def log_tail(self) -> str:
        return self.process.log_tail()

    def begin_stop(self) -> None:
        self.process.begin_stop()

    def stop(self) -> None:
        self.process.stop()


class MailAccounts:
    """Who owns the mailboxes: the current user, or an unprivileged one when running as root,
    since Dovecot refuses mail access as root."""

    def __init__(self):
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            self.uid, self.gid = nobody.pw_uid, nobody.pw_gid
            # Dovecot's own users from its package run the helper and login processes.
            self.internal_user, self.login_user = "dovecot", "dovenull"
            self.internal_group = "dovecot"
        else:
            self.uid, self.gid = os.getuid(), os.getgid()
            me = pwd.getpwuid(self.uid).pw_name
            self.internal_user = self.login_user = me
            self.internal_group = grp.getgrgid(self.gid).gr_name

    @property
    def root(self) -> bool:
        return os.geteuid() == 0


class DovecotServer:
    """Dovecot's POP3 service in the foreground with a generated configuration: plaintext
    passwords in a passwd-file (so APOP works), one maildir per user. Without `tls` no TLS.
    With `tls` (a certificate file and its key) TLS is required: `port` offers STLS and
    `tls_port` implicit TLS, and no login is accepted before the handshake. Dovecot takes a
    loopback connection for a secure one, so the log shows how each login came: its "Login:"
    lines end in "TLS" for a protected one."""

    def __init__(self, workdir: str, mailboxes: dict[str, list[str]], password: str,
                 name: str = "dovecot", tls: tuple[str, str] | None = None):
        """mailboxes: user name -> message files to put into that user's maildir, in order."""
        self.tls = tls
        self.tls_port = None
        self.dir = os.path.join(workdir, name)
        self.mail_root = os.path.join(self.dir, "mail")
        self.accounts = MailAccounts()
        for sub in ("base", "state", "log"):
            os.makedirs(os.path.join(self.dir, sub))
        # The mail processes run as another user when we are root: let them reach their maildirs.
        os.chmod(workdir, 0o711)
        os.chmod(self.dir, 0o711)
        os.makedirs(self.mail_root)
        os.chmod(self.mail_root, 0o711)
        users = []
        for user, files in mailboxes.items():
            self._fill_maildir(user, files)
            home = os.path.join(self.mail_root, user)
            users.append(f"{user}:{{PLAIN}}{password}:{self.accounts.uid}:{self.accounts.gid}"
                         f"::{home}::\n")
        self.users_file = os.path.join(self.dir, "users")
        with open(self.users_file, "w") as f:
            f.writelines(users)
        self.port = self._start()

    def maildir(self, user: str) -> str:
        return os.path.join(self.mail_root, user, "Maildir")

    def _fill_maildir(self, user: str, files: list[str]) -> None:
        maildir = self.maildir(user)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(maildir, sub))
        # File names sort in corpus order; the UIDL (%f) is the name up to the flags.
        for seq, path in enumerate(files, start=1):
            stem = os.path.splitext(os.path.basename(path))[0]
            name = f"{1700000000 + seq}.M{seq}.{stem}:2,S"
            shutil.copyfile(path, os.path.join(maildir, "cur", name))
        for dirpath, _, filenames in os.walk(os.path.join(self.mail_root, user)):
            os.chown(dirpath, self.accounts.uid, self.accounts.gid)
            for name in filenames:
                os.chown(os.path.join(dirpath, name), self.accounts.uid, self.accounts.gid)

    def _config(self, port: int, tls_port: int) -> str:
        a = self.accounts
        if self.tls:
            security = ["ssl = required", f"ssl_cert = <{self.tls[0]}",
                        f"ssl_key = <{self.tls[1]}", "disable_plaintext_auth = yes"]
        else:
            security = ["ssl = no", "disable_plaintext_auth = no"]
        lines = [
            "protocols = pop3",
            "listen = 127.0.0.1",
            f"base_dir = {self.dir}/base",
            f"state_dir = {self.dir}/state",
            f"log_path = {self.dir}/log/dovecot.log",
            f"info_log_path = {self.dir}/log/dovecot.log",
            *security,
            "auth_mechanisms = plain apop",
            "auth_failure_delay = 0",  # refused logins answer at once
            f"default_internal_user = {a.internal_user}",
            f"default_login_user = {a.login_user}",
            f"default_internal_group = {a.internal_group}",
            f"first_valid_uid = {1 if a.root else a.uid}",
            f"first_valid_gid = {1 if a.root else a.gid}",
            "mail_location = maildir:~/Maildir",
            "pop3_uidl_format = %f",
            f"login_greeting = {self.greeting}",
            "passdb {",
            "  driver = passwd-file",
            f"  args = scheme=PLAIN {self.users_file}",
            "}",
            "userdb {",
            "  driver = passwd-file",
            f"  args = {self.users_file}",
            "}",
            "service pop3-login {",
            "  inet_listener pop3 {",
            "    address = 127.0.0.1",
            f"    port = {port}",
            "  }",
        ]
        if self.tls:
            lines += ["  inet_listener pop3s {", "    address = 127.0.0.1", f"    port = {tls_port}",
                      "    ssl = yes", "  }"]
        if not a.root:
            lines.append("  chroot =")  # chroot needs root
        lines += ["}", "service imap-login {", "  inet_listener imap {", "    port = 0", "  }",
                  "  inet_listener imaps {", "    port = 0", "  }", "}"]
        # No growing penalty delay for repeated failed logins: the tests fail logins on purpose.
        lines += ["service anvil {", "  unix_listener anvil-auth-penalty {", "    mode = 0", "  }"]
        lines += ["}"] if a.root else ["  chroot =", "}"]
        if a.root:
            lines += ["service auth {", "  user = root", "}"]  # reads the private users file
        return "\n".join(lines) + "\n"

    def _start(self) -> int:
        # A port picked here may be taken by someone else before Dovecot binds it: try again.
        # The greeting names this instance, so another server on that port is not taken for it.
        self.greeting = f"zef-test-{os.getpid()}-{time.monotonic_ns()}"
        for _ in range(3):
            port = free_port()
            tls_port = free_port() if self.tls else 0
            config = os.path.join(self.dir, "dovecot.conf")
            with open(config, "w") as f:
                f.write(self._config(port, tls_port))
            self.process = Process("dovecot", ["dovecot", "-F", "-c", config],
                                   os.path.join(self.dir, "log", "master.log"))
            deadline = time.monotonic() + START_TIMEOUT
            while time.monotonic() < deadline and self.process.alive():
                greeting = read_greeting(port, min(deadline, time.monotonic() + 1))
                if greeting.startswith(b"+OK") and self.greeting.encode() in greeting:
                    self.tls_port = tls_port or None
                    return port
            self.process.stop()
        raise ServerError("Dovecot did not start:\n" + self.log_tail())

    def log_tail(self) -> str:
        tail = self.process.log_tail()
        try:
            with open(os.path.join(self.dir, "log", "dovecot.log"), "rb") as f:
                tail += b"".join(f.readlines()[-30:]).decode("utf-8", "replace")
        except OSError:
            pass
        return tail

    @property
    def log_path(self) -> str:
        return os.path.join(self.dir, "log", "dovecot.log")

    def begin_stop(self) -> None:
        self.process.begin_stop()

    def stop(self) -> None:
        self.process.stop()


def warn(text: str) -> None:
    print(text, file=sys.stderr, flush=True)
