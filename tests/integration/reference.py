#!/usr/bin/python3
"""Python's reading of mail, which the integration tests hold the controls and zefmail to.

  reference.py compare FOLDER FILE.eml  compare(): what FOLDER (as `zefmail fetch --out` writes a
                                        message) gets wrong about the message; [] when nothing
  reference.py mailbox PORT USER PASS   mailbox()
  reference.py leaks USER PASS FILE     leaks() in the file
"""

import base64
import email
import email.policy
import hmac
import json
import os
import pathlib
import poplib
import re
import sys
from email.header import decode_header, make_header


def read_json(*path: str):
    return json.loads(pathlib.Path(*path).read_text(encoding="utf-8"))


def decoded(raw: str) -> str:
    try:
        return str(make_header(decode_header(raw)))
    except (LookupError, UnicodeError, email.errors.HeaderParseError):
        return raw


def sjis_pair(row: int, cell: int) -> bytes:
    """The Shift_JIS bytes of a JIS X 0208 row and cell (1 to 94)."""
    return bytes([(row - 1) // 2 + (0x81 if row <= 62 else 0xC1),
                  (cell + (0x3F if cell < 64 else 0x40)) if row % 2 else cell + 0x9E])


def cp932_text(data: bytes, charset: str) -> str:
    """A Japanese part read by its declared charset as Japanese desktop mail reads it: every JIS
    code by its code page 932 mapping (0x2141 is U+FF5E)."""
    if charset in ("shift_jis", "cp932", "windows-31j"):
        return data.decode("cp932", "replace")
    out, two, i = [], False, 0
    while charset == "euc-jp" and i < len(data):
        step = 3 if data[i] == 0x8F else 2 if data[i] >= 0x8E else 1
        code = data[i:i + step]
        out.append(code.decode("euc_jp", "replace") if step != 2 or code[0] == 0x8E else
                   sjis_pair(code[0] - 0xA0, code[1] - 0xA0).decode("cp932", "replace"))
        i += step
    for piece in re.split(rb"(\x1b[$(][@BJ])", data) if charset == "iso-2022-jp" else []:
        two = piece[1:2] == b"$" if piece.startswith(b"\x1b") else two
        out += [] if piece.startswith(b"\x1b") else [piece.decode("ascii", "replace")] if not two \
            else [sjis_pair(piece[k] - 0x20, piece[k + 1] - 0x20).decode("cp932", "replace")
                  for k in range(0, len(piece) - 1, 2)]
    return "".join(out)


def fields(part) -> list[dict]:
    return [{"name": name, "raw": raw, "decoded": decoded(raw)} for name, raw in part.items()]


def describe(raw: bytes) -> dict:
    """The message's fields, and each leaf part in the order a streaming parser meets them."""
    compat = email.message_from_bytes(raw, policy=email.policy.compat32)
    modern = email.message_from_bytes(raw, policy=email.policy.default)
    leaves = []
    for part, read in zip(compat.walk(), modern.walk()):
        try:
            text = read.get_content() if part.get_content_maintype() == "text" else None
            charset = part.get_content_charset()
            if text is not None and charset in ("iso-2022-jp", "shift_jis", "euc-jp"):
                text = cp932_text(part.get_payload(decode=True), charset)
        except (LookupError, UnicodeError):
            text = None  # Python cannot read it as text either
        leaves += [] if part.is_multipart() else [{
            "content_type": read.get_content_type(), "charset": part.get_content_charset(),
            "filename": read.get_filename(), "data": part.get_payload(decode=True) or b"",
            "text": text, "transfer_encoding": str(part.get("Content-Transfer-Encoding", "7bit")).lower(),
            "headers": [] if part is compat else fields(part)}]  # a single part: the message's
    return {"size": len(raw), "headers": fields(compat), "leaves": leaves,
            "multiparts": sum(part.is_multipart() for part in compat.walk())}


def same_text(a: str, b: str) -> bool:
    """Equal but for one line end at the close: the CR LF before a boundary (or the final dot)
    belongs to the delimiter for one reader and to the data for the other."""
    a, b = a.replace("\r\n", "\n"), b.replace("\r\n", "\n")
    return a == b or a == b + "\n" or b == a + "\n"


