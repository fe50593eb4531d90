// The message header zefmail hands to smtpZef: built from the command line, or read from a
// file as it stands. UTF-8 here; the control turns non-ASCII words into encoded words.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace zef::zefmail {

struct HeaderFields {
    std::string from;
    std::vector<std::string> to;
    std::vector<std::string> cc;
    std::string subject;
    std::string date;       // RFC 5322 date-time
    std::string messageId;  // with its angle brackets
};

// How the body follows the header.
enum class BodyKind {
    kPlain,      // sent through MoreData as ISO-2022-JP text: the header declares it and ends
                 // with the empty line
    kMultipart,  // the control writes MIME-Version and the multipart Content-Type itself
};

// Header lines, each ended by CRLF. Line breaks inside values become spaces so that no value
// can start a field of its own.
std::string BuildHeader(const HeaderFields& fields, BodyKind kind);

// The header lines of a file (UTF-8, LF or CRLF), ended by CRLF each. For a plain body the
// MIME fields are added when the file has no Content-Type, and the empty line follows.
// Throws ToolError for an empty line inside the header, or for MIME fields that would clash
// with the ones the control writes for a multipart message.
std::string LoadHeaderFile(const std::string& path, BodyKind kind);

// "Tue, 01 Jul 2025 09:30:00 +0900" for the given time in local time.
std::string Rfc5322Date(std::time_t when);

// "<seconds.random@host>".
std::string NewMessageId(std::time_t when, const std::string& host);

}  // namespace zef::zefmail
