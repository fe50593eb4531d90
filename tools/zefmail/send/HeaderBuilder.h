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
    kPlainUtf8,  // the same in UTF-8, quoted-printable
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

// The envelope a header names: its From and every address of its To, Cc and Bcc fields, and
// whether it has the fields a submitted message must have.
struct HeaderEnvelope {
    std::string from;
    std::vector<std::string> recipients;
    bool hasFrom = false;
    bool hasDate = false;
    bool hasMessageId = false;
};

// Reads the envelope from header lines (CRLF, folded lines allowed) and returns the header
// without its Bcc fields, which must reach their recipients but never the message. Address
// lists are split at commas outside quotes, angle brackets and comments; group names
// ("team: a@x, b@y;") are dropped.
std::string TakeEnvelope(const std::string& header, HeaderEnvelope& envelope);

// Splits one address list as TakeEnvelope does.
std::vector<std::string> SplitAddressList(const std::string& list);

// The address alone, as MAIL FROM and RCPT TO need it: the text in angle brackets, or else
// the text outside comments ("root (Cron Daemon)" is root), trimmed.
std::string BareAddress(const std::string& entry);

// The entries less those whose address an earlier one has (the domain compared without case),
// so that no recipient is given the message twice.
std::vector<std::string> UniqueAddresses(const std::vector<std::string>& entries);

// "Tue, 01 Jul 2025 09:30:00 +0900" for the given time in local time.
std::string Rfc5322Date(std::time_t when);

// "<seconds.random@host>".
std::string NewMessageId(std::time_t when, const std::string& host);

}  // namespace zef::zefmail
