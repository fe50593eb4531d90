#!/usr/bin/python3
"""SMTP server for the integration tests, on aiosmtpd.

It listens on 127.0.0.1 on a port the kernel picks and writes that port to --port-file once it
accepts connections. AUTH PLAIN, LOGIN and CRAM-MD5 are offered without TLS and really checked
against the one --user/--password pair. Every message accepted is saved byte for byte as the
server received it after DATA (dot-unstuffed) as NNNN.eml in --spool, with NNNN.json beside it
holding the envelope: MAIL FROM, the RCPT TO list and the AUTH mechanism and user that
succeeded. With --deliver-root, a copy also goes into the maildir of every recipient whose
local part has one there (<root>/<local part>/Maildir), so the POP3 server can serve it.

With --tls-dir (the folder of tests/support/make_test_certs.sh), the same server also listens with
TLS, once per server certificate of that folder (good, expired, wronghost, unknownca): with
STARTTLS required (nothing but EHLO, STARTTLS and QUIT before it, no AUTH in the clear) and with
implicit TLS. Their ports go to --tls-ports-file as JSON, {"starttls": {"good": port, ...},
"implicit": {...}}, before the plain port is written. Every NNNN.json also says whether AUTH and
the message came over TLS ("auth_tls", "data_tls").

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
import ssl
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, auth_mechanism

from servers import TLS_CERTIFICATES


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


def over_tls(server) -> bool:
    """Whether the session runs over TLS now, from the first byte or after STARTTLS."""
    transport = server.transport
    return transport is not None and transport.get_extra_info("ssl_object") is not None


class Authenticator:
    """aiosmtpd authenticator for PLAIN and LOGIN; notes the mechanism on the session."""

    def __init__(self, accounts: Accounts):
        self.accounts = accounts

    def __call__(self, server, session, envelope, mechanism, auth_data):
        session.zef_auth_tls = over_tls(server)
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
        server.session.zef_auth_tls = over_tls(server)
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
            "auth_tls": getattr(session, "zef_auth_tls", None),
            "data_tls": over_tls(server),
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

    def factory(**tls):
        return lambda: SMTP(handler, hostname="zef-test.localhost",
                            authenticator=Authenticator(accounts),
                            data_size_limit=64 * 1024 * 1024, loop=loop,
                            **({"auth_require_tls": False} | tls))

    servers = [await loop.create_server(factory(), host="127.0.0.1", port=0)]
    if args.tls_dir:
        ports = {"starttls": {}, "implicit": {}}
        for variant, context in tls_contexts(args.tls_dir).items():
            # aiosmtpd knows of TLS only through its own STARTTLS: with implicit TLS it would
            # refuse AUTH as if in the clear.
            starttls = await loop.create_server(
                factory(tls_context=context, require_starttls=True, auth_require_tls=True),
                host="127.0.0.1", port=0)
            implicit = await loop.create_server(factory(), host="127.0.0.1", port=0,
                                                ssl=context)
            servers += [starttls, implicit]
            ports["starttls"][variant] = starttls.sockets[0].getsockname()[1]
            ports["implicit"][variant] = implicit.sockets[0].getsockname()[1]
        write_atomically(args.tls_ports_file, json.dumps(ports).encode())
    port = servers[0].sockets[0].getsockname()[1]
    write_atomically(args.port_file, f"{port}\n".encode())

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    for server in servers:
        server.close()
        await server.wait_closed()


def tls_contexts(folder: str) -> dict[str, ssl.SSLContext]:
    """A server context per certificate of make_test_certs.sh, all with its server.key."""
    contexts = {}
    for variant, certificate in TLS_CERTIFICATES.items():
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(os.path.join(folder, certificate),
                                os.path.join(folder, "server.key"))
        contexts[variant] = context
    return contexts


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spool", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--deliver-root")
    parser.add_argument("--deliver-owner", help="uid:gid given to delivered files")
    parser.add_argument("--tls-dir", help="certificates of make_test_certs.sh: also listen with TLS")
    parser.add_argument("--tls-ports-file", help="where the TLS ports go, with --tls-dir")
    args = parser.parse_args()
    if args.tls_dir and not args.tls_ports_file:
        parser.error("--tls-dir needs --tls-ports-file")
    os.makedirs(args.spool, exist_ok=True)
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
