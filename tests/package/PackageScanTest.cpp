#include <gmock/gmock.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/FileSystem.h"
#include "tests/package/PackageTestFixture.h"

using ::testing::ElementsAre;
using testsupport::PackageSandbox;

namespace {

std::string PackageDir(const char* executable) {
    char buffer[kPathBufferSize] = "untouched";
    if (!CKestrupDoc::PackageDirFromExecutable(executable, buffer, sizeof buffer)) {
        EXPECT_STREQ(buffer, "");
        return "<fail>";
    }
    return buffer;
}

TEST(PackageDirectory, NearestDirectoryNamedBinBecomesCfg) {
    EXPECT_EQ(PackageDir("/opt/talvenmark/bin/kestrup"), "/opt/talvenmark/cfg/");
    // "bin" inside other names is no directory named "bin".
    EXPECT_EQ(PackageDir("/home/robin/kestrup/bin/kestrup"), "/home/robin/kestrup/cfg/");
    EXPECT_EQ(PackageDir("/srv/cabinet/bin/kestrup"), "/srv/cabinet/cfg/");
    EXPECT_EQ(PackageDir("/opt/bin.old/bin/kestrup"), "/opt/bin.old/cfg/");
    EXPECT_EQ(PackageDir("/opt/bin/x86/kestrup"), "/opt/cfg/");
    EXPECT_EQ(PackageDir("/bin/kestrup"), "/cfg/");
    EXPECT_EQ(PackageDir("/opt/bin/kestrup.bin"), "/opt/cfg/");
}

TEST(PackageDirectory, WithoutBinTheCfgBesideTheExecutable) {
    EXPECT_EQ(PackageDir("/home/robin/kestrup"), "/home/robin/cfg/");
    EXPECT_EQ(PackageDir("/usr/lib/cabinet/kestrup"), "/usr/lib/cabinet/cfg/");
    EXPECT_EQ(PackageDir("/kestrup"), "/cfg/");
}

TEST(PackageDirectory, RelativeEmptyOrOverlongPathsFail) {
    EXPECT_EQ(PackageDir(""), "<fail>");
    EXPECT_EQ(PackageDir(nullptr), "<fail>");
    EXPECT_EQ(PackageDir("bin/kestrup"), "<fail>");
    const std::string deep = "/" + std::string(300, 'd') + "/bin/kestrup";
    EXPECT_EQ(PackageDir(deep.c_str()), "<fail>");
    const std::string fits = "/" + std::string(253, 'd') + "/bin/kestrup";
    EXPECT_EQ(PackageDir(fits.c_str()).size(), 259u);
    const std::string overflows = "/" + std::string(254, 'd') + "/bin/kestrup";
    EXPECT_EQ(PackageDir(overflows.c_str()), "<fail>");
}

TEST(PackageFileName, PcgSuffixInAnyCase) {
    EXPECT_TRUE(CKestrupDoc::IsPackageFileName("upgrade.pcg"));
    EXPECT_TRUE(CKestrupDoc::IsPackageFileName("UPGRADE.PCG"));
    EXPECT_TRUE(CKestrupDoc::IsPackageFileName("a.b.Pcg"));
    EXPECT_FALSE(CKestrupDoc::IsPackageFileName("upgrade.pcg.bak"));
    EXPECT_FALSE(CKestrupDoc::IsPackageFileName("upgrade.zip"));
    EXPECT_FALSE(CKestrupDoc::IsPackageFileName("pcg"));
}

using PackageScanTest = PackageTestFixture;

TEST_F(PackageScanTest, ListsAcceptedPackagesInNameOrder) {
    Pack("c.pcg", Accepted("English", "7.0.5", "2026-01-02").c_str());
    Pack("a.pcg", Accepted("English", "7.0.5", "2026-01-02").c_str());
    Pack("B.PCG", Accepted("Deutsch", "7.0.4", "2025-12-01").c_str());
    Pack("notapackage.zip", Accepted("x", "y", "z").c_str());
    std::filesystem::create_directory(sandbox_.PackageDir() + "folder.pcg");

    ASSERT_TRUE(Scan());
    EXPECT_STREQ(g_szPackageDir, sandbox_.PackageDir().c_str());
    EXPECT_STREQ(g_szStagingDir, sandbox_.StagingDir().c_str());

    // By name without regard to case, whatever order the directory holds.
    const std::vector<std::vector<std::string>> expected = {
        {"English", "7.0.5", "2026-01-02", "a.pcg"},
        {"Deutsch", "7.0.4", "2025-12-01", "B.PCG"},
        {"English", "7.0.5", "2026-01-02", "c.pcg"},
    };
    EXPECT_EQ(doc_.m_nPackageCount, 3);
    EXPECT_EQ(Rows(), expected);

    // Unchanged directory, same table; the copies are gone from the temporary
    // directory, and the scan does not create the staging directory.
    ASSERT_TRUE(Scan());
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(PackageSandbox::Names(sandbox_.TempDir()), "");

    EXPECT_TRUE(doc_.FormPackagePath(1));
    EXPECT_EQ(std::string(g_szPackagePath), sandbox_.PackageDir() + expected[1][3]);
    EXPECT_FALSE(doc_.FormPackagePath(3));
    EXPECT_STREQ(g_szPackagePath, "");
}

TEST_F(PackageScanTest, UnusableArchivesAreLeftOutSilently) {
    Pack("good.pcg", Accepted("English", "1", "d").c_str());
    Pack("none.pcg", nullptr);
    Pack("rejected.pcg", "[PACKAGE]\nDescription=Talvenmark Pro\nlanguage=x\n");
    {
        testsupport::ArchiveWriter zip(sandbox_.PackageDir() + "nested.pcg");
        zip.File("sub/package.inf", Accepted("x", "y", "z"));
        ASSERT_TRUE(zip.Close());
    }
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.PackageDir() + "corrupt.pcg", "PK\x03\x04junk"));
    std::string bytes = PackageSandbox::Read(sandbox_.PackageDir() + "good.pcg");
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.PackageDir() + "short.pcg",
                                      bytes.substr(0, bytes.size() / 2)));
    // A descriptor larger than the descriptor reader reads is not even
    // extracted: it would cost time and disk on every start-up.
    {
        testsupport::ArchiveWriter zip(sandbox_.PackageDir() + "bomb.pcg");
        zip.File("package.inf", Accepted("bomb", "1", "d") + std::string(2 << 20, '\n'));
        ASSERT_TRUE(zip.Close());
    }
    // A name too long for a 260-byte path buffer once the directory is in front.
    const std::string longName = std::string(250, 'n') + ".pcg";
    Pack(longName, Accepted("long", "1", "d").c_str());

    ASSERT_TRUE(Scan());
    EXPECT_EQ(doc_.m_nPackageCount, 1);
    EXPECT_THAT(Rows(), ElementsAre(ElementsAre("English", "1", "d", "good.pcg")));
    EXPECT_EQ(PackageSandbox::Names(sandbox_.TempDir()), "");
}

