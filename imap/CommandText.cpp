#include "imap/CommandText.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace zef::imap {

namespace {

constexpr size_t kLiteralMinusLimit = 4096;

bool IsAtomChar(unsigned char c) {
    return std::isalnum(c) != 0 ||
           std::string_view("!#$&'+,-./:;<=>?@^_`|~").find(static_cast<char>(c)) !=
               std::string_view::npos;
}

bool FitsAtom(std::string_view value) {
    std::string upper(value);
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    return !value.empty() && upper != "NIL" && std::all_of(value.begin(), value.end(), [](char c) {
        return IsAtomChar(static_cast<unsigned char>(c));
    });
}

// Quoted strings hold no CR, LF or NUL, and 8-bit bytes only where UTF-8 is accepted.
bool FitsQuoted(std::string_view value, bool utf8) {
    return std::none_of(value.begin(), value.end(), [utf8](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte == '\r' || byte == '\n' || byte == 0 || (byte >= 0x80 && !utf8);
    });
}

std::string Quoted(std::string_view value) {
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < text.size()) {
        const size_t start = text.find_first_not_of(' ', at);
        if (start == std::string_view::npos) {
            break;
        }
        const size_t end = std::min(text.find(' ', start), text.size());
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

// d-Mon-yyyy or dd-Mon-yyyy, as IMAP's date.
std::optional<std::string> SearchDate(std::string_view word) {
    static const std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const size_t first = word.find('-');
    const size_t second = word.rfind('-');
    if (first == std::string_view::npos || first == second || first < 1 || first > 2 ||
        second - first != 4 || word.size() - second != 5) {
        return std::nullopt;
    }
    const std::string_view day = word.substr(0, first);
    const std::string_view year = word.substr(second + 1);
    const std::string_view month = word.substr(first + 1, 3);
    const auto digits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const auto known =
        std::find_if(std::begin(kMonths), std::end(kMonths),
                     [&](std::string_view m) { return EqualsIgnoringCase(m, month); });
    if (!digits(day) || !digits(year) || known == std::end(kMonths)) {
        return std::nullopt;
    }
    return std::string(day) + "-" + std::string(*known) + "-" + std::string(year);
}

void Describe(const Value& value, std::string& out) {
    switch (value.kind) {
        case Value::Kind::List:
            out += '(';
            for (size_t i = 0; i < value.items.size(); ++i) {
                out += i == 0 ? "" : " ";
                Describe(value.items[i], out);
            }
            out += ')';
            return;
        case Value::Kind::Literal:
            out += (value.binary ? "~{" : "{") + std::to_string(value.number) + "}";
            return;
        case Value::Kind::Quoted:
            out += Quoted(value.text);
            return;
        default:
            out += value.text;
    }
}

}  // namespace

CommandText::CommandText(std::string_view tagAndName)
    : pieces_{std::string(tagAndName)}, traced_(tagAndName) {}

CommandText& CommandText::Raw(std::string_view words, bool secret) {
    pieces_.back() += " ";
    pieces_.back() += words;
    traced_ += " ";
    traced_ += secret ? "***" : words;
    return *this;
}

CommandText& CommandText::String(std::string_view value, const StringRules& rules, bool secret) {
    std::string& line = pieces_.back();
    line += ' ';
    traced_ += ' ';
    if (FitsAtom(value) || FitsQuoted(value, rules.utf8)) {
        line += FitsAtom(value) ? std::string(value) : Quoted(value);
        traced_ += secret ? "***" : FitsAtom(value) ? std::string(value) : Quoted(value);
        return *this;
    }
    const bool waits =
        !rules.literalPlus && !(rules.literalMinus && value.size() <= kLiteralMinusLimit);
    const std::string count = std::to_string(value.size()) + (waits ? "" : "+");
    line += "{" + count + (waits ? "}" : "}\r\n");  // a piece gets its line end in Pieces
    traced_ += "{" + count + "} " + (secret ? std::string("***") : std::string(value));
    if (waits) {
        pieces_.emplace_back();
    }
    pieces_.back() += value;
    return *this;
}

std::vector<std::string> CommandText::Pieces() const {
    std::vector<std::string> pieces = pieces_;
    for (std::string& piece : pieces) {
        piece += "\r\n";
    }
    return pieces;
}

std::string UidSet(const std::vector<uint32_t>& sortedUids) {
    std::string set;
    for (size_t i = 0; i < sortedUids.size();) {
        size_t end = i;
        while (end + 1 < sortedUids.size() && sortedUids[end + 1] == sortedUids[end] + 1) {
            ++end;
        }
        set += (set.empty() ? "" : ",") + std::to_string(sortedUids[i]);
        if (end > i) {
            set += ":" + std::to_string(sortedUids[end]);
        }
        i = end + 1;
    }
    return set;
}

bool ReadUidSet(std::string_view set, std::vector<uint32_t>& uids, size_t maxCount) {
    const auto number = [](std::string_view text, uint32_t& value) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        return error == std::errc() && end == text.data() + text.size() && value > 0;
    };
    size_t at = 0;
    while (at <= set.size()) {
        const size_t comma = std::min(set.find(',', at), set.size());
        const std::string_view range = set.substr(at, comma - at);
        const size_t colon = range.find(':');
        uint32_t low = 0;
        uint32_t high = 0;
        if (!number(range.substr(0, colon), low) ||
            !number(colon == std::string_view::npos ? range : range.substr(colon + 1), high)) {
            return false;
        }
        if (low > high) {
            std::swap(low, high);
        }
        if (high - low >= maxCount - std::min(maxCount, uids.size())) {
            return false;
        }
        for (uint64_t uid = low; uid <= high; ++uid) {
            uids.push_back(static_cast<uint32_t>(uid));
        }
        at = comma + 1;
    }
    return true;
}

