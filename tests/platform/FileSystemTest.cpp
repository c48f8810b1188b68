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

TEST_F(FileSystemTest, ListsNamesSortedWithoutRegardToCase) {
    for (const char* name : {"Suomi.pcg", "english.pcg", "Deutsch.pcg", "b", "B", "_x", "a.bin",
                             "app_b.bin", "appb.bin"}) {
        ASSERT_TRUE(FileSystem::WriteAll(dir_ + name, name));
    }
    std::vector<FileSystem::Entry> entries;
    ASSERT_TRUE(FileSystem::List(dir_, entries));
    std::string names;
    for (const auto& e : entries) {
        names += e.name + " ";
    }
    // Folded to upper case: "_" sorts after the letters.
    EXPECT_EQ(names, ". .. a.bin appb.bin app_b.bin B b Deutsch.pcg english.pcg Suomi.pcg _x ");
}

TEST_F(FileSystemTest, ClearingRemovesEverythingWithoutFollowingLinks) {
    const std::string outside = dir_ + "outside/";
    const std::string target = dir_ + "staging/";
    ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
    ASSERT_TRUE(FileSystem::WriteAll(outside + "keep", "keep"));
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    ASSERT_TRUE(FileSystem::WriteAll(target + "a.bin", "a"));
    // A folder named like an image, a read-only folder with a file in it,
    // links to a file and a folder outside, and a path far longer than a
    // path buffer.
    ASSERT_EQ(::mkdir((target + "x.bin").c_str(), 0700), 0);
    ASSERT_TRUE(FileSystem::WriteAll(target + "x.bin/inner", "i"));
    ASSERT_EQ(::mkdir((target + "ro").c_str(), 0700), 0);
    ASSERT_TRUE(FileSystem::WriteAll(target + "ro/f", "f"));
    ASSERT_EQ(::chmod((target + "ro").c_str(), 0500), 0);
    ASSERT_EQ(::symlink((outside + "keep").c_str(), (target + "file-link").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (target + "dir-link").c_str()), 0);
    std::string deep = target;
    for (int i = 0; i < 3; ++i) {
        deep += std::string(200, static_cast<char>('p' + i)) + "/";
        ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
    }
    ASSERT_TRUE(FileSystem::WriteAll(deep + "f", "f"));

    EXPECT_TRUE(FileSystem::ClearDirectory(target));
    std::vector<FileSystem::Entry> entries;
    ASSERT_TRUE(FileSystem::List(target, entries));
    EXPECT_EQ(entries.size(), 2u);  // "." and ".."
    EXPECT_TRUE(FileSystem::Exists(outside + "keep"));

    // A link in place of the directory is refused and left alone, as is
    // what it points to; a missing directory is nothing to clear.
    ASSERT_EQ(::symlink(outside.c_str(), (dir_ + "link").c_str()), 0);
    EXPECT_FALSE(FileSystem::ClearDirectory(dir_ + "link/"));
    EXPECT_FALSE(FileSystem::ClearDirectory(dir_ + "link"));
    EXPECT_TRUE(FileSystem::Exists(outside + "keep"));
    EXPECT_TRUE(FileSystem::ClearDirectory(dir_ + "missing/"));
}

TEST_F(FileSystemTest, ReadsOnlyRegularFilesWithinTheCap) {
    std::string text;
    ASSERT_TRUE(FileSystem::WriteAll(dir_ + "small", "12345"));
    EXPECT_TRUE(FileSystem::ReadAll(dir_ + "small", text, 5));
    EXPECT_EQ(text, "12345");
    EXPECT_FALSE(FileSystem::ReadAll(dir_ + "small", text, 4));
    EXPECT_EQ(text, "");
    ASSERT_EQ(::mkfifo((dir_ + "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(FileSystem::ReadAll(dir_ + "fifo", text));  // returns, never waits
    EXPECT_FALSE(FileSystem::ReadAll("/dev/zero", text));
    EXPECT_FALSE(FileSystem::ReadAll(dir_, text));
}

TEST_F(FileSystemTest, NormalAttributesMakeAFileWritableAgain) {
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

    // A move replaces a link the same way, and moves only a regular file.
    ASSERT_EQ(::symlink(outside.c_str(), (dir_ + "moved").c_str()), 0);
    EXPECT_TRUE(FileSystem::MoveReplacing(dir_ + "package.ini", dir_ + "moved"));
    ASSERT_TRUE(FileSystem::ReadAll(dir_ + "moved", text));
    EXPECT_EQ(text, "[PACKAGE]\n");
    EXPECT_FALSE(FileSystem::Exists(dir_ + "package.ini"));
    ASSERT_TRUE(FileSystem::ReadAll(outside, text));
    EXPECT_EQ(text, "precious");
    ASSERT_EQ(::symlink((dir_ + "moved").c_str(), (dir_ + "l1").c_str()), 0);
    EXPECT_FALSE(FileSystem::MoveReplacing(dir_ + "l1", dir_ + "l1-moved"));
    EXPECT_FALSE(FileSystem::Exists(dir_ + "l1-moved"));

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