TEST_F(PackageScanTest, DescriptorLeftFromEarlierIsNotTakenForAnotherArchive) {
    Pack("none.pcg", nullptr);
    ASSERT_TRUE(
        PackageSandbox::Write(sandbox_.TempDir() + "package.inf", Accepted("stale", "0", "0")));
    ASSERT_TRUE(Scan());
    EXPECT_EQ(doc_.m_nPackageCount, 0);
}

TEST_F(PackageScanTest, TwoIdenticalDescriptorsGiveTwoRows) {
    Pack("first.pcg", Accepted("English", "2", "d").c_str());
    Pack("second.pcg", Accepted("English", "2", "d").c_str());
    ASSERT_TRUE(Scan());
    ASSERT_EQ(doc_.m_nPackageCount, 2);
    const auto rows = Rows();
    EXPECT_EQ(std::vector<std::string>(rows[0].begin(), rows[0].begin() + 3),
              std::vector<std::string>(rows[1].begin(), rows[1].begin() + 3));
    EXPECT_NE(rows[0][3], rows[1][3]);
}

TEST_F(PackageScanTest, NoArchiveLeavesTableEmptyAndStagingUntouched) {
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.StagingDir() + "old.bin", "old"));
    Pack("readme.txt", Accepted("x", "y", "z").c_str());
    doc_.AddItem("left");
    doc_.m_nPackageCount = 1;

    ASSERT_TRUE(Scan());
    EXPECT_EQ(doc_.m_nPackageCount, 0);
    EXPECT_EQ(doc_.m_pFirstItem, nullptr);
    EXPECT_STREQ(g_szPackageDir, sandbox_.PackageDir().c_str());
    EXPECT_STREQ(g_szStagingDir, "");
    EXPECT_EQ(PackageSandbox::Read(sandbox_.StagingDir() + "old.bin"), "old");

    // A package directory that does not exist at all is the same.
    std::filesystem::remove_all(sandbox_.PackageDir());
    ASSERT_TRUE(Scan());
    EXPECT_EQ(doc_.m_nPackageCount, 0);
}

