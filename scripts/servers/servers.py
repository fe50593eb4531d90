"""Real mail servers on loopback in a scratch folder: aiosmtpd (smtp_server.py) and Dovecot's POP3.

Every wait is bounded: a server that does not come up in time is an error, and stopping ends
the server's whole process group after a short grace period.
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
# Server certificate files by the name tests know them by; all share server.key, and ca.pem
# signs all but unknownca.
TLS_CERTIFICATES = {"good": "server.pem", "expired": "server-expired.pem",
                    "wronghost": "server-wronghost.pem", "unknownca": "server-unknownca.pem"}
START_TIMEOUT = 15.0
STOP_GRACE = 5.0


class ServerError(RuntimeError):
    pass


def warn(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def free_port() -> int:
    with socket.socket() as s:
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
    """Run in a child before exec: it gets signum when its parent dies, even by SIGKILL
    (prctl PR_SET_PDEATHSIG), so nothing outlives a killed run."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signum)


class Process:
    """A server in its own process group, its output in a log file."""

    def __init__(self, name: str, argv: list[str], log_path: str):
        self.name, self.log_path = name, log_path
        self.log = open(log_path, "ab")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, start_new_session=True,
                                     preexec_fn=die_with_parent)

    def alive(self) -> bool:
        return self.proc.poll() is None

    def begin_stop(self) -> None:  # without waiting, so that several stop at the same time
        if self.alive():
            self.proc.send_signal(signal.SIGTERM)

    def stop(self) -> None:
        self.begin_stop()
        try:
            self.proc.wait(timeout=STOP_GRACE)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)  # and whatever it left behind
        except ProcessLookupError:
            pass
        self.proc.wait(timeout=STOP_GRACE)
        self.log.close()

    def log_tail(self, path: str | None = None) -> str:
        try:
            with open(path or self.log_path, "rb") as f:
                return b"".join(f.readlines()[-30:]).decode("utf-8", "replace")
        except OSError:
            return ""


class SmtpServer(Process):
    """smtp_server.py with AUTH checked against one account and a spool of what it accepts.
    With tls_dir (the certificates of TLS_CERTIFICATES) also its TLS listeners: tls_ports."""

    def __init__(self, workdir: str, user: str, password: str, deliver_root: str | None = None,
                 deliver_owner: tuple[int, int] | None = None, tls_dir: str | None = None):
        self.dir = os.path.join(workdir, "smtp")
        self.spool = os.path.join(self.dir, "spool")
        os.makedirs(self.spool)
        ports_file = os.path.join(self.dir, "ports.json")
        argv = [PYTHON, os.path.join(HERE, "smtp_server.py"), "--spool", self.spool,
                "--ports-file", ports_file, "--user", user, "--password", password]
        if deliver_root:
            argv += ["--deliver-root", deliver_root, "--deliver-owner", "%d:%d" % deliver_owner]
        if tls_dir:
            argv += ["--tls-dir", tls_dir]
        super().__init__("smtp", argv, os.path.join(self.dir, "server.log"))
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline and self.alive():
            if os.path.exists(ports_file):
                ports = json.load(open(ports_file))
                self.port, self.tls_ports = ports["plain"], ports.get("tls")
                if read_greeting(self.port, deadline).startswith(b"220"):
                    return
            time.sleep(0.05)
        self.stop()
        raise ServerError("SMTP server did not start:\n" + self.log_tail())


