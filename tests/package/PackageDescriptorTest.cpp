#include <gmock/gmock.h>

#include "tests/package/PackageTestFixture.h"

using ::testing::ElementsAre;

namespace {

TEST(PackageDescriptor, FirstFieldMustBeTheProductTextExactly) {
    EXPECT_TRUE(CKestrupDoc::IsProductDescription("Talvenmark Pro software"));
    EXPECT_TRUE(CKestrupDoc::IsProductDescription("Talvenmark Pro software,en,anything, at all"));
    EXPECT_TRUE(CKestrupDoc::IsProductDescription(",,,Talvenmark Pro software"));
    EXPECT_TRUE(CKestrupDoc::IsProductDescription(",Talvenmark Pro software,"));

    EXPECT_FALSE(CKestrupDoc::IsProductDescription("Talvenmark pro software"));
    EXPECT_FALSE(CKestrupDoc::IsProductDescription("Talvenmark Pro software ,x"));
    EXPECT_FALSE(CKestrupDoc::IsProductDescription(" Talvenmark Pro software"));
    EXPECT_FALSE(CKestrupDoc::IsProductDescription("Talvenmark Pro"));
    EXPECT_FALSE(CKestrupDoc::IsProductDescription("Talvenmark Pro softwareX"));
    EXPECT_FALSE(CKestrupDoc::IsProductDescription("Other,Talvenmark Pro software"));
    EXPECT_FALSE(CKestrupDoc::IsProductDescription(""));
    EXPECT_FALSE(CKestrupDoc::IsProductDescription(",,,"));
    EXPECT_FALSE(CKestrupDoc::IsProductDescription(nullptr));
}

using PackageDescriptorTest = PackageTestFixture;

TEST_F(PackageDescriptorTest, DescriptorFileIsReadFromSectionPackage) {
    const std::string path = sandbox_.Root() + "package.inf";
    const auto accepted = [&](const std::string& text) {
        EXPECT_TRUE(testsupport::PackageSandbox::Write(path, text));
        return CKestrupDoc::IsAcceptedDescriptor(path.c_str());
    };
    EXPECT_TRUE(accepted("[PACKAGE]\nDescription=Talvenmark Pro software\n"));
    EXPECT_TRUE(accepted("[package]\ndescription =  Talvenmark Pro software,en \n"));
    EXPECT_FALSE(accepted("[package]\ndescription = Talvenmark Pro software , \n"));
    EXPECT_FALSE(accepted("[PACKAGE]\nDescription=\n"));
    EXPECT_FALSE(accepted("[PACKAGE]\nlanguage=en\n"));
    EXPECT_FALSE(accepted("[OTHER]\nDescription=Talvenmark Pro software\n"));
    EXPECT_FALSE(CKestrupDoc::IsAcceptedDescriptor((path + ".missing").c_str()));
}

TEST_F(PackageDescriptorTest, RowCellsComeFromTheDescriptor) {
    const std::string longVersion(600, '7');
    Pack("long.pcg", ("[package]\nDescription=Talvenmark Pro software\nlanguage=English\n"
                      "Version=" +
                      longVersion + "\nversion_date=2026-11-30\n")
                         .c_str());
    ASSERT_TRUE(Scan());
    ASSERT_EQ(doc_.m_nPackageCount, 1);
    EXPECT_THAT(Rows()[0],
                ElementsAre("English", longVersion.substr(0, 511), "2026-11-30", "long.pcg"));

    // Only a Description: three empty cells and the file name.
    std::filesystem::remove(sandbox_.PackageDir() + "long.pcg");
    Pack("bare.pcg", "[PACKAGE]\nDescription=Talvenmark Pro software\n");
    ASSERT_TRUE(Scan());
    ASSERT_EQ(doc_.m_nPackageCount, 1);
    EXPECT_THAT(Rows()[0], ElementsAre("", "", "", "bare.pcg"));
}

}  // namespace
