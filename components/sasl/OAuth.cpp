// The OAuth 2.0 bearer-token responses and the reader of the error object a server sends
// when it refuses a token.
#include <nlohmann/json.hpp>
#include <string>

#include "components/sasl/Sasl.h"

namespace zef::sasl {

namespace {

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
    const nlohmann::json object = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) {
        return std::nullopt;  // not JSON (a parse error is "discarded"), or not an object
    }
    // Strings as they are, numbers as written; anything else is not worth a message.
    const auto member = [&object](const char* name) -> std::string {
        const auto found = object.find(name);
        return found == object.end() ? std::string()
               : found->is_string()  ? found->get<std::string>()
               : found->is_number()  ? found->dump()
                                     : std::string();
    };
    // The lead word: an error code when the server gives one, as RFC 7628's "status" is;
    // providers that put an HTTP number in "status" may name the error in "error".
    std::string lead = member("error");
    std::string details;
    const auto add = [&details](const char* name, const std::string& value) {
        if (!value.empty()) {
            details += (details.empty() ? "" : ", ") + std::string(name) + " " + Printable(value);
        }
    };
    const std::string status = member("status");
    if (lead.empty() && !IsNumber(status)) {
        lead = status;
    } else {
        add("status", status);
    }
    add("schemes", member("schemes"));
    add("scope", member("scope"));
    std::string description = lead.empty() ? "token refused" : Printable(lead);
    return details.empty() ? description : description + " (" + details + ")";
}

}  // namespace zef::sasl
