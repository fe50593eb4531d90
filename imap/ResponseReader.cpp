#include "imap/ResponseReader.h"

#include <algorithm>

namespace zef::imap {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Bytes of an atom: printable ASCII other than the specials, and 8-bit bytes (a server that
// takes UTF-8 sends names so). Backslash, "*" and "%" are taken too, for flags as \Seen and \*.
bool IsAtomByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7F) {
        return false;
    }
    return c != '(' && c != ')' && c != '{' && c != '"' && c != ']';
}

// Bytes of a tag: printable ASCII other than the specials and "+".
bool IsTagByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > ' ' && byte < 0x7F &&
           std::string_view("(){\"\\%*+").find(c) == std::string_view::npos;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return (x >= 'a' && x <= 'z' ? x - 32 : x) == y; });
}

Response::Status StatusOf(std::string_view word) {
    using Status = Response::Status;
    static constexpr std::pair<std::string_view, Status> kWords[] = {{"OK", Status::Ok},
                                                                     {"NO", Status::No},
                                                                     {"BAD", Status::Bad},
                                                                     {"PREAUTH", Status::Preauth},
                                                                     {"BYE", Status::Bye}};
    for (const auto& [name, status] : kWords) {
        if (EqualsNoCase(word, name)) {
            return status;
        }
    }
    return Status::None;
}

// Up to 19 digits always fit; a count or number longer than that is refused.
constexpr size_t kMaxDigits = 19;

}  // namespace

const char* FaultName(Fault fault) {
    // In the order of the enumeration.
    static constexpr const char* kNames[] = {"NONE",
                                             "LINE TOO LONG",
                                             "RESPONSE TOO LARGE",
                                             "LISTS NESTED TOO DEEPLY",
                                             "LITERAL TOO LARGE",
                                             "BAD LITERAL COUNT",
                                             "UNTERMINATED QUOTED STRING",
                                             "BAD ESCAPE IN QUOTED STRING",
                                             "BAD TAG",
                                             "BAD STATUS",
                                             "BAD RESPONSE CODE",
                                             "UNBALANCED LIST",
                                             "UNCLOSED BRACKET",
                                             "UNEXPECTED BYTE"};
    return kNames[static_cast<size_t>(fault)];
}

Fault ResponseReader::Feed(std::string_view bytes) {
    while (fault_ == Fault::None && !bytes.empty()) {
        switch (state_) {
            case State::Line:
                TakeLine(bytes);
                break;
            case State::Literal:
                TakeLiteral(bytes);
                break;
        }
    }
    return fault_;
}

void ResponseReader::Reset() {
    fault_ = Fault::None;
    state_ = State::Line;
    line_.clear();
    open_ = false;
    response_ = {};
    lists_.clear();
    held_ = 0;
    literalLeft_ = 0;
    streaming_ = false;
}

// Adds bytes to the open line up to its LF, and reads the line when it is complete. An open
// line is measured before its end arrives (a CR at its end may still belong to the CR LF).
void ResponseReader::TakeLine(std::string_view& bytes) {
    const size_t lf = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, lf);
    const bool crLast =
        piece.empty() ? !line_.empty() && line_.back() == '\r' : piece.back() == '\r';
    if (line_.size() + piece.size() - (crLast ? 1 : 0) > limits_.maxLineLength) {
        Fail(Fault::LineTooLong);
        return;
    }
    line_.append(piece);
    if (lf == std::string_view::npos) {
        bytes = {};
        return;
    }
    bytes.remove_prefix(lf + 1);
    if (crLast) {
        line_.pop_back();
    }
    held_ += line_.size();
    if (held_ > limits_.maxResponseSize) {
        Fail(Fault::ResponseTooLarge);
        return;
    }
    ReadLine(line_);
    line_.clear();
}

void ResponseReader::TakeLiteral(std::string_view& bytes) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(literalLeft_, bytes.size()));
    if (streaming_) {
        events_.OnLiteralData(bytes.substr(0, count));
    } else {
        lists_.back()->back().text.append(bytes.substr(0, count));
    }
    bytes.remove_prefix(count);
    literalLeft_ -= count;
    if (literalLeft_ == 0) {
        FinishLiteral();
    }
}

