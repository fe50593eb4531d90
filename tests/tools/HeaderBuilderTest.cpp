#include "tools/zefmail/HeaderBuilder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "tools/zefmail/ToolError.h"

namespace zef::zefmail {
namespace {

class HeaderFile : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("zefmail-header-" + std::to_string(::getpid()) + ".txt");
    }
    void TearDown() override { std::filesystem::remove(path_); }

    std::string Load(const std::string& content, BodyKind kind) {
        std::ofstream(path_, std::ios::binary) << content;
        return LoadHeaderFile(path_.string(), kind);
    }

    std::filesystem::path path_;
};

HeaderFields Fields() {
    HeaderFields fields;
    fields.from = "山田 <taro@example.jp>";
    fields.to = {"a@example.jp", "b@example.jp"};
    fields.subject = "会議";
    fields.date = "Thu, 01 Jan 1970 09:00:00 +0900";
    fields.messageId = "<1.2@host>";
    return fields;
}

TEST(BuildHeader, PlainMessageDeclaresItsTextAndEndsWithTheEmptyLine) {
    EXPECT_EQ(BuildHeader(Fields(), BodyKind::kPlain),
              "From: 山田 <taro@example.jp>\r\n"
              "To: a@example.jp, b@example.jp\r\n"
              "Subject: 会議\r\n"
              "Date: Thu, 01 Jan 1970 09:00:00 +0900\r\n"
              "Message-ID: <1.2@host>\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=iso-2022-jp\r\n"
              "Content-Transfer-Encoding: 7bit\r\n"
              "\r\n");
}

TEST(BuildHeader, MultipartLeavesTheMimeFieldsToTheControl) {
    HeaderFields fields = Fields();
    fields.cc = {"c@example.jp"};
    std::string header = BuildHeader(fields, BodyKind::kMultipart);
    EXPECT_NE(header.find("Cc: c@example.jp\r\n"), std::string::npos);
    EXPECT_EQ(header.find("MIME-Version"), std::string::npos);
    EXPECT_EQ(header.find("Content-Type"), std::string::npos);
    EXPECT_EQ(header.substr(header.size() - 3), ">\r\n");  // no empty line
}

TEST(BuildHeader, NoValueCanStartAFieldOfItsOwn) {
    HeaderFields fields = Fields();
    fields.subject = "hi\r\nBcc: spy@example.com";
    fields.to = {};  // Bcc-only sends have no To line
    std::string header = BuildHeader(fields, BodyKind::kMultipart);
    EXPECT_NE(header.find("Subject: hi  Bcc: spy@example.com\r\n"), std::string::npos);
    EXPECT_EQ(header.find("To:"), std::string::npos);
}

TEST_F(HeaderFile, LineEndsBecomeCrLfAndTrailingEmptyLinesGo) {
    EXPECT_EQ(Load("From: a@x\nTo: b@y\r\n Folded\n\n\n", BodyKind::kMultipart),
              "From: a@x\r\nTo: b@y\r\n Folded\r\n");
}

TEST_F(HeaderFile, PlainBodyGetsMimeFieldsOnlyWhenTheFileHasNone) {
    EXPECT_EQ(Load("From: a@x\nTo: b@y", BodyKind::kPlain),
              "From: a@x\r\nTo: b@y\r\nMIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=iso-2022-jp\r\n"
              "Content-Transfer-Encoding: 7bit\r\n\r\n");
    EXPECT_EQ(
        Load("From: a@x\ncontent-type: text/plain;\n charset=ISO-2022-JP\n", BodyKind::kPlain),
        "From: a@x\r\ncontent-type: text/plain;\r\n charset=ISO-2022-JP\r\n\r\n");
    EXPECT_NO_THROW(Load("Content-Type: text/plain; charset=\"iso-2022-jp\"\n", BodyKind::kPlain));
    EXPECT_THROW(Load("From: a@x\nContent-Type: text/plain; charset=utf-8\n", BodyKind::kPlain),
                 ToolError);
}

