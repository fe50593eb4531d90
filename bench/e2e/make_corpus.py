#!/usr/bin/python3
"""Writes the benchmark mailbox: Japanese-heavy MIME messages made with Python's email package.

  make_corpus.py OUTPUT_DIR [--messages N] [--megabytes MB] [--seed S]

The mix: text in ISO-2022-JP (7bit), Shift_JIS (8bit, base64), EUC-JP (8bit,
quoted-printable) and UTF-8 (8bit, quoted-printable, base64); header fields with encoded words;
single-part messages, multipart/mixed with attachments, multipart/alternative inside
multipart/mixed, and multipart/related inside multipart/alternative inside multipart/mixed
(a nested multipart always the last part of its parent);
attachments of random bytes (fixed seed) from 1 KB to 10 MB, spread log-uniformly and scaled so
that the whole mailbox comes to about MB megabytes (one attachment is always 10 MB when the
total allows it). Files are NNNN.eml with CR LF line ends, as on the wire. The same arguments
always give the same bytes.
"""

import argparse
import io
import math
import os
import random
from email import policy
from email.generator import BytesGenerator
from email.header import Header
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.nonmultipart import MIMENonMultipart
from email import encoders

KB = 1024
MB = 1000 * 1000  # sizes of the mailbox in MB of 10^6 bytes, as throughput is given
MIB = 1024 * 1024
MIN_ATTACHMENT = 1 * KB
MAX_ATTACHMENT = 10 * MIB
BASE64_GROWTH = 4 / 3 * 78 / 76  # base64 with a CR LF after every 76 characters

SENTENCES = [
    "本日の会議は午後三時から第二会議室で行います。",
    "資料は添付ファイルをご確認ください。",
    "先日お送りした見積書について、いくつか質問があります。",
    "来週の月曜日までにご返信いただけますと幸いです。",
    "新しいシステムの導入に伴い、作業手順が変更になります。",
    "ご不明な点がございましたら、お気軽にお問い合わせください。",
    "東京本社と大阪支店の担当者が出席する予定です。",
    "プロジェクトの進捗状況を報告いたします。",
    "カタカナとひらがな、そして漢字が混ざった文章です。",
    "メールの本文は一行ずつ届き、部品ごとに復号されます。",
    "全角の英数字ＡＢＣ１２３と記号「」、。・も含みます。",
    "天気予報によると、明日は雨のち晴れだそうです。",
    "ZEF は日本語のメールを扱うライブラリです。",
    "Version 2.1 の変更点：速度の改善、メモリ使用量の削減。",
    "添付した表計算ファイルには四月から六月までの売上が入っています。",
    "よろしくお願いいたします。",
]

# charset label, Python codec, the transfer encodings used with it
TEXT_CHARSETS = [
    ("ISO-2022-JP", "iso2022_jp", ["7bit"]),
    ("Shift_JIS", "shift_jis", ["8bit", "base64"]),
    ("EUC-JP", "euc_jp", ["8bit", "quoted-printable"]),
    ("UTF-8", "utf-8", ["8bit", "quoted-printable", "base64"]),
]

SUBJECTS = ["会議の資料について", "見積書の件", "プロジェクト進捗報告", "来週の予定",
            "システム変更のお知らせ", "売上データ送付", "Re: お問い合わせの件", "週報"]

ATTACHMENT_TYPES = [("application", "pdf", "資料.pdf"), ("application", "octet-stream", "data.bin"),
                    ("image", "jpeg", "写真.jpg"), ("application", "zip", "archive.zip"),
                    ("application", "vnd.ms-excel", "売上表.xls")]


def japanese_text(rng: random.Random, approx_chars: int) -> str:
    """Lines of about 30 characters made of whole sentences; CR LF line ends."""
    lines, line, total = [], "", 0
    while total < approx_chars:
        sentence = rng.choice(SENTENCES)
        line += sentence
        total += len(sentence)
        if len(line) >= 30 or rng.random() < 0.2:
            lines.append(line)
            line = ""
            if rng.random() < 0.1:
                lines.append("")  # a paragraph break
    if line:
        lines.append(line)
    return "\r\n".join(lines) + "\r\n"


def text_part(rng: random.Random, text: str, subtype: str = "plain") -> MIMENonMultipart:
    """A text part in a charset and transfer encoding drawn from the mix."""
    label, codec, encodings = rng.choice(TEXT_CHARSETS)
    encoding = rng.choice(encodings)
    data = text.encode(codec)
    part = MIMENonMultipart("text", subtype, charset=label)
    if encoding == "base64":
        part.set_payload(data)
        encoders.encode_base64(part)
    elif encoding == "quoted-printable":
        part.set_payload(data)
        encoders.encode_quopri(part)
    else:
        # 7bit and 8bit go as they are; surrogateescape carries the 8-bit bytes through the
        # generator unchanged.
        part.set_payload(data.decode("ascii", "surrogateescape"))
        part["Content-Transfer-Encoding"] = encoding
    return part


def html_of(text: str) -> str:
    body = "<br>\r\n".join(line for line in text.split("\r\n") if line)
    return f"<html><body><p>\r\n{body}\r\n</p></body></html>\r\n"


def attachment(rng: random.Random, data: bytes) -> MIMEBase:
    maintype, subtype, filename = rng.choice(ATTACHMENT_TYPES)
    part = MIMEApplication(data, subtype) if maintype == "application" else \
        MIMEBase(maintype, subtype)
    if maintype != "application":
        part.set_payload(data)
        encoders.encode_base64(part)
    part.add_header("Content-Disposition", "attachment", filename=("utf-8", "", filename))
    part.set_param("name", Header(filename, "utf-8").encode())
    return part


