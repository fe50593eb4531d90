#!/usr/bin/python3
"""SMTP server for the integration tests, on aiosmtpd.

It listens on 127.0.0.1 on a port the kernel picks and writes that port to --port-file once it
accepts connections. AUTH PLAIN, LOGIN and CRAM-MD5 are offered without TLS and really checked
against the one --user/--password pair. Every message accepted is saved byte for byte as the
server received it after DATA (dot-unstuffed) as NNNN.eml in --spool, with NNNN.json beside it
holding the envelope: MAIL FROM, the RCPT TO list and the AUTH mechanism and user that
succeeded. With --deliver-root, a copy also goes into the maildir of every recipient whose
local part has one there (<root>/<local part>/Maildir), so the POP3 server can serve it.

Runs until SIGTERM or SIGINT.
"""

import argparse
import asyncio
import hashlib
import hmac
import json
import os
import secrets
import signal
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, auth_mechanism


class Accounts:
    """The one account the server knows, and the checks of the three mechanisms."""

    def __init__(self, user: str, password: str):
        self.user = user.encode()
        self.password = password.encode()

    def check_plain(self, login: bytes, password: bytes) -> bool:
        return hmac.compare_digest(login, self.user) and hmac.compare_digest(
            password, self.password)

    def check_cram_md5(self, challenge: bytes, response: bytes) -> bool:
        login, _, digest = response.rpartition(b" ")
        expected = hmac.new(self.password, challenge, hashlib.md5).hexdigest().encode()
        return hmac.compare_digest(login, self.user) and hmac.compare_digest(digest, expected)


class Authenticator:
    """aiosmtpd authenticator for PLAIN and LOGIN; notes the mechanism on the session."""

    def __init__(self, accounts: Accounts):
        self.accounts = accounts

    def __call__(self, server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword) and self.accounts.check_plain(
                auth_data.login, auth_data.password):
            session.zef_mechanism = mechanism
            return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)


class SpoolHandler:
    """Saves each message and its envelope; offers CRAM-MD5 beside the built-in mechanisms."""

    def __init__(self, accounts: Accounts, spool: str, deliver_root: str | None,
                 deliver_owner: tuple[int, int] | None):
        self.accounts = accounts
        self.spool = spool
        self.deliver_root = deliver_root
        self.deliver_owner = deliver_owner
        self.count = 0

    @auth_mechanism("CRAM-MD5")
    async def auth_CRAM_MD5(self, server, args):
        if len(args) != 1:
            await server.push("501 5.5.4 CRAM-MD5 takes no initial response")
            return AuthResult(success=False, handled=True)
        challenge = f"<{secrets.randbelow(10**9)}.{int(time.time())}@zef-test>".encode()
        response = await server.challenge_auth(challenge)
        if not isinstance(response, bytes):
            return AuthResult(success=False, handled=True)  # aborted; already answered
        if not self.accounts.check_cram_md5(challenge, response):
            return AuthResult(success=False, handled=False)
        server.session.zef_mechanism = "CRAM-MD5"
        login = response.rpartition(b" ")[0]
        return AuthResult(success=True, auth_data=LoginPassword(login, b""))

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        stem = os.path.join(self.spool, f"{self.count:04d}")
        content = envelope.original_content
        login = getattr(session, "login_data", None)
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "auth_mechanism": getattr(session, "zef_mechanism", None),
            "auth_user": login.decode("utf-8", "replace") if login else None,
            "size": len(content),
        }
        write_atomically(stem + ".eml", content)
        write_atomically(stem + ".json", json.dumps(meta, indent=1).encode())
        if self.deliver_root:
            for rcpt in envelope.rcpt_tos:
                self.deliver(rcpt, content)
        return "250 2.0.0 Message accepted"

    def deliver(self, rcpt: str, content: bytes) -> None:
        local = rcpt.split("@", 1)[0]
        maildir = os.path.join(self.deliver_root, local, "Maildir")
        if not os.path.isdir(os.path.join(maildir, "new")):
            return
        name = f"{int(time.time())}.M{self.count}P{os.getpid()}.smtp-{self.count:04d}"
        temp = os.path.join(maildir, "tmp", name)
        with open(temp, "wb") as f:
            f.write(content)
        if self.deliver_owner:
            os.chown(temp, *self.deliver_owner)
        os.rename(temp, os.path.join(maildir, "new", name))


def write_atomically(path: str, data: bytes) -> None:
    """Readers polling the spool never see half a file."""
    temp = path + ".part"
    with open(temp, "wb") as f:
        f.write(data)
    os.rename(temp, path)


async def serve(args) -> None:
    accounts = Accounts(args.user, args.password)
    owner = tuple(int(x) for x in args.deliver_owner.split(":")) if args.deliver_owner else None
    handler = SpoolHandler(accounts, args.spool, args.deliver_root, owner)
    loop = asyncio.get_running_loop()

    def factory():
        return SMTP(handler, hostname="zef-test.localhost", auth_require_tls=False,
                    authenticator=Authenticator(accounts), data_size_limit=64 * 1024 * 1024,
                    loop=loop)

    server = await loop.create_server(factory, host="127.0.0.1", port=0)
    port = server.sockets[0].getsockname()[1]
    write_atomically(args.port_file, f"{port}\n".encode())

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()
    await server.wait_closed()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spool", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--deliver-root")
    parser.add_argument("--deliver-owner", help="uid:gid given to delivered files")
    args = parser.parse_args()
    os.makedirs(args.spool, exist_ok=True)
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
