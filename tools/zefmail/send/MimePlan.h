// The structure of an outgoing multipart message and the answers to smtpZef's MimeHead and
// MimeBody events.
//
// The control asks for part after part by depth and number: (1,1), (1,2), ... and, inside a
// nested multipart opened as part p, (2,1), (2,2), ...; an empty ContentType closes the open
// multipart. The plan keeps the chain of open multiparts and answers each question from it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Types.h"
#include "tools/zefmail/send/BodyStreams.h"

namespace zef::zefmail {

struct PlannedPart {
    std::string contentType;  // a leaf type, or "multipart/<subtype>" with children
    std::string charset;
    std::string name;  // UTF-8; written as the name parameter
    std::string transferEncoding;
    std::string dataFormat;                              // "Unicode" (UTF-16LE text) or "Binary"
    std::function<std::unique_ptr<PieceSource>()> open;  // the data of a leaf
    std::vector<PlannedPart> children;
};

// What one MimeHead answer holds, as the event's by-reference strings.
struct HeadAnswer {
    Text originalDataFormat;
    Text contentType;  // empty: the open multipart has no part with this number
    Text contentName;
    Text contentCharset;
    Text transferEncoding;
    Text additionalHeader;
};

class MimePlan {
  public:
    // `parts` are the parts of the top-level multipart.
    explicit MimePlan(std::vector<PlannedPart> parts);

    // Fills `answer` for the part (depth, part) and, for a leaf, opens its data.
    void Head(long depth, long part, HeadAnswer& answer);
    // The next piece of the leaf opened last; empty at its end.
    Bytes Body();
    // Input bytes consumed so far by all leaves.
    uint64_t Consumed() const;

  private:
    std::vector<PlannedPart> top_;
    std::vector<const std::vector<PlannedPart>*> open_;  // open_[d-1]: the parts at depth d
    std::unique_ptr<PieceSource> current_;
    uint64_t finishedBytes_ = 0;
};

// The parts zefmail sends: the text (text/plain, ISO-2022-JP, 7bit), the HTML (text/html,
// UTF-8, quoted-printable), both in a multipart/alternative when both are given, then each
// attachment in base64. Empty paths are left out. `inspectText` sees the text part's pieces.
// `charset` is that of the text part: iso-2022-jp (7bit) or utf-8 (quoted-printable).
std::vector<PlannedPart> PlanParts(const std::string& bodyPath, const std::string& htmlPath,
                                   const std::vector<std::string>& attachments,
                                   const TextInspector& inspectText = {},
                                   const std::string& charset = "iso-2022-jp");

// A file name made safe for the name parameter: the last path component, with quotes and
// backslashes escaped and control characters replaced.
std::string ContentNameForFile(const std::string& path);

}  // namespace zef::zefmail