void ResponseReader::ReadLine(std::string_view line) {
    size_t at = 0;
    if (!open_) {
        open_ = true;
        if (!ReadHead(line, at)) {
            return;
        }
    }
    switch (ReadValues(line, at, false)) {
        case Stop::LineEnd:
            if (lists_.size() > 1) {
                Fail(Fault::UnbalancedList);
                return;
            }
            Finish();
            return;
        case Stop::LiteralStart:
        case Stop::CodeEnd:
        case Stop::Failed:
            return;
    }
}

// The start of a response: a continuation request and a status response are read whole; for
// untagged data the values follow (true).
bool ResponseReader::ReadHead(std::string_view line, size_t& at) {
    if (line.starts_with('+')) {
        response_.kind = Response::Kind::Continuation;
        response_.text = line.substr(line.starts_with("+ ") ? 2 : 1);
        Finish();
        return false;
    }
    if (line.starts_with("* ")) {
        at = 2;
        const std::string_view word = line.substr(at, line.find(' ', at) - at);
        response_.status = StatusOf(word);
        if (response_.status == Response::Status::None) {
            lists_.push_back(&response_.values);
            return true;
        }
        at += word.size();
        return ReadStatus(line, at);
    }
    while (at < line.size() && IsTagByte(line[at])) {
        ++at;
    }
    if (at == 0 || at == line.size() || line[at] != ' ') {
        return Fail(Fault::BadTag);
    }
    response_.kind = Response::Kind::Tagged;
    response_.tag = line.substr(0, at++);
    const std::string_view word = line.substr(at, line.find(' ', at) - at);
    response_.status = StatusOf(word);
    if (response_.status != Response::Status::Ok && response_.status != Response::Status::No &&
        response_.status != Response::Status::Bad) {
        return Fail(Fault::BadStatus);
    }
    at += word.size();
    return ReadStatus(line, at);
}

// After the status word: the response code if any, then the text; the response is complete.
bool ResponseReader::ReadStatus(std::string_view line, size_t& at) {
    if (at < line.size() && line[at] == ' ') {
        ++at;
    }
    if (at < line.size() && line[at] == '[') {
        ++at;
        lists_.push_back(&response_.code);
        const Stop stop = ReadValues(line, at, true);
        if (stop == Stop::Failed) {
            return false;
        }
        if (response_.code.empty() || response_.code.front().kind != Value::Kind::Atom) {
            return Fail(Fault::BadResponseCode);
        }
        if (at < line.size() && line[at] == ' ') {
            ++at;
        }
    }
    response_.text = line.substr(at);
    Finish();
    return false;
}

// Values into the open lists until the line ends, a literal starts or, in a response code, the
// "]" that closes it.
ResponseReader::Stop ResponseReader::ReadValues(std::string_view line, size_t& at, bool inCode) {
    const Fault unclosed = inCode ? Fault::BadResponseCode : Fault::UnbalancedList;
    while (at < line.size()) {
        std::vector<Value>& list = *lists_.back();
        switch (line[at]) {
            case ' ':
                ++at;
                break;
            case '(':
                if (lists_.size() > limits_.maxDepth) {
                    Fail(Fault::NestingTooDeep);
                    return Stop::Failed;
                }
                list.emplace_back().kind = Value::Kind::List;
                lists_.push_back(&list.back().items);
                ++at;
                break;
            case ')':
                if (lists_.size() == 1) {
                    Fail(Fault::UnbalancedList);
                    return Stop::Failed;
                }
                lists_.pop_back();
                ++at;
                break;
            case ']':
                if (!inCode || lists_.size() > 1) {
                    Fail(inCode ? unclosed : Fault::UnexpectedByte);
                    return Stop::Failed;
                }
                lists_.pop_back();
                ++at;
                return Stop::CodeEnd;
            case '"':
                list.emplace_back().kind = Value::Kind::Quoted;
                if (!ReadQuoted(line, at, list.back())) {
                    return Stop::Failed;
                }
                break;
            case '{':
            case '~':
                if (line[at] == '{' || line.substr(at, 2) == "~{") {
                    if (inCode) {
                        Fail(Fault::BadResponseCode);
                        return Stop::Failed;
                    }
                    return StartLiteral(line, at, line[at] == '~') ? Stop::LiteralStart
                                                                   : Stop::Failed;
                }
                [[fallthrough]];
            default:
                if (!IsAtomByte(line[at])) {
                    Fail(Fault::UnexpectedByte);
                    return Stop::Failed;
                }
                list.emplace_back();
                if (!ReadAtom(line, at, list.back())) {
                    return Stop::Failed;
                }
        }
    }
    if (inCode) {
        Fail(unclosed);
        return Stop::Failed;
    }
    return Stop::LineEnd;
}

