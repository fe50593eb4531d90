#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/PropertyBag.h"

namespace zef {
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

    void WriteFile(const std::string& content) const {
        std::ofstream(path_, std::ios::binary) << content;
    }
    std::string ReadFile() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }
    int FilesInDirectory() const {
        int count = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory_)) {
            ++count;
        }
        return count;
    }
    // The description of the error that loading the file gives, or "" when it loads.
    std::string LoadError(const std::string& content) const {
        WriteFile(content);
        try {
            FilePropertyBag::Load(path_);
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), error::kInvalidValue);
            return TextToUtf8(error.description());
        }
        return "";
    }

    fs::path directory_;
    std::string path_;
};

TEST_F(FilePropertyBagTest, RoundTripsEveryStorableKind) {
    FilePropertyBag bag;
    const Variant none;
    const std::vector<std::pair<std::string, Variant>> values = {
        {"Plain", Variant(u"smtp.example.com")},
        {"Empty", Variant(u"")},
        {"Controls", Variant(u"a\\b\r\nc\\r\\n\rd\ne\\")},
        {"Japanese", Variant(u"日本語のパスワード①")},
        {"Separators", Variant(u"x=s:y:=")},
        {"Surrogates", Variant(u"\U0001F600 \U00020B9F")},
        {"Zero", Variant(0L)},
        {"Min", Variant(std::numeric_limits<long>::min())},
        {"Max", Variant(std::numeric_limits<long>::max())},
        {"Tenth", Variant(0.1)},
        {"Tiny", Variant(std::numeric_limits<double>::denorm_min())},
        {"Huge", Variant(-1.7976931348623157e308)},
        {"Infinite", Variant(std::numeric_limits<double>::infinity())},
        {"True", Variant(true)},
        {"False", Variant(false)},
    };
    for (const auto& [name, value] : values) {
        bag.WriteProperty(name, value, none);
    }
    bag.Save(path_);

    const FilePropertyBag loaded = FilePropertyBag::Load(path_);
    EXPECT_EQ(loaded.Values().size(), values.size());
    for (const auto& [name, value] : values) {
        EXPECT_EQ(loaded.ReadProperty(name, none), value) << name;
        EXPECT_EQ(loaded.ReadProperty(name, none).VarType(), value.VarType()) << name;
    }
}

TEST_F(FilePropertyBagTest, WritesOneTypedLinePerPropertyWithEscapes) {
    FilePropertyBag bag;
    bag.WriteProperty("Port", Variant(u"25"), Variant(u"110"));
    bag.WriteProperty("Auth", Variant(1L), Variant(0L));
    bag.WriteProperty("APOP", Variant(true), Variant(false));
    bag.WriteProperty("Ratio", Variant(2.5), Variant(0.0));
    bag.WriteProperty("Note", Variant(u"a\\b\r\nc"), Variant(u""));
    bag.Save(path_);
    EXPECT_EQ(ReadFile(),
              "APOP=b:1\n"
              "Auth=l:1\n"
              "Note=s:a\\\\b\\r\\nc\n"
              "Port=s:25\n"
              "Ratio=d:2.5\n");
}

TEST_F(FilePropertyBagTest, ValueEqualToDefaultIsNotStoredAndRemovesTheOldOne) {
    FilePropertyBag bag;
    bag.WriteProperty("Port", Variant(u"2525"), Variant(u"25"));
    bag.WriteProperty("TransTimeout", Variant(0L), Variant(0L));
    EXPECT_EQ(bag.Values().count("TransTimeout"), 0u);
    EXPECT_EQ(bag.ReadProperty("Port", Variant(u"25")), Variant(u"2525"));

    bag.WriteProperty("Port", Variant(u"25"), Variant(u"25"));
    EXPECT_TRUE(bag.Values().empty());
    EXPECT_EQ(bag.ReadProperty("Port", Variant(u"25")), Variant(u"25"));
    bag.Save(path_);
    EXPECT_EQ(ReadFile(), "");
}

TEST_F(FilePropertyBagTest, MissingFileLoadsAsAnEmptyBag) {
    const FilePropertyBag bag = FilePropertyBag::Load(path_);
    EXPECT_TRUE(bag.Values().empty());
    EXPECT_EQ(bag.ReadProperty("Port", Variant(u"110")), Variant(u"110"));
}

