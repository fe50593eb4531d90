#include "imap/ResponseReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap/ModifiedUtf7.h"
#include "tests/support/TestText.h"

namespace zef::imap {
namespace {

using namespace std::string_literals;

std::string Render(const Value& value);

std::string Join(const std::vector<Value>& values) {
    std::string joined;
    for (const Value& value : values) {
        joined += (joined.empty() ? "" : " ") + Render(value);
    }
    return joined;
}

std::string Render(const Value& value) {
    switch (value.kind) {
        case Value::Kind::Atom:
            return value.text;
        case Value::Kind::Number:
            return "#" + std::to_string(value.number);
        case Value::Kind::Quoted:
            return "\"" + test::Escaped(value.text) + "\"";
        case Value::Kind::Nil:
            return "nil";
        case Value::Kind::Literal:
            return (value.binary ? "~{" : "{") + std::to_string(value.number) + "}" +
                   (value.streamed ? ">" : "\"") + test::Escaped(value.text) +
                   (value.streamed ? "" : "\"");
        case Value::Kind::List:
            break;
    }
    return "(" + Join(value.items) + ")";
}

std::string Render(const Response& response) {
    static const char* const kStatus[] = {"", " OK", " NO", " BAD", " PREAUTH", " BYE"};
    if (response.kind == Response::Kind::Continuation) {
        return "+ '" + response.text + "'";
    }
    std::string line = response.kind == Response::Kind::Tagged ? response.tag : "*";
    line += kStatus[static_cast<int>(response.status)];
    if (!response.code.empty()) {
        line += " [" + Join(response.code) + "]";
    }
    if (response.status != Response::Status::None) {
        line += " '" + response.text + "'";
    }
    for (const Value& value : response.values) {
        line += " " + Render(value);
    }
    return line;
}

// The events as lines: each response; "S" and the response so far where a literal of a FETCH
// starts streaming, "D" and its bytes (pieces joined), "E" at its end; "!" and a fault.
class Log : public ResponseEvents {
  public:
    void OnResponse(const Response& response) override { lines += Render(response) + "\n"; }
    bool OnLiteralStart(const Response& partial, const Value&) override {
        if (partial.values.size() < 2 || partial.values[1].text != "FETCH") {
            return false;
        }
        lines += "S" + Render(partial) + "\nD";
        return true;
    }
    void OnLiteralData(std::string_view piece) override { lines += test::Escaped(piece); }
    void OnLiteralEnd() override { lines += "\nE\n"; }

