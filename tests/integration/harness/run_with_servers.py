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
"""

import argparse
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


def stop_on_signal(signum, frame) -> None:
    raise SystemExit(128 + signum)  # unwinds through the finally that stops the servers


def main() -> int:
    signal.signal(signal.SIGTERM, stop_on_signal)
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--mailbox", action="append", default=[])
    parser.add_argument("--timeout", type=float, default=90)
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
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
        dovecot = servers.DovecotServer(
            workdir, {name: [os.path.join(corpus, n + ".eml") for n in names]
                      for name, names in mailboxes.items()}, POP3_PASS)
        started.append(dovecot)
        smtp = servers.SmtpServer(workdir, SMTP_USER, SMTP_PASS, deliver_root=dovecot.mail_root,
                                  deliver_owner=(dovecot.accounts.uid, dovecot.accounts.gid))
        started.append(smtp)

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
        code = run_command(command, env, args.timeout)
    except (servers.ServerError, OSError) as e:
        servers.warn(f"run_with_servers: cannot start the servers: {e}")
    finally:
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
