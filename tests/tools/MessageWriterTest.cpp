#include "tools/zefmail/MessageWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/Unicode.h"

namespace zef::zefmail {
namespace {

using Json = nlohmann::json;

// Stands in for popZef::Any2Unicode: reads the bytes as Latin-1 and marks each call, so a test
// sees which route a part took and in which pieces.
Text MarkedLatin1(const Bytes& bytes) {
    Text text = u"[";
    for (unsigned char c : bytes) {
        text += static_cast<char16_t>(c);
    }
    return text + u"]";
}

class MessageWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        out_ = std::filesystem::temp_directory_path() /
               ("zefmail-writer-" + std::to_string(::getpid()));
        std::filesystem::remove_all(out_);
        std::filesystem::create_directories(out_);
    }
    void TearDown() override { std::filesystem::remove_all(out_); }

    std::string Read(const std::filesystem::path& path) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }

    Json MessageJson(long id) {
        return Json::parse(Read(out_ / std::to_string(id) / "message.json"));
    }

    // The event sequence popZef raises for a message/mixed with a text part and a nested
    // multipart/alternative of text and HTML.
    void WriteNestedMessage(MessageWriter& writer) {
        writer.Uidl(1, u"uid-1");
        writer.BeginMessage(1, 900);
        writer.MessageField(u"Subject", u"会議");
        writer.MessageField(u"Content-Type", u"multipart/mixed; boundary=B1");
        writer.MultiPartOpen(u"multipart/mixed", u"", u"", u"7bit");
        writer.PartHead(1);
        writer.PartField(u"Content-Type", u"text/plain; charset=iso-8859-1");
        writer.PartDataBegin(1, u"text/plain", u"", u"iso-8859-1", u"7bit");
        writer.PartData("caf\xE9\r\n");
        writer.PartDataEnd();
        writer.PartHead(2);
        writer.PartField(u"Content-Type", u"multipart/alternative; boundary=B2");
        writer.MultiPartOpen(u"multipart/alternative", u"", u"", u"7bit");
        writer.PartHead(1);
        writer.PartDataBegin(1, u"text/plain", u"", u"iso-2022-jp", u"7bit");
        writer.PartData("line one\r\nline");
        writer.PartData(" two\r\n");
        writer.PartDataEnd();
        writer.PartHead(2);
        writer.PartDataBegin(2, u"text/html", u"", u"utf-8", u"quoted-printable");
        writer.PartData("<p>\xE6\x97");
        writer.PartData("\xA5</p>");
        writer.PartDataEnd();
        writer.MultiPartClose();
        writer.PartHead(3);
        writer.PartDataBegin(3, u"application/pdf", u"報告.pdf", u"", u"base64");
        writer.PartData("abc");
        writer.PartDataEnd();
    }

    // A message `id` whose container holds one text part with `data`.
    static void WriteOnePartMessage(MessageWriter& writer, long id, const Bytes& data) {
        writer.BeginMessage(id, 10);
        writer.MultiPartOpen(u"multipart/mixed", u"", u"", u"7bit");
        writer.PartHead(1);
        writer.PartDataBegin(1, u"text/plain", u"", u"", u"7bit");
        writer.PartData(data);
    }

    std::filesystem::path out_;
};

