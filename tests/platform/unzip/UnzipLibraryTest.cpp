#include "platform/unzip/UnzipLibrary.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ArchiveWriter.h"
#include "tests/support/PackageSandbox.h"

using testsupport::ArchiveWriter;
using testsupport::PackageSandbox;

namespace {

// What the callbacks saw, for the tests that look at them.
struct Seen {
    std::vector<std::string> printed;
    std::vector<std::string> served;
    std::vector<std::string> replaced;
    std::vector<std::string> asked;
    int replaceAnswer = 1;
    int serviceAnswer = 0;
    std::string password;
};
Seen* g_seen = nullptr;

int Print(char* text, unsigned long length) {
    g_seen->printed.emplace_back(text, length);
    return 0;
}
int Replace(char* name) {
    g_seen->replaced.emplace_back(name);
    return g_seen->replaceAnswer;
}
int Password(char* buffer, int size, const char* /*prompt*/, const char* name) {
    g_seen->asked.emplace_back(name);
    if (!g_seen->password.empty() && static_cast<int>(g_seen->password.size()) < size) {
        std::copy(g_seen->password.begin(), g_seen->password.end(), buffer);
        buffer[g_seen->password.size()] = '\0';
    }
    return 1;
}
int Service(const char* name, unsigned long size) {
    g_seen->served.push_back(std::string(name) + ":" + std::to_string(size));
    return g_seen->serviceAnswer;
}

// Rewrites a 16- or 32-bit little-endian field of every local header
// (at localOffset) and central directory record (at centralOffset).
void PatchHeaders(std::string& bytes, std::size_t localOffset, std::size_t centralOffset,
                  std::uint32_t value, int width) {
    const std::pair<const char*, std::size_t> kinds[] = {{"PK\x03\x04", localOffset},
                                                         {"PK\x01\x02", centralOffset}};
    for (const auto& [signature, offset] : kinds) {
        for (std::size_t at = bytes.find(signature); at != std::string::npos;
             at = bytes.find(signature, at + 4)) {
            for (int i = 0; i < width; ++i) {
                bytes[at + offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
            }
        }
    }
}

class UnzipLibraryTest : public ::testing::Test {
  protected:
    UnzipLibraryTest() {
        g_seen = &seen_;
        callbacks_.print = Print;
        callbacks_.replace = Replace;
        callbacks_.password = Password;
        callbacks_.ServCallBk = Service;
    }
    ~UnzipLibraryTest() override { g_seen = nullptr; }

    int Unzip(const std::string& archive, std::vector<std::string> names = {},
              std::vector<std::string> excluded = {}) {
        std::vector<char*> in;
        for (std::string& n : names) {
            in.push_back(n.data());
        }
        std::vector<char*> out;
        for (std::string& n : excluded) {
            out.push_back(n.data());
        }
        archive_ = archive;
        options_.lpszZipFN = archive_.c_str();
        options_.lpszExtractDir = target_.c_str();
        return Wiz_SingleEntryUnzip(static_cast<int>(in.size()), in.data(),
                                    static_cast<int>(out.size()), out.data(), &options_,
                                    &callbacks_);
    }

    std::string Zip(const std::string& name) const { return sandbox_.PackageDir() + name; }

    PackageSandbox sandbox_;
    std::string target_ = sandbox_.TempDir() + "test/";
    std::string archive_;
    DCL options_{};
    USERFUNCTIONS callbacks_{};
    Seen seen_;
};

TEST_F(UnzipLibraryTest, NamedMemberAloneIsExtractedIntoANewTarget) {
    target_ = sandbox_.Root() + "new/deeper/";
    {
        ArchiveWriter zip(Zip("a.pcg"));
        zip.File("boot.bin", "boot").File("package.inf", "descriptor").File("sub/package.inf", "x");
        ASSERT_TRUE(zip.Close());
    }
    options_.noflag = 1;
    EXPECT_EQ(Unzip(Zip("a.pcg"), {"package.inf"}), UNZIP_OK);
    EXPECT_EQ(PackageSandbox::Names(target_), "package.inf");
    EXPECT_EQ(PackageSandbox::Read(target_ + "package.inf"), "descriptor");
    EXPECT_THAT(seen_.served, ::testing::ElementsAre("package.inf:10"));

    // Patterns match across folders; the exclusion list wins.
    EXPECT_EQ(Unzip(Zip("a.pcg"), {"*.inf"}, {"sub/*"}), UNZIP_OK);
    EXPECT_EQ(PackageSandbox::Names(target_), "package.inf");
    EXPECT_EQ(Unzip(Zip("a.pcg"), {"boot.bin"}, {"boot.bin"}), UNZIP_NOTFOUND);
    EXPECT_EQ(PackageSandbox::Names(target_), "package.inf");
}

TEST_F(UnzipLibraryTest, NamedMemberMissingFromTheArchiveIsAFailure) {
    {
        ArchiveWriter zip(Zip("a.pcg"));
        zip.File("boot.bin", "boot").File("PACKAGE.INF", "other case");
        ASSERT_TRUE(zip.Close());
    }
    // A descriptor left from an earlier archive must not pass for this one's.
    ASSERT_TRUE(PackageSandbox::Write(target_ + "package.inf", "earlier"));
    options_.noflag = 1;
    EXPECT_EQ(Unzip(Zip("a.pcg"), {"package.inf"}), UNZIP_NOTFOUND);
    EXPECT_EQ(PackageSandbox::Read(target_ + "package.inf"), "earlier");

    // C_flag matches without regard to case; patterns are shell patterns.
    options_.C_flag = 1;
    EXPECT_EQ(Unzip(Zip("a.pcg"), {"package.inf"}), UNZIP_OK);
    EXPECT_EQ(PackageSandbox::Read(target_ + "PACKAGE.INF"), "other case");
    options_.C_flag = 0;
    EXPECT_EQ(Unzip(Zip("a.pcg"), {"*.bin", "boot.bin"}), UNZIP_OK);
}

TEST_F(UnzipLibraryTest, FullExtractionIsFlatAndReplacesFiles) {
    {
        ArchiveWriter zip(Zip("a.pcg"));
        zip.File("app.bin", "first app")
            .Directory("empty/")
            .File("sub/deeper/data.txt", "data")
            .File("package.inf", "descriptor")
            .File("run.sh", "#!/bin/sh\n", 0755)
            .File("later/app.bin", "new app");
        ASSERT_TRUE(zip.Close());
    }
    ASSERT_TRUE(PackageSandbox::Write(target_ + "app.bin", "old app, longer than the new one"));
    ASSERT_TRUE(PackageSandbox::Write(target_ + "keep.txt", "unrelated"));

    // Folder names are dropped and folder members create nothing; the later
    // of two members with the same name wins.
    options_.noflag = 1;
    EXPECT_EQ(Unzip(Zip("a.pcg")), UNZIP_OK);
    EXPECT_EQ(PackageSandbox::Names(target_), "app.bin data.txt keep.txt package.inf run.sh");
    EXPECT_EQ(PackageSandbox::Read(target_ + "app.bin"), "new app");
    EXPECT_EQ(PackageSandbox::Read(target_ + "data.txt"), "data");
    EXPECT_EQ(PackageSandbox::Read(target_ + "keep.txt"), "unrelated");
    EXPECT_EQ(::access((target_ + "run.sh").c_str(), X_OK), 0);
    EXPECT_TRUE(seen_.replaced.empty());
    EXPECT_FALSE(seen_.printed.empty());

    // With the folder flag the folders are recreated under the target.
    options_.ndflag = 1;
    options_.fQuiet = 1;
    seen_.printed.clear();
    EXPECT_EQ(Unzip(Zip("a.pcg"), {"sub/*", "empty/"}), UNZIP_OK);
    EXPECT_EQ(PackageSandbox::Read(target_ + "sub/deeper/data.txt"), "data");
    EXPECT_TRUE(std::filesystem::is_directory(target_ + "empty"));
    EXPECT_TRUE(seen_.printed.empty());
}

TEST_F(UnzipLibraryTest, WithoutNoflagTheReplaceCallbackDecides) {
    {
        ArchiveWriter zip(Zip("a.pcg"));
        zip.File("a.txt", "new");
        ASSERT_TRUE(zip.Close());
    }
    ASSERT_TRUE(PackageSandbox::Write(target_ + "a.txt", "old"));
    seen_.replaceAnswer = 0;
    EXPECT_EQ(Unzip(Zip("a.pcg")), UNZIP_OK);
    EXPECT_EQ(PackageSandbox::Read(target_ + "a.txt"), "old");
    seen_.replaceAnswer = 1;
    EXPECT_EQ(Unzip(Zip("a.pcg")), UNZIP_OK);
    EXPECT_EQ(PackageSandbox::Read(target_ + "a.txt"), "new");
    EXPECT_THAT(seen_.replaced, ::testing::ElementsAre("a.txt", "a.txt"));
}

TEST_F(UnzipLibraryTest, UnreadableOrCorruptArchivesFail) {
    options_.noflag = 1;
    EXPECT_EQ(Unzip(Zip("missing.pcg")), UNZIP_NOARCHIVE);
    EXPECT_EQ(Unzip(sandbox_.PackageDir()), UNZIP_NOARCHIVE);
    const std::string fifo = Zip("fifo.pcg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Unzip(fifo), UNZIP_NOARCHIVE);
    ASSERT_TRUE(PackageSandbox::Write(Zip("text.pcg"), std::string(5000, 'x')));
    EXPECT_NE(Unzip(Zip("text.pcg"), {"package.inf"}), UNZIP_OK);
    ASSERT_TRUE(PackageSandbox::Write(Zip("empty.pcg"), ""));
    EXPECT_NE(Unzip(Zip("empty.pcg")), UNZIP_OK);

    // Stored data with one byte changed fails its check; nothing is left
    // under the member's name.
    {
        ArchiveWriter zip(Zip("a.pcg"), ArchiveWriter::Compression::Store);
        zip.File("package.inf", std::string(4000, 'd'));
        ASSERT_TRUE(zip.Close());
    }
    std::string bytes = PackageSandbox::Read(Zip("a.pcg"));
    const std::size_t at = bytes.find(std::string(100, 'd'));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 50] = 'e';
    ASSERT_TRUE(PackageSandbox::Write(Zip("crc.pcg"), bytes));
    EXPECT_NE(Unzip(Zip("crc.pcg"), {"package.inf"}), UNZIP_OK);
    EXPECT_FALSE(std::filesystem::exists(target_ + "package.inf"));

    // Cut short in the middle of the member.
    ASSERT_TRUE(PackageSandbox::Write(Zip("short.pcg"), bytes.substr(0, at + 1000)));
    EXPECT_NE(Unzip(Zip("short.pcg"), {"package.inf"}), UNZIP_OK);
    EXPECT_EQ(PackageSandbox::Names(target_), "");
}

TEST_F(UnzipLibraryTest, TargetMustBeAnAbsoluteDirectory) {
    {
        ArchiveWriter zip(Zip("a.pcg"));
        zip.File("a.txt", "a");
        ASSERT_TRUE(zip.Close());
    }
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(sandbox_.Outside());
    options_.noflag = 1;
    target_ = "";
    EXPECT_EQ(Unzip(Zip("a.pcg")), UNZIP_PARAM);
    target_ = "relative/";
    EXPECT_EQ(Unzip(Zip("a.pcg")), UNZIP_PARAM);
    options_.lpszExtractDir = nullptr;
    EXPECT_EQ(Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options_, &callbacks_), UNZIP_PARAM);
    EXPECT_EQ(Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, nullptr, &callbacks_), UNZIP_PARAM);
    std::filesystem::current_path(cwd);
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Outside()), "");

    // A target that is a link is refused, with or without its trailing "/".
    const std::string link = sandbox_.Root() + "link";
    std::filesystem::create_directory_symlink(sandbox_.Outside(), link);
    for (const std::string& target : {link, link + "/"}) {
        target_ = target;
        EXPECT_EQ(Unzip(Zip("a.pcg")), UNZIP_TARGET) << target;
    }
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Outside()), "");
}