TEST_F(PackageScanTest, ScanClearsTheStagingDirectory) {
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.StagingDir() + "old.bin", "old"));
    Pack("a.pcg", Accepted("English", "1", "d").c_str());
    ASSERT_TRUE(Scan());
    EXPECT_EQ(PackageSandbox::Names(sandbox_.StagingDir()), "");
}

TEST_F(PackageScanTest, FailedCopyLeavesThePackageOut) {
    Pack("a.pcg", Accepted("English", "1", "d").c_str());
    Pack("b.pcg", Accepted("Deutsch", "2", "e").c_str());
    ASSERT_TRUE(Scan());
    ASSERT_EQ(doc_.m_nPackageCount, 2);

    // A directory in the way of the copy: nothing can replace it.
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.TempDir() + "package.ini/keep", "x"));
    ASSERT_TRUE(Scan());
    EXPECT_EQ(doc_.m_nPackageCount, 0);
    EXPECT_EQ(doc_.m_pFirstItem, nullptr);
    EXPECT_EQ(PackageSandbox::Names(sandbox_.TempDir()), "package.ini");
}

TEST_F(PackageScanTest, ScanUsesTheProgramsOwnPath) {
    // The suite's own executable has no package directory of test archives;
    // the scan still completes and sets the package directory from its path.
    EXPECT_TRUE(doc_.ScanPackages());
    char expected[kPathBufferSize];
    ASSERT_TRUE(CKestrupDoc::PackageDirFromExecutable(
        platform::FileSystem::ExecutablePath().c_str(), expected, sizeof expected));
    EXPECT_STREQ(g_szPackageDir, expected);
}

TEST_F(PackageScanTest, ProgramStartedThroughALinkScansTheCfgBesideItsRealBin) {
    // The installed layout: usr/bin/kestrup links to opt/kestrup/bin/kestrup,
    // whose packages lie in opt/kestrup/cfg/. The link's own directory is a
    // "bin" too, so a scan from the path as started would read usr/cfg/.
    namespace fs = std::filesystem;
    const std::string root = fs::canonical(sandbox_.Root()).string() + "/";
    const std::string program = root + "opt/kestrup/bin/kestrup";
    const std::string link = root + "usr/bin/kestrup";
    fs::create_directories(root + "opt/kestrup/bin");
    fs::create_directories(root + "usr/bin");
    fs::copy_file(KESTRUP_PACKAGE_DIR_PROBE, program);
    ASSERT_EQ(::symlink(program.c_str(), link.c_str()), 0);
    for (const std::string name : {"opt/kestrup/cfg/Real.pcg", "usr/cfg/Beside.pcg"}) {
        fs::create_directories(fs::path(root + name).parent_path());
        testsupport::ArchiveWriter zip(root + name);
        zip.File("package.inf", Accepted("English", "7.0.5", "2026-12-08"));
        ASSERT_TRUE(zip.Close());
    }

    std::FILE* child = ::popen(("'" + link + "'").c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, child) != nullptr) {
        output += chunk;
    }
    EXPECT_EQ(::pclose(child), 0);
    EXPECT_EQ(output, root + "opt/kestrup/cfg/\nReal.pcg\n");
}

}  // namespace
