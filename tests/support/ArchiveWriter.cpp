#include "tests/support/ArchiveWriter.h"

#include <archive.h>
#include <archive_entry.h>

namespace testsupport {

ArchiveWriter::ArchiveWriter(const std::string& path, Compression compression)
    : archive_(archive_write_new()), ok_(archive_ != nullptr) {
    if (!ok_) {
        return;
    }
    ok_ = archive_write_set_format_zip(archive_) == ARCHIVE_OK;
    if (ok_ && compression == Compression::Store) {
        ok_ =
            archive_write_set_format_option(archive_, "zip", "compression", "store") == ARCHIVE_OK;
    }
    ok_ = ok_ && archive_write_open_filename(archive_, path.c_str()) == ARCHIVE_OK;
}

ArchiveWriter::ArchiveWriter(const std::string& path, const std::string& options,
                             const std::string& passphrase)
    : archive_(archive_write_new()), ok_(archive_ != nullptr) {
    if (!ok_) {
        return;
    }
    ok_ = archive_write_set_format_zip(archive_) == ARCHIVE_OK &&
          archive_write_set_options(archive_, options.c_str()) == ARCHIVE_OK &&
          (passphrase.empty() ||
           archive_write_set_passphrase(archive_, passphrase.c_str()) == ARCHIVE_OK) &&
          archive_write_open_filename(archive_, path.c_str()) == ARCHIVE_OK;
}

ArchiveWriter::~ArchiveWriter() {
    Close();
}

void ArchiveWriter::Add(const std::string& name, unsigned type, int mode,
                        const std::string& contents, const std::string& linkTarget, bool hardlink) {
    if (!ok_) {
        return;
    }
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    archive_entry_set_filetype(entry, type);
    archive_entry_set_perm(entry, static_cast<mode_t>(mode));
    archive_entry_set_mtime(entry, 1700000000, 0);
    if (hardlink) {
        archive_entry_set_hardlink(entry, linkTarget.c_str());
    } else if (!linkTarget.empty()) {
        archive_entry_set_symlink(entry, linkTarget.c_str());
    }
    archive_entry_set_size(entry, static_cast<la_int64_t>(contents.size()));
    ok_ = archive_write_header(archive_, entry) == ARCHIVE_OK;
    if (ok_ && !contents.empty()) {
        ok_ = archive_write_data(archive_, contents.data(), contents.size()) ==
              static_cast<la_ssize_t>(contents.size());
    }
    archive_entry_free(entry);
}

ArchiveWriter& ArchiveWriter::File(const std::string& name, const std::string& contents, int mode) {
    Add(name, AE_IFREG, mode, contents, {}, false);
    return *this;
}

ArchiveWriter& ArchiveWriter::Directory(const std::string& name) {
    Add(name, AE_IFDIR, 0755, {}, {}, false);
    return *this;
}

ArchiveWriter& ArchiveWriter::Symlink(const std::string& name, const std::string& target) {
    Add(name, AE_IFLNK, 0777, {}, target, false);
    return *this;
}

ArchiveWriter& ArchiveWriter::Hardlink(const std::string& name, const std::string& target) {
    Add(name, AE_IFREG, 0644, {}, target, true);
    return *this;
}

bool ArchiveWriter::Close() {
    if (archive_ != nullptr) {
        ok_ = (archive_write_close(archive_) == ARCHIVE_OK) && ok_;
        archive_write_free(archive_);
        archive_ = nullptr;
    }
    return ok_;
}

}  // namespace testsupport