TEST_F(UnzipLibraryTest, HostileMembersAreNeverWritten) {
    {
        ArchiveWriter zip(Zip("a.pcg"));
        zip.File("../x", "escaped")
            .File("sub/../../y", "escaped")
            .File(sandbox_.Outside() + "abs", "escaped")
            .File("..\\z", "escaped")
            .Symlink("link", sandbox_.Outside())
            .Symlink("link2", "../outside/f")
            // Control characters a terminal would act on: C0, DEL, C1.
            .File("z\nResult: upgrade succeeded\n\x1b]0;TITLE\aq.dat", "forged")
            .File("del\x7f.dat", "del")
            .File("c1\xc2\x9b.dat", "c1")
            .File("good.txt", "good");
        ASSERT_TRUE(zip.Close());
    }
    options_.noflag = 1;
    target_ = sandbox_.Root() + "run/kestrup/test/";
    EXPECT_EQ(Unzip(Zip("a.pcg")), UNZIP_WARNING);
    EXPECT_EQ(std::count_if(seen_.printed.begin(), seen_.printed.end(),
                            [](const std::string& t) { return t.find("refused") != t.npos; }),
              9);
    EXPECT_EQ(PackageSandbox::Names(target_), "good.txt");
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Outside()), "");
    EXPECT_EQ(PackageSandbox::Names(sandbox_.TempDir()), "test");
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Root()), "bin cfg outside run");

    // A hostile member asked for by name is not found-and-written.
    EXPECT_NE(Unzip(Zip("a.pcg"), {"link"}), UNZIP_OK);
}

