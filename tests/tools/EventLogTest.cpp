#include "tools/zefmail/EventLog.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace zef::zefmail {
namespace {

using Json = nlohmann::json;

std::vector<Json> Lines(const std::string& text) {
    std::vector<Json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(Json::parse(line));
    }
    return lines;
}

TEST(EventLog, OneObjectPerLineWithTheEventsArgumentNames) {
    std::ostringstream out;
    EventLog log(out);
    log.Stat(2, 3000);
    log.UidlDone(1, u"abc", false);
    log.RetrFirst(1, 1500, false);
    log.MailHeadNext(1, u"Subject", u"日本語");
    log.MultiPartOpen(1, 1, u"multipart/mixed", u"", u"", u"7bit", u"message");
    log.MimeDataFirst(1, 2, u"application/pdf", u"a.pdf", u"", u"base64", false);
    log.MimeDataNext(1, 2,
                     std::string("\x00\xFF"
                                 "a",
                                 3));
    log.RetrDone(1, true);
    log.Done(0, u"");

    std::vector<Json> lines = Lines(out.str());
    ASSERT_EQ(lines.size(), 9U);
    EXPECT_EQ(lines[0], Json::parse(R"({"event":"Stat","Many":2,"MuchAll":3000})"));
    EXPECT_EQ(lines[1], Json::parse(R"({"event":"UidlDone","id":1,"Uidl":"abc","Delete":false})"));
    EXPECT_EQ(lines[2],
              Json::parse(R"({"event":"RetrFirst","id":1,"Much":1500,"CancelRetr":false})"));
    EXPECT_EQ(lines[3]["FieldValue"], "日本語");
    EXPECT_EQ(lines[4]["ParentPart"], 1);
    EXPECT_EQ(lines[4]["TransferEncoding"], "7bit");
    EXPECT_EQ(lines[4]["Tag"], "message");
    EXPECT_EQ(lines[5]["NewPart"], 2);
    EXPECT_EQ(lines[5]["IsText"], false);
    EXPECT_EQ(lines[6], Json::parse(R"({"event":"MimeDataNext","id":1,"Part":2,"Data":"AP9h"})"));
    EXPECT_EQ(lines[7]["CancelDelete"], true);
    EXPECT_EQ(lines[8], Json::parse(R"({"event":"Done","Code":0,"msg":""})"));
    EXPECT_EQ(out.str().find("{\"event\":\"Stat\""), 0U);  // the event name comes first
}

TEST(EventLog, TextThatIsNotValidUnicodeStillGivesValidJson) {
    std::ostringstream out;
    EventLog log(out);
    Text lone = u"a";
    lone += static_cast<char16_t>(0xD800);  // a lone surrogate
    log.TopNext(3, lone);
    std::vector<Json> lines = Lines(out.str());
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0]["line"], "a\xEF\xBF\xBD");
}

}  // namespace
}  // namespace zef::zefmail
