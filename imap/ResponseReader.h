// Reads IMAP server responses from the bytes received, however they are cut into arrivals.
//
// Bytes go in through Feed; each complete response comes out through the events, with its
// values parsed. A literal's bytes can be handed on as they arrive instead of being held, so a
// message body of any size passes with flat memory: the events are told when a literal starts
// (with the response read so far), get its bytes piece by piece, then the rest of the response
// is read on. Everything the reader holds is bounded by its limits; input that breaks a limit or
// the response grammar stops the reader with a named fault. Free of I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "imap/Response.h"

namespace zef::imap {

// Why the reader stopped. Every fault is final until Reset: the connection cannot be trusted.
enum class Fault {
    None,
    LineTooLong,         // a line, outside literals, is longer than maxLineLength
    ResponseTooLarge,    // one response holds more than maxResponseSize bytes
    NestingTooDeep,      // lists nested deeper than maxDepth
    LiteralTooLarge,     // a literal to collect is longer than maxCollectedLiteral
    BadLiteralCount,     // "{" or "~{" without digits, "}" and the line's end right after
    UnterminatedQuoted,  // the line ends inside a quoted string
    BadQuotedEscape,     // a backslash in a quoted string before other than '"' or '\'
    BadTag,              // the line starts with neither "* ", "+" nor a tag and a space
    BadStatus,           // a tagged response's status is not OK, NO or BAD
    BadResponseCode,     // a code without a name first, with a literal, or not closed on its line
    UnbalancedList,      // a ")" with no list open, or the response ends with one open
    UnclosedBracket,     // an atom's "[" not closed by "]" on its line, as "BODY[TEXT"
    UnexpectedByte,      // a byte that cannot start a value, as "]" or a control character
};

// The fault's name in capitals, for messages and traces: "LINE TOO LONG".
const char* FaultName(Fault fault);

struct ReaderLimits {
    size_t maxLineLength = 64 * 1024;          // bytes of one line outside literals
    size_t maxDepth = 64;                      // lists open inside each other
    size_t maxCollectedLiteral = 1024 * 1024;  // bytes of one literal held in its value
    size_t maxResponseSize = 4 * 1024 * 1024;  // line and collected literal bytes of a response
};

// What the reader reports; the application derives from it.
class ResponseEvents {
  public:
    virtual ~ResponseEvents() = default;

    // A complete response. The reference is valid during the call only.
    virtual void OnResponse(const Response& response) = 0;

    // A literal starts; `partial` is the response so far, with the literal as the last value of
    // its list. True streams its bytes to OnLiteralData, ended by OnLiteralEnd; false collects
    // them into the literal's text (up to maxCollectedLiteral).
    virtual bool OnLiteralStart(const Response& partial, const Value& literal) {
        (void)partial, (void)literal;
        return false;
    }
    virtual void OnLiteralData(std::string_view piece) { (void)piece; }
    virtual void OnLiteralEnd() {}
};

class ResponseReader {
  public:
    explicit ResponseReader(ResponseEvents& events, ReaderLimits limits = {})
        : events_(events), limits_(limits) {}

    // Reads the received bytes, raising the events of everything they complete. Returns the
    // fault that stopped the reader (now or before), Fault::None while all is well.
    Fault Feed(std::string_view bytes);

    Fault fault() const { return fault_; }

    // Takes effect for what is read from now on.
    void Limits(const ReaderLimits& limits) { limits_ = limits; }

    // Nothing of a response is held: the bytes fed so far ended where a response ends.
    bool AtResponseBoundary() const { return !open_ && line_.empty() && state_ == State::Line; }

    // Forgets everything: for a new connection.
    void Reset();

  private:
    enum class State { Line, Literal };
    enum class Stop { LineEnd, LiteralStart, CodeEnd, Failed };

    void TakeLine(std::string_view& bytes);
    void TakeLiteral(std::string_view& bytes);
    void ReadLine(std::string_view line);
    bool ReadHead(std::string_view line, size_t& at);
    bool ReadStatus(std::string_view line, size_t& at);
    Stop ReadValues(std::string_view line, size_t& at, bool inCode);
    bool ReadQuoted(std::string_view line, size_t& at, Value& value);
    bool ReadAtom(std::string_view line, size_t& at, Value& value);
    bool StartLiteral(std::string_view line, size_t& at, bool binary);
    void FinishLiteral();
    void Finish();
    bool Fail(Fault fault);

    ResponseEvents& events_;
    ReaderLimits limits_;
    Fault fault_ = Fault::None;
    State state_ = State::Line;
    std::string line_;                        // the open line's bytes so far
    bool open_ = false;                       // a response has started and waits for its end
    Response response_;                       // the open response
    std::vector<std::vector<Value>*> lists_;  // the open lists, innermost last
    size_t held_ = 0;                         // bytes of the open response held so far
    uint64_t literalLeft_ = 0;                // bytes of the open literal still to come
    bool streaming_ = false;                  // the open literal goes to OnLiteralData
};

}  // namespace zef::imap
