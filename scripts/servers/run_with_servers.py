#!/usr/bin/python3
"""Runs a command between a real SMTP server (aiosmtpd) and Dovecot's POP3 and IMAP on 127.0.0.1.

  run_with_servers.py [--corpus DIR] [--mailbox NAME=MESSAGES]...
                      [--folder NAME/FOLDER=MESSAGES]... [--tls CERT_SCRIPT]
                      [--token-only NAME]... [--locked NAME]... [--timeout S] [--keep]
                      -- COMMAND ARGS...

The servers start in a fresh scratch folder and stop afterwards whatever happened; the command
gets --timeout seconds, then its process group is killed. The scratch folder stays when the
command failed or with --keep. MESSAGES: "" (empty), names of --corpus messages (file names without
.eml) separated by commas, "*" (all) or "*!a,b" (all but a and b). Mail the SMTP server accepts
for <name>@... is also delivered into mailbox <name>. The command's environment holds
ZEF_IT_SMTP_PORT, _USER, _PASS and _SPOOL, ZEF_IT_SMTPUTF8_PORT (the same server offering
SMTPUTF8, which ZEF_IT_SMTP_PORT does not), ZEF_IT_POP3_PORT and _PASS (every mailbox's),
ZEF_IT_IMAP_PORT (the same mailboxes over IMAP, each one's messages in its INBOX, with the same
password), ZEF_IT_CORPUS, ZEF_IT_WORKDIR and ZEF_IT_MAILBOX_<NAME> (its messages' names, in
order), ZEF_IT_FOLDERS ({"NAME": {"FOLDER": [messages' names]}} in JSON: what --folder put into
a folder beside mailbox NAME's INBOX, for IMAP; FOLDER may be any Unicode name), and
ZEF_IT_SUMMARY: a file the command may write a short account of its failures to, which is
printed last, after the servers' logs, so that it stays in view in a long output.
Dovecot takes every mailbox's password with USER/PASS, APOP, AUTH PLAIN and SCRAM-SHA-256, and
tokens (JWTs signed with a key of its own) with AUTH XOAUTH2 and OAUTHBEARER; it answers CAPA.
A --token-only mailbox has no password; the first of them is ZEF_IT_OAUTH_USER, with
ZEF_IT_OAUTH_TOKEN (good for an hour), ZEF_IT_OAUTH_TOKEN_EXPIRED (expired ten minutes ago) and
ZEF_IT_OAUTH_TOKEN_WRONGUSER (good, but for another user). A --locked mailbox refuses a second
POP3 session while one is open ("-ERR [IN-USE] ..."). ZEF_IT_SUBMISSION_PORT is Dovecot's
submission service: the same logins as POP3 (over SMTP AUTH), relaying to the SMTP server.
Over IMAP Dovecot takes LOGIN and AUTHENTICATE with the same mechanisms (APOP aside).
--tls runs `sh CERT_SCRIPT FOLDER` for the files of servers.TLS_CERTIFICATES and ca.pem, and starts
per certificate an SMTP listener with STARTTLS required, one with implicit TLS, and a Dovecot with
the same mailboxes and folders requiring TLS (POP3 with STLS and IMAP with STARTTLS, and each
with implicit TLS on a port of its own). ZEF_IT_TLS is then
{"ca": CA file, "smtp": {"starttls": {"good": port, ...}, "implicit": {...}},
 "pop3": {"stls": {...}, "implicit": {...}}, "imap": {"starttls": {...}, "implicit": {...}}}
in JSON.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import servers

SMTP_USER, SMTP_PASS, POP3_PASS = "sender@zef-test.localhost", "s3nd-Pa55", "r3ad-Pa55"


def mailbox_files(arguments: list[str], corpus: str | None) -> dict[str, list[str]]:
    """NAME=MESSAGES arguments as {NAME: the corpus files}."""
    available = sorted(n[:-4] for n in os.listdir(corpus) if n.endswith(".eml")) if corpus else []
    mailboxes = {}
    for argument in arguments:
        name, _, which = argument.partition("=")
        listed = [n for n in which.lstrip("*!").split(",") if n]
        if set(listed) - set(available):
            raise SystemExit(f"run_with_servers: not in the corpus: {set(listed) - set(available)}")
        names = [n for n in available if n not in listed] if which.startswith("*") else listed
        mailboxes[name] = [os.path.join(corpus, n + ".eml") for n in names]
    return mailboxes


def folder_files(arguments: list[str], corpus: str | None,
                 mailboxes: dict[str, list[str]]) -> dict[str, dict[str, list[str]]]:
    """NAME/FOLDER=MESSAGES arguments as {NAME: {FOLDER: the corpus files}}."""
    folders = {}
    for path, files in mailbox_files(arguments, corpus).items():
        name, _, folder = path.partition("/")
        if name not in mailboxes or not folder or folder.upper() == "INBOX":
            raise SystemExit(f"run_with_servers: --folder {path}: not NAME/FOLDER beside "
                             "a --mailbox NAME")
        folders.setdefault(name, {})[folder] = files
    return folders


def run_command(argv: list[str], env: dict[str, str], timeout: float) -> int:
    proc = subprocess.Popen(argv, env=env, start_new_session=True,
                            preexec_fn=lambda: servers.die_with_parent(signal.SIGKILL))
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        servers.warn(f"run_with_servers: {argv[0]} still running after {timeout:.0f} s; killed")
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(timeout=servers.STOP_GRACE)
        return 124


def start(workdir: str, mailboxes: dict[str, list[str]], folders: dict[str, dict[str, list[str]]],
          cert_script: str | None, args: argparse.Namespace, started: list) -> dict[str, str]:
    """Starts every server into `started` and returns what goes into the environment."""
    certs = os.path.join(workdir, "certs") if cert_script else None
    if certs:
        made = subprocess.run(["sh", cert_script, certs], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=servers.START_TIMEOUT)
        if made.returncode != 0:
            raise servers.ServerError(f"{cert_script} failed:\n{made.stderr.decode()}")
    # The SMTP server first: Dovecot's submission service relays to it.
    smtp = servers.SmtpServer(workdir, SMTP_USER, SMTP_PASS,
                              deliver_root=os.path.join(workdir, "dovecot", "mail"),
                              deliver_owner=servers.mail_owner(), tls_dir=certs)
    started.append(smtp)
    token_only = frozenset(args.token_only)
    dovecot = servers.DovecotServer(workdir, mailboxes, POP3_PASS, token_only=token_only,
                                    locked=frozenset(args.locked), relay_port=smtp.port,
                                    folders=folders)
    started.append(dovecot)
    env = {"ZEF_IT_SMTP_PORT": str(smtp.port), "ZEF_IT_SMTP_USER": SMTP_USER,
           "ZEF_IT_SMTPUTF8_PORT": str(smtp.smtputf8_port),
           "ZEF_IT_SMTP_PASS": SMTP_PASS, "ZEF_IT_SMTP_SPOOL": smtp.spool,
           "ZEF_IT_POP3_PORT": str(dovecot.port), "ZEF_IT_POP3_PASS": POP3_PASS,
           "ZEF_IT_IMAP_PORT": str(dovecot.imap_port),
           "ZEF_IT_SUBMISSION_PORT": str(dovecot.submission_port)}
    for user in sorted(token_only)[:1]:
        env.update({"ZEF_IT_OAUTH_USER": user, "ZEF_IT_OAUTH_TOKEN": dovecot.token(user),
                    "ZEF_IT_OAUTH_TOKEN_EXPIRED": dovecot.token(user, -600),
                    "ZEF_IT_OAUTH_TOKEN_WRONGUSER": dovecot.token("not-" + user)})
    env.update({"ZEF_IT_MAILBOX_" + name.upper(): ",".join(
        os.path.basename(f)[:-4] for f in files) for name, files in mailboxes.items()})
    env["ZEF_IT_FOLDERS"] = json.dumps(
        {name: {folder: [os.path.basename(f)[:-4] for f in files]
                for folder, files in named.items()} for name, named in folders.items()},
        ensure_ascii=False)
    if certs:
        tls = {"ca": os.path.join(certs, "ca.pem"), "smtp": smtp.tls_ports,
               "pop3": {"stls": {}, "implicit": {}}, "imap": {"starttls": {}, "implicit": {}}}
        for variant, certificate in servers.TLS_CERTIFICATES.items():
            server = servers.DovecotServer(
                workdir, mailboxes, POP3_PASS, name=f"dovecot-tls-{variant}", folders=folders,
                tls=(os.path.join(certs, certificate), os.path.join(certs, "server.key")))
            started.append(server)
            tls["pop3"]["stls"][variant], tls["pop3"]["implicit"][variant] = \
                server.port, server.tls_port
            tls["imap"]["starttls"][variant], tls["imap"]["implicit"][variant] = \
                server.imap_port, server.imaps_port
        env["ZEF_IT_TLS"] = json.dumps(tls)
    return env


def main() -> int:
    # SIGTERM unwinds through the finally below, which stops the servers.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus")
    parser.add_argument("--mailbox", action="append", default=[])
    parser.add_argument("--folder", action="append", default=[], metavar="NAME/FOLDER=MESSAGES")
    parser.add_argument("--tls", metavar="CERT_SCRIPT")
    parser.add_argument("--token-only", action="append", default=[], metavar="NAME")
    parser.add_argument("--locked", action="append", default=[], metavar="NAME")
    parser.add_argument("--timeout", type=float, default=90)
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")
    corpus = os.path.abspath(args.corpus) if args.corpus else None
    mailboxes = mailbox_files(args.mailbox, corpus)
    folders = folder_files(args.folder, corpus, mailboxes)
    workdir = tempfile.mkdtemp(prefix="zef-servers-")
    started, code = [], 1
    try:
        env = dict(os.environ, **start(workdir, mailboxes, folders, args.tls, args, started),
                   ZEF_IT_CORPUS=corpus or "", ZEF_IT_WORKDIR=os.path.join(workdir, "test"),
                   ZEF_IT_SUMMARY=os.path.join(workdir, "summary.txt"))
        os.makedirs(env["ZEF_IT_WORKDIR"])
        code = run_command(command, env, args.timeout)
    except (servers.ServerError, OSError, subprocess.SubprocessError) as e:
        servers.warn(f"run_with_servers: cannot start the servers: {e}")
    finally:
        for server in started:
            server.begin_stop()  # all at once: Dovecot takes a moment to stop
        for server in reversed(started):
            server.stop()
        for server in started if code != 0 else []:
            servers.warn(f"--- {server.name} log ---\n{server.log_tail()}")
        summary = os.path.join(workdir, "summary.txt")
        if code != 0 and os.path.exists(summary):
            with open(summary, encoding="utf-8", errors="replace") as f:
                servers.warn(f"--- summary of the failures ---\n{f.read()}")
        if code != 0 or args.keep:
            servers.warn(f"run_with_servers: scratch folder kept: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
