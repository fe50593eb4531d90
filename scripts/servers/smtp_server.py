#!/usr/bin/python3
"""SMTP server on aiosmtpd, on 127.0.0.1, until SIGTERM or SIGINT.

AUTH PLAIN, LOGIN and CRAM-MD5 are checked against the one --user/--password. Each message is
saved as the server got it after DATA as NNNN.eml in --spool, with NNNN.json: MAIL FROM and its
parameters (BODY=8BITMIME, SMTPUTF8), RCPT TO, the AUTH mechanism and user, and whether AUTH and DATA came over TLS. RCPT TO a local part
starting with "refused" gets 550. With --deliver-root a copy
goes into <root>/<local part>/Maildir of each recipient that has one. With --tls-dir it also
listens per certificate of servers.TLS_CERTIFICATES with STARTTLS required and with implicit TLS.
The "plain" port does not offer SMTPUTF8; the "smtputf8" port does (both offer 8BITMIME, and
PIPELINING: aiosmtpd reads commands one line at a time from what it has received and answers
them in order, which is all RFC 2920 asks of a server).
--ports-file gets {"plain": port, "smtputf8": port, "tls": {"starttls": {"good": port, ...}, "implicit": {...}}}.
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


def over_tls(server) -> bool:
    return server.transport is not None and \
        server.transport.get_extra_info("ssl_object") is not None


class RelayableSMTP(SMTP):
    """aiosmtpd's SMTP, taking the AUTH= parameter of MAIL FROM (RFC 4954) that a relaying
    submission server (Dovecot's) sends; aiosmtpd would refuse it as unknown."""

    def _getparams(self, params):
        result = super()._getparams(params)
        if result is not None:
            result.pop("AUTH", None)
        return result


class Handler:
    def __init__(self, args):
        self.user, self.password = args.user.encode(), args.password.encode()
        self.args = args
        self.count = 0

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        """aiosmtpd's authenticator for PLAIN and LOGIN."""
        session.zef_auth_tls = over_tls(server)
        if isinstance(auth_data, LoginPassword) and \
                hmac.compare_digest(auth_data.login, self.user) and \
                hmac.compare_digest(auth_data.password, self.password):
            session.zef_mechanism = mechanism
            return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)

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
        login, _, digest = response.rpartition(b" ")
        expected = hmac.new(self.password, challenge, hashlib.md5).hexdigest().encode()
        if not (hmac.compare_digest(login, self.user) and hmac.compare_digest(digest, expected)):
            return AuthResult(success=False, handled=False)
        server.session.zef_mechanism = "CRAM-MD5"
        return AuthResult(success=True, auth_data=LoginPassword(login, b""))

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        """PIPELINING among the extensions (see the module's text)."""
        session.host_name = hostname
        return responses[:-1] + ["250-PIPELINING"] + responses[-1:]

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        """A recipient whose local part starts with "refused" does not exist."""
        if address.split("@", 1)[0].startswith("refused"):
            return f"550 5.1.1 <{address}>: no such user"
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        stem = os.path.join(self.args.spool, f"{self.count:04d}")
        content = envelope.original_content
        login = getattr(session, "login_data", None)
        meta = {"mail_from": envelope.mail_from, "mail_options": list(envelope.mail_options),
                "rcpt_tos": list(envelope.rcpt_tos),
                "auth_mechanism": getattr(session, "zef_mechanism", None),
                "auth_user": login.decode("utf-8", "replace") if login else None,
                "auth_tls": getattr(session, "zef_auth_tls", None), "data_tls": over_tls(server)}
        write_atomically(stem + ".eml", content)
        write_atomically(stem + ".json", json.dumps(meta).encode())
        for rcpt in envelope.rcpt_tos if self.args.deliver_root else []:
            maildir = os.path.join(self.args.deliver_root, rcpt.split("@", 1)[0], "Maildir")
            if os.path.isdir(os.path.join(maildir, "new")):
                name = f"{int(time.time())}.M{self.count}P{os.getpid()}.smtp-{self.count:04d}"
                write_atomically(os.path.join(maildir, "new", name), content,
                                 os.path.join(maildir, "tmp", name), self.args.deliver_owner)
        return "250 2.0.0 Message accepted"


def write_atomically(path: str, data: bytes, temp: str = "", owner: str | None = None) -> None:
    """Readers polling a folder never see half a file."""
    temp = temp or path + ".part"
    with open(temp, "wb") as f:
        f.write(data)
    if owner:
        os.chown(temp, *(int(x) for x in owner.split(":")))
    os.rename(temp, path)


async def serve(args) -> None:
    handler = Handler(args)
    loop = asyncio.get_running_loop()

    async def listen(ssl_context=None, **options):
        server = await loop.create_server(
            lambda: RelayableSMTP(handler, hostname="zef-test.localhost", authenticator=handler.authenticate,
                         data_size_limit=64 * 1024 * 1024, loop=loop,
                         **({"auth_require_tls": False} | options)),
            host="127.0.0.1", port=0, ssl=ssl_context)
        servers.append(server)
        return server.sockets[0].getsockname()[1]

    servers = []
    ports = {"plain": await listen(), "smtputf8": await listen(enable_SMTPUTF8=True)}
    if args.tls_dir:
        ports["tls"] = {"starttls": {}, "implicit": {}}
        for variant, certificate in TLS_CERTIFICATES.items():
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            context.load_cert_chain(os.path.join(args.tls_dir, certificate),
                                    os.path.join(args.tls_dir, "server.key"))
            ports["tls"]["starttls"][variant] = await listen(
                tls_context=context, require_starttls=True, auth_require_tls=True)
            # aiosmtpd knows TLS only through its own STARTTLS: with implicit TLS it would
            # refuse AUTH as if in the clear, hence auth_require_tls off there.
            ports["tls"]["implicit"][variant] = await listen(context)
    write_atomically(args.ports_file, json.dumps(ports).encode())
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    for server in servers:
        server.close()
        await server.wait_closed()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--spool", "--ports-file", "--user", "--password"):
        parser.add_argument(option, required=True)
    for option in ("--deliver-root", "--deliver-owner", "--tls-dir"):
        parser.add_argument(option)
    args = parser.parse_args()
    os.makedirs(args.spool, exist_ok=True)
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
