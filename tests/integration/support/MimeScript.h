// The application side of a multipart send with smtpZef: a plan of leaf parts by (depth, part)
// that answers MimeHead and hands out each part's data in pieces through MimeBody.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/Types.h"
#include "smtp/smtpZef.h"

namespace zef::integration {

struct PartPlan {
    std::string format = "Unicode";  // OriginalDataFormat
    std::string contentType, name, charset, encoding, additional;
    std::vector<Bytes> pieces;  // what MimeBody hands out, one piece per call
};

// 57 bytes make one base64 line; pieces of a multiple of 57 keep every line whole.
inline constexpr size_t kBase64Piece = 57 * 1024;

class MimeScript {
  public:
    // A part number the plan does not hold closes the open multipart.
    std::map<std::pair<long, long>, PartPlan> plan;
    // (Depth, Part) of every MimeHead, in order.
    std::vector<std::pair<long, long>> heads;

    // Sets MimeHead and MimeBody of the control; the script must outlive the send.
    void Attach(smtpZef& smtp);

  private:
    std::map<std::pair<long, long>, size_t> nextPiece_;
};

// Reproducible random bytes.
Bytes RandomBytes(size_t size, unsigned seed);

// The data cut into pieces of `size` bytes (the last may be shorter).
std::vector<Bytes> Slices(const Bytes& data, size_t size);

// UTF-8 texts as the UTF-16LE pieces of a part with OriginalDataFormat "Unicode".
std::vector<Bytes> TextPieces(const std::vector<std::string>& utf8);

}  // namespace zef::integration
