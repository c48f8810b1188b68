#include "platform/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace platform {
namespace {

class FileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kestrup-fs-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/";
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string dir_;
};

TEST_F(FileSystemTest, ListsEntriesWithTheirKindsWithoutFollowingLinks) {
    ASSERT_TRUE(FileSystem::WriteAll(dir_ + "a.dat", "abc"));
    ASSERT_EQ(::mkdir((dir_ + "sub").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("/etc", (dir_ + "link").c_str()), 0);

    std::vector<FileSystem::Entry> entries;
    ASSERT_TRUE(FileSystem::List(dir_, entries));
    auto kindOf = [&](const std::string& name) {
        auto it = std::find_if(entries.begin(), entries.end(),
                               [&](const auto& e) { return e.name == name; });
        EXPECT_NE(it, entries.end()) << name;
        return it == entries.end() ? FileSystem::Kind::Other : it->kind;
    };
    EXPECT_EQ(entries.size(), 5u);  // ".", "..", and the three
    EXPECT_EQ(kindOf("."), FileSystem::Kind::Directory);
    EXPECT_EQ(kindOf(".."), FileSystem::Kind::Directory);
    EXPECT_EQ(kindOf("a.dat"), FileSystem::Kind::File);
    EXPECT_EQ(kindOf("sub"), FileSystem::Kind::Directory);
    EXPECT_EQ(kindOf("link"), FileSystem::Kind::Other);
    EXPECT_FALSE(FileSystem::List(dir_ + "missing/", entries));
}

TEST_F(FileSystemTest, ReadOnlyFileBecomesWritableAndDeletable) {
    const std::string file = dir_ + "ro.bin";
    ASSERT_TRUE(FileSystem::WriteAll(file, "x"));
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    EXPECT_TRUE(FileSystem::SetNormalAttributes(file));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_TRUE(FileSystem::Delete(file));
    EXPECT_FALSE(FileSystem::Exists(file));
    EXPECT_FALSE(FileSystem::Delete(dir_));  // directories are not deleted
}

TEST_F(FileSystemTest, CopyReplacesALinkInsteadOfWritingThroughIt) {
    const std::string outside = dir_ + "outside.txt";
    ASSERT_TRUE(FileSystem::WriteAll(outside, "precious"));
    ASSERT_TRUE(FileSystem::WriteAll(dir_ + "package.inf", "[PACKAGE]\n"));
    ASSERT_EQ(::symlink(outside.c_str(), (dir_ + "package.ini").c_str()), 0);

    EXPECT_TRUE(FileSystem::CopyReplacing(dir_ + "package.inf", dir_ + "package.ini"));
    std::string text;
    ASSERT_TRUE(FileSystem::ReadAll(outside, text));
    EXPECT_EQ(text, "precious");
    ASSERT_TRUE(FileSystem::ReadAll(dir_ + "package.ini", text));
    EXPECT_EQ(text, "[PACKAGE]\n");
    FileSystem::Kind kind;
    ASSERT_TRUE(FileSystem::KindOf(dir_ + "package.ini", kind));
    EXPECT_EQ(kind, FileSystem::Kind::File);

    // Deleting a link removes the link, not its target.
    ASSERT_EQ(::symlink(outside.c_str(), (dir_ + "l2").c_str()), 0);
    EXPECT_TRUE(FileSystem::Delete(dir_ + "l2"));
    EXPECT_TRUE(FileSystem::Exists(outside));
}

TEST_F(FileSystemTest, FailedCopyLeavesNothingBehind) {
    EXPECT_FALSE(FileSystem::CopyReplacing(dir_ + "missing", dir_ + "target"));
    EXPECT_FALSE(FileSystem::CopyReplacing(dir_, dir_ + "target"));  // not a regular file
    std::vector<FileSystem::Entry> entries;
    ASSERT_TRUE(FileSystem::List(dir_, entries));
    EXPECT_EQ(entries.size(), 2u);
}

TEST(FileSystemExecutableTest, KnowsItsOwnPath) {
    const std::string path = FileSystem::ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_NE(path.find("platform_tests"), std::string::npos);
}

}  // namespace
}  // namespace platform
