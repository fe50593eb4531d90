#!/usr/bin/python3
"""Writes the mail corpus of the integration tests: NN-name.eml (CR LF line ends, as on the
wire) and NN-name.json beside each, with what Python's email package reads in it (mailjson).

The messages cover Japanese text in ISO-2022-JP, Shift_JIS, EUC-JP and UTF-8; the 7bit, 8bit,
quoted-printable and base64 transfer encodings; encoded-word header fields in several charsets;
nested multiparts; attachments up to 10 MB of random bytes (fixed seed); lines that begin with
"."; a multipart without boundary and an empty body.

  make_corpus.py OUTPUT_DIR
"""

import base64
import json
import os
import quopri
import random
import sys

import mailjson

CRLF = "\r\n"
SEED = 20240611
TOP_LINES = 3  # the line count the POP3 tests pass to TOP

JAPANESE = ("日本語のテキストです。" + CRLF + "こんにちは、世界！" + CRLF +
            "漢字とひらがなとカタカナが混ざった文章を、改行をはさんで送ります。" + CRLF +
            "第二段落：メールの本文は一行ずつ届きます。" + CRLF)
SUBJECT_JA = "日本語の件名：長いので複数のエンコード語に分けて折り返します"


# --- building blocks -----------------------------------------------------------------------

def encoded_words(text: str, charset: str, codec: str, kind: str, per_word: int) -> str:
    """The text as RFC 2047 encoded words of per_word characters each, folded one per line.
    Each ISO-2022-JP word is a complete escape sequence, as the codec closes it."""
    words = []
    for start in range(0, len(text), per_word):
        data = text[start:start + per_word].encode(codec)
        if kind == "B":
            payload = base64.b64encode(data).decode()
        else:
            payload = quopri.encodestring(data, header=True).decode().replace("=\n", "")
        words.append(f"=?{charset}?{kind}?{payload}?=")
    return (CRLF + " ").join(words)


def lines(text: str) -> str:
    return text if text.endswith(CRLF) else text + CRLF


def to_qp(data: bytes) -> bytes:
    normalised = data.replace(b"\r\n", b"\n")
    return quopri.encodestring(normalised).replace(b"\n", b"\r\n")


def to_base64(data: bytes) -> bytes:
    return base64.encodebytes(data).replace(b"\n", b"\r\n")


def encode_body(data: bytes, transfer_encoding: str) -> bytes:
    if transfer_encoding == "quoted-printable":
        return to_qp(data)
    if transfer_encoding == "base64":
        return to_base64(data)
    return data


def head(fields: list[tuple[str, str]]) -> bytes:
    return "".join(f"{name}: {value}{CRLF}" for name, value in fields).encode("ascii")


def leaf(content_type: str, data: bytes, transfer_encoding: str,
         extra: list[tuple[str, str]] = ()) -> bytes:
    fields = [("Content-Type", content_type)] if content_type else []
    if transfer_encoding:
        fields.append(("Content-Transfer-Encoding", transfer_encoding))
    fields += list(extra)
    return head(fields) + b"\r\n" + encode_body(data, transfer_encoding)


def multipart(subtype: str, boundary: str, parts: list[bytes], preamble: bytes = b"",
              epilogue: bytes = b"") -> bytes:
    body = preamble
    for part in parts:
        body += f"--{boundary}\r\n".encode() + part
        if not part.endswith(b"\r\n"):
            body += b"\r\n"
    body += f"--{boundary}--\r\n".encode() + epilogue
    return head([("Content-Type", f'multipart/{subtype};{CRLF}\tboundary="{boundary}"')]) + \
        b"\r\n" + body