TEST_F(FilePropertyBagTest, LoadAcceptsWindowsLineEndsByteOrderMarkAndBlankLines) {
    WriteFile("\xEF\xBB\xBFPort=s:110\r\n\r\nAPOP=b:1\r\n\nUser=s:\xE5\xA4\xAA\xE9\x83\x8E");
    const FilePropertyBag bag = FilePropertyBag::Load(path_);
    EXPECT_EQ(bag.Values().size(), 3u);
    EXPECT_EQ(bag.ReadProperty("Port", Variant()), Variant(u"110"));
    EXPECT_EQ(bag.ReadProperty("APOP", Variant()), Variant(true));
    EXPECT_EQ(bag.ReadProperty("User", Variant()), Variant(u"太郎"));
}

TEST_F(FilePropertyBagTest, MalformedFileNamesTheLineAndTheFault) {
    const std::string good = "Port=s:25\n\n";  // the faulty line below is line 3
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"no separator", "expected Name=type:value"},
        {"=s:x", "property name cannot be empty"},
        {"Port=25", "expected a type letter and ':'"},
        {"Port=x:25", "unknown type 'x'"},
        {"Auth=l:one", "\"one\" is not a whole number"},
        {"Auth=l:", "\"\" is not a whole number"},
        {"Auth=l:12 ", "\"12 \" is not a whole number"},
        {"Auth=l:99999999999999999999", "out of range"},
        {"Ratio=d:1.5x", "is not a number"},
        {"APOP=b:2", "a Boolean is 0 or 1"},
        {"Pass=s:a\\tb", "unknown escape \\t"},
        {"Pass=s:ab\\", "lone backslash"},
        {"Pass=s:\xFF\xFE", "not valid UTF-8"},
        {"Port=s:26", "the property Port appears twice"},
    };
    for (const auto& [line, fault] : cases) {
        const std::string message = LoadError(good + line + "\n");
        EXPECT_NE(message.find(path_ + ", line 3: "), std::string::npos) << line << ": " << message;
        EXPECT_NE(message.find(fault), std::string::npos) << line << ": " << message;
    }
}

TEST_F(FilePropertyBagTest, RefusesWhatTheFileCannotHold) {
    FilePropertyBag bag;
    const Variant none;
    EXPECT_THROW(bag.WriteProperty("List", Variant(StringArray::OneBased({u"a"})), none), Error);
    EXPECT_THROW(bag.WriteProperty("Nothing", Variant(), Variant(0L)), Error);
    EXPECT_THROW(bag.WriteProperty("Broken", Variant(Text(1, char16_t{0xD800})), none), Error);
    EXPECT_THROW(bag.WriteProperty("A=B", Variant(1L), none), Error);
    EXPECT_THROW(bag.WriteProperty("", Variant(1L), none), Error);
    EXPECT_THROW(bag.WriteProperty("Two\nLines", Variant(1L), none), Error);
    EXPECT_TRUE(bag.Values().empty());
}

TEST_F(FilePropertyBagTest, SaveReplacesTheFileAndLeavesNoTemporaryBehind) {
    WriteFile("Port=s:old\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);

    FilePropertyBag bag;
    bag.WriteProperty("Port", Variant(u"new"), Variant());
    bag.Save(path_);

    EXPECT_EQ(ReadFile(), "Port=s:new\n");
    EXPECT_EQ(FilesInDirectory(), 1);
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(FilePropertyBagTest, NewFileIsPrivateToItsOwner) {
    FilePropertyBag bag;
    bag.WriteProperty("Pass", Variant(u"secret"), Variant(u""));
    bag.Save(path_);
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(FilePropertyBagTest, FailedSaveReportsTheCauseAndCleansUp) {
    fs::create_directory(path_);  // a directory where the file should go: rename must fail
    FilePropertyBag bag;
    bag.WriteProperty("Port", Variant(u"25"), Variant());
    try {
        bag.Save(path_);
        FAIL() << "saving over a directory succeeded";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), EISDIR);
        EXPECT_NE(TextToUtf8(error.description()).find(path_), std::string::npos);
    }
    EXPECT_EQ(FilesInDirectory(), 1);
    EXPECT_TRUE(fs::is_directory(path_));

    const std::string nowhere = (directory_ / "missing" / "settings.txt").string();
    EXPECT_THROW(bag.Save(nowhere), Error);
}

}  // namespace
}  // namespace zef
