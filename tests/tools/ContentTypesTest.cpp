#include "tools/zefmail/ContentTypes.h"

#include <gtest/gtest.h>

namespace zef::zefmail {
namespace {

TEST(ContentTypeForFile, ByExtensionIgnoringCase) {
    EXPECT_EQ(ContentTypeForFile("report.pdf"), "application/pdf");
    EXPECT_EQ(ContentTypeForFile("PHOTO.JPG"), "image/jpeg");
    EXPECT_EQ(ContentTypeForFile("dir/表.xlsx"),
              "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
    EXPECT_EQ(ContentTypeForFile("archive.tar.gz"), "application/gzip");
    EXPECT_EQ(ContentTypeForFile("notes.txt"), "text/plain");
}

TEST(ContentTypeForFile, UnknownOrMissingExtensionIsOctetStream) {
    EXPECT_EQ(ContentTypeForFile("data.xyz"), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFile("Makefile"), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFile(".profile"), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFile("release.v2/README"), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFile("trailing."), "application/octet-stream");
}

TEST(ExtensionForContentType, IgnoresParametersAndCase) {
    EXPECT_EQ(ExtensionForContentType("text/plain; charset=iso-2022-jp"), ".txt");
    EXPECT_EQ(ExtensionForContentType("Image/PNG"), ".png");
    EXPECT_EQ(ExtensionForContentType(" text/html "), ".html");
    EXPECT_EQ(ExtensionForContentType("application/x-unknown"), ".bin");
    EXPECT_EQ(ExtensionForContentType(""), ".bin");
}

}  // namespace
}  // namespace zef::zefmail
