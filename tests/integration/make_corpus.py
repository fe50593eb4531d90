#!/usr/bin/python3
"""Writes the integration tests' mail corpus: NN-name.eml, with CR LF line ends as on the wire.

Japanese text in ISO-2022-JP, Shift_JIS, EUC-JP and UTF-8, Latin-1; 7bit, 8bit, quoted-printable
and base64; encoded words in several charsets; nested multiparts; attachments up to 10 MB of
random bytes (fixed seed); lines that begin with "." or ">From "; a multipart without boundary; an
empty body.

  make_corpus.py OUTPUT_DIR
"""

import base64
import os
import quopri
import random
import re
import sys

CRLF = "\r\n"
JAPANESE = ("日本語のテキストです。\r\nこんにちは、世界！\r\n"
            "漢字とひらがなとカタカナが混ざった文章を、改行をはさんで送ります。\r\n"
            "第二段落：メールの本文は一行ずつ届きます。\r\n")


def words(text: str, charset: str, codec: str, kind: str, per_word: int) -> str:
    """The text as encoded words of per_word characters each, one per folded line (each
    ISO-2022-JP word closes its escape sequence)."""
    out = []
    for start in range(0, len(text), per_word):
        data = text[start:start + per_word].encode(codec)
        payload = base64.b64encode(data).decode() if kind == "B" else \
            quopri.encodestring(data, header=True).decode().replace("=\n", "")
        out.append(f"=?{charset}?{kind}?{payload}?=")
    return (CRLF + " ").join(out)


def jis(text: str, euc: bool = False) -> bytes:
    """ISO-2022-JP (or EUC-JP) of the text by the code page 932 mappings (～ is 0x2141)."""
    out, two = bytearray(), False
    for character in text:
        code = character.encode("cp932")
        if len(code) == 1:
            out += (b"\x1b(B" if two and not euc else b"") + code
            two = False
            continue
        row = (code[0] - (0x81 if code[0] < 0xA0 else 0xC1)) * 2 + (1 if code[1] < 0x9F else 2)
        cell = code[1] - (0x9E if code[1] >= 0x9F else 0x40 if code[1] > 0x7F else 0x3F)
        out += (bytes([row + 0xA0, cell + 0xA0]) if euc else
                (b"" if two else b"\x1b$B") + bytes([row + 0x20, cell + 0x20]))
        two = True
    return bytes(out + (b"\x1b(B" if two and not euc else b""))


def head(*fields) -> bytes:
    return "".join(f"{name}: {value}{CRLF}" for name, value in fields).encode("ascii")


def leaf(content_type: str, data: bytes, encoding: str, *extra) -> bytes:
    if encoding == "quoted-printable":
        data = quopri.encodestring(data.replace(b"\r\n", b"\n")).replace(b"\n", b"\r\n")
    elif encoding == "base64":
        data = base64.encodebytes(data).replace(b"\n", b"\r\n")
    fields = ([("Content-Type", content_type)] if content_type else []) + \
        ([("Content-Transfer-Encoding", encoding)] if encoding else []) + list(extra)
    return head(*fields) + b"\r\n" + data


def multipart(subtype: str, boundary: str, parts: list, preamble=b"", epilogue=b"") -> bytes:
    body = preamble + b"".join(f"--{boundary}\r\n".encode() + p +
                               (b"" if p.endswith(b"\r\n") else b"\r\n") for p in parts)
    return head(("Content-Type", f'multipart/{subtype};{CRLF}\tboundary="{boundary}"')) + \
        b"\r\n" + body + f"--{boundary}--\r\n".encode() + epilogue


def random_bytes(size: int, salt: int) -> bytes:
    return random.Random(20240611 + salt).randbytes(size)


def text_leaf(charset: str, text: str, encoding: str, codec: str = "") -> bytes:
    return leaf(f"text/plain; charset={charset}", text.encode(codec or charset), encoding)