def message(name: str, subject: str, body_with_header: bytes,
            extra: list[tuple[str, str]] = ()) -> bytes:
    fields = [
        ("Return-Path", "<corpus@zef-test.localhost>"),
        ("From", '"Corpus Writer" <corpus@zef-test.localhost>'),
        ("To", "reader@zef-test.localhost"),
        ("Subject", subject),
        ("Date", "Tue, 11 Jun 2024 10:00:00 +0900"),
        ("Message-ID", f"<{name}@zef-test.localhost>"),
        ("X-Corpus-Id", name),
        ("MIME-Version", "1.0"),
    ] + list(extra)
    return head(fields) + body_with_header


def random_bytes(size: int, salt: int) -> bytes:
    return random.Random(SEED + salt).randbytes(size)


# --- the messages ------------------------------------------------------------------------------

def ascii_dots(name):
    text = ("Hello from the corpus." + CRLF + "." + CRLF + ".." + CRLF + ".leading dot" + CRLF +
            "...three dots" + CRLF + CRLF + "A line after an empty one." + CRLF + "end" + CRLF)
    return message(name, f"A plain ASCII subject that is folded{CRLF} onto a second line",
                   leaf("text/plain; charset=us-ascii", text.encode(), "7bit"),
                   [("X-Folded", f"first{CRLF}\tsecond")])


def jis_7bit(name):
    subject = encoded_words(SUBJECT_JA, "ISO-2022-JP", "iso2022_jp", "B", 8)
    return message(name, subject, leaf("text/plain; charset=ISO-2022-JP",
                                       JAPANESE.encode("iso2022_jp"), "7bit"))


def sjis_8bit(name):
    subject = encoded_words("シフトJISの件名です", "Shift_JIS", "shift_jis", "B", 20)
    return message(name, subject, leaf("text/plain; charset=Shift_JIS",
                                       JAPANESE.encode("shift_jis"), "8bit"))


def eucjp_8bit(name):
    subject = encoded_words("EUC-JPの本文とUTF-8の件名", "UTF-8", "utf-8", "Q", 30)
    return message(name, subject, leaf("text/plain; charset=EUC-JP",
                                       JAPANESE.encode("euc_jp"), "8bit"))


def utf8_qp(name):
    text = ("Quoted-printable: a=b, 100% sure, tab\there, trailing space " + CRLF +
            "日本語の長い行：" + "あいうえおかきくけこ" * 6 + CRLF +
            "A long ASCII line " + "abcdefghij" * 12 + CRLF +
            ".a line that starts with a dot" + CRLF)
    subject = encoded_words("UTF-8のBエンコード件名", "UTF-8", "utf-8", "B", 40)
    sender = f"{encoded_words('差出人の名前', 'UTF-8', 'utf-8', 'B', 20)} <ja@zef-test.localhost>"
    return message(name, subject, leaf("text/plain; charset=UTF-8", text.encode(),
                                       "quoted-printable"), [("Reply-To", sender)])


def utf8_base64(name):
    subject = "Re: " + encoded_words("Café crème brûlée", "ISO-8859-1", "latin-1", "Q", 40)
    text = JAPANESE + "UTF-8 in base64, with an emoji-free second half." + CRLF
    return message(name, subject, leaf("text/plain; charset=UTF-8", text.encode(), "base64"))


def nested_alternative(name):
    html = ("<html><body><p>" + JAPANESE.replace(CRLF, "<br>" + CRLF) +
            "</p></body></html>" + CRLF)
    alternative = multipart("alternative", "=_alt_boundary_2", [
        leaf("text/plain; charset=ISO-2022-JP", JAPANESE.encode("iso2022_jp"), "7bit"),
        leaf("text/html; charset=UTF-8", html.encode(), "quoted-printable"),
    ])
    filename = encoded_words("資料.pdf", "UTF-8", "utf-8", "B", 20)
    attachment = leaf(f'application/pdf;{CRLF}\tname="{filename}"', random_bytes(100_000, 7),
                      "base64", [("Content-Disposition", "attachment")])
    subject = "Re: " + encoded_words("入れ子のマルチパート", "ISO-2022-JP", "iso2022_jp", "B", 10)
    return message(name, subject, multipart("mixed", "=_mixed_boundary_1", [alternative, attachment],
                                            preamble=b"This is a multi-part message.\r\n"))


