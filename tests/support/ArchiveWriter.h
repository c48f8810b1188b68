#pragma once

#include <string>

struct archive;

namespace testsupport {

// Writes ZIP archives for tests with libarchive's writer. Member names are
// written exactly as given, hostile ones included.
//
//   ArchiveWriter zip(path);
//   zip.File("package.inf", "[PACKAGE]\nDescription=...\n");
//   ASSERT_TRUE(zip.Close());
class ArchiveWriter {
  public:
    enum class Compression { Deflate, Store };

    explicit ArchiveWriter(const std::string& path, Compression compression = Compression::Deflate);
    // With libarchive writer options, e.g. "zip:encryption=traditional",
    // and a passphrase for encrypted members.
    ArchiveWriter(const std::string& path, const std::string& options,
                  const std::string& passphrase);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    ArchiveWriter& File(const std::string& name, const std::string& contents, int mode = 0644);
    ArchiveWriter& Directory(const std::string& name);
    ArchiveWriter& Symlink(const std::string& name, const std::string& target);
    ArchiveWriter& Hardlink(const std::string& name, const std::string& target);

    // False once any step failed.
    bool ok() const { return ok_; }
    // Finishes the archive; true when every step succeeded.
    bool Close();

  private:
    void Add(const std::string& name, unsigned type, int mode, const std::string& contents,
             const std::string& linkTarget, bool hardlink);

    archive* archive_;
    bool ok_;
};

}  // namespace testsupport
