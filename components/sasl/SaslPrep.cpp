// SASLprep through ICU's StringPrep profile. Printable ASCII is its own SASLprep form, so the
// common case needs no ICU call.
#include <unicode/usprep.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "components/sasl/Sasl.h"

namespace zef::sasl {

namespace {

struct ProfileCloser {
    void operator()(UStringPrepProfile* profile) const { usprep_close(profile); }
};

bool IsPrintableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

std::optional<std::string> SaslPrep(std::string_view text) {
    if (IsPrintableAscii(text)) {
        return std::string(text);
    }
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UStringPrepProfile, ProfileCloser> profile(
        usprep_openByType(USPREP_RFC4013_SASLPREP, &status));
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    // UTF-8 to UTF-16, strictly: an invalid sequence is an error, not a replacement.
    std::vector<UChar> source(text.size() + 1);
    int32_t sourceLength = 0;
    u_strFromUTF8(source.data(), static_cast<int32_t>(source.size()), &sourceLength, text.data(),
                  static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    // Mapping may lengthen the text (NFKC of ligatures and the like); ICU says by how much.
    std::vector<UChar> prepared(static_cast<size_t>(sourceLength) * 4 + 16);
    const int32_t preparedLength = usprep_prepare(
        profile.get(), source.data(), sourceLength, prepared.data(),
        static_cast<int32_t>(prepared.size()), USPREP_ALLOW_UNASSIGNED, nullptr, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::string utf8(static_cast<size_t>(preparedLength) * 3 + 1, '\0');
    int32_t utf8Length = 0;
    u_strToUTF8(utf8.data(), static_cast<int32_t>(utf8.size()), &utf8Length, prepared.data(),
                preparedLength, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    utf8.resize(static_cast<size_t>(utf8Length));
    return utf8;
}

}  // namespace zef::sasl