std::optional<std::string> SearchCriteria(std::string_view value) {
    const std::vector<std::string_view> words = Words(value);
    std::string criteria;
    size_t at = 0;
    if (words.size() == 1 && EqualsIgnoringCase(words[0], "ALL")) {
        return "ALL";
    }
    if (at < words.size() && EqualsIgnoringCase(words[at], "UNSEEN")) {
        criteria = "UNSEEN";
        ++at;
    }
    if (at + 2 == words.size() && EqualsIgnoringCase(words[at], "SINCE")) {
        const std::optional<std::string> date = SearchDate(words[at + 1]);
        if (!date) {
            return std::nullopt;
        }
        criteria += (criteria.empty() ? "SINCE " : " SINCE ") + *date;
        at += 2;
    }
    if (criteria.empty() || at != words.size()) {
        return std::nullopt;
    }
    return criteria;
}

bool HasCapability(std::string_view capabilities, std::string_view name) {
    const std::vector<std::string_view> words = Words(capabilities);
    return std::any_of(words.begin(), words.end(),
                       [name](std::string_view word) { return EqualsIgnoringCase(word, name); });
}

std::vector<std::string> SaslMechanisms(std::string_view capabilities) {
    std::vector<std::string> mechanisms;
    for (const std::string_view word : Words(capabilities)) {
        if (word.size() > 5 && EqualsIgnoringCase(word.substr(0, 5), "AUTH=")) {
            std::string name(word.substr(5));
            std::transform(name.begin(), name.end(), name.begin(), ::toupper);
            mechanisms.push_back(std::move(name));
        }
    }
    return mechanisms;
}

std::string JoinAtoms(const std::vector<Value>& values, size_t first) {
    std::string joined;
    for (size_t i = first; i < values.size(); ++i) {
        joined += joined.empty() ? "" : " ";
        Describe(values[i], joined);
    }
    return joined;
}

bool IsAtom(const Value& value, std::string_view name) {
    return (value.kind == Value::Kind::Atom || value.kind == Value::Kind::Number) &&
           EqualsIgnoringCase(value.text, name);
}

const Value* FetchItem(const Value& list, std::string_view name) {
    for (size_t i = 0; i + 1 < list.items.size(); i += 2) {
        if (IsAtom(list.items[i], name)) {
            return &list.items[i + 1];
        }
    }
    return nullptr;
}

std::string Describe(const Response& response) {
    std::string out = response.kind == Response::Kind::Tagged         ? response.tag
                      : response.kind == Response::Kind::Continuation ? "+"
                                                                      : "*";
    static const char* const kStatus[] = {"", "OK", "NO", "BAD", "PREAUTH", "BYE"};
    if (response.status != Response::Status::None) {
        out += " ";
        out += kStatus[static_cast<int>(response.status)];
    }
    if (!response.code.empty()) {
        out += " [" + JoinAtoms(response.code, 0) + "]";
    }
    if (!response.values.empty()) {
        out += " " + JoinAtoms(response.values, 0);
    }
    if (!response.text.empty()) {
        out += " " + response.text;
    }
    return out;
}

}  // namespace zef::imap
