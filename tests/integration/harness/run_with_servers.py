#!/usr/bin/python3
"""Runs one test program between a real SMTP server and a real POP3 server.

Both servers start in a fresh scratch folder on 127.0.0.1, the command runs with their ports
and accounts in its environment, and both servers stop afterwards, whatever happened. The
command gets --timeout seconds; past that its process group is killed and the run fails.

  run_with_servers.py --corpus DIR [--mailbox NAME=SPEC]... [--timeout S] -- COMMAND ARGS...

SPEC is "*" (every message of the corpus), "*!a,b" (every message but a and b), "" (an empty
mailbox) or a comma list of corpus message names (file names without .eml). The command finds:
  ZEF_IT_SMTP_PORT, ZEF_IT_SMTP_USER, ZEF_IT_SMTP_PASS, ZEF_IT_SMTP_SPOOL
  ZEF_IT_POP3_PORT, ZEF_IT_POP3_PASS (every mailbox user has this password),
  ZEF_IT_MAILBOX_<NAME> (the message names in that mailbox, comma separated, in order),
  ZEF_IT_CORPUS, ZEF_IT_CHECKER, ZEF_IT_PYTHON, ZEF_IT_WORKDIR.
Mail the SMTP server accepts for <name>@... is also delivered into mailbox <name>.

With --tls, the certificates of tests/support/make_test_certs.sh are made in the scratch folder
and TLS servers start beside the plain ones, one per server certificate ("good", "expired",
"wronghost", "unknownca"): the SMTP server's listeners with STARTTLS required and with implicit
TLS, and a Dovecot per certificate with TLS required (STLS, and implicit TLS on a second port),
each holding the same mailboxes. ZEF_IT_TLS then holds, as JSON:
  {"ca": the CA file to trust, "smtp": {"starttls": {"good": port, ...}, "implicit": {...}},
   "pop3": {"stls": {...}, "implicit": {...}}, "pop3_log": {"good": Dovecot's log file, ...}}
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

SMTP_USER = "sender@zef-test.localhost"
SMTP_PASS = "s3nd-Pa55"
POP3_PASS = "r3ad-Pa55"


def corpus_messages(corpus: str) -> list[str]:
    return sorted(name[:-4] for name in os.listdir(corpus) if name.endswith(".eml"))


def parse_mailboxes(specs: list[str], corpus: str) -> dict[str, list[str]]:
    available = corpus_messages(corpus)
    mailboxes = {}
    for spec in specs:
        name, _, which = spec.partition("=")
        everything = which.startswith("*")
        listed = [n for n in which.lstrip("*!").split(",") if n]
        missing = [n for n in listed if n not in available]
        if missing:
            raise SystemExit(f"run_with_servers: not in the corpus: {', '.join(missing)}")
        mailboxes[name] = [n for n in available if n not in listed] if everything else listed
    return mailboxes


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


def start_tls_dovecots(workdir: str, mailbox_files: dict[str, list[str]], certs: str,
                       smtp: servers.SmtpServer, started: list) -> dict[str, str]:
    """A Dovecot per server certificate, each with its own copy of the mailboxes; returns the
    ZEF_IT_TLS variable."""
    stls, implicit, logs = {}, {}, {}
    for variant, certificate in servers.TLS_CERTIFICATES.items():
        dovecot = servers.DovecotServer(
            workdir, mailbox_files, POP3_PASS, name=f"dovecot-tls-{variant}",
            tls=(os.path.join(certs, certificate), os.path.join(certs, "server.key")))
        started.append(dovecot)
        stls[variant], implicit[variant] = dovecot.port, dovecot.tls_port
        logs[variant] = dovecot.log_path
    return {"ZEF_IT_TLS": json.dumps({
        "ca": os.path.join(certs, "ca.pem"), "smtp": smtp.tls_ports,
        "pop3": {"stls": stls, "implicit": implicit}, "pop3_log": logs})}


def stop_on_signal(signum, frame) -> None:
    raise SystemExit(128 + signum)  # unwinds through the finally that stops the servers


def main() -> int:
    signal.signal(signal.SIGTERM, stop_on_signal)
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--mailbox", action="append", default=[])
    parser.add_argument("--timeout", type=float, default=90)
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    parser.add_argument("--tls", action="store_true", help="also start TLS servers")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")
    corpus = os.path.abspath(args.corpus)
    mailboxes = parse_mailboxes(args.mailbox, corpus)

    workdir = tempfile.mkdtemp(prefix="zef-integ-")
    started = []
    code = 1
    try:
        mailbox_files = {name: [os.path.join(corpus, n + ".eml") for n in names]
                         for name, names in mailboxes.items()}
        certs = servers.make_test_certs(os.path.join(workdir, "certs")) if args.tls else None
        dovecot = servers.DovecotServer(workdir, mailbox_files, POP3_PASS)
        started.append(dovecot)
        smtp = servers.SmtpServer(workdir, SMTP_USER, SMTP_PASS, deliver_root=dovecot.mail_root,
                                  deliver_owner=(dovecot.accounts.uid, dovecot.accounts.gid),
                                  tls_dir=certs)
        started.append(smtp)
        tls_env = start_tls_dovecots(workdir, mailbox_files, certs, smtp, started) if certs else {}

        scratch = os.path.join(workdir, "test")
        os.makedirs(scratch)
        env = dict(os.environ)
        env.update({
            "ZEF_IT_SMTP_PORT": str(smtp.port),
            "ZEF_IT_SMTP_USER": SMTP_USER,
            "ZEF_IT_SMTP_PASS": SMTP_PASS,
            "ZEF_IT_SMTP_SPOOL": smtp.spool,
            "ZEF_IT_POP3_PORT": str(dovecot.port),
            "ZEF_IT_POP3_PASS": POP3_PASS,
            "ZEF_IT_CORPUS": corpus,
            "ZEF_IT_CHECKER": os.path.join(servers.HERE, "checker.py"),
            "ZEF_IT_PYTHON": servers.PYTHON,
            "ZEF_IT_WORKDIR": scratch,
        })
        for name, names in mailboxes.items():
            env["ZEF_IT_MAILBOX_" + name.upper()] = ",".join(names)
        env.update(tls_env)
        code = run_command(command, env, args.timeout)
    except (servers.ServerError, OSError) as e:
        servers.warn(f"run_with_servers: cannot start the servers: {e}")
    finally:
        for server in started:
            server.begin_stop()  # all at once: Dovecot takes a moment to stop
        for server in reversed(started):
            server.stop()
        if code != 0:
            for server in started:
                servers.warn(f"--- {type(server).__name__} log ---\n{server.log_tail()}")
        if code != 0 or args.keep:
            servers.warn(f"run_with_servers: scratch folder kept: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
