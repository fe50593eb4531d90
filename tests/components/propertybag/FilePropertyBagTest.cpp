#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>

#include "common/Error.h"
#include "components/PropertyBag.h"
#include "tests/support/TestText.h"

namespace zef::test {
namespace {

namespace fs = std::filesystem;

class FilePropertyBagTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zef-bag-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        path_ = (directory_ / "settings.txt").string();
    }
    void TearDown() override { fs::remove_all(directory_); }

    // Writes the file and loads it: "", or the error (number and description).
    std::string Load(const std::string& content, FilePropertyBag& bag) const {
        std::ofstream(path_, std::ios::binary) << content;
        try {
            bag = FilePropertyBag::Load(path_);
            return "";
        } catch (const Error& error) {
            return std::to_string(error.number()) + " " + U(error.description());
        }
    }

    fs::path directory_;
    std::string path_;
};

TEST_F(FilePropertyBagTest, EveryStorableKindComesBackWithItsType) {
    using limits = std::numeric_limits<double>;
    // clang-format off
    const std::map<std::string, Variant> values = {
        {"Plain", u"smtp.example.com"}, {"Empty", u""},  {"Controls", u"a\\b\r\nc\\r\\n\rd\ne\\"},
        {"Japanese", u"日本語のパスワード①"}, {"Separators", u"x=s:y:="},
        {"Surrogates", u"\U0001F600 \U00020B9F"}, {"Zero", 0L},  {"True", true}, {"False", false},
        {"Min", std::numeric_limits<long>::min()}, {"Max", std::numeric_limits<long>::max()},
        {"Tenth", 0.1}, {"Tiny", limits::denorm_min()}, {"Huge", -limits::max()},
        {"Infinite", limits::infinity()}};
    // clang-format on
    FilePropertyBag bag;
    for (const auto& [name, value] : values) {
        bag.WriteProperty(name, value, Variant());
    }
    bag.Save(path_);
    EXPECT_EQ(FilePropertyBag::Load(path_).Values(), values);
    // A file written by hand: byte order mark, Windows line ends, blank lines, escapes.
    ASSERT_EQ(Load("\xEF\xBB\xBFP=s:110\r\n\r\nA=b:1\r\n\nU=s:\xE5\xA4\xAA\\r\\n\\\\\nL=l:-3", bag),
              "");
    const std::map<std::string, Variant> edited = {
        {"P", u"110"}, {"A", true}, {"U", u"太\r\n\\"}, {"L", -3L}};
    EXPECT_EQ(bag.Values(), edited);
}

// A value equal to its default is not stored (and removes the old one).
TEST_F(FilePropertyBagTest, DefaultsAreNotStoredAndUnstorableValuesRefused) {
    FilePropertyBag bag = FilePropertyBag::Load(path_);  // no file yet: an empty bag
    EXPECT_EQ(bag.ReadProperty("Port", u"110"), Variant(u"110"));
    bag.WriteProperty("Port", u"2525", u"25");
    bag.WriteProperty("TransTimeout", 0L, 0L);
    EXPECT_EQ(bag.Values().size(), 1U);
    EXPECT_EQ(bag.ReadProperty("Port", u"25"), Variant(u"2525"));
    bag.WriteProperty("Port", u"25", u"25");
    EXPECT_TRUE(bag.Values().empty());
    bag.Save(path_);
    EXPECT_EQ(fs::file_size(path_), 0U);
    // What the file cannot hold is refused.
    EXPECT_THROW(bag.WriteProperty("List", StringArray::OneBased({u"a"}), Variant()), Error);
    EXPECT_THROW(bag.WriteProperty("Nothing", Variant(), 0L), Error);
    EXPECT_THROW(bag.WriteProperty("Broken", Text(1, char16_t{0xD800}), Variant()), Error);
    for (const char* name : {"A=B", "", "Two\nLines", "Two\rLines"}) {
        EXPECT_THROW(bag.WriteProperty(name, 1L, Variant()), Error) << name;
    }
    EXPECT_TRUE(bag.Values().empty());
}

TEST_F(FilePropertyBagTest, MalformedFileNamesTheLineAndTheFault) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"no separator", "expected Name=type:value"}, {"=s:x", "property name cannot be empty"},
        {"Port=25", "expected a type letter and ':'"}, {"Port=x:25", "unknown type 'x'"},
        {"Auth=l:one", "\"one\" is not a whole number"}, {"Auth=l:", "\"\" is not a whole number"},
        {"Auth=l:12 ", "\"12 \" is not a whole number"}, {"Ratio=d:1.5x", "is not a number"},
        {"Auth=l:99999999999999999999", "out of range"}, {"APOP=b:2", "a Boolean is 0 or 1"},
        {"Pass=s:a\\tb", "unknown escape \\t"},           {"Pass=s:ab\\", "lone backslash"},
        {"Pass=s:\xFF\xFE", "not valid UTF-8"},          {"Port=s:26", "Port appears twice"}};
    // clang-format on
    FilePropertyBag bag;
    for (const auto& [line, fault] : cases) {
        const std::string error = Load("Port=s:25\n\n" + line + "\n", bag);  // line 3 is faulty
        EXPECT_TRUE(error.starts_with("380 " + path_ + ", line 3: ")) << error;
        EXPECT_NE(error.find(fault), std::string::npos) << line << ": " << error;
    }
}

// Saving goes through a temporary file renamed over the old one: the old file's permissions
// stay, a new file is private to its owner, and a failure leaves nothing behind.
TEST_F(FilePropertyBagTest, SaveReplacesTheFileAtomically) {
    FilePropertyBag bag;
    bag.WriteProperty("Pass", u"secret", u"");
    bag.Save(path_);
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0600));
    fs::permissions(path_, fs::perms(0640));
    bag.WriteProperty("Pass", u"new", u"");
    bag.Save(path_);
    EXPECT_EQ(FilePropertyBag::Load(path_).Values(), bag.Values());
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0640));
    fs::remove(path_);
    fs::create_directory(path_);  // a directory where the file should go: rename must fail
    try {
        bag.Save(path_);
        ADD_FAILURE() << "saving over a directory succeeded";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), EISDIR);
        EXPECT_NE(U(error.description()).find(path_), std::string::npos);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()), 1);
    EXPECT_THROW(bag.Save(path_ + "/missing/settings.txt"), Error);  // no folder for the file
}

}  // namespace
}  // namespace zef::test
