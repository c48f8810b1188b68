// The pieces of a package's signature check: minisign's key and signature
// files as the real tool writes them (and damaged), the trusted keys, the
// policy file, and how outside text is shown. The check itself runs through
// the hand-off (engine suite), against minisign's own verdict.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "package/MinisignPublicKey.h"
#include "package/MinisignSignature.h"
#include "package/PackageTrust.h"
#include "package/PackageVerifier.h"
#include "package/SignatureCheck.h"
#include "package/SignaturePolicy.h"
#include "package/TrustedKeys.h"
#include "tests/support/MinisignTool.h"
#include "tests/support/PackageSandbox.h"

namespace {

using testsupport::MinisignTool;
using testsupport::PackageSandbox;

class PackageSignatureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!MinisignTool::Available()) {
            GTEST_SKIP() << MinisignTool::Missing();
        }
        ASSERT_TRUE(MinisignTool::MakeKey(Path("maker.key"), Path("maker.pub")));
        ASSERT_TRUE(PackageSandbox::Write(Path("p.pcg"), std::string(100000, 'p') + "end"));
    }
    std::string Path(const std::string& name) const { return sandbox_.Root() + name; }
    // The id that minisign wrote into the key's untrusted comment.
    std::string CommentedId() const {
        const std::string text = PackageSandbox::Read(Path("maker.pub"));
        const std::size_t at = text.find("public key ") + 11;
        return text.substr(at, text.find('\n') - at);
    }

    PackageSandbox sandbox_;
};

TEST_F(PackageSignatureTest, SignatureFilesAsMinisignWritesThemParseAndDamagedOnesDoNot) {
    ASSERT_TRUE(MinisignTool::Sign(Path("maker.key"), Path("p.pcg"), "file:p.pcg\tbuild 7"));
    ASSERT_TRUE(
        MinisignTool::Sign(Path("maker.key"), Path("p.pcg"), "old", true, Path("legacy.minisig")));
    const std::string made = PackageSandbox::Read(Path("p.pcg.minisig"));
    std::string error;
    const auto prehashed = MinisignSignature::Parse(made, error);
    ASSERT_TRUE(prehashed) << error;
    EXPECT_EQ(prehashed->algorithm, MinisignSignature::Algorithm::Prehashed);
    EXPECT_EQ(prehashed->trustedComment, "file:p.pcg\tbuild 7");
    EXPECT_EQ(MinisignPublicKey::IdText(prehashed->keyId), CommentedId());
    const auto legacy =
        MinisignSignature::Parse(PackageSandbox::Read(Path("legacy.minisig")), error);
    ASSERT_TRUE(legacy) << error;
    EXPECT_EQ(legacy->algorithm, MinisignSignature::Algorithm::Legacy);

    // A legacy signature is over the whole file in memory: a package over
    // the bound is refused without being read.
    TrustedKeys keys;
    keys.Add(*MinisignPublicKey::Parse(PackageSandbox::Read(Path("maker.pub")), error));
    ASSERT_EQ(::truncate(Path("p.pcg").c_str(), PackageVerifier::kMaxLegacyBytes + 1), 0);
    PackageVerifier::SignatureFile file{PackageVerifier::SignatureFile::Kind::Present,
                                        PackageSandbox::Read(Path("legacy.minisig")), ""};
    const SignatureCheck large = PackageVerifier::Check(Path("p.pcg"), file, keys);
    EXPECT_EQ(large.state, SignatureCheck::State::BadSignature);
    EXPECT_NE(large.detail.find("larger than 64 MiB"), std::string::npos) << large.detail;

    const std::size_t line2 = made.find('\n') + 1;
    const std::size_t line3 = made.find('\n', line2) + 1;
    const std::size_t line4 = made.find('\n', line3) + 1;
    auto replaced = [&](std::size_t at, std::size_t length, const std::string& with) {
        return std::string(made).replace(at, length, with);
    };
    struct Case {
        const char* what;
        std::string text;
        bool parses;
    };
    std::string crlf;
    for (char c : made) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const std::vector<Case> cases{
        {"CRLF line ends", crlf, true},
        {"blank lines after it", made + "\n\n  \n", true},
        {"empty", "", false},
        {"cut in the signature line", made.substr(0, line2 + 30), false},
        {"cut before the global signature", made.substr(0, line4), false},
        {"global signature one character short", made.substr(0, made.size() - 2) + "\n", false},
        {"a character that is not base64", replaced(line2 + 20, 1, "*"), false},
        {"an unknown algorithm", replaced(line2, 2, "RX"), false},
        {"no trusted comment prefix", replaced(line3, 8, "comment "), false},
        {"no untrusted comment prefix", replaced(0, 9, "untrusty "), false},
        {"a fifth line", made + "extra\n", false},
        {"a NUL in the trusted comment", replaced(line3 + 20, 1, std::string(1, '\0')), false},
        {"longer than a signature file", made + std::string(MinisignSignature::kMaxFileBytes, '\n'),
         false},
    };
    for (const Case& c : cases) {
        error.clear();
        const auto parsed = MinisignSignature::Parse(c.text, error);
        EXPECT_EQ(parsed.has_value(), c.parses) << c.what;
        EXPECT_EQ(error.empty(), c.parses) << c.what << ": " << error;
        if (parsed) {
            EXPECT_EQ(parsed->signature, prehashed->signature) << c.what;
            EXPECT_EQ(parsed->trustedComment, prehashed->trustedComment) << c.what;
        }
    }
}

