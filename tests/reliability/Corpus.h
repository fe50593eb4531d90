// The test mail: a handful of realistic messages as they lie in a mailbox (CR LF line ends
// unless a message is about odd line ends).
#pragma once

#include <string>
#include <vector>

#include "common/Types.h"

namespace zef::reliability {

struct CorpusMessage {
    std::string name;
    Bytes bytes;
};

// ASCII with dot lines and a folded field; ISO-2022-JP with encoded words; Shift_JIS text and a
// base64 attachment; UTF-8 quoted-printable; nested multiparts with EUC-JP and base64 HTML and a
// message/rfc822 part; a multipart type without boundary and odd line ends; a header without a
// body.
const std::vector<CorpusMessage>& Corpus();

}  // namespace zef::reliability
