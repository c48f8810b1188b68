#include "platform/PrivateTempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace platform {
namespace {

// Points XDG_RUNTIME_DIR and TMPDIR at a scratch directory for one test.
class PrivateTempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kestrup-ptd-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        Save("XDG_RUNTIME_DIR", savedXdg_, hadXdg_);
        Save("TMPDIR", savedTmp_, hadTmp_);
    }
    void TearDown() override {
        Restore("XDG_RUNTIME_DIR", savedXdg_, hadXdg_);
        Restore("TMPDIR", savedTmp_, hadTmp_);
        std::string cmd = "chmod -R u+w '" + root_ + "' 2>/dev/null; rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    static void Save(const char* name, std::string& value, bool& had) {
        const char* v = std::getenv(name);
        had = v != nullptr;
        value = had ? v : "";
    }
    static void Restore(const char* name, const std::string& value, bool had) {
        if (had) {
            ::setenv(name, value.c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

    std::string root_;
    std::string savedXdg_, savedTmp_;
    bool hadXdg_ = false, hadTmp_ = false;
};

TEST_F(PrivateTempDirTest, UsesTheRuntimeDirectoryWhenSetAndCreatesItPrivate) {
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    std::string path, error;
    ASSERT_TRUE(PrivateTempDir::Get(path, error)) << error;
    EXPECT_EQ(path, root_ + "/kestrup/");
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A second call finds the same directory and accepts it.
    std::string again;
    ASSERT_TRUE(PrivateTempDir::Get(again, error)) << error;
    EXPECT_EQ(again, path);
}

// A bound run works in a directory of its own below the private one, made
// and checked the same way; the private one stays the base.
TEST_F(PrivateTempDirTest, ARunSubdirectoryIsMadePrivateBelowTheBase) {
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    std::string path, base, error;
    PrivateTempDir::SetRunSubdirectory("instrument-1-2");
    ASSERT_TRUE(PrivateTempDir::Get(path, error)) << error;
    ASSERT_TRUE(PrivateTempDir::GetBase(base, error)) << error;
    EXPECT_EQ(base, root_ + "/kestrup/");
    EXPECT_EQ(path, base + "instrument-1-2/");
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A link in its place is refused as the base would be.
    ASSERT_EQ(::rmdir(path.c_str()), 0);
    ASSERT_EQ(::symlink(root_.c_str(), (base + "instrument-1-2").c_str()), 0);
    EXPECT_FALSE(PrivateTempDir::Get(path, error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    PrivateTempDir::SetRunSubdirectory("..");
    EXPECT_FALSE(PrivateTempDir::Get(path, error));
    PrivateTempDir::SetRunSubdirectory(std::string());
    ASSERT_TRUE(PrivateTempDir::Get(path, error)) << error;
    EXPECT_EQ(path, base);
}

TEST_F(PrivateTempDirTest, FallsBackToTmpdirWithTheUserIdInTheName) {
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", root_.c_str(), 1);
    std::string path, error;
    ASSERT_TRUE(PrivateTempDir::Get(path, error)) << error;
    EXPECT_EQ(path, root_ + "/kestrup-" + std::to_string(::geteuid()) + "/");
}

TEST_F(PrivateTempDirTest, RefusesAHostileDirectoryInItsPlace) {
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    const std::string target = root_ + "/kestrup";
    std::string path, error;

    // A symbolic link to somewhere else.
    ASSERT_EQ(::mkdir((root_ + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((root_ + "/elsewhere").c_str(), target.c_str()), 0);
    EXPECT_FALSE(PrivateTempDir::Get(path, error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    ASSERT_EQ(::unlink(target.c_str()), 0);

    // A directory anyone can write to.
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0777), 0);
    EXPECT_FALSE(PrivateTempDir::Get(path, error));
    EXPECT_NE(error.find("writable by others"), std::string::npos) << error;
    ASSERT_EQ(::chmod(target.c_str(), 0700), 0);

    // A directory of another user (only root can make one).
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(PrivateTempDir::Get(path, error));
        EXPECT_NE(error.find("another user"), std::string::npos) << error;
    }

    // A plain file.
    ASSERT_EQ(::rmdir(target.c_str()), 0);
    FILE* f = std::fopen(target.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(PrivateTempDir::Get(path, error));
}

}  // namespace
}  // namespace platform