MESSAGES = {  # name: (subject, body with its header, extra fields)
    "ascii-dots": (f"A plain ASCII subject that is folded{CRLF} onto a second line", text_leaf(
        "us-ascii", "Hello from the corpus.\r\n.\r\n..\r\n.leading dot\r\n...three dots\r\n\r\n"
        "A line after an empty one.\r\nend\r\n", "7bit"), [("X-Folded", f"first{CRLF}\tsecond")]),
    "jis-7bit": (words("日本語の件名：長いので複数のエンコード語に分けて折り返します", "ISO-2022-JP",
                       "iso2022_jp", "B", 8), text_leaf("ISO-2022-JP", JAPANESE, "7bit", "iso2022_jp"), []),
    "sjis-8bit": (words("シフトJISの件名です", "Shift_JIS", "shift_jis", "B", 20),
                  text_leaf("Shift_JIS", JAPANESE, "8bit"), []),
    "eucjp-8bit": (words("EUC-JPの本文とUTF-8の件名", "UTF-8", "utf-8", "Q", 30),
                   text_leaf("EUC-JP", JAPANESE, "8bit", "euc_jp"), []),
    "utf8-qp": (words("UTF-8のBエンコード件名", "UTF-8", "utf-8", "B", 40), text_leaf(
        "UTF-8", "Quoted-printable: a=b, 100% sure, tab\there, trailing space \r\n日本語の長い行："
        + "あいうえおかきくけこ" * 6 + "\r\nA long ASCII line " + "abcdefghij" * 12 +
        "\r\n.a line that starts with a dot\r\n", "quoted-printable"),
        [("Reply-To", words("差出人の名前", "UTF-8", "utf-8", "B", 20) + " <ja@zef-test.localhost>")]),
    "utf8-base64": ("Re: " + words("Café crème brûlée", "ISO-8859-1", "latin-1", "Q", 40),
                    text_leaf("UTF-8", JAPANESE + "UTF-8 in base64.\r\n", "base64"), []),
    "nested-alternative": ("Re: " + words("入れ子のマルチパート", "ISO-2022-JP", "iso2022_jp", "B", 10),
                           multipart("mixed", "=_mixed_boundary_1", [multipart(
                               "alternative", "=_alt_boundary_2", [
                                   text_leaf("ISO-2022-JP", JAPANESE, "7bit", "iso2022_jp"),
                                   leaf("text/html; charset=UTF-8", ("<html><body><p>" +
                                        JAPANESE.replace(CRLF, "<br>" + CRLF) +
                                        "</p></body></html>\r\n").encode(), "quoted-printable")]),
                               leaf(f'application/pdf;{CRLF}\tname="' +
                                    words("資料.pdf", "UTF-8", "utf-8", "B", 20) + '"',
                                    random_bytes(100_000, 7), "base64",
                                    ("Content-Disposition", "attachment"))],
                               preamble=b"This is a multi-part message.\r\n"), []),
    "related": (words("関連付きマルチパート", "EUC-JP", "euc_jp", "B", 20), multipart(
        "mixed", "mix-b0undary", [multipart("related", "rel-b0undary", [
            leaf("text/html; charset=UTF-8", '<html><body><img src="cid:logo@zef"><p>関連画像つき'
                 '</p></body></html>\r\n'.encode(), "8bit"),
            leaf("image/png", random_bytes(20_000, 8), "base64", ("Content-ID", "<logo@zef>"))]),
            leaf('text/plain; charset=Shift_JIS; name="note.txt"', JAPANESE.encode("shift_jis"),
                 "base64", ("Content-Disposition", 'attachment; filename="note.txt"')),
            text_leaf("EUC-JP", JAPANESE, "quoted-printable", "euc_jp")]), []),
    "no-boundary": ("Multipart without boundary", head(("Content-Type", "multipart/mixed")) +
                    b"\r\nA multipart type without a boundary parameter.\r\n--\r\n"
                    b"--not-a-boundary\r\nlast line\r\n", []),
    "empty-body": ("Empty body", head(("Content-Type", "text/plain")) + b"\r\n", []),
    "big-attachment": ("Ten megabytes of random bytes", multipart("mixed", "big-b0undary", [
        text_leaf("us-ascii", "The attachment follows.\r\n", "7bit"),
        leaf('application/octet-stream; name="random.bin"', random_bytes(10 << 20, 11), "base64"),
        leaf('application/octet-stream; name="one.bin"', b"\x00", "base64")]), []),
    "dots-in-parts": ("Dots at line starts inside parts", multipart("mixed", "dot-b0undary", [
        text_leaf("us-ascii", ".\r\n..\r\n.dot\r\nno dot\r\n..two\r\n", "7bit"),
        head(("Content-Type", "text/plain; charset=us-ascii"),
             ("Content-Transfer-Encoding", "quoted-printable")) +
        b"\r\n.starts with a dot\r\n.=3D.\r\n",
        leaf("", b"A part without Content-Type header.\r\n", "")],
        preamble=b".preamble with a dot\r\n", epilogue=b".epilogue\r\n"), []),
    "latin1": (words("Réunion à café", "ISO-8859-1", "latin-1", "B", 40), text_leaf(
        "ISO-8859-1", "Ceci est un texte en français, encodé en ISO-8859-1.\r\n", "8bit"), []),
    # A desktop mail program's HTML message with an inline image and an attachment: the PDF
    # follows the close of two nested multiparts.
    "desktop-html-inline": (words("画像と添付つきのHTMLメール", "ISO-2022-JP", "iso2022_jp", "B", 12),
                            multipart("mixed", "------------mixed0D3A", [multipart(
                                "alternative", "------------alt7F21", [
                                    text_leaf("ISO-2022-JP", JAPANESE, "7bit", "iso2022_jp"),
                                    multipart("related", "------------relB5C0", [
                                        leaf("text/html; charset=UTF-8", ('<html><body><p>' +
                                             JAPANESE + '</p><img src="cid:part1.A@zef"></body>'
                                             '</html>\r\n').encode(), "quoted-printable"),
                                        leaf('image/png; name="logo.png"', random_bytes(3_000, 14),
                                             "base64", ("Content-ID", "<part1.A@zef>"),
                                             ("Content-Disposition", 'inline; filename="logo.png"'))])]),
                                leaf('application/pdf; name="report.pdf"', random_bytes(5_000, 15),
                                     "base64", ("Content-Disposition",
                                                'attachment; filename="report.pdf"'))]), []),
    # Declared charsets decide: short EUC-JP lines after a Shift_JIS part, and the characters
    # whose JIS mappings differ from code page 932's, in all three Japanese charsets.
    "declared-charsets": ("Declared charsets", multipart("mixed", "decl-b0undary", [
        leaf("text/plain; charset=Shift_JIS", (JAPANESE + "～∥－￠￡￢\r\n").encode("cp932"), "8bit"),
        leaf("text/plain; charset=EUC-JP", jis("深い階層\r\n～\r\n①\r\n", euc=True), "8bit"),
        leaf("text/plain; charset=ISO-2022-JP", jis(JAPANESE + "～∥－￠￡￢①\r\n"), "7bit")]), []),
    # Attachment names as desktop, web and mobile programs write them: RFC 2231 sections with a
    # charset, encoded words in quotes (UTF-8, ISO-2022-JP, Shift_JIS, EUC-JP), one name twice,
    # a name with a path in it.
    "attachment-names": ("Attachment names", multipart("mixed", "names-b0undary", [
        text_leaf("ISO-2022-JP", JAPANESE, "7bit", "iso2022_jp")] + [
        leaf(f"{kind}; name=\"{name}\"", random_bytes(300, 16 + i), "base64",
             *([("Content-Disposition", f"attachment;{CRLF} {disposition}")] if disposition else []))
        for i, (kind, name, disposition) in enumerate([
            ("application/pdf", words("議事録（第3四半期）.pdf", "UTF-8", "utf-8", "B", 40),
             "filename*0*=UTF-8''" + "%E8%AD%B0%E4%BA%8B%E9%8C%B2%EF%BC%88;" + CRLF +
             " filename*1*=%E7%AC%AC3%E5%9B%9B%E5%8D%8A%E6%9C%9F%EF%BC%89.pdf"),
            ("application/vnd.ms-excel", "book.xls",
             'filename="' + words("売上集計.xls", "ISO-2022-JP", "iso2022_jp", "B", 20) + '"'),
            ("application/msword", words("見積書.doc", "Shift_JIS", "shift_jis", "B", 20), ""),
            ("application/octet-stream", words("名簿.csv", "EUC-JP", "euc_jp", "B", 20), ""),
            ("image/png", "image.png", 'filename="image.png"'),
            ("image/png", "image.png", 'filename="image.png"'),
            ("application/octet-stream", "x", 'filename="../secret/.profile"')])]), []),
    # A web mail's shape: UTF-8 text in base64 and HTML, then an attachment named by words.
    "web-mail": (words("ウェブメールから", "UTF-8", "utf-8", "B", 20), multipart(
        "mixed", "000000000000b0a5e7061a2f6f1d", [multipart("alternative", "000000000000b0a5e2", [
            text_leaf("UTF-8", JAPANESE, "base64"), leaf('text/html; charset="UTF-8"', (
                "<div dir=\"ltr\">" + JAPANESE + "</div>\r\n").encode(), "quoted-printable")]),
            leaf('application/pdf; name="' + words("請求書.pdf", "UTF-8", "utf-8", "B", 20) + '"',
                 random_bytes(4_000, 30), "base64", ("Content-Disposition", 'attachment; filename="'
                 + words("請求書.pdf", "UTF-8", "utf-8", "B", 20) + '"'), ("X-Attachment-Id", "f_1"))]),
                 []),
    # A phone's shape: Shift_JIS text around an inline photo named by RFC 2231, inside a related
    # multipart whose closing delimiter never comes.
    "mobile-mail": (words("携帯から", "Shift_JIS", "shift_jis", "B", 20), multipart(
        "mixed", "Apple-Mail-5E1D", [multipart("related", "Apple-Mail-7C2A", [
            text_leaf("Shift_JIS", "写真を送ります。\r\n", "8bit", "cp932"),
            leaf("image/jpeg; name=IMG_0001.jpeg", random_bytes(6_000, 31), "base64", (
                "Content-Disposition", "inline; filename*=utf-8''%E5%86%99%E7%9C%9F.jpeg"))]
            ).replace(b"--Apple-Mail-7C2A--\r\n", b""), text_leaf("Shift_JIS", "以上。\r\n", "8bit")]), []),
    # Lines an mbox file must quote, and one it must not.
    "from-lines": ("From lines", text_leaf("us-ascii", "From the start of a line\r\n>From once "
                   "quoted\r\n>>From twice\r\n From after a space\r\n.From after a dot\r\n"
                   "\r\nFrom \r\n", "7bit"), []),
    # Transport padding after every delimiter line, the PDF after the nested close; its name an
    # RFC 2231 value in quotes, and a name beside a parameter whose name only begins the same.
    "padded-delimiters": ("Padded delimiters", re.sub(rb"(?<=\n)(--pad-(?:mix|alt)(?:--)?)\r\n",
        rb"\1 \t\r\n", multipart("mixed", "pad-mix", [multipart("alternative", "pad-alt", [
            text_leaf("UTF-8", JAPANESE, "8bit"), leaf("text/html; charset=UTF-8", (
                "<p>" + JAPANESE + "</p>\r\n").encode(), "quoted-printable")]),
            leaf("application/pdf", random_bytes(2_000, 40), "base64", ("Content-Disposition",
                 "attachment; filename*=\"utf-8''%E6%97%A5%E6%9C%AC.pdf\"")),
            leaf("text/plain", b"plain\r\n", "7bit", ("Content-Disposition",
                 'attachment; filename="plain.txt"; filenameX1="stray.txt"'))],
            preamble=b"preamble\r\n")), []),
}


def main() -> None:
    os.makedirs(sys.argv[1], exist_ok=True)
    for number, (stem, (subject, body, extra)) in enumerate(MESSAGES.items(), start=1):
        name = f"{number:02d}-{stem}"
        raw = head(("Return-Path", "<corpus@zef-test.localhost>"),
                   ("From", '"Corpus Writer" <corpus@zef-test.localhost>'),
                   ("To", "reader@zef-test.localhost"), ("Subject", subject),
                   ("Date", "Tue, 11 Jun 2024 10:00:00 +0900"),
                   ("Message-ID", f"<{name}@zef-test.localhost>"), ("X-Corpus-Id", name),
                   ("MIME-Version", "1.0"), *extra) + body
        with open(os.path.join(sys.argv[1], name + ".eml"), "wb") as f:
            f.write(raw)


if __name__ == "__main__":
    main()
