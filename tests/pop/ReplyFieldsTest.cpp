#include "pop/ReplyFields.h"

#include <gtest/gtest.h>

#include "tests/support/TestText.h"

namespace zef::pop {
namespace {

// Each reply as read: "count size", the LIST size, the UIDL id or the APOP time stamp; "-" for
// a reply that does not hold one.
std::string Stat(std::u16string_view line) {
    const auto stat = ReadStatReply(line);
    return stat ? std::to_string(stat->count) + " " + std::to_string(stat->size) : "-";
}
std::string List(std::u16string_view line) {
    const auto size = ReadListReply(line);
    return size ? std::to_string(*size) : "-";
}

TEST(ReplyFields, StatListUidlAndTheApopTimeStamp) {
    using Read = std::function<std::string(std::u16string_view)>;
    const Read uidl = [](auto line) { return test::U(ReadUidlReply(line)); };
    const Read apop = [](auto line) { return test::U(ApopTimestamp(line)); };
    const Read code = [](auto line) { return test::U(ReadResponseCode(line)); };
    const Read sasl = [](auto capa) {
        std::string words;
        for (const Text& word : ReadSaslMechanisms(capa)) {
            words += test::U(word) + ";";
        }
        return words;
    };
    // clang-format off
    const std::tuple<Read, const char16_t*, std::string> rows[] = {
        {Stat, u"+OK 2 320", "2 320"}, {Stat, u"+OK 7 1500 octets follow", "7 1500"},
        {Stat, u"+OK 40000 9", "32000 9"}, {Stat, u"+OK 99999999999999999999999 9", "32000 9"},
        {Stat, u"+OK", "-"}, {Stat, u"+OK ", "-"}, {Stat, u"+OK 2", "-"}, {Stat, u"+OK two 320", "-"},
        {Stat, u"+OK -2 320", "-"}, {Stat, u"+OK mailbox ready", "-"},
        {List, u"+OK 1 120", "120"}, {List, u"+OK 9 120 more", "120"}, {List, u"+OK 5 0", "0"},
        {List, u"+OK", "-"}, {List, u"+OK 1", "-"}, {List, u"+OK 1 big", "-"}, {List, u"+OK 1 ", "-"},
        {uidl, u"+OK 1 whqtswO00WBw418f9t5JxYwZ", "whqtswO00WBw418f9t5JxYwZ"},
        {uidl, u"+OK 1  abc  ", "abc"}, {uidl, u"+OK    1 abc", "abc"}, {uidl, u"+OK 1 a b", "a b"},
        {uidl, u"+OK abc", ""}, {uidl, u"+OK", ""}, {uidl, u"+OK   ", ""},
        {apop, u"+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>", "<1896.697170952@dbc.mtview.ca.us>"},
        {apop, u"+OK <a> <b>", "<a>"}, {apop, u"+OK ready", ""}, {apop, u"+OK > then <", ""},
        {apop, u"+OK <open", ""},
        {code, u"-ERR [IN-USE] locked", "IN-USE"}, {code, u"-ERR [SYS/TEMP]", "SYS/TEMP"},
        {code, u"-ERR [AUTH", ""}, {code, u"-ERR [] x", ""}, {code, u"-ERR [IN USE] x", ""},
        {code, u"-ERR wrong [AUTH]", ""}, {code, u"+OK [AUTH]", ""},
        {sasl, u"TOP\r\nsasl plain  Scram-Sha-256\r\nUSER", "PLAIN;SCRAM-SHA-256;"},
        {sasl, u"SASL XOAUTH2", "XOAUTH2;"}, {sasl, u"TOP\r\nSASLX A\r\nUSER", ""}};
    // clang-format on
    for (const auto& [read, line, expected] : rows) {
        EXPECT_EQ(read(line), expected) << test::U(line);
    }
}

}  // namespace
}  // namespace zef::pop
