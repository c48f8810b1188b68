#include <gmock/gmock.h>
#include <sys/stat.h>

#include "tests/package/PackageTestFixture.h"

using testsupport::ArchiveWriter;
using testsupport::PackageSandbox;

namespace {

class PackageStagingTest : public PackageTestFixture {
  protected:
    PackageStagingTest() {
        staging_ = sandbox_.StagingDir();
        std::snprintf(g_szStagingDir, sizeof g_szStagingDir, "%s", staging_.c_str());
    }
    std::string staging_;
};

TEST_F(PackageStagingTest, ClearingRemovesEverythingButNeverFollowsALink) {
    ASSERT_TRUE(PackageSandbox::Write(staging_ + "app.bin", "app"));
    // Leftovers that break later packages: a folder named like an image,
    // a name whose path does not fit a path buffer.
    ASSERT_TRUE(PackageSandbox::Write(staging_ + "x.bin/inner.bin", "inner"));
    ASSERT_TRUE(PackageSandbox::Write(staging_ + std::string(250, 'n') + ".dat", "long"));
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.Outside() + "target", "target"));
    std::filesystem::create_symlink(sandbox_.Outside() + "target", staging_ + "link");
    std::filesystem::create_directory_symlink(sandbox_.Outside(), staging_ + "dirlink");

    EXPECT_TRUE(doc_.ClearStagingDir());
    EXPECT_EQ(PackageSandbox::Names(staging_), "");
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Outside()), "target");
    EXPECT_EQ(PackageSandbox::Read(sandbox_.Outside() + "target"), "target");

    // A staging directory that is a link is refused; where it points is
    // left alone.
    std::filesystem::remove_all(staging_);
    std::filesystem::create_directory_symlink(sandbox_.Outside(),
                                              staging_.substr(0, staging_.size() - 1));
    EXPECT_FALSE(doc_.ClearStagingDir());
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Outside()), "target");

    // A staging directory that does not exist leaves nothing to do.
    std::filesystem::remove(staging_.substr(0, staging_.size() - 1));
    EXPECT_TRUE(doc_.ClearStagingDir());
    EXPECT_FALSE(std::filesystem::exists(staging_));
}

TEST_F(PackageStagingTest, UnpackStagesFlatReplacingEarlierFiles) {
    {
        ArchiveWriter zip(sandbox_.PackageDir() + "a.pcg");
        zip.File("package.inf", Accepted("English", "1", "d"))
            .File("boot.bin", "new boot")
            .Directory("docs/")
            .File("docs/readme.txt", "readme")
            .File("images/app.bin", "new app")
            .File("docs/package.inf", "not the descriptor");
        ASSERT_TRUE(zip.Close());
    }
    EXPECT_FALSE(std::filesystem::exists(staging_));
    EXPECT_TRUE(doc_.UnpackPackage((sandbox_.PackageDir() + "a.pcg").c_str()));
    // Every member lands directly in the staging directory, where the
    // worker looks; the later of two same-named members wins.
    EXPECT_EQ(PackageSandbox::Names(staging_), "app.bin boot.bin package.inf readme.txt");
    EXPECT_EQ(PackageSandbox::Read(staging_ + "app.bin"), "new app");
    EXPECT_EQ(PackageSandbox::Read(staging_ + "package.inf"), "not the descriptor");

    ASSERT_TRUE(PackageSandbox::Write(staging_ + "boot.bin", "old boot, and longer"));
    EXPECT_TRUE(doc_.UnpackPackage((sandbox_.PackageDir() + "a.pcg").c_str()));
    EXPECT_EQ(PackageSandbox::Read(staging_ + "boot.bin"), "new boot");

    EXPECT_FALSE(doc_.UnpackPackage((sandbox_.PackageDir() + "missing.pcg").c_str()));
    EXPECT_FALSE(doc_.UnpackPackage(nullptr));
}

TEST_F(PackageStagingTest, ChosenPackageUnpacksIntoStagingAfterAScan) {
    Pack("a.pcg", Accepted("English", "1", "d").c_str(), "the image");
    g_szStagingDir[0] = '\0';
    ASSERT_TRUE(Scan());
    ASSERT_TRUE(PackageSandbox::Write(staging_ + "left.bin", "left from an earlier run"));

    ASSERT_TRUE(doc_.FormPackagePath(0));
    doc_.ClearStagingDir();
    EXPECT_TRUE(doc_.UnpackPackage(g_szPackagePath));
    EXPECT_EQ(PackageSandbox::Names(staging_), "boot.bin package.inf");
    EXPECT_EQ(PackageSandbox::Read(staging_ + "boot.bin"), "the image");
    EXPECT_EQ(PackageSandbox::Names(sandbox_.TempDir()), "test");
}

TEST_F(PackageStagingTest, EmptyOrRelativeStagingDirectoryDoesNothing) {
    {
        ArchiveWriter zip(sandbox_.PackageDir() + "a.pcg");
        zip.File("app.bin", "app");
        ASSERT_TRUE(zip.Close());
    }
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.Outside() + "precious.txt", "precious"));
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(sandbox_.Outside());
    for (const char* dir : {"", "test/", "./"}) {
        std::snprintf(g_szStagingDir, sizeof g_szStagingDir, "%s", dir);
        doc_.ClearStagingDir();
        EXPECT_FALSE(doc_.UnpackPackage((sandbox_.PackageDir() + "a.pcg").c_str())) << dir;
    }
    std::filesystem::current_path(cwd);
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Outside()), "precious.txt");
}

TEST_F(PackageStagingTest, HostileArchivesWriteNothingOutside) {
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.Outside() + "victim", "untouched"));
    std::filesystem::create_directories(staging_);
    std::filesystem::create_symlink(sandbox_.Outside() + "victim", staging_ + "app.bin");
    {
        ArchiveWriter zip(sandbox_.PackageDir() + "evil.pcg");
        zip.File("../x", "escaped")
            .File("../../outside/y", "escaped")
            .File(sandbox_.Outside() + "abs", "escaped")
            .Symlink("boot.bin", sandbox_.Outside() + "victim")
            .File("app.bin", "app");
        ASSERT_TRUE(zip.Close());
    }
    EXPECT_FALSE(doc_.UnpackPackage((sandbox_.PackageDir() + "evil.pcg").c_str()));
    EXPECT_EQ(PackageSandbox::Names(staging_), "app.bin");
    EXPECT_FALSE(std::filesystem::is_symlink(staging_ + "app.bin"));
    EXPECT_EQ(PackageSandbox::Read(staging_ + "app.bin"), "app");
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Outside()), "victim");
    EXPECT_EQ(PackageSandbox::Read(sandbox_.Outside() + "victim"), "untouched");
    EXPECT_EQ(PackageSandbox::Names(sandbox_.TempDir()), "test");
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Root()), "bin cfg outside run");
}

TEST_F(PackageStagingTest, OverlongPackagePathIsAFailureNotATruncatedPath) {
    const std::string longDir = "/" + std::string(240, 'p') + "/";
    std::snprintf(g_szPackageDir, sizeof g_szPackageDir, "%s", longDir.c_str());
    doc_.AddItem("English");
    doc_.AddItem("1");
    doc_.AddItem("d");
    doc_.AddItem((std::string(30, 'n') + ".pcg").c_str());
    doc_.m_nPackageCount = 1;
    std::snprintf(g_szPackagePath, sizeof g_szPackagePath, "%s", "stale");
    EXPECT_FALSE(doc_.FormPackagePath(0));
    EXPECT_STREQ(g_szPackagePath, "");
    EXPECT_FALSE(doc_.UnpackPackage(g_szPackagePath));
}

}  // namespace
