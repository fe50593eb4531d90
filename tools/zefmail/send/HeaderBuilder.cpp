#include "tools/zefmail/send/HeaderBuilder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "tools/zefmail/cli/ToolError.h"

namespace zef::zefmail {

namespace {

const char* const kPlainMimeFields =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=iso-2022-jp\r\n"
    "Content-Transfer-Encoding: 7bit\r\n";
const char* const kPlainUtf8MimeFields =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: base64\r\n";

bool IsPlain(BodyKind kind) {
    return kind != BodyKind::kMultipart;
}

const char* PlainMimeFields(BodyKind kind) {
    return kind == BodyKind::kPlainUtf8 ? kPlainUtf8MimeFields : kPlainMimeFields;
}

std::string OneLine(const std::string& value) {
    std::string out = value;
    std::replace(out.begin(), out.end(), '\r', ' ');
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) {
            out += ", ";
        }
        out += OneLine(item);
    }
    return out;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    return begin == std::string::npos
               ? std::string()
               : text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The field name of a header line, as mail readers take it: the obsolete form allows spaces and
// tabs before the colon ("Bcc : x" is a Bcc field).
std::string LowerName(const std::string& line) {
    const std::string name = line.substr(0, line.find(':'));
    return Lower(name.substr(0, name.find_last_not_of(" \t") + 1));
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            line += c;
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::string BuildHeader(const HeaderFields& fields, BodyKind kind) {
    std::string header;
    header += "From: " + OneLine(fields.from) + "\r\n";
    if (!fields.to.empty()) {
        header += "To: " + Join(fields.to) + "\r\n";
    }
    if (!fields.cc.empty()) {
        header += "Cc: " + Join(fields.cc) + "\r\n";
    }
    header += "Subject: " + OneLine(fields.subject) + "\r\n";
    if (!fields.date.empty()) {
        header += "Date: " + fields.date + "\r\n";
    }
    if (!fields.messageId.empty()) {
        header += "Message-ID: " + fields.messageId + "\r\n";
    }
    if (IsPlain(kind)) {
        header += PlainMimeFields(kind);
        header += "\r\n";
    }
    return header;
}

std::string LoadHeaderFile(const std::string& path, BodyKind kind) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw ToolError(SystemErrorText("cannot open " + path));
    }
    std::ostringstream content;
    content << file.rdbuf();
    std::vector<std::string> lines = SplitLines(content.str());
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();  // trailing empty lines only end the header
    }
    if (lines.empty()) {
        throw ToolError(path + ": the header file holds no header lines");
    }
    bool hasContentType = false;
    std::string contentType;  // the field with its continuation lines, lower-cased
    std::string currentName;
    std::string header;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty()) {
            throw ToolError(path + ": line " + std::to_string(i + 1) +
                            " is empty, but a header must not contain an empty line");
        }
        bool continuation = line[0] == ' ' || line[0] == '\t';
        std::string name = continuation ? "" : LowerName(line);
        currentName = continuation ? currentName : name;
        if (name == "content-type") {
            hasContentType = true;
        }
        if (currentName == "content-type") {
            contentType += Lower(line);
        }
        if (kind == BodyKind::kMultipart && (name == "content-type" || name == "mime-version" ||
                                             name == "content-transfer-encoding")) {
            throw ToolError(path + ": line " + std::to_string(i + 1) +
                            " sets a MIME field, which zefmail writes itself for a message "
                            "with attachments or HTML");
        }
        header += line + "\r\n";
    }
    if (IsPlain(kind)) {
        const std::string charset = kind == BodyKind::kPlainUtf8 ? "utf-8" : "iso-2022-jp";
        if (!hasContentType) {
            header += PlainMimeFields(kind);
        } else if (kind == BodyKind::kPlainUtf8 || contentType.find(charset) == std::string::npos) {
            // The body goes out in the charset zefmail chose, whatever the header says.
            throw ToolError(path + ": it has a Content-Type field, but the body is sent in " +
                            charset +
                            " (--charset); remove the field (zefmail then adds the "
                            "right one) or give --charset to match it");
        }
        header += "\r\n";
    }
    return header;
}

namespace {

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return {};
    }
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