TEST_F(HeaderFile, RefusesWhatWouldBreakTheMessage) {
    EXPECT_THROW(Load("From: a@x\n\nTo: b@y\n", BodyKind::kPlain), ToolError);
    EXPECT_THROW(Load("\n\n", BodyKind::kPlain), ToolError);
    try {
        Load("From: a@x\nMIME-Version: 1.0\n", BodyKind::kMultipart);
        FAIL() << "no error";
    } catch (const ToolError& e) {
        EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
    }
}

TEST(SplitAddressList, CommasInsideQuotesAnglesAndCommentsDoNotSplit) {
    EXPECT_EQ(
        SplitAddressList(R"( "Yamada, Taro" <t@x.jp>, b@y.jp ,c@z (Sales, Tokyo))"),
        (std::vector<std::string>{R"("Yamada, Taro" <t@x.jp>)", "b@y.jp", "c@z (Sales, Tokyo)"}));
    EXPECT_EQ(SplitAddressList("team: a@x, b@y;, c@z"),
              (std::vector<std::string>{"a@x", "b@y", "c@z"}));
    EXPECT_EQ(SplitAddressList("undisclosed-recipients:;"), std::vector<std::string>{});
    EXPECT_EQ(SplitAddressList(R"("quoted \" comma," <q@x>)"),
              std::vector<std::string>{R"("quoted \" comma," <q@x>)"});
}

TEST(TakeEnvelope, ReadsSenderAndRecipientsAndDropsBcc) {
    HeaderEnvelope envelope;
    std::string header = TakeEnvelope(
        "From: 差出人 <from@x.jp>\r\n"
        "To: a@x.jp,\r\n"
        "  \"B, Jr.\" <b@x.jp>\r\n"
        "Bcc: hidden@x.jp,\r\n"
        "\tother@x.jp\r\n"
        "Subject: s\r\n"
        "cc: c@x.jp\r\n"
        "\r\n"
        "Bcc: not a field, body text\r\n",
        envelope);
    EXPECT_EQ(envelope.from, "差出人 <from@x.jp>");
    EXPECT_EQ(envelope.recipients,
              (std::vector<std::string>{"a@x.jp", "\"B, Jr.\" <b@x.jp>", "hidden@x.jp",
                                        "other@x.jp", "c@x.jp"}));
    EXPECT_EQ(header,
              "From: 差出人 <from@x.jp>\r\n"
              "To: a@x.jp,\r\n"
              "  \"B, Jr.\" <b@x.jp>\r\n"
              "Subject: s\r\n"
              "cc: c@x.jp\r\n"
              "\r\n"
              "Bcc: not a field, body text\r\n");
}

TEST(Rfc5322Date, LocalTimeWithItsOffset) {
    const char* tz = std::getenv("TZ");
    std::string saved = tz != nullptr ? tz : "";
    ::setenv("TZ", "JST-9", 1);
    ::tzset();
    EXPECT_EQ(Rfc5322Date(0), "Thu, 01 Jan 1970 09:00:00 +0900");
    ::setenv("TZ", "EST5", 1);
    ::tzset();
    EXPECT_EQ(Rfc5322Date(std::time_t{86400} * 45), "Sat, 14 Feb 1970 19:00:00 -0500");
    saved.empty() ? ::unsetenv("TZ") : ::setenv("TZ", saved.c_str(), 1);
    ::tzset();
}

TEST(NewMessageId, UniqueAndBracketed) {
    std::string first = NewMessageId(100, "host.example");
    EXPECT_TRUE(std::regex_match(first, std::regex("<100\\.[0-9a-f]+@host\\.example>"))) << first;
    EXPECT_NE(first, NewMessageId(100, "host.example"));
    EXPECT_TRUE(NewMessageId(1, "").find("@localhost>") != std::string::npos);
}

}  // namespace
}  // namespace zef::zefmail