def compare(folder: str, eml: str) -> list[str]:
    """What folder/message.json (size, headers [[name, value]], parts with content_type, charset,
    headers and a file of bytes or a text_file; optionally "opens", the MultiPartOpen events)
    and the part files get wrong about the message."""
    raw = pathlib.Path(eml).read_bytes()
    seen = read_json(folder, "message.json")
    expected = describe(raw)
    wrong = []

    def check(what, got, want):
        wrong.extend([f"{what}: {got!r}, Python: {want!r}"] if got != want else [])

    check("size", seen["size"], expected["size"])
    if "opens" in seen:  # MultiPartOpen events: one for the message, one per inner multipart
        check("opens", seen["opens"], max(1, expected["multiparts"]))
    parts = [part for part in seen["parts"] if part.get("file") or part.get("text_file")]
    leaves = expected["leaves"]
    check("parts", len(parts), len(leaves))
    for where, got, want in [("message", seen["headers"], expected["headers"])] + [
            (f"part {i}", p["headers"], l["headers"]) for i, (p, l) in enumerate(zip(parts, leaves))]:
        check(where + " fields", [name for name, _ in got], [field["name"] for field in want])
        for (name, value), field in zip(got, want):
            if "=?" in field["raw"]:  # encoded words: spacing may differ, the characters not
                check(name, re.sub(r"\s", "", value), re.sub(r"\s", "", field["decoded"]))
            else:  # a folded line is joined to the one before with nothing between
                check(name, value, re.sub(r"\r\n[ \t]+", "", field["raw"]))
    names = [leaf["filename"] for leaf in leaves]
    for i, (part, leaf) in enumerate(zip(parts, leaves)):
        check(f"part {i}", (part["content_type"].lower(), part["charset"].lower(),
                            part["filename"]), (leaf["content_type"], leaf["charset"] or "",
                                                leaf["filename"]))
        if names.count(leaf["filename"]) == 1 and re.fullmatch(r"[^./\\\0-\x1f][^/\\\0-\x1f]*",
                                                                leaf["filename"] or "."):
            check(f"part {i} saved as its name", part["file"], leaf["filename"])
        if part.get("file"):
            data = pathlib.Path(folder, part["file"]).read_bytes()
            check(f"part {i} is Python's data ({len(data)} bytes)",
                  data in (leaf["data"], leaf["data"] + b"\r\n"), True)
        if part.get("text_file") and leaf["text"] is not None:
            text = pathlib.Path(folder, part["text_file"]).read_text(encoding="utf-8")
            check(f"part {i}", leaf["text"] if same_text(text, leaf["text"]) else text, leaf["text"])
    return wrong


def mailbox(port: str, user: str, password: str) -> list[str]:
    """The X-Corpus-Id (else Message-ID) of each message in a POP3 mailbox on 127.0.0.1."""
    pop = poplib.POP3("127.0.0.1", int(port), timeout=10)
    try:
        pop.user(user)
        pop.pass_(password)
        heads = [email.message_from_bytes(b"\r\n".join(pop.top(n + 1, 0)[1]))
                 for n in range(len(pop.list()[1]))]
        return [head.get("X-Corpus-Id") or head.get("Message-ID") for head in heads]
    finally:
        pop.quit()


def leaks(user: str, password: str, text: bytes) -> dict:
    """The forms of the password found in text, and how many forms there are: the password, as
    LOGIN and PLAIN send it, and the CRAM-MD5 answer to each challenge the text shows."""
    forms = [password.encode(), base64.b64encode(password.encode()),
             base64.b64encode(f"\0{user}\0{password}".encode())]
    for challenge in re.findall(rb"AUTH CRAM-MD5\s*\n(?:.*\n)*?.*?334 (\S+)", text):
        digest = hmac.new(password.encode(), base64.b64decode(challenge), "md5").hexdigest()
        forms += [digest.encode(), base64.b64encode(f"{user} {digest}".encode())]
    return {"found": [form.decode() for form in forms if form in text], "forms": len(forms)}


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "leaks":
        print(json.dumps(leaks(*args[:2], pathlib.Path(args[2]).read_bytes())))
    else:
        print(json.dumps({"compare": compare, "mailbox": mailbox}[command](*args), ensure_ascii=False))
