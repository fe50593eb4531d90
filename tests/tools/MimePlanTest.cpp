#include "tools/zefmail/MimePlan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/Unicode.h"

namespace zef::zefmail {
namespace {

class MimePlanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ =
            std::filesystem::temp_directory_path() / ("zefmail-plan-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string File(const std::string& name, const std::string& content) {
        auto path = folder_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    std::filesystem::path folder_;
};

// One question of the control and the plan's answer, in a readable form.
std::string Ask(MimePlan& plan, long depth, long part) {
    HeadAnswer answer;
    plan.Head(depth, part, answer);
    if (answer.contentType.empty()) {
        return "close";
    }
    std::string out = TextToUtf8(answer.contentType);
    for (const Text* field : {&answer.contentCharset, &answer.transferEncoding,
                              &answer.originalDataFormat, &answer.contentName}) {
        if (!field->empty()) {
            out += " " + TextToUtf8(*field);
        }
    }
    return out;
}

Bytes AllData(MimePlan& plan) {
    Bytes all;
    for (Bytes piece = plan.Body(); !piece.empty(); piece = plan.Body()) {
        all += piece;
    }
    return all;
}

TEST_F(MimePlanTest, TextAndHtmlAsAlternativesThenAttachments) {
    MimePlan plan(PlanParts(File("body.txt", "こんにちは\n"), File("body.html", "<p>hi</p>\n"),
                            {File("a.pdf", "%PDF"), File("data.bin", "xyz")}));
    EXPECT_EQ(Ask(plan, 1, 1), "multipart/alternative");
    EXPECT_EQ(Ask(plan, 2, 1), "text/plain iso-2022-jp 7bit Unicode");
    EXPECT_EQ(Utf16LeToText(AllData(plan)), u"こんにちは\r\n");
    EXPECT_EQ(Ask(plan, 2, 2), "text/html utf-8 quoted-printable Binary");
    EXPECT_EQ(AllData(plan), "<p>hi</p>\r\n");
    EXPECT_EQ(Ask(plan, 2, 3), "close");
    EXPECT_EQ(Ask(plan, 1, 2), "application/pdf base64 Binary a.pdf");
    EXPECT_EQ(AllData(plan), "%PDF");
    EXPECT_EQ(Ask(plan, 1, 3), "application/octet-stream base64 Binary data.bin");
    EXPECT_EQ(AllData(plan), "xyz");
    EXPECT_EQ(Ask(plan, 1, 4), "close");
    EXPECT_EQ(plan.Consumed(), 16 + 10 + 4 + 3U);  // input bytes of all four files
}

TEST_F(MimePlanTest, TextOnlyOrHtmlOnlyIsALeafOfItsOwn) {
    MimePlan textOnly(PlanParts(File("t.txt", "x"), "", {File("a.png", "p")}));
    EXPECT_EQ(Ask(textOnly, 1, 1), "text/plain iso-2022-jp 7bit Unicode");
    EXPECT_EQ(Ask(textOnly, 1, 2), "image/png base64 Binary a.png");

    MimePlan htmlOnly(PlanParts("", File("h.html", "<b>"), {}));
    EXPECT_EQ(Ask(htmlOnly, 1, 1), "text/html utf-8 quoted-printable Binary");
    EXPECT_EQ(Ask(htmlOnly, 1, 2), "close");
}

TEST_F(MimePlanTest, AttachmentsOnly) {
    MimePlan plan(PlanParts("", "", {File("only.zip", "PK")}));
    EXPECT_EQ(Ask(plan, 1, 1), "application/zip base64 Binary only.zip");
    EXPECT_EQ(Ask(plan, 1, 2), "close");
}

TEST_F(MimePlanTest, AQuestionOutsideThePlanCloses) {
    MimePlan plan(PlanParts(File("t.txt", "x"), "", {}));
    EXPECT_EQ(Ask(plan, 3, 1), "close");
    EXPECT_EQ(Ask(plan, 1, 0), "close");
    EXPECT_TRUE(plan.Body().empty());
}

TEST(ContentNameForFile, LastComponentWithQuotesEscaped) {
    EXPECT_EQ(ContentNameForFile("/tmp/x/報告書.pdf"), "報告書.pdf");
    EXPECT_EQ(ContentNameForFile("say \"hi\"\\.txt"), "say \\\"hi\\\"\\\\.txt");
    EXPECT_EQ(ContentNameForFile("a\r\nb.txt"), "a__b.txt");
}

}  // namespace
}  // namespace zef::zefmail
