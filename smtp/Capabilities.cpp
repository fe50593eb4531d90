#include "smtp/Capabilities.h"

#include <algorithm>
#include <array>

#include "common/Unicode.h"

namespace zef::smtp {

namespace {

constexpr std::array kNames = {u"",        u"CRAM-MD5",    u"LOGIN",        u"PLAIN",
                               u"XOAUTH2", u"OAUTHBEARER", u"SCRAM-SHA-256"};

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

Text UpperCase(std::u16string_view text) {
    Text upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(), Upper);
    return upper;
}

// The words of `text` split at spaces, upper case, as ASCII (other characters become '?').
std::vector<std::string> Words(std::u16string_view text) {
    std::vector<std::string> words;
    std::string word;
    for (const char16_t c : text) {
        if (c == u' ') {
            if (!word.empty()) {
                words.push_back(std::move(word));
                word.clear();
            }
        } else {
            word += c < 0x80 ? static_cast<char>(Upper(c)) : '?';
        }
    }
    if (!word.empty()) {
        words.push_back(std::move(word));
    }
    return words;
}

bool IsDigits(std::u16string_view text, size_t min, size_t max) {
    return text.size() >= min && text.size() <= max &&
           std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

}  // namespace

Text MechanismName(Mechanism mechanism) {
    return kNames[static_cast<size_t>(mechanism)];
}

Mechanism MechanismNamed(std::u16string_view name) {
    const Text upper = UpperCase(name);
    for (const auto mechanism :
         {Mechanism::kXOAuth2, Mechanism::kOAuthBearer, Mechanism::kScramSha256}) {
        if (upper == MechanismName(mechanism)) {
            return mechanism;
        }
    }
    return Mechanism::kNone;
}

void EhloCapabilities::Read(const std::vector<Text>& replyLines) {
    Clear();
    for (size_t i = 1; i < replyLines.size(); ++i) {
        const std::u16string_view line = replyLines[i];
        const std::u16string_view keyword = line.size() > 4 ? line.substr(4) : u"";
        keywords_ += (i > 1 ? u"\r\n" : u"") + Text(keyword);
        const std::vector<std::string> words = Words(keyword);
        if (words.empty()) {
            continue;
        }
        keywordNames_.push_back(words[0]);
        if (words[0] == "ENHANCEDSTATUSCODES") {
            enhancedStatusCodes_ = true;
        } else if (words[0] == "AUTH" || words[0].starts_with("AUTH=")) {
            std::vector<std::string> mechanisms(words.begin() + 1, words.end());
            if (words[0].size() > 5) {
                mechanisms.insert(mechanisms.begin(), words[0].substr(5));
            }
            for (std::string& mechanism : mechanisms) {
                if (std::find(authMechanisms_.begin(), authMechanisms_.end(), mechanism) ==
                    authMechanisms_.end()) {
                    authMechanisms_.push_back(std::move(mechanism));
                }
            }
        }
    }
}

bool EhloCapabilities::Offers(Mechanism mechanism) const {
    const std::string name = TextToUtf8(MechanismName(mechanism));
    return std::find(authMechanisms_.begin(), authMechanisms_.end(), name) != authMechanisms_.end();
}

bool EhloCapabilities::HasKeyword(const std::string& keyword) const {
    return std::find(keywordNames_.begin(), keywordNames_.end(), keyword) != keywordNames_.end();
}

Mechanism ChooseMechanism(const EhloCapabilities& server, bool haveToken, bool havePassword) {
    using enum Mechanism;
    const std::vector<Mechanism> tokenOrder = {kOAuthBearer, kXOAuth2};
    const std::vector<Mechanism> passwordOrder = {kScramSha256, kCramMd5, kPlain, kLogin};
    for (const auto& [allowed, order] :
         {std::pair{haveToken, &tokenOrder}, std::pair{havePassword, &passwordOrder}}) {
        if (!allowed) {
            continue;
        }
        for (const Mechanism mechanism : *order) {
            if (server.Offers(mechanism)) {
                return mechanism;
            }
        }
    }
    return kNone;
}

Text EnhancedStatusOf(std::u16string_view line) {
    if (line.size() < 9 || (line[3] != u' ' && line[3] != u'-')) {
        return {};
    }
    const std::u16string_view rest = line.substr(4);
    const std::u16string_view code = rest.substr(0, rest.find(u' '));
    const size_t first = code.find(u'.');
    const size_t second = first == Text::npos ? Text::npos : code.find(u'.', first + 1);
    if (second == Text::npos || code[0] != line[0] || !IsDigits(code.substr(0, first), 1, 1) ||
        !IsDigits(code.substr(first + 1, second - first - 1), 1, 3) ||
        !IsDigits(code.substr(second + 1), 1, 3)) {
        return {};
    }
    return Text(code);
}

}  // namespace zef::smtp