    std::string lines;
};

constexpr ReaderLimits kLimits{
    .maxLineLength = 60, .maxDepth = 4, .maxCollectedLiteral = 16, .maxResponseSize = 100};

// Each row's input read whole, cut in two at every offset and a byte at a time gives the same
// events; one reader serves every run, Reset between them.
TEST(ResponseReader, EveryValueKindLiteralsCodesAndFaultsWholeCutAndByteByByte) {
    const std::string x58(58, 'x'), y100(100, 'y'), literal16 = " {16}\r\n0123456789abcdef";
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {
        {"* 23 EXISTS\r\n* CAPABILITY IMAP4rev1 LITERAL+ AUTH=PLAIN\n* 0 RECENT 18446744073709551616\r\n",
         "* #23 EXISTS\n* CAPABILITY IMAP4rev1 LITERAL+ AUTH=PLAIN\n* #0 RECENT 18446744073709551616\n"},
        {"* LIST (\\HasNoChildren \\Noselect) \"/\" \"a \\\"b\\\" \\\\c\"\r\n* LIST () NIL INBOX ~peter\r\n",
         "* LIST (\\HasNoChildren \\Noselect) \"/\" \"a \"b\" \\\\c\"\n* LIST () nil INBOX ~peter\n"},
        {"* OK [UIDVALIDITY 3857529045] UIDs valid\r\n* ok [ALERT] System [down]\r\n"
         "* NO [PERMANENTFLAGS (\\Deleted \\*)]Limited\r\n* BYE\r\n* PREAUTH [X a \"b]\"] hi\r\n",
         "* OK [UIDVALIDITY #3857529045] 'UIDs valid'\n* OK [ALERT] 'System [down]'\n"
         "* NO [PERMANENTFLAGS (\\Deleted \\*)] 'Limited'\n* BYE ''\n* PREAUTH [X a \"b]\"] 'hi'\n"},
        {"a1 OK [CAPABILITY IMAP4rev1 IDLE] Logged in\r\nA.2 no [UIDNEXT 4392] x\r\nz] BAD\r\n+ Ready\r\n+\r\n+ dGVzdA==\r\n",
         "a1 OK [CAPABILITY IMAP4rev1 IDLE] 'Logged in'\nA.2 NO [UIDNEXT #4392] 'x'\nz] BAD ''\n"
         "+ 'Ready'\n+ ''\n+ 'dGVzdA=='\n"},
        {"* LIST () \"/\" {9}\r\nIN)\"{3}\r\n\r\n* X {0}\r\n (a {2}\r\nb\r)\r\n",
         "* LIST () \"/\" {9}\"IN)\"{3}\\r\\n\"\n* X {0}\"\" (a {2}\"b\\r\")\n"},
        {"* 12 FETCH (UID 7 BODY[] {12}\r\nab)\r\n{3}\r\ncd FLAGS (\\Seen))\r\n",
         "S* #12 FETCH (UID #7 BODY[] {12}\"\")\nDab)\\r\\n{3}\\r\\ncd\nE\n"
         "* #12 FETCH (UID #7 BODY[] {12}> FLAGS (\\Seen))\n"},
        {"* 1 FETCH (BINARY[1] ~{3}\r\n\x00\xff\r BODY[HEADER.FIELDS (FROM \"TO\")]<0> {0}\r\n)\r\n"s,
         "S* #1 FETCH (BINARY[1] ~{3}\"\")\nD\\x00\\xFF\\r\nE\n"
         "S* #1 FETCH (BINARY[1] ~{3}> BODY[HEADER.FIELDS (FROM \"TO\")]<0> {0}\"\")\nD\nE\n"
         "* #1 FETCH (BINARY[1] ~{3}> BODY[HEADER.FIELDS (FROM \"TO\")]<0> {0}>)\n"},
        {"* 2 FETCH (BODY[] {100}\r\n" + y100 + ")\r\n* " + x58 + "\r\n",
         "S* #2 FETCH (BODY[] {100}\"\")\nD" + y100 + "\nE\n* #2 FETCH (BODY[] {100}>)\n* " + x58 + "\n"},
        {"* 3 FETCH (BODYSTRUCTURE ((\"TEXT\" (\"CHARSET\" \"A\") NIL 3)))\r\n",
         "* #3 FETCH (BODYSTRUCTURE ((\"TEXT\" (\"CHARSET\" \"A\") nil #3)))\n"},
        {"a OK x\r\n* X (((((a)))))\r\n", "a OK 'x'\n!LISTS NESTED TOO DEEPLY"},
        {"* " + x58 + "x\r\n", "!LINE TOO LONG"},
        {"* X" + literal16 + literal16 + literal16 + literal16 + literal16, "!RESPONSE TOO LARGE"},
        {"* X" + literal16 + literal16 + literal16 + " " + x58 + "\r\n", "!RESPONSE TOO LARGE"},
        {"* 4 FETCH (BODY[] {0}\r\n", "S* #4 FETCH (BODY[] {0}\"\")\nD\nE\n"},
        {"* X {17}\r\n", "!LITERAL TOO LARGE"},
        {"* X {}\r\n", "!BAD LITERAL COUNT"}, {"* X {5 }\r\n", "!BAD LITERAL COUNT"},
        {"* X {5}x\r\n", "!BAD LITERAL COUNT"}, {"* X {5+}\r\n", "!BAD LITERAL COUNT"},
        {"* X {99999999999999999999}\r\n", "!BAD LITERAL COUNT"}, {"* X ~{\r\n", "!BAD LITERAL COUNT"},
        {"* X \"abc\r\n", "!UNTERMINATED QUOTED STRING"}, {"* X \"a\\\r\n", "!UNTERMINATED QUOTED STRING"},
        {"* X \"a\\n\"\r\n", "!BAD ESCAPE IN QUOTED STRING"},
        {"*X\r\n", "!BAD TAG"}, {" a OK\r\n", "!BAD TAG"}, {"a+ OK\r\n", "!BAD TAG"}, {"a1\r\n", "!BAD TAG"},
        {"a1 PREAUTH x\r\n", "!BAD STATUS"}, {"a1 OKAY\r\n", "!BAD STATUS"}, {"a1 \r\n", "!BAD STATUS"},
        {"a OK [ALERT\r\n", "!BAD RESPONSE CODE"}, {"a OK [] x\r\n", "!BAD RESPONSE CODE"},
        {"a OK [X {3}]\r\n", "!BAD RESPONSE CODE"}, {"a OK [X (a] b\r\n", "!BAD RESPONSE CODE"},
        {"a OK [(X)] b\r\n", "!BAD RESPONSE CODE"},
        {"* X (a\r\n", "!UNBALANCED LIST"}, {"* X a)\r\n", "!UNBALANCED LIST"},
        {"* 1 FETCH (BODY[TEXT {3}\r\n", "!UNCLOSED BRACKET"},
        {"* X ]\r\n", "!UNEXPECTED BYTE"}, {"* X \x01\r\n", "!UNEXPECTED BYTE"},
    };
    // clang-format on
    Log log;
    ResponseReader reader(log, kLimits);
    const auto run = [&](const std::vector<std::string_view>& pieces) {
        reader.Reset();
        log.lines.clear();
        Fault fault = Fault::None;
        for (const std::string_view piece : pieces) {
            fault = reader.Feed(piece);
        }
        return log.lines + (fault == Fault::None ? "" : std::string("!") + FaultName(fault));
    };
    for (const auto& [input, expected] : rows) {
        const std::string_view bytes = input;
        EXPECT_EQ(run({bytes}), expected) << test::Escaped(input);
        std::vector<std::string_view> single;
        for (size_t at = 0; at < bytes.size(); ++at) {
            const std::string cut = run({bytes.substr(0, at), bytes.substr(at)});
            EXPECT_EQ(cut, expected) << "cut at " << at << ": " << test::Escaped(input);
            single.push_back(bytes.substr(at, 1));
            at = cut == expected ? at : bytes.size();  // one failing cut is enough
        }
        EXPECT_EQ(run(single), expected) << test::Escaped(input);
    }
}

TEST(ModifiedUtf7, RoundTripsAndMalformedWireFormsRefused) {
    const std::pair<std::string, std::string> names[] = {
        {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
        {"&", "&-"},
        {"a&b&", "a&-b&-"},
        {"仕事", "&TtVOiw-"},
        {"é😀x", "&AOnYPd4A-x"},
        {"\t&", "&AAk-&-"},
        {"", ""}};
    for (const auto& [utf8, wire] : names) {
        std::string out;
        EXPECT_EQ(EncodeModifiedUtf7(utf8, out), Utf7Fault::None);
        EXPECT_EQ(out, wire);
        EXPECT_EQ(DecodeModifiedUtf7(wire, out), Utf7Fault::None);
        EXPECT_EQ(out, utf8);
    }
    const std::pair<std::string, Utf7Fault> bad[] = {{"&U,BTFw", Utf7Fault::UnterminatedShift},
                                                     {"&U/BTFw-", Utf7Fault::BadBase64},
                                                     {"&AGE-", Utf7Fault::NeedlessShift},
                                                     {"&AAk-&AAk-", Utf7Fault::NeedlessShift},
                                                     {"&AA-", Utf7Fault::BadRunLength},
                                                     {"&AAl-", Utf7Fault::BadRunLength},
                                                     {"&AAkA-", Utf7Fault::BadRunLength},
                                                     {"&2D0-", Utf7Fault::BadSurrogate},
                                                     {"&3gA-", Utf7Fault::BadSurrogate},
                                                     {"caf\xc3\xa9", Utf7Fault::RawByte},
                                                     {"a\tb", Utf7Fault::RawByte}};
    for (const auto& [wire, fault] : bad) {
        std::string out = "stale";
        EXPECT_EQ(DecodeModifiedUtf7(wire, out), fault) << wire << " " << Utf7FaultName(fault);
    }
    std::string out;
    EXPECT_EQ(EncodeModifiedUtf7("a\xff", out), Utf7Fault::BadUtf8);
    EXPECT_EQ(EncodeModifiedUtf7("\xed\xa0\xbd", out), Utf7Fault::BadUtf8);  // a surrogate
}

}  // namespace
}  // namespace zef::imap