def related(name):
    html = '<html><body><img src="cid:logo@zef"><p>関連画像つき</p></body></html>\r\n'
    related_part = multipart("related", "rel-b0undary", [
        leaf("text/html; charset=UTF-8", html.encode(), "8bit"),
        leaf("image/png", random_bytes(20_000, 8), "base64", [("Content-ID", "<logo@zef>")]),
    ])
    sjis_note = leaf('text/plain; charset=Shift_JIS; name="note.txt"', JAPANESE.encode("shift_jis"),
                     "base64", [("Content-Disposition", 'attachment; filename="note.txt"')])
    euc_qp = leaf("text/plain; charset=EUC-JP", JAPANESE.encode("euc_jp"), "quoted-printable")
    subject = encoded_words("関連付きマルチパート", "EUC-JP", "euc_jp", "B", 20)
    return message(name, subject, multipart("mixed", "mix-b0undary",
                                            [related_part, sjis_note, euc_qp]))


def no_boundary(name):
    body = ("A multipart type without a boundary parameter." + CRLF + "--" + CRLF +
            "--not-a-boundary" + CRLF + "last line" + CRLF)
    return message(name, "Multipart without boundary",
                   head([("Content-Type", "multipart/mixed")]) + b"\r\n" + body.encode())


def empty_body(name):
    return message(name, "Empty body", head([("Content-Type", "text/plain")]) + b"\r\n")


def big_attachment(name):
    return message(name, "Ten megabytes of random bytes", multipart("mixed", "big-b0undary", [
        leaf("text/plain; charset=us-ascii", b"The attachment follows.\r\n", "7bit"),
        leaf('application/octet-stream; name="random.bin"', random_bytes(10 * 1024 * 1024, 11),
             "base64"),
        leaf('application/octet-stream; name="one.bin"', b"\x00", "base64"),
    ]))


def dots_in_parts(name):
    dotted = "." + CRLF + ".." + CRLF + ".dot" + CRLF + "no dot" + CRLF + "..two" + CRLF
    qp_dots = b".starts with a dot\r\n.=3D.\r\n"
    return message(name, "Dots at line starts inside parts", multipart("mixed", "dot-b0undary", [
        leaf("text/plain; charset=us-ascii", dotted.encode(), "7bit"),
        head([("Content-Type", "text/plain; charset=us-ascii"),
              ("Content-Transfer-Encoding", "quoted-printable")]) + b"\r\n" + qp_dots,
        leaf("", b"A part without Content-Type header.\r\n", ""),
    ], preamble=b".preamble with a dot\r\n", epilogue=b".epilogue\r\n"))


def latin1(name):
    text = "Ceci est un texte en français, encodé en ISO-8859-1." + CRLF
    subject = encoded_words("Réunion à café", "ISO-8859-1", "latin-1", "B", 40)
    return message(name, subject, leaf("text/plain; charset=ISO-8859-1", text.encode("latin-1"),
                                       "8bit"))


MESSAGES = [ascii_dots, jis_7bit, sjis_8bit, eucjp_8bit, utf8_qp, utf8_base64,
            nested_alternative, related, no_boundary, empty_body, big_attachment, dots_in_parts,
            latin1]


def main() -> None:
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for number, build in enumerate(MESSAGES, start=1):
        name = f"{number:02d}-{build.__name__.replace('_', '-')}"
        raw = build(name)
        with open(os.path.join(out, name + ".eml"), "wb") as f:
            f.write(raw)
        with open(os.path.join(out, name + ".json"), "w") as f:
            expected = mailjson.describe(raw)
            expected["top"] = mailjson.top_lines(raw, TOP_LINES)
            json.dump(expected, f, ensure_ascii=False, indent=1)


if __name__ == "__main__":
    main()
