#!/usr/bin/python3
"""zefmail --tls, --ca-file and --insecure against the TLS servers of run_with_servers.py --tls.

  run_with_servers.py --tls --corpus DIR --mailbox tls=... -- zefmail_tls.py ZEFMAIL
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

ZEFMAIL = ""
SERVER = "127.0.0.1"
TLS = {}


def run(args, password):
    environment = dict(os.environ, ZEFMAIL_PASSWORD=password)
    return subprocess.run([ZEFMAIL] + args, capture_output=True, env=environment, timeout=60)


def port(protocol: str, mode: str, certificate: str) -> str:
    return str(TLS[protocol][mode][certificate])


class Send(unittest.TestCase):
    def send(self, mode: str, certificate: str, *more):
        return run(["send", "--server", SERVER, "--port", port("smtp", mode, certificate),
                    "--tls", mode, "--auth", "plain", "--user", os.environ["ZEF_IT_SMTP_USER"],
                    "--from", "sender@zef-test.localhost", "--to", "nobody-tls@zef-test.localhost",
                    "--subject", "zefmail over TLS", "--quiet", "--trace"] + list(more),
                   os.environ["ZEF_IT_SMTP_PASS"])

    def last_envelope(self) -> dict:
        spool = os.environ["ZEF_IT_SMTP_SPOOL"]
        names = sorted(n for n in os.listdir(spool) if n.endswith(".json"))
        with open(os.path.join(spool, names[-1])) as f:
            return json.load(f)

    def test_good_certificate_with_the_ca_file(self):
        for mode in ("starttls", "implicit"):
            with self.subTest(mode=mode):
                result = self.send(mode, "good", "--ca-file", TLS["ca"])
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                envelope = self.last_envelope()
                self.assertTrue(envelope["auth_tls"])
                self.assertTrue(envelope["data_tls"])
                self.assertNotIn(os.environ["ZEF_IT_SMTP_PASS"].encode(), result.stderr)

    def test_bad_certificates_are_refused_and_insecure_lets_them_through(self):
        reasons = {"expired": "certificate has expired", "wronghost": "IP address mismatch",
                   "unknownca": "unable to get local issuer certificate"}
        for certificate, reason in reasons.items():
            with self.subTest(certificate=certificate):
                refused = self.send("starttls", certificate, "--ca-file", TLS["ca"])
                self.assertEqual(refused.returncode, 1)
                error = refused.stderr.decode()
                self.assertIn("the server's certificate was refused", error)
                self.assertIn("certificate verify failed: " + reason, error)
                self.assertNotIn(">>AUTH", error)
                accepted = self.send("implicit", certificate, "--insecure")
                self.assertEqual(accepted.returncode, 0, accepted.stderr.decode())

    def test_the_system_store_alone_does_not_know_the_test_ca(self):
        result = self.send("implicit", "good")
        self.assertEqual(result.returncode, 1)
        self.assertIn("unable to get local issuer certificate", result.stderr.decode())


class Fetch(unittest.TestCase):
    def fetch(self, mode: str, certificate: str, out: str, *more):
        """mode: the server's listener ("stls" or "implicit"); zefmail's --tls follows it."""
        cli_mode = "starttls" if mode == "stls" else mode
        return run(["fetch", "--server", SERVER, "--port", port("pop3", mode, certificate),
                    "--tls", cli_mode, "--user", "tls", "--out", out, "--keep", "--quiet"]
                   + list(more), os.environ["ZEF_IT_POP3_PASS"])

    def expect_mailbox(self, out: str):
        expected = [n for n in os.environ["ZEF_IT_MAILBOX_TLS"].split(",") if n]
        written = sorted(d for d in os.listdir(out) if os.path.isdir(os.path.join(out, d)))
        self.assertEqual(len(written), len(expected), written)

    def test_good_certificate_with_the_ca_file(self):
        for mode in ("stls", "implicit"):
            with self.subTest(mode=mode), tempfile.TemporaryDirectory() as out:
                result = self.fetch(mode, "good", out, "--ca-file", TLS["ca"], "--apop")
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.expect_mailbox(out)

    def test_bad_certificates_are_refused_and_insecure_lets_them_through(self):
        for certificate in ("expired", "wronghost", "unknownca"):
            with self.subTest(certificate=certificate), tempfile.TemporaryDirectory() as out:
                refused = self.fetch("implicit", certificate, out, "--ca-file", TLS["ca"])
                self.assertEqual(refused.returncode, 1)
                self.assertIn("certificate verify failed", refused.stderr.decode())
                self.assertEqual(os.listdir(out), [])
                accepted = self.fetch("stls", certificate, out, "--insecure")
                self.assertEqual(accepted.returncode, 0, accepted.stderr.decode())
                self.expect_mailbox(out)


if __name__ == "__main__":
    ZEFMAIL = sys.argv.pop(1)
    TLS = json.loads(os.environ["ZEF_IT_TLS"])
    unittest.main(verbosity=2)