// Sets the Unix file mode that the central directory records for a member.
bool PatchUnixMode(std::string& bytes, const std::string& name, unsigned mode) {
    for (std::size_t at = bytes.find("PK\x01\x02"); at != std::string::npos;
         at = bytes.find("PK\x01\x02", at + 4)) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
        const std::size_t nameLength = byte(28) | (byte(29) << 8);
        if (bytes.compare(at + 46, nameLength, name) == 0 && nameLength == name.size()) {
            bytes[at + 5] = 3;  // made on Unix, so the mode counts
            bytes[at + 40] = static_cast<char>(mode & 0xff);
            bytes[at + 41] = static_cast<char>((mode >> 8) & 0xff);
            return true;
        }
    }
    return false;
}

TEST_F(UnzipLibraryTest, DevicesFifosAndHardLinksAreNeverWritten) {
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.Outside() + "secret", "secret"));
    {
        ArchiveWriter zip(Zip("a.pcg"), ArchiveWriter::Compression::Store);
        zip.File("good.txt", "good").File("dev", "").File("fifo", "");
        // libarchive's ZIP writer stores a hard link as an empty plain file.
        zip.Hardlink("hard", sandbox_.Outside() + "secret");
        ASSERT_TRUE(zip.Close());
    }
    std::string bytes = PackageSandbox::Read(Zip("a.pcg"));
    ASSERT_TRUE(PatchUnixMode(bytes, "dev", 0020644));
    ASSERT_TRUE(PatchUnixMode(bytes, "fifo", 0010644));
    ASSERT_TRUE(PackageSandbox::Write(Zip("b.pcg"), bytes));

    options_.noflag = 1;
    EXPECT_EQ(Unzip(Zip("b.pcg")), UNZIP_WARNING);
    // libarchive reads a FIFO member of a ZIP archive as a plain file.
    EXPECT_EQ(PackageSandbox::Names(target_), "fifo good.txt hard");
    EXPECT_TRUE(std::filesystem::is_regular_file(target_ + "fifo"));
    EXPECT_FALSE(std::filesystem::equivalent(target_ + "hard", sandbox_.Outside() + "secret"));
    EXPECT_EQ(PackageSandbox::Read(sandbox_.Outside() + "secret"), "secret");
    EXPECT_NE(Unzip(Zip("b.pcg"), {"dev"}), UNZIP_OK);
}