TEST_F(PackageSignatureTest, KeyFilesParseAndTheKeyStoreNamesWhatItCannotTrust) {
    const std::string made = PackageSandbox::Read(Path("maker.pub"));
    std::string error;
    const auto key = MinisignPublicKey::Parse(made, error);
    ASSERT_TRUE(key) << error;
    EXPECT_EQ(MinisignPublicKey::IdText(key->id), CommentedId());
    const std::size_t line2 = made.find('\n') + 1;
    for (const std::string& damaged :
         {made.substr(line2), made.substr(0, made.size() - 5) + "\n", made + "more\n",
          std::string(made).replace(line2, 2, "RX"), std::string(made).insert(line2 + 3, "A")}) {
        EXPECT_FALSE(MinisignPublicKey::Parse(damaged, error)) << damaged;
    }

    // One good key, one broken file, one that others may change, a file of
    // another kind and a folder; the good key counts, each bad file is named.
    const std::string dir = sandbox_.KeysDir();
    ASSERT_TRUE(PackageSandbox::Write(dir + "maker.pub", made));
    ASSERT_TRUE(PackageSandbox::Write(dir + "broken.pub", "untrusted comment: x\nnot a key\n"));
    ASSERT_TRUE(PackageSandbox::Write(dir + "open.pub", made));
    ASSERT_EQ(::chmod((dir + "open.pub").c_str(), 0666), 0);
    ASSERT_TRUE(PackageSandbox::Write(dir + "notes.txt", "not a key"));
    std::filesystem::create_directories(dir + "folder.pub");
    std::vector<std::string> problems;
    TrustedKeys keys;
    keys.AddDirectory(dir, problems);
    keys.AddDirectory(sandbox_.Root() + "missing/", problems);
    EXPECT_EQ(keys.Size(), 1u);
    EXPECT_EQ(keys.WithId(key->id).size(), 1u);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].rfind(dir + "broken.pub: ", 0), 0u) << problems[0];
    EXPECT_EQ(problems[1], dir + "open.pub: others may write to it; not trusted");

    // A key directory anyone may write to holds no trusted key at all.
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    problems.clear();
    TrustedKeys none;
    none.AddDirectory(dir, problems);
    EXPECT_EQ(none.Size(), 0u);
    EXPECT_EQ(problems.size(), 1u);
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);

    // The program's trust tells each problem once, however often it reads.
    PackageTrust trust;
    std::vector<std::string> told;
    trust.SetProblemSink([&](const std::string& p) { told.push_back(p); });
    EXPECT_EQ(trust.Keys(sandbox_.PackageDir()).Size(), 1u);
    EXPECT_EQ(trust.Keys(sandbox_.PackageDir()).Size(), 1u);
    EXPECT_EQ(told.size(), 2u);
    EXPECT_EQ(PackageTrust::KeysBesidePackages("/opt/kestrup/cfg/"), "/opt/kestrup/trusted-keys/");
    // Ids read as minisign prints them: little-endian, without leading zeros.
    EXPECT_EQ(MinisignPublicKey::IdText({0xF9, 0x87, 0xC4, 0xF0, 0x29, 0x2E, 0xC0, 0x05}),
              "5C02E29F0C487F9");
    EXPECT_EQ(MinisignPublicKey::IdText({}), "0");
    EXPECT_EQ(PackageTrust::SystemDir(), sandbox_.SystemDir());
}

TEST(SignaturePolicyTest, RequiresSignaturesOnlyWhenToldOrWhenItCannotTell) {
    PackageSandbox sandbox;
    const std::string path = sandbox.SystemDir() + "kestrup.conf";
    struct Case {
        const char* text;  // null: no file
        bool required;
        bool problem;
    };
    const Case cases[] = {
        {nullptr, false, false},
        {"", false, false},
        {"[Packages]\nRequireSignature=yes\n", true, false},
        {"[packages]\r\nrequiresignature = Yes\r\n", true, false},
        {"[Packages]\nRequireSignature=no\n", false, false},
        {"[Packages]\nRequireSignature=off\n", false, false},
        {"[Packages]\nRequireSignature=maybe\n", true, true},
        {"[Packages]\nRequireSignature=\n", true, true},
        {"[Other]\nRequireSignature=yes\n", false, false},
        {"[Packages]\n# RequireSignature=yes\n; RequireSignature=yes\n", false, false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(path);
        if (c.text != nullptr) {
            ASSERT_TRUE(PackageSandbox::Write(path, c.text));
        }
        std::vector<std::string> problems;
        EXPECT_EQ(SignaturePolicy::Read(path, problems).requireSignature, c.required)
            << (c.text ? c.text : "(no file)");
        EXPECT_EQ(!problems.empty(), c.problem) << (c.text ? c.text : "(no file)");
    }
    // The file the package installs lets unsigned packages through, quietly.
    std::vector<std::string> shipped;
    EXPECT_FALSE(SignaturePolicy::Read(KESTRUP_SHIPPED_POLICY, shipped).requireSignature);
    EXPECT_TRUE(shipped.empty());
    // Something that is not a file in its place fails closed.
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    std::vector<std::string> problems;
    EXPECT_TRUE(SignaturePolicy::Read(path, problems).requireSignature);
    EXPECT_EQ(problems.size(), 1u);
}

// Outside text in a check's summary goes through the terminal escaping
// (whose cases the platform suite holds).
TEST(SignatureCheckTest, OutsideTextIsShownPrintable) {
    const char text[] = "7.0.5\t\x1b[31m\xc2\x9b\xff\0 \xf0\x9d\x84\x9e";
    EXPECT_EQ(SignatureCheck::Printable(std::string(text, sizeof text - 1)),
              "7.0.5\\t\\x1B[31m\\xC2\\x9B\\xFF\\x00 \xf0\x9d\x84\x9e");
}

}  // namespace