class DovecotServer(Process):
    """Dovecot's POP3 service in the foreground with a generated configuration: plaintext
    passwords (so APOP works), one maildir per user holding the given files in order. With
    `tls` (certificate, key) TLS is required: `port` offers STLS, `tls_port` implicit TLS.
    Run as root, the mailboxes belong to nobody (Dovecot refuses mail access as root)."""

    def __init__(self, workdir: str, mailboxes: dict[str, list[str]], password: str,
                 name: str = "dovecot", tls: tuple[str, str] | None = None):
        self.dir = os.path.join(workdir, name)
        self.mail_root = os.path.join(self.dir, "mail")
        self.mail_log = os.path.join(self.dir, "dovecot.log")
        self.root = os.geteuid() == 0
        if self.root:
            nobody = pwd.getpwnam("nobody")
            self.uid, self.gid = nobody.pw_uid, nobody.pw_gid
            internal, login, group = "dovecot", "dovenull", "dovecot"
        else:
            self.uid, self.gid = os.getuid(), os.getgid()
            internal = login = pwd.getpwuid(self.uid).pw_name
            group = grp.getgrgid(self.gid).gr_name
        for sub in ("base", "state", "mail"):
            os.makedirs(os.path.join(self.dir, sub))
        for folder in (workdir, self.dir, self.mail_root):
            os.chmod(folder, 0o711)  # the mail processes may run as another user
        users = os.path.join(self.dir, "users")
        with open(users, "w") as f:
            for user, files in mailboxes.items():
                self._fill_maildir(user, files)
                home = os.path.join(self.mail_root, user)
                f.write(f"{user}:{{PLAIN}}{password}:{self.uid}:{self.gid}::{home}::\n")
        if tls:
            security = f"ssl = required\nssl_cert = <{tls[0]}\nssl_key = <{tls[1]}\n" \
                       "disable_plaintext_auth = yes"
        else:
            security = "ssl = no\ndisable_plaintext_auth = no"
        no_chroot = "" if self.root else "chroot ="
        # The greeting names this instance, so another server on the port is not taken for it.
        self.greeting = f"zef-test-{os.getpid()}-{time.monotonic_ns()}"
        for _ in range(3):  # a port picked here may be taken before Dovecot binds it
            self.port, self.tls_port = free_port(), free_port() if tls else None
            implicit = (f"inet_listener pop3s {{\n address = 127.0.0.1\n port = {self.tls_port}\n"
                        " ssl = yes\n }") if tls else ""
            config = os.path.join(self.dir, "dovecot.conf")
            with open(config, "w") as f:
                f.write(f"""protocols = pop3
listen = 127.0.0.1
base_dir = {self.dir}/base
state_dir = {self.dir}/state
log_path = {self.mail_log}
{security}
auth_mechanisms = plain apop
auth_failure_delay = 0
default_internal_user = {internal}
default_login_user = {login}
default_internal_group = {group}
first_valid_uid = {1 if self.root else self.uid}
first_valid_gid = {1 if self.root else self.gid}
mail_location = maildir:~/Maildir
pop3_uidl_format = %f
login_greeting = {self.greeting}
passdb {{
 driver = passwd-file
 args = scheme=PLAIN {users}
}}
userdb {{
 driver = passwd-file
 args = {users}
}}
service pop3-login {{
 inet_listener pop3 {{
  address = 127.0.0.1
  port = {self.port}
 }}
 {implicit}
 {no_chroot}
}}
service anvil {{
 unix_listener anvil-auth-penalty {{
  mode = 0
 }}
 {no_chroot}
}}
""" + ("service auth {\n user = root\n}\n" if self.root else ""))
            super().__init__(name, ["dovecot", "-F", "-c", config],
                             os.path.join(self.dir, "master.log"))
            deadline = time.monotonic() + START_TIMEOUT
            while time.monotonic() < deadline and self.alive():
                greeting = read_greeting(self.port, min(deadline, time.monotonic() + 1))
                if greeting.startswith(b"+OK") and self.greeting.encode() in greeting:
                    return
            self.stop()
        raise ServerError("Dovecot did not start:\n" + self.log_tail())

    def refill(self, user: str, files: list[str]) -> None:
        """Puts the files back into a mailbox that a fetch has emptied (same names, same UIDLs)."""
        maildir = os.path.join(self.mail_root, user, "Maildir")
        for sub in ("cur", "new"):
            for name in os.listdir(os.path.join(maildir, sub)):
                os.remove(os.path.join(maildir, sub, name))
        self._fill_maildir(user, files)

    def _fill_maildir(self, user: str, files: list[str]) -> None:
        maildir = os.path.join(self.mail_root, user, "Maildir")
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(maildir, sub), exist_ok=True)
        # Names sort in the given order; the UIDL (%f) is the name up to the flags.
        for seq, path in enumerate(files, start=1):
            stem = os.path.splitext(os.path.basename(path))[0]
            name = f"{1700000000 + seq}.M{seq}.{stem}:2,S"
            shutil.copyfile(path, os.path.join(maildir, "cur", name))
        for folder, _, names in os.walk(os.path.join(self.mail_root, user)):
            for path in [folder] + [os.path.join(folder, n) for n in names]:
                os.chown(path, self.uid, self.gid)

    def log_tail(self, path: str | None = None) -> str:
        return super().log_tail() + super().log_tail(self.mail_log)
