"""Real mail servers on loopback in a scratch folder: aiosmtpd (smtp_server.py) and Dovecot's POP3
and IMAP.

Every wait is bounded: a server that does not come up in time is an error, and stopping ends
the server's whole process group after a short grace period.
"""

import base64
import ctypes
import grp
import hashlib
import hmac
import json
import os
import pwd
import secrets
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


def imap_folder_name(name: str) -> str:
    """A folder name as IMAP and Dovecot's Maildir++ folders spell it: modified UTF-7 (printable
    ASCII as it is, "&" as "&-", everything else as base64 of UTF-16 between "&" and "-")."""
    out, pending = [], []

    def flush() -> None:
        if pending:
            encoded = base64.b64encode("".join(pending).encode("utf-16-be")).decode()
            out.append("&" + encoded.rstrip("=").replace("/", ",") + "-")
            pending.clear()
    for char in name:
        if " " <= char <= "~":
            flush()
            out.append("&-" if char == "&" else char)
        else:
            pending.append(char)
    flush()
    return "".join(out)


def mint_token(key: bytes, user: str, lifetime: int) -> str:
    """A JWT (HS256, no key id) naming `user`, valid for `lifetime` seconds from now (negative:
    expired that long ago), as Dovecot's oauth2 passdb validates it locally."""
    def part(data) -> str:
        raw = data if isinstance(data, bytes) else json.dumps(data, separators=(",", ":")).encode()
        return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()
    now = int(time.time())
    claims = {"sub": user, "iat": now - 3600 if lifetime < 0 else now, "exp": now + lifetime}
    signed = part({"alg": "HS256", "typ": "JWT"}) + "." + part(claims)
    return signed + "." + part(hmac.new(key, signed.encode(), hashlib.sha256).digest())


def mail_owner() -> tuple[int, int]:
    """Who Dovecot's mail processes run as: nobody when run as root (Dovecot refuses mail
    access as root), else the caller."""
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")
        return nobody.pw_uid, nobody.pw_gid
    return os.getuid(), os.getgid()


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
                self.smtputf8_port = ports["smtputf8"]
                if read_greeting(self.port, deadline).startswith(b"220"):
                    return
            time.sleep(0.05)
        self.stop()
        raise ServerError("SMTP server did not start:\n" + self.log_tail())


