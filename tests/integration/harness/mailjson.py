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


def headers_of(part) -> list[dict]:
    return [{"name": name, "raw": raw, "decoded": decoded_header(raw)}
            for name, raw in part.items()]


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
        "headers": [] if is_message else headers_of(compat_part),
    }


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
        "headers": headers_of(compat),
        "multiparts": multiparts,
        "leaves": leaves,
    }