TEST_F(UnzipLibraryTest, LinksAlreadyInTheTargetAreReplacedNotFollowed) {
    ASSERT_TRUE(PackageSandbox::Write(sandbox_.Outside() + "victim", "untouched"));
    std::filesystem::create_directories(target_);
    std::filesystem::create_symlink(sandbox_.Outside() + "victim", target_ + "app.bin");
    std::filesystem::create_directory_symlink(sandbox_.Outside(), target_ + "sub");
    {
        ArchiveWriter zip(Zip("a.pcg"));
        zip.File("app.bin", "app").File("sub/f.txt", "f");
        ASSERT_TRUE(zip.Close());
    }
    options_.noflag = 1;
    options_.ndflag = 1;
    EXPECT_EQ(Unzip(Zip("a.pcg")), UNZIP_OK);
    EXPECT_FALSE(std::filesystem::is_symlink(target_ + "app.bin"));
    EXPECT_EQ(PackageSandbox::Read(target_ + "app.bin"), "app");
    EXPECT_FALSE(std::filesystem::is_symlink(target_ + "sub"));
    EXPECT_EQ(PackageSandbox::Read(target_ + "sub/f.txt"), "f");
    EXPECT_EQ(PackageSandbox::Names(sandbox_.Outside()), "victim");
    EXPECT_EQ(PackageSandbox::Read(sandbox_.Outside() + "victim"), "untouched");
}

