#include "platform/profile/ProfileReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/PackageSandbox.h"

using platform::ProfileReader;
using testsupport::PackageSandbox;

namespace {

class ProfileReaderTest : public ::testing::Test {
  protected:
    // Writes text as the profile file and reads key from section.
    std::string Read(const std::string& text, const char* section, const char* key,
                     const char* fallback = "default", std::size_t size = 512) {
        EXPECT_TRUE(PackageSandbox::Write(path_, text));
        return ReadFile(section, key, fallback, size);
    }

    std::string ReadFile(const char* section, const char* key, const char* fallback = "default",
                         std::size_t size = 512) {
        std::string buffer(size, 'X');
        const std::size_t n =
            ProfileReader::GetString(section, key, fallback, buffer.data(), size, path_.c_str());
        const std::string value(buffer.c_str());
        EXPECT_EQ(n, value.size());
        return value;
    }

    PackageSandbox sandbox_;
    std::string path_ = sandbox_.Root() + "package.inf";
};

TEST_F(ProfileReaderTest, FindsKeyIgnoringCaseOfNamesAndTrimmingTheValue) {
    const std::string text = "[other]\nVersion=wrong\n[package]\n  version \t=\t 2.10 \t\nx=y\n";
    EXPECT_EQ(Read(text, "PACKAGE", "Version"), "2.10");
    EXPECT_EQ(ReadFile("Package", "VERSION"), "2.10");
    EXPECT_EQ(ReadFile("other", "version"), "wrong");
    EXPECT_EQ(ReadFile("PACKAGE", "x"), "y");
}

TEST_F(ProfileReaderTest, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(ReadFile("PACKAGE", "Version"), "default");
    EXPECT_EQ(ReadFile("PACKAGE", "Version", nullptr), "");
    EXPECT_EQ(Read("[PACKAGE]\nlanguage=en\n", "PACKAGE", "Version"), "default");
    EXPECT_EQ(ReadFile("NOPE", "language"), "default");
    // A key before any section header belongs to no section.
    EXPECT_EQ(Read("Version=1\n[PACKAGE]\n", "PACKAGE", "Version"), "default");
    EXPECT_EQ(ReadFile(nullptr, "Version"), "default");
    EXPECT_EQ(ReadFile("PACKAGE", nullptr), "default");
}

TEST_F(ProfileReaderTest, EmptyValueIsNotTheDefault) {
    EXPECT_EQ(Read("[PACKAGE]\nVersion=   \n", "PACKAGE", "Version"), "");
}

TEST_F(ProfileReaderTest, ValueIsCutToBufferSizeLessOneBetweenCharacters) {
    const std::string value(600, 'v');
    EXPECT_EQ(Read("[PACKAGE]\nVersion=" + value + "\n", "PACKAGE", "Version"),
              value.substr(0, 511));
    EXPECT_EQ(ReadFile("PACKAGE", "Version", "", 1), "");
    EXPECT_EQ(ReadFile("PACKAGE", "missing", "long default", 5), "long");
    // Never inside a UTF-8 character: "ä" (2 bytes) and "€" (3 bytes) that
    // would be cut go whole; a byte that is no UTF-8 counts alone.
    EXPECT_EQ(
        Read("[PACKAGE]\nVersion=" + std::string(510, 'v') + "\xC3\xA4\n", "PACKAGE", "Version"),
        std::string(510, 'v'));
    EXPECT_EQ(Read("[PACKAGE]\nVersion=ab\xE2\x82\xAC\n", "PACKAGE", "Version", "", 5), "ab");
    EXPECT_EQ(ReadFile("PACKAGE", "Version", "", 6), "ab\xE2\x82\xAC");
    EXPECT_EQ(Read("[PACKAGE]\nVersion=abc\xFF\xFFz\n", "PACKAGE", "Version", "", 6),
              "abc\xFF\xFF");

    char untouched = 'Z';
    EXPECT_EQ(ProfileReader::GetString("PACKAGE", "Version", "", &untouched, 0, path_.c_str()), 0u);
    EXPECT_EQ(untouched, 'Z');
}

TEST_F(ProfileReaderTest, CommentsQuotesAndDuplicates) {
    const std::string text =
        "; comment\n"
        "[PACKAGE]\n"
        "  ;Version=commented out\n"
        "Version=\"1.0\"\n"
        "Version=2.0\n"
        "language='en'\n"
        "a=\"\"x\"\"\n"
        "b=\"unbalanced\n"
        "c=value ; not a comment\n"
        "no equals sign here\n"
        "[PACKAGE\n"
        "d=still in PACKAGE\n"
        "[PACKAGE]\n"
        "language=second section\n"
        "e=from the second section\n";
    EXPECT_EQ(Read(text, "PACKAGE", "Version"), "1.0");
    EXPECT_EQ(ReadFile("PACKAGE", "language"), "en");
    EXPECT_EQ(ReadFile("PACKAGE", "a"), "\"x\"");
    EXPECT_EQ(ReadFile("PACKAGE", "b"), "\"unbalanced");
    EXPECT_EQ(ReadFile("PACKAGE", "c"), "value ; not a comment");
    EXPECT_EQ(ReadFile("PACKAGE", ";Version"), "default");
    EXPECT_EQ(ReadFile("PACKAGE", "d"), "still in PACKAGE");
    EXPECT_EQ(ReadFile("PACKAGE", "e"), "from the second section");
}

TEST_F(ProfileReaderTest, ByteOrderMarkAndCrlfAreAccepted) {
    const std::string text =
        "\xEF\xBB\xBF[PACKAGE]\r\nDescription=Talvenmark Pro software\r\n"
        "Version=3\r\n";
    EXPECT_EQ(Read(text, "PACKAGE", "Description"), "Talvenmark Pro software");
    EXPECT_EQ(ReadFile("PACKAGE", "Version"), "3");
}

TEST_F(ProfileReaderTest, BinaryContentEndsTheValueAtNul) {
    std::string text = "[PACKAGE]\nVersion=ab";
    text += '\0';
    text += "cd\n\xff\xfe\x01[\n=\n";
    EXPECT_EQ(Read(text, "PACKAGE", "Version"), "ab");
}

TEST_F(ProfileReaderTest, OnlyTheHeadOfAHugeFileIsRead) {
    std::string text = "[PACKAGE]\nlanguage=en\n";
    text += std::string(ProfileReader::kMaxFileBytes, '\n');
    text += "Version=beyond the limit\n";
    EXPECT_EQ(Read(text, "PACKAGE", "language"), "en");
    EXPECT_EQ(ReadFile("PACKAGE", "Version"), "default");

    // A file is read up to its last whole line within the limit: a value
    // that crosses the limit is not there rather than cut.
    std::string crossing = "[PACKAGE]\nlanguage=en\n";
    crossing += std::string(ProfileReader::kMaxFileBytes - crossing.size() - 4, '\n');
    crossing += "Version=1.2345\n";
    EXPECT_EQ(Read(crossing, "PACKAGE", "Version"), "default");
    EXPECT_EQ(ReadFile("PACKAGE", "language"), "en");
    crossing.resize(ProfileReader::kMaxFileBytes - 4);
    EXPECT_EQ(Read(crossing + "V=1\n", "PACKAGE", "V"), "1");
    EXPECT_EQ(Read("[PACKAGE]\nVersion=" + std::string(3 * ProfileReader::kMaxFileBytes, 'x'),
                   "PACKAGE", "Version"),
              "default");
}

TEST_F(ProfileReaderTest, DirectoryOrFifoIsNotWaitedOn) {
    const std::string fifo = sandbox_.Root() + "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    char buffer[16];
    EXPECT_EQ(
        ProfileReader::GetString("PACKAGE", "Version", "d", buffer, sizeof buffer, fifo.c_str()),
        1u);
    EXPECT_STREQ(buffer, "d");
    EXPECT_EQ(ProfileReader::GetString("PACKAGE", "Version", "d", buffer, sizeof buffer,
                                       sandbox_.Root().c_str()),
              1u);
}

}  // namespace
