#!/usr/bin/python3
"""The Python peers of the end-to-end benchmark, each run as its own process by run.py.

  peers.py pop-fetch PORT USER PASSWORD
      poplib: RETR of every message in one session; each parsed with email and every leaf
      part's payload decoded (transfer encoding undone). Nothing is deleted.
  peers.py smtp-send PORT ATTACHMENT
      email builds a message with the file as a base64 attachment; smtplib sends it.
  peers.py smtp-many PORT COUNT [FILE]
      COUNT small Japanese messages (or FILE's message), a new smtplib connection for each.
  peers.py smtp-session PORT COUNT FILE
      FILE's message COUNT times over one smtplib connection.

Each prints one line of key=value pairs.
"""

import email
import email.policy
import poplib
import smtplib
import sys
from email.header import Header
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

HOST = "127.0.0.1"
SENDER = "bench@example.jp"
RECIPIENT = "sink@example.jp"
BODY = ("お世話になっております。\r\n"
        "来週の会議の資料をお送りします。ご確認のほど、よろしくお願いいたします。\r\n"
        "A line of ASCII text as well.\r\n")


def pop_fetch(port: str, user: str, password: str) -> None:
    client = poplib.POP3(HOST, int(port))
    client.user(user)
    client.pass_(password)
    count, _ = client.stat()
    raw_bytes = decoded = 0
    for number in range(1, count + 1):
        _, lines, octets = client.retr(number)
        raw_bytes += octets
        message = email.message_from_bytes(b"\r\n".join(lines) + b"\r\n")
        for part in message.walk():
            if not part.is_multipart():
                payload = part.get_payload(decode=True)
                decoded += len(payload) if payload else 0
    client.quit()
    print(f"messages={count} bytes={raw_bytes} data={decoded}")


def smtp_send(port: str, attachment: str) -> None:
    message = MIMEMultipart("mixed")
    message["From"] = SENDER
    message["To"] = RECIPIENT
    message["Subject"] = "20 MiB attachment"
    message.attach(MIMEText(BODY, "plain", "iso-2022-jp"))
    with open(attachment, "rb") as f:
        part = MIMEApplication(f.read(), "octet-stream")
    part.add_header("Content-Disposition", "attachment", filename="attachment.bin")
    message.attach(part)
    data = message.as_bytes(policy=email.policy.SMTP)
    with smtplib.SMTP(HOST, int(port)) as client:
        client.sendmail(SENDER, [RECIPIENT], data)
    print(f"bytes={len(data)}")


def smtp_many(port: str, count: str, path: str = "") -> None:
    message = MIMEText(BODY, "plain", "iso-2022-jp")
    message["From"] = SENDER
    message["To"] = RECIPIENT
    message["Subject"] = Header("会議の資料", "iso-2022-jp").encode()
    data = open(path, "rb").read() if path else message.as_bytes(policy=email.policy.SMTP)
    for _ in range(int(count)):
        with smtplib.SMTP(HOST, int(port)) as client:
            client.sendmail(SENDER, [RECIPIENT], data)
    print(f"sent={count}")


def smtp_session(port: str, count: str, path: str) -> None:
    data = open(path, "rb").read()
    with smtplib.SMTP(HOST, int(port)) as client:
        for _ in range(int(count)):
            client.sendmail(SENDER, [RECIPIENT], data)
    print(f"sent={count}")


COMMANDS = {"pop-fetch": pop_fetch, "smtp-send": smtp_send, "smtp-many": smtp_many,
            "smtp-session": smtp_session}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        sys.exit(__doc__)
    COMMANDS[sys.argv[1]](*sys.argv[2:])