TEST_F(UnzipLibraryTest, ServiceCallbackCanStopTheExtraction) {
    {
        ArchiveWriter zip(Zip("a.pcg"));
        zip.File("one", "1").File("two", "22");
        ASSERT_TRUE(zip.Close());
    }
    options_.noflag = 1;
    seen_.serviceAnswer = 1;
    EXPECT_EQ(Unzip(Zip("a.pcg")), UNZIP_CANCELLED);
    EXPECT_THAT(seen_.served, ::testing::ElementsAre("one:1"));
    EXPECT_EQ(PackageSandbox::Names(target_), "");
}

TEST_F(UnzipLibraryTest, EncryptedMemberNeedsThePasswordCallback) {
    {
        ArchiveWriter zip(Zip("a.pcg"), "zip:encryption=zipcrypt", "secret");
        zip.File("package.inf", "hidden");
        ASSERT_TRUE(zip.Close());
    }
    options_.noflag = 1;
    EXPECT_NE(Unzip(Zip("a.pcg"), {"package.inf"}), UNZIP_OK);
    EXPECT_THAT(seen_.asked, ::testing::ElementsAre("package.inf"));
    EXPECT_EQ(PackageSandbox::Names(target_), "");

    seen_.password = "secret";
    EXPECT_EQ(Unzip(Zip("a.pcg"), {"package.inf"}), UNZIP_OK);
    EXPECT_EQ(PackageSandbox::Read(target_ + "package.inf"), "hidden");
}

TEST_F(UnzipLibraryTest, ArchivesAreBoundedBeforeAnythingIsWritten) {
    options_.noflag = 1;
    const std::string big(64 * 1024, 'b');
    for (const auto compression :
         {ArchiveWriter::Compression::Store, ArchiveWriter::Compression::Deflate}) {
        {
            ArchiveWriter zip(Zip("a.pcg"), compression);
            zip.File("first.txt", "first").File("app.bin", big);
            ASSERT_TRUE(zip.Close());
        }
        const std::string bytes = PackageSandbox::Read(Zip("a.pcg"));

        struct Case {
            const char* what;
            std::size_t local, central;
            std::uint32_t value;
            int width;
        };
        const Case cases[] = {
            // A method no package needs (LZMA): its decoder is never started.
            {"lzma", 8, 10, 14, 2},
            // A size only the 64-bit extension can announce.
            {"64-bit size", 22, 24, 0xFFFFFFFFu, 4},
            // A size that lies: the member inflates past it.
            {"size lie", 22, 24, 1000, 4},
        };
        for (const Case& c : cases) {
            std::string patched = bytes;
            PatchHeaders(patched, c.local, c.central, c.value, c.width);
            ASSERT_TRUE(PackageSandbox::Write(Zip("bad.pcg"), patched));
            std::filesystem::remove_all(target_);
            EXPECT_NE(Unzip(Zip("bad.pcg")), UNZIP_OK) << c.what;
            EXPECT_NE(Unzip(Zip("bad.pcg"), {"app.bin"}), UNZIP_OK) << c.what;
            if (std::string(c.what) != "size lie") {
                // Refused before the first member was written.
                EXPECT_EQ(PackageSandbox::Names(target_), "") << c.what;
            } else {
                EXPECT_FALSE(std::filesystem::exists(target_ + "app.bin")) << c.what;
            }
        }
    }
}

TEST_F(UnzipLibraryTest, AMemberNeverGrowsPastItsAnnouncedSize) {
    // 8 MiB of zeros deflate to a few KiB; the header says 1000 bytes.
    {
        ArchiveWriter zip(Zip("bomb.pcg"));
        zip.File("app.bin", std::string(8 << 20, '\0'));
        ASSERT_TRUE(zip.Close());
    }
    std::string bytes = PackageSandbox::Read(Zip("bomb.pcg"));
    PatchHeaders(bytes, 22, 24, 1000, 4);
    ASSERT_TRUE(PackageSandbox::Write(Zip("bomb.pcg"), bytes));

    // With files capped at 1 MiB, writing past the announced size would
    // fail as a write error; the member is cut off before that.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit capped = saved;
    capped.rlim_cur = 1 << 20;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &capped), 0);
    options_.noflag = 1;
    const int result = Unzip(Zip("bomb.pcg"));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, UNZIP_ERROR);
    EXPECT_EQ(PackageSandbox::Names(target_), "");
}

}  // namespace