TEST_F(MessageWriterTest, MessageJsonDescribesEveryPartInArrivalOrder) {
    MessageWriter writer(out_, false, MarkedLatin1);
    WriteNestedMessage(writer);
    ASSERT_EQ(writer.FinishMessage(), std::nullopt);
    writer.MultiPartClose();  // the message's own container closes after RetrDone

    Json message = MessageJson(1);
    EXPECT_EQ(message["id"], 1);
    EXPECT_EQ(message["uidl"], "uid-1");
    EXPECT_EQ(message["size"], 900);
    EXPECT_EQ(message["headers"], Json::parse(R"([["Subject","会議"],
        ["Content-Type","multipart/mixed; boundary=B1"]])"));
    const Json& parts = message["parts"];
    ASSERT_EQ(parts.size(), 5U);
    std::vector<std::string> paths;
    for (const auto& part : parts) {
        paths.push_back(part["path"]);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"1", "2", "2.1", "2.2", "3"}));

    EXPECT_EQ(parts[0]["content_type"], "text/plain");
    EXPECT_EQ(parts[0]["charset"], "iso-8859-1");
    EXPECT_EQ(parts[0]["transfer_encoding"], "7bit");
    EXPECT_EQ(parts[0]["headers"],
              Json::parse(R"([["Content-Type","text/plain; charset=iso-8859-1"]])"));
    EXPECT_EQ(parts[0]["file"], "part1.txt");
    EXPECT_EQ(parts[0]["bytes"], 6);

    EXPECT_EQ(parts[1]["content_type"], "multipart/alternative");
    EXPECT_TRUE(parts[1]["file"].is_null());
    EXPECT_TRUE(parts[1]["sha256"].is_null());

    EXPECT_EQ(parts[3]["file"], "part2.2.html");
    EXPECT_EQ(parts[4]["name"], "報告.pdf");
    EXPECT_EQ(parts[4]["file"], "part3.pdf");
    EXPECT_EQ(parts[4]["sha256"],
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");  // "abc"
    EXPECT_FALSE(parts[0].contains("text_file"));

    auto folder = out_ / "1";
    EXPECT_EQ(Read(folder / "part1.txt"), "caf\xE9\r\n");
    EXPECT_EQ(Read(folder / "part2.1.txt"), "line one\r\nline two\r\n");
    EXPECT_EQ(Read(folder / "part2.2.html"), "<p>\xE6\x97\xA5</p>");
    EXPECT_EQ(Read(folder / "part3.pdf"), "abc");
    EXPECT_EQ(writer.LastFolder(), folder);
    EXPECT_FALSE(std::filesystem::exists(out_ / ".1.partial"));
}

TEST_F(MessageWriterTest, TextFilesByDeclaredCharsetOrThroughAny2Unicode) {
    MessageWriter writer(out_, true, MarkedLatin1);
    WriteNestedMessage(writer);
    ASSERT_EQ(writer.FinishMessage(), std::nullopt);

    Json parts = MessageJson(1)["parts"];
    EXPECT_EQ(parts[0]["text_file"], "part1.utf8.txt");
    EXPECT_FALSE(parts[4].contains("text_file"));  // not a text part
    auto folder = out_ / "1";
    EXPECT_EQ(Read(folder / "part1.utf8.txt"), "café\r\n");     // ISO-8859-1 by name
    EXPECT_EQ(Read(folder / "part2.2.utf8.txt"), "<p>日</p>");  // UTF-8 by name
    EXPECT_EQ(Read(folder / "part2.1.utf8.txt"), "[line one\r\n][line two\r\n]");  // whole lines
    EXPECT_EQ(Read(folder / "part2.1.txt"), "line one\r\nline two\r\n");           // bytes stay raw
}

TEST_F(MessageWriterTest, AMessageWithoutBoundaryIsPartOne) {
    MessageWriter writer(out_, false, MarkedLatin1);
    WriteOnePartMessage(writer, 4, "hello\r\n");
    writer.PartDataEnd();
    ASSERT_EQ(writer.FinishMessage(), std::nullopt);

    Json message = MessageJson(4);
    EXPECT_EQ(message["uidl"], "");  // no UIDL heard for this message
    ASSERT_EQ(message["parts"].size(), 1U);
    EXPECT_EQ(message["parts"][0]["path"], "1");
    EXPECT_EQ(message["parts"][0]["headers"], Json::array());
}

TEST_F(MessageWriterTest, PartsNumberedAlikeStillGetFilesOfTheirOwn) {
    // After the closing delimiter of the message's multipart, a "--" line in the epilogue makes
    // popZef open "part 2" of the outermost container once more.
    MessageWriter writer(out_, true, MarkedLatin1);
    writer.BeginMessage(1, 100);
    writer.MultiPartOpen(u"multipart/mixed", u"", u"", u"7bit");
    for (const char* data : {"one", "two"}) {
        writer.PartHead(data[0] == 'o' ? 1 : 2);
        writer.PartDataBegin(1, u"text/plain", u"", u"", u"7bit");
        writer.PartData(data);
        writer.PartDataEnd();
    }
    writer.MultiPartClose();
    writer.PartHead(2);
    writer.PartDataBegin(2, u"text/plain", u"", u"", u"7bit");
    writer.PartData("epilogue");
    writer.PartDataEnd();
    ASSERT_EQ(writer.FinishMessage(), std::nullopt);

    Json parts = MessageJson(1)["parts"];
    ASSERT_EQ(parts.size(), 3U);
    EXPECT_EQ(parts[2]["path"], "2");
    EXPECT_EQ(parts[1]["file"], "part2.txt");
    EXPECT_EQ(parts[2]["file"], "part2-2.txt");
    EXPECT_EQ(parts[2]["text_file"], "part2-2.utf8.txt");
    EXPECT_EQ(Read(out_ / "1" / "part2.txt"), "two");
    EXPECT_EQ(Read(out_ / "1" / "part2-2.txt"), "epilogue");
}