class DovecotServer(Process):
    """Dovecot's POP3 and IMAP services in the foreground with a generated configuration:
    plaintext passwords (so APOP and SCRAM-SHA-256 work), one maildir per user holding the given
    files in order, which POP3 (`port`) and IMAP (`imap_port`, its INBOX) both serve, CAPA and
    SASL (PLAIN, SCRAM-SHA-256, XOAUTH2, OAUTHBEARER). `folders` puts more files into folders
    beside a user's INBOX ({user: {folder: files}}, any Unicode name), for IMAP. Tokens are JWTs
    checked against `token_key` (mint_token); users in `token_only` have no password at all,
    users in `locked` get [IN-USE] for a second POP3 session. With `relay_port` also the
    submission service (`submission_port`), relaying to that SMTP port and taking the same
    logins. With `tls` (certificate, key) TLS is required: `port` offers STLS and `imap_port`
    STARTTLS, `tls_port` and `imaps_port` are implicit TLS. Run as root, the mailboxes belong
    to nobody (Dovecot refuses mail access as root)."""

    def __init__(self, workdir: str, mailboxes: dict[str, list[str]], password: str,
                 name: str = "dovecot", tls: tuple[str, str] | None = None,
                 token_key: bytes | None = None, token_only: frozenset[str] = frozenset(),
                 locked: frozenset[str] = frozenset(), relay_port: int | None = None,
                 folders: dict[str, dict[str, list[str]]] | None = None):
        self.dir = os.path.join(workdir, name)
        self.mail_root = os.path.join(self.dir, "mail")
        self.mail_log = os.path.join(self.dir, "dovecot.log")
        self.root = os.geteuid() == 0
        self.uid, self.gid = mail_owner()
        if self.root:
            internal, login, group = "dovecot", "dovenull", "dovecot"
        else:
            internal = login = pwd.getpwuid(self.uid).pw_name
            group = grp.getgrgid(self.gid).gr_name
        for sub in ("base", "state", "mail", "keys/default/HS256"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        for folder in (workdir, self.dir, self.mail_root):
            os.chmod(folder, 0o711)  # the mail processes may run as another user
        # The HMAC key Dovecot looks up for a token without azp and kid, base64 as it reads it.
        self.token_key = token_key or secrets.token_bytes(32)
        with open(os.path.join(self.dir, "keys/default/HS256/default"), "wb") as f:
            f.write(base64.b64encode(self.token_key))
        passwords, users = os.path.join(self.dir, "passwords"), os.path.join(self.dir, "users")
        with open(passwords, "w") as pass_file, open(users, "w") as user_file:
            for user, files in mailboxes.items():
                self._fill_maildir(user, files)
                for folder, folder_files in (folders or {}).get(user, {}).items():
                    self._fill_maildir(user, folder_files, folder)
                home = os.path.join(self.mail_root, user)
                lock = "userdb_pop3_lock_session=yes" if user in locked else ""
                user_file.write(f"{user}::{self.uid}:{self.gid}::{home}::{lock}\n")
                if user not in token_only:
                    pass_file.write(f"{user}:{{PLAIN}}{password}::::::\n")
        with open(os.path.join(self.dir, "oauth2.conf"), "w") as f:
            f.write(f"introspection_mode = local\nlocal_validation_key_dict = "
                    f"fs:posix:prefix={self.dir}/keys/\nusername_attribute = sub\n")
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
            self.imap_port, self.imaps_port = free_port(), free_port() if tls else None
            self.submission_port = free_port() if relay_port else None
            implicit = (f"inet_listener pop3s {{\n address = 127.0.0.1\n port = {self.tls_port}\n"
                        " ssl = yes\n }") if tls else ""
            imaps = (f"inet_listener imaps {{\n address = 127.0.0.1\n port = {self.imaps_port}\n"
                     " ssl = yes\n }") if tls else ""
            submission = f"""submission_relay_host = 127.0.0.1
submission_relay_port = {relay_port}
service submission-login {{
 inet_listener submission {{
  address = 127.0.0.1
  port = {self.submission_port}
 }}
 {no_chroot}
}}
""" if relay_port else ""
            config = os.path.join(self.dir, "dovecot.conf")
            with open(config, "w") as f:
                f.write(f"""protocols = pop3 imap{" submission" if relay_port else ""}
listen = 127.0.0.1
base_dir = {self.dir}/base
state_dir = {self.dir}/state
log_path = {self.mail_log}
{security}
auth_mechanisms = plain apop scram-sha-256 xoauth2 oauthbearer
auth_failure_delay = 0
default_internal_user = {internal}
default_login_user = {login}
default_internal_group = {group}
first_valid_uid = {1 if self.root else self.uid}
first_valid_gid = {1 if self.root else self.gid}
mail_location = maildir:~/Maildir
pop3_uidl_format = %f
# IDLE learns of new mail from inotify; the interval is the fallback without it.
mailbox_idle_check_interval = 1 secs
login_greeting = {self.greeting}
hostname = zef-test.localhost
passdb {{
 driver = oauth2
 mechanisms = xoauth2 oauthbearer
 args = {self.dir}/oauth2.conf
}}
passdb {{
 driver = passwd-file
 mechanisms = plain apop scram-sha-256
 args = scheme=PLAIN {passwords}
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
service imap-login {{
 inet_listener imap {{
  address = 127.0.0.1
  port = {self.imap_port}
 }}
 {imaps}
 {no_chroot}
}}
{submission}service anvil {{
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
                    imap = read_greeting(self.imap_port, min(deadline, time.monotonic() + 1))
                    if imap.startswith(b"* OK") and self.greeting.encode() in imap:
                        return
            self.stop()
        raise ServerError("Dovecot did not start:\n" + self.log_tail())

    def token(self, user: str, lifetime: int = 3600) -> str:
        return mint_token(self.token_key, user, lifetime)

    def refill(self, user: str, files: list[str]) -> None:
        """Puts the files back into a mailbox that a fetch has emptied (same names, same UIDLs)."""
        maildir = os.path.join(self.mail_root, user, "Maildir")
        for sub in ("cur", "new"):
            for name in os.listdir(os.path.join(maildir, sub)):
                os.remove(os.path.join(maildir, sub, name))
        self._fill_maildir(user, files)

    def _fill_maildir(self, user: str, files: list[str], folder: str | None = None) -> None:
        maildir = os.path.join(self.mail_root, user, "Maildir")
        if folder:  # Maildir++: a dot folder beside the INBOX's, its name in modified UTF-7
            maildir = os.path.join(maildir, "." + imap_folder_name(folder))
            os.makedirs(maildir, exist_ok=True)
            open(os.path.join(maildir, "maildirfolder"), "w").close()
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
