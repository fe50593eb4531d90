// The OAuth 2.0 bearer-token responses and the reader of the error object a server sends
// when it refuses a token.
#include <cctype>
#include <cstdint>
#include <map>
#include <string>

#include "components/sasl/Sasl.h"

namespace zef::sasl {

namespace {

// A JSON reader just large enough for the flat object of RFC 7628's error response: string
// members are kept, other values (numbers, literals, nested objects and arrays) skipped or
// kept as their text. Bounded nesting; anything malformed makes the whole reading fail.
class JsonObjectReader {
  public:
    explicit JsonObjectReader(std::string_view text) : text_(text) {}

    std::optional<std::map<std::string, std::string>> Read() {
        std::map<std::string, std::string> members;
        if (!Expect('{')) {
            return std::nullopt;
        }
        if (!Expect('}')) {
            do {
                std::string key, value;
                if (!ReadString(key) || !Expect(':') || !ReadValue(value, 0)) {
                    return std::nullopt;
                }
                members[key] = value;
            } while (Expect(','));
            if (!Expect('}')) {
                return std::nullopt;
            }
        }
        SkipSpace();
        return pos_ == text_.size() ? std::optional(members) : std::nullopt;
    }

  private:
    static constexpr int kMaxDepth = 16;

    void SkipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\n')) {
            ++pos_;
        }
    }

    bool Expect(char c) {
        SkipSpace();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    static void AppendUtf8(uint32_t code, std::string& out) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool ReadHex4(uint32_t& code) {
        if (text_.size() - pos_ < 4) {
            return false;
        }
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            code = code * 16 + static_cast<uint32_t>(digit);
        }
        return true;
    }

    bool ReadString(std::string& out) {
        if (!Expect('"')) {
            return false;
        }
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ == text_.size()) {
                return false;
            }
            const char escape = text_[pos_++];
            uint32_t code = 0;
            switch (escape) {
                case '"':
                case '\\':
                case '/':
                    out += escape;
                    break;
                case 'b':
                case 'f':
                case 'n':
                case 'r':
                case 't':
                    out += ' ';
                    break;
                case 'u':
                    if (!ReadHex4(code)) {
                        return false;
                    }
                    // A surrogate (half of a pair) is not worth joining for a message.
                    AppendUtf8(code >= 0xD800 && code <= 0xDFFF ? 0xFFFD : code, out);
                    break;
                default:
                    return false;
            }
        }
        return false;
    }

    bool ReadValue(std::string& out, int depth) {
        SkipSpace();
        if (pos_ == text_.size() || depth > kMaxDepth) {
            return false;
        }
        const char c = text_[pos_];
        if (c == '"') {
            return ReadString(out);
        }
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++pos_;
            if (Expect(close)) {
                return true;
            }
            do {
                std::string ignored;
                if (c == '{' && (!ReadString(ignored) || !Expect(':'))) {
                    return false;
                }
                if (!ReadValue(ignored, depth + 1)) {
                    return false;
                }
            } while (Expect(','));
            return Expect(close);
        }
        const size_t start = pos_;
        while (pos_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '-' ||
                text_[pos_] == '+' || text_[pos_] == '.')) {
            ++pos_;
        }
        out = std::string(text_.substr(start, pos_ - start));
        return pos_ > start;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

// A member's value as it may appear in a message: control characters replaced, length capped.
std::string Printable(const std::string& value) {
    constexpr size_t kMaxLength = 200;
    std::string printable;
    for (const char c : value.substr(0, kMaxLength)) {
        const auto byte = static_cast<unsigned char>(c);
        printable += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    return printable;
}

bool IsNumber(const std::string& value) {
    return !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string EscapeSaslName(std::string_view name) {
    std::string escaped;
    for (const char c : name) {
        escaped += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
    }
    return escaped;
}

std::string XOAuth2Response(std::string_view user, std::string_view token) {
    return "user=" + std::string(user) + "\x01" + "auth=Bearer " + std::string(token) + "\x01\x01";
}

std::string OAuthBearerResponse(std::string_view user, std::string_view token,
                                std::string_view host, unsigned port) {
    return "n,a=" + EscapeSaslName(user) + ",\x01" + "host=" + std::string(host) + "\x01" +
           "port=" + std::to_string(port) + "\x01" + "auth=Bearer " + std::string(token) +
           "\x01\x01";
}

std::optional<std::string> DescribeOAuthError(std::string_view json) {
    auto members = JsonObjectReader(json).Read();
    if (!members) {
        return std::nullopt;
    }
    // The lead word: an error code when the server gives one, as RFC 7628's "status" is;
    // providers that put an HTTP number in "status" may name the error in "error".
    std::string lead = (*members)["error"];
    std::string details;
    const auto add = [&details](const char* name, const std::string& value) {
        if (!value.empty()) {
            details += (details.empty() ? "" : ", ") + std::string(name) + " " + Printable(value);
        }
    };
    const std::string& status = (*members)["status"];
    if (lead.empty() && !IsNumber(status)) {
        lead = status;
    } else {
        add("status", status);
    }
    add("schemes", (*members)["schemes"]);
    add("scope", (*members)["scope"]);
    std::string description = lead.empty() ? "token refused" : Printable(lead);
    return details.empty() ? description : description + " (" + details + ")";
}

}  // namespace zef::sasl
