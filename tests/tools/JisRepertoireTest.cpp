#include "tools/zefmail/JisRepertoire.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tools/zefmail/ToolError.h"

namespace zef::zefmail {
namespace {

TEST(JisRepertoire, JapaneseAndItsCompatibilityFormsGoThrough) {
    JisRepertoireCheck check;
    EXPECT_EQ(check.FirstLost(u"日本語のテキスト。ASCII too?"), std::nullopt);
    EXPECT_EQ(check.FirstLost(u"①②③ ㈱ №"), std::nullopt);     // CP932 extensions
    EXPECT_EQ(check.FirstLost(u"ｶﾞｷﾞ ＡＢＣ"), std::nullopt);  // folded to full-width forms
    EXPECT_EQ(check.FirstLost(u""), std::nullopt);
}

TEST(JisRepertoire, FindsTheFirstCharacterThatWouldBecomeAQuestionMark) {
    JisRepertoireCheck check;
    EXPECT_EQ(check.FirstLost(u"what? 😀 and é"), std::optional<char32_t>(0x1F600));
    EXPECT_EQ(check.FirstLost(u"café"), std::optional<char32_t>(0xE9));
    EXPECT_EQ(check.FirstLost(u"中文简体"), std::optional<char32_t>(0x7B80));  // 简 is not JIS
}

TEST(JisRepertoire, ErrorsNameTheFieldOrTheLine) {
    JisRepertoireCheck check;
    EXPECT_NO_THROW(check.Require(std::string("件名"), "--subject"));
    try {
        check.Require(std::string("hi 😀"), "--subject");
        FAIL() << "no error";
    } catch (const ToolError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("--subject: U+1F600 (😀) cannot be sent", 0), 0U)
            << e.what();
    }

    auto path = std::filesystem::temp_directory_path() /
                ("zefmail-jis-" + std::to_string(::getpid()) + ".txt");
    std::ofstream(path) << "一行目\n二行目\r\nthird línea\n";
    try {
        check.RequireFile(path.string(), "--body-file");
        FAIL() << "no error";
    } catch (const ToolError& e) {
        EXPECT_NE(std::string(e.what()).find(", line 3: U+00ED (í)"), std::string::npos)
            << e.what();
    }
    std::ofstream(path) << "最後の行に改行なし ok";
    EXPECT_NO_THROW(check.RequireFile(path.string(), "--body-file"));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace zef::zefmail