TEST_F(MessageWriterTest, TwoMessagesGetTwoFolders) {
    MessageWriter writer(out_, false, MarkedLatin1);
    for (long id : {1L, 2L}) {
        writer.Uidl(id, u"u" + AsciiToText(std::to_string(id)));
        WriteOnePartMessage(writer, id, std::to_string(id));
        writer.PartDataEnd();
        ASSERT_EQ(writer.FinishMessage(), std::nullopt);
        writer.MultiPartClose();
    }
    EXPECT_EQ(MessageJson(2)["uidl"], "u2");
    EXPECT_EQ(MessageJson(2)["parts"][0]["path"], "1");
    EXPECT_EQ(Read(out_ / "1" / "part1.txt"), "1");
    EXPECT_EQ(Read(out_ / "2" / "part1.txt"), "2");
}

// A folder that exists already, or one that cannot be made: an error, and nothing left behind.
TEST_F(MessageWriterTest, AFailedWriteIsReportedAndLeavesNothingBehind) {
    std::filesystem::create_directories(out_ / "1");
    std::ofstream(out_ / "1" / "keep.txt") << "earlier fetch";
    MessageWriter writer(out_, false, MarkedLatin1);
    WriteNestedMessage(writer);
    std::optional<std::string> error = writer.FinishMessage();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("already exists"), std::string::npos) << *error;
    EXPECT_EQ(Read(out_ / "1" / "keep.txt"), "earlier fetch");
    EXPECT_FALSE(std::filesystem::exists(out_ / ".1.partial"));

    MessageWriter nowhere(out_ / "missing" / "deeper", false, MarkedLatin1);
    WriteNestedMessage(nowhere);
    EXPECT_TRUE(nowhere.FinishMessage().has_value());
    EXPECT_FALSE(std::filesystem::exists(out_ / "missing"));
}

TEST_F(MessageWriterTest, AnInterruptedMessageLeavesNoPartialFolder) {
    {
        MessageWriter writer(out_, false, MarkedLatin1);
        WriteOnePartMessage(writer, 7, "half");
        EXPECT_TRUE(std::filesystem::exists(out_ / ".7.partial"));
    }
    EXPECT_FALSE(std::filesystem::exists(out_ / ".7.partial"));
    EXPECT_FALSE(std::filesystem::exists(out_ / "7"));
}

TEST(PrettyJson, HeaderPairsStayOnOneLine) {
    using Json = nlohmann::ordered_json;
    Json headers = Json::array({Json::array({"To", "a@b"}), Json::array({"X", "\"q\""})});
    Json value = {{"id", 1}, {"headers", headers}, {"parts", Json::array()}, {"file", nullptr}};
    EXPECT_EQ(PrettyJson(value),
              "{\n"
              "  \"id\": 1,\n"
              "  \"headers\": [\n"
              "    [\"To\", \"a@b\"],\n"
              "    [\"X\", \"\\\"q\\\"\"]\n"
              "  ],\n"
              "  \"parts\": [],\n"
              "  \"file\": null\n"
              "}\n");
    EXPECT_EQ(nlohmann::ordered_json::parse(PrettyJson(value)), value);
}

TEST(PartFileName, ExtensionFromAPlainNameOrElseFromTheType) {
    EXPECT_EQ(PartFileName("part3", "report.PDF", "application/octet-stream"), "part3.PDF");
    EXPECT_EQ(PartFileName("part2.1", "", "text/html; charset=utf-8"), "part2.1.html");
    EXPECT_EQ(PartFileName("part1", "../../etc/passwd", "text/plain"), "part1.txt");
    EXPECT_EQ(PartFileName("part1", "x.tar/../y", "image/png"), "part1.png");
    EXPECT_EQ(PartFileName("part4", "no-extension", "application/x-what"), "part4.bin");
}

}  // namespace
}  // namespace zef::zefmail