// A quoted string from its opening '"'; only '"' and '\' may be escaped.
bool ResponseReader::ReadQuoted(std::string_view line, size_t& at, Value& value) {
    ++at;
    while (true) {
        const size_t special = line.find_first_of("\"\\", at);
        if (special == std::string_view::npos ||
            (special + 1 == line.size() && line[special] == '\\')) {
            return Fail(Fault::UnterminatedQuoted);
        }
        value.text.append(line.substr(at, special - at));
        at = special + 1;
        if (line[special] == '"') {
            return true;
        }
        if (line[at] != '"' && line[at] != '\\') {
            return Fail(Fault::BadQuotedEscape);
        }
        value.text.push_back(line[at++]);
    }
}

// An atom, a number or NIL. A "[" in an atom opens a section that runs to its "]", spaces and
// lists included, as in BODY[HEADER.FIELDS (FROM TO)]<0>.
bool ResponseReader::ReadAtom(std::string_view line, size_t& at, Value& value) {
    const size_t start = at;
    size_t brackets = 0;
    for (; at < line.size(); ++at) {
        const char c = line[at];
        if (c == '[') {
            ++brackets;
        } else if (c == ']' && brackets > 0) {
            --brackets;
        } else if (brackets == 0 && !IsAtomByte(c)) {
            break;
        }
    }
    if (brackets > 0) {
        return Fail(Fault::UnclosedBracket);
    }
    value.text = line.substr(start, at - start);
    if (std::all_of(value.text.begin(), value.text.end(), IsDigit) &&
        value.text.size() <= kMaxDigits) {
        value.kind = Value::Kind::Number;
        value.number = std::stoull(value.text);
    } else if (EqualsNoCase(value.text, "NIL")) {
        value.kind = Value::Kind::Nil;
    }
    return true;
}

// "{n}" or "~{n}" at the end of the line: the literal's n bytes follow the CR LF.
bool ResponseReader::StartLiteral(std::string_view line, size_t& at, bool binary) {
    at += binary ? 2 : 1;
    const size_t digits = line.find_first_not_of("0123456789", at);
    const size_t count = digits == std::string_view::npos ? line.size() - at : digits - at;
    if (count == 0 || count > kMaxDigits || digits + 1 != line.size() || line[digits] != '}') {
        return Fail(Fault::BadLiteralCount);
    }
    at = line.size();
    Value& literal = lists_.back()->emplace_back();
    literal.kind = Value::Kind::Literal;
    literal.number = std::stoull(std::string(line.substr(at - count - 1, count)));
    literal.binary = binary;
    streaming_ = events_.OnLiteralStart(response_, literal);
    literal.streamed = streaming_;
    literalLeft_ = literal.number;
    if (!streaming_) {
        if (literalLeft_ > limits_.maxCollectedLiteral) {
            return Fail(Fault::LiteralTooLarge);
        }
        held_ += literalLeft_;
        if (held_ > limits_.maxResponseSize) {
            return Fail(Fault::ResponseTooLarge);
        }
        literal.text.reserve(literalLeft_);
    }
    state_ = State::Literal;
    if (literalLeft_ == 0) {
        FinishLiteral();
    }
    return true;
}

void ResponseReader::FinishLiteral() {
    if (streaming_) {
        events_.OnLiteralEnd();
    }
    streaming_ = false;
    state_ = State::Line;
}

void ResponseReader::Finish() {
    events_.OnResponse(response_);
    open_ = false;
    response_ = {};
    lists_.clear();
    held_ = 0;
}

bool ResponseReader::Fail(Fault fault) {
    fault_ = fault;
    return false;
}

}  // namespace zef::imap