def headers(msg, rng: random.Random, number: int) -> None:
    msg["From"] = Header("山田 太郎", rng.choice(["iso-2022-jp", "utf-8"])).encode() + \
        " <taro@bench.localhost>"
    msg["To"] = "hanako@bench.localhost"
    msg["Subject"] = Header(f"{rng.choice(SUBJECTS)} ({number})",
                            rng.choice(["iso-2022-jp", "utf-8", "shift_jis", "euc-jp"])).encode()
    msg["Date"] = "Tue, 11 Jun 2024 10:00:00 +0900"
    msg["Message-ID"] = f"<{number:04d}@bench.localhost>"
    msg["MIME-Version"] = "1.0"


# The shapes, with how many attachments each carries.
SHAPES = ["single", "mixed", "alternative", "related", "mixed", "alternative"]
ATTACHMENTS = {"single": 0, "mixed": 2, "alternative": 1, "related": 1}


def build(seed: int, number: int, shape: str, sizes: list[int]):
    """One message. Its text and structure depend on the seed and number alone, so that the
    attachment sizes can be chosen after the rest of the mailbox has been measured."""
    rng = random.Random(f"{seed}-{number}")
    text = japanese_text(rng, rng.randint(500, 12000))
    if shape == "single":
        msg = text_part(rng, text)
    else:
        msg = MIMEMultipart("mixed", boundary=f"=_bench_{number}_mixed")
        if shape == "mixed":
            body = text_part(rng, text)
        else:
            body = MIMEMultipart("alternative", boundary=f"=_bench_{number}_alt")
            body.attach(text_part(rng, text))
            html = text_part(rng, html_of(text), "html")
            if shape == "related":
                related = MIMEMultipart("related", boundary=f"=_bench_{number}_rel")
                related.attach(html)
                image = MIMEBase("image", "png")
                image.set_payload(rng.randbytes(rng.randint(2 * KB, 40 * KB)))
                encoders.encode_base64(image)
                image["Content-ID"] = f"<logo{number}@bench.localhost>"
                related.attach(image)
                body.attach(related)
            else:
                body.attach(html)
        attachments = [attachment(rng, random.Random(f"{seed}-{number}-{k}").randbytes(size))
                       for k, size in enumerate(sizes)]
        # A nested multipart comes last in its parent: popZef reads no further part of a
        # multipart once a nested one in it has closed (the behaviour it keeps compatible),
        # and every tool measured should decode the same data.
        for part in ([body] + attachments if shape == "mixed" else attachments + [body]):
            msg.attach(part)
    headers(msg, rng, number)
    return msg


def attachment_sizes(rng: random.Random, count: int, budget: int) -> list[int]:
    """count sizes, log-uniform in [1 KB, 10 MB], scaled so that their base64 form fills the
    budget; one of them is 10 MB when the budget has room for it."""
    raw = [math.exp(rng.uniform(math.log(MIN_ATTACHMENT), math.log(MAX_ATTACHMENT)))
           for _ in range(count)]
    target = budget / BASE64_GROWTH
    pinned = 1 if count > 1 and target >= 2 * MAX_ATTACHMENT else 0
    if pinned:
        raw.remove(max(raw))
        target -= MAX_ATTACHMENT
    sizes = []
    for _ in range(50):  # the clamping moves the sum: settle by repeated scaling
        sizes = [min(MAX_ATTACHMENT, max(MIN_ATTACHMENT, int(s))) for s in raw]
        total = sum(sizes)
        if total == 0 or abs(total - target) < target * 0.001:
            break
        raw = [s * target / total for s in raw]
    if pinned:
        sizes.insert(rng.randrange(len(sizes) + 1), MAX_ATTACHMENT)
    return sizes


def flatten(msg) -> bytes:
    out = io.BytesIO()
    BytesGenerator(out, policy=policy.SMTP).flatten(msg)
    return out.getvalue()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--messages", type=int, default=300)
    parser.add_argument("--megabytes", type=float, default=106)
    parser.add_argument("--seed", type=int, default=20240611)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    rng = random.Random(args.seed)
    shapes = [SHAPES[i % len(SHAPES)] for i in range(args.messages)]
    rng.shuffle(shapes)
    # Everything but the attachment data, measured with empty attachments; the rest of the
    # budget goes to the attachments.
    frame = sum(len(flatten(build(args.seed, number, shape, [0] * ATTACHMENTS[shape])))
                for number, shape in enumerate(shapes, start=1))
    slots = sum(ATTACHMENTS[s] for s in shapes)
    sizes = attachment_sizes(rng, slots, max(0, int(args.megabytes * MB) - frame))

    total = 0
    for number, shape in enumerate(shapes, start=1):
        mine, sizes = sizes[:ATTACHMENTS[shape]], sizes[ATTACHMENTS[shape]:]
        msg = build(args.seed, number, shape, mine)
        path = os.path.join(args.out, f"{number:04d}.eml")
        with open(path, "wb") as f:
            BytesGenerator(f, policy=policy.SMTP).flatten(msg)
        total += os.path.getsize(path)
    print(f"make_corpus: {args.messages} messages, {total / MB:.1f} MB in {args.out}")


if __name__ == "__main__":
    main()
