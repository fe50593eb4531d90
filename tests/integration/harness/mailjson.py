"""What Python's email package reads in a message, as plain JSON data.

This is the independent reference the integration tests compare the controls with: the corpus
expectations and the checker's view of what the SMTP server received both come from here.
"""

import email
import email.policy
import hashlib
from email.header import decode_header, make_header


def decoded_header(raw: str) -> str:
    try:
        return str(make_header(decode_header(raw)))
    except (LookupError, UnicodeError, email.errors.HeaderParseError):
        return raw


def headers_of(compat_part, modern_part) -> list[dict]:
    """Each field as written (raw), decoded word by word (decode_header and make_header), and
    as the modern policy reads it (value: unfolded, RFC 2047 applied)."""
    return [{"name": name, "raw": raw, "decoded": decoded_header(raw), "value": str(value)}
            for (name, raw), (_, value) in zip(compat_part.items(), modern_part.items())]


def text_of(part) -> str | None:
    """The decoded text of a text part; None when Python cannot decode it either."""
    if part.get_content_maintype() != "text":
        return None
    try:
        return part.get_content()
    except (LookupError, UnicodeError):
        return None


def leaf_of(compat_part, modern_part, is_message: bool) -> dict:
    data = compat_part.get_payload(decode=True) or b""
    return {
        "content_type": modern_part.get_content_type(),
        "charset": compat_part.get_content_charset(),
        "filename": modern_part.get_filename(),
        "transfer_encoding": str(compat_part.get("Content-Transfer-Encoding", "7bit")).lower(),
        "length": len(data),
        "sha256": hashlib.sha256(data).hexdigest(),
        "text": text_of(modern_part),
        # A message without parts is its own leaf; its header fields are the message's.
        "headers": [] if is_message else headers_of(compat_part, modern_part),
    }


def top_lines(raw: bytes, body_lines: int) -> list:
    """The lines that TOP with body_lines brings, as text and dot-stuffed as the server sends
    them: the header, the empty line and the first body lines. A line with 8-bit bytes or
    ISO-2022-JP escapes is decoded with the message's charset when that is a Japanese one or
    UTF-8 (the ones the controls read without being told); None otherwise."""
    charset = email.message_from_bytes(raw, policy=email.policy.compat32).get_content_charset()
    if charset not in (None, "us-ascii", "iso-2022-jp", "shift_jis", "euc-jp", "utf-8"):
        charset = "unreadable"
    head, _, body = raw.partition(b"\r\n\r\n")
    body_split = body.split(b"\r\n")
    if body_split[-1] == b"":
        body_split.pop()  # nothing after the last line end
    wanted = head.split(b"\r\n") + [b""] + body_split[:body_lines]
    lines = []
    for line in wanted:
        if line.startswith(b"."):
            line = b"." + line
        if line.isascii() and b"\x1b" not in line:
            lines.append(line.decode("ascii"))
            continue
        try:
            lines.append(line.decode(charset or "iso2022_jp"))
        except (LookupError, UnicodeError):
            lines.append(None)
    return lines


def describe(raw: bytes) -> dict:
    """Header fields of the message, and every leaf part in the order a streaming parser
    meets them, with its decoded bytes' length and sha256 and, for text, its decoded text."""
    compat = email.message_from_bytes(raw, policy=email.policy.compat32)
    modern = email.message_from_bytes(raw, policy=email.policy.default)
    leaves = []
    multiparts = 0
    for compat_part, modern_part in zip(compat.walk(), modern.walk()):
        if compat_part.is_multipart():
            multiparts += 1
        else:
            leaves.append(leaf_of(compat_part, modern_part, compat_part is compat))
    return {
        "id": compat.get("X-Corpus-Id"),
        "size": len(raw),
        "headers": headers_of(compat, modern),
        "multiparts": multiparts,
        "leaves": leaves,
    }