std::vector<std::string> SplitAddressList(const std::string& list) {
    std::vector<std::string> addresses;
    std::string current;
    bool quoted = false;
    int angle = 0;
    int comment = 0;
    auto finish = [&] {
        std::string address = Trim(current);
        current.clear();
        if (!address.empty() && address.back() == ';') {
            address = Trim(address.substr(0, address.size() - 1));  // end of a group
        }
        if (!address.empty()) {
            addresses.push_back(address);
        }
    };
    for (size_t i = 0; i < list.size(); ++i) {
        char c = list[i];
        if (quoted) {
            if (c == '\\' && i + 1 < list.size()) {
                current += c;
                c = list[++i];
            } else if (c == '"') {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(') {
            ++comment;
        } else if (c == ')' && comment > 0) {
            --comment;
        } else if (comment == 0 && c == '<') {
            ++angle;
        } else if (comment == 0 && c == '>' && angle > 0) {
            --angle;
        } else if (comment == 0 && angle == 0 && c == ':') {
            current.clear();  // "group:" starts a group; its name is no address
            continue;
        } else if (comment == 0 && angle == 0 && c == ',') {
            finish();
            continue;
        }
        current += c;
    }
    finish();
    return addresses;
}

std::string TakeEnvelope(const std::string& header, HeaderEnvelope& envelope) {
    std::string kept;
    std::string field;      // the current field, unfolded
    std::string fieldText;  // as written, with its folds
    auto finishField = [&] {
        if (fieldText.empty()) {
            return;
        }
        std::string name = LowerName(field);
        std::string value = field.find(':') == std::string::npos
                                ? std::string()
                                : field.substr(field.find(':') + 1);
        envelope.hasDate = envelope.hasDate || name == "date";
        envelope.hasMessageId = envelope.hasMessageId || name == "message-id";
        if (name == "from") {
            envelope.hasFrom = true;
            std::vector<std::string> from = SplitAddressList(value);
            envelope.from = from.empty() ? Trim(value) : from.front();
        } else if (name == "to" || name == "cc" || name == "bcc") {
            for (auto& address : SplitAddressList(value)) {
                envelope.recipients.push_back(std::move(address));
            }
        }
        if (name != "bcc") {
            kept += fieldText;
        }
        field.clear();
        fieldText.clear();
    };
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find("\r\n", start);
        size_t next = end == std::string::npos ? header.size() : end + 2;
        std::string line =
            header.substr(start, (end == std::string::npos ? header.size() : end) - start);
        if (line.empty()) {
            finishField();
            kept += header.substr(start);  // the empty line and anything after it
            return kept;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            field += " " + Trim(line);
        } else {
            finishField();
            field = line;
        }
        fieldText += header.substr(start, next - start);
        start = next;
    }
    finishField();
    return kept;
}

std::string BareAddress(const std::string& entry) {
    std::string outside;
    bool quoted = false;
    int comment = 0;
    for (size_t i = 0; i < entry.size(); ++i) {
        const char c = entry[i];
        if (comment > 0) {
            comment += c == '(' ? 1 : c == ')' ? -1 : 0;
            i += c == '\\' ? 1 : 0;
            continue;
        }
        if (!quoted && c == '(') {
            ++comment;
            continue;
        }
        if (!quoted && c == '<') {
            size_t close = entry.find('>', i);
            return Trimmed(entry.substr(
                i + 1, close == std::string::npos ? std::string::npos : close - i - 1));
        }
        if (quoted && c == '\\' && i + 1 < entry.size()) {
            outside += entry[i++];
        }
        quoted = c == '"' ? !quoted : quoted;
        outside += entry[i];
    }
    return Trimmed(outside);
}

std::vector<std::string> UniqueAddresses(const std::vector<std::string>& entries) {
    std::vector<std::string> unique;
    std::set<std::string> seen;
    for (const auto& entry : entries) {
        // The domain is case-blind; the local part belongs to its server and is kept as it is.
        std::string key = BareAddress(entry);
        const size_t at = key.rfind('@');
        key = at == std::string::npos ? key : key.substr(0, at) + Lower(key.substr(at));
        if (seen.insert(key).second) {
            unique.push_back(entry);
        }
    }
    return unique;
}

std::string Rfc5322Date(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    long offsetMinutes = local.tm_gmtoff / 60;
    char sign = offsetMinutes < 0 ? '-' : '+';
    offsetMinutes = std::labs(offsetMinutes);
    std::array<char, 64> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays.at(static_cast<size_t>(local.tm_wday)), local.tm_mday,
                  kMonths.at(static_cast<size_t>(local.tm_mon)), local.tm_year + 1900,
                  local.tm_hour, local.tm_min, local.tm_sec, sign, offsetMinutes / 60,
                  offsetMinutes % 60);
    return buffer.data();
}

std::string NewMessageId(std::time_t when, const std::string& host) {
    std::random_device device;
    std::uniform_int_distribution<unsigned long long> draw;
    std::ostringstream id;
    id << '<' << static_cast<long long>(when) << '.' << std::hex << draw(device) << '@'
       << (host.empty() ? "localhost" : host) << '>';
    return id.str();
}

}  // namespace zef::zefmail
