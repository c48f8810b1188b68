// The unzip entry point over any bytes as the archive: the package scan's
// extraction of the named member "package.inf" and the full unpack of the
// staging step, each into a fresh target directory. After every extraction:
// - nothing exists outside the target: its parent holds only the target and
//   an empty sentinel directory beside it;
// - the target holds no symbolic link (and, with folder names dropped, no
//   folder either);
// - a result of 0 means every member asked for was written whole: an
//   independent reading of the archive with libarchive finds exactly the
//   files the target holds, with the same bytes.

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <fnmatch.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

#include "fuzz/FuzzScratch.h"
#include "platform/unzip/UnzipLibrary.h"

namespace fs = std::filesystem;
using fuzzsupport::Violation;

namespace {

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool UnsafeName(const std::string& name) {
    if (name.empty() || name[0] == '/') {
        return true;
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        if (name.compare(start, end - start, "..") == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The files the archive holds as a flat extraction leaves them: by the last
// part of each regular member's name (of those matching `only`, when given),
// a later member replacing an earlier one. Nothing when libarchive cannot
// read the archive's headers to its end or the data of a member taken, or
// when a member taken has to be refused.
std::optional<std::map<std::string, std::string>> ReadIndependently(const std::string& path,
                                                                    const char* only) {
    archive* a = archive_read_new();
    archive_read_support_format_zip(a);
    std::optional<std::map<std::string, std::string>> files;
    if (archive_read_open_filename(a, path.c_str(), 65536) == ARCHIVE_OK) {
        files.emplace();
        archive_entry* entry = nullptr;
        int r = ARCHIVE_OK;
        // A warning (such as a bad checksum of a member skipped before) does
        // not stop the reading; the members read are checked on their own.
        while ((r = archive_read_next_header(a, &entry)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
            const char* name = archive_entry_pathname(entry);
            if (name == nullptr) {
                files.reset();
                break;
            }
            if (only != nullptr && ::fnmatch(only, name, 0) != 0) {
                continue;
            }
            if (archive_entry_filetype(entry) == AE_IFDIR) {
                continue;
            }
            // Links, devices and unsafe names are refused, so an archive
            // holding one among the members taken cannot succeed.
            if (archive_entry_filetype(entry) != AE_IFREG ||
                archive_entry_hardlink(entry) != nullptr || UnsafeName(name)) {
                files.reset();
                break;
            }
            std::string contents;
            char buffer[65536];
            la_ssize_t n = 0;
            while ((n = archive_read_data(a, buffer, sizeof buffer)) > 0) {
                contents.append(buffer, static_cast<std::size_t>(n));
            }
            if (n < 0) {
                files.reset();
                break;
            }
            const std::string full = name;
            const std::size_t slash = full.find_last_of('/');
            (*files)[slash == std::string::npos ? full : full.substr(slash + 1)] = contents;
        }
        if (r != ARCHIVE_EOF) {
            files.reset();
        }
    }
    archive_read_free(a);
    return files;
}

void Extract(const std::string& archivePath, bool packageInfOnly) {
    const std::string parent = fuzzsupport::ScratchDir() + "/parent";
    const std::string target = parent + "/target";
    const std::string sentinel = parent + "/sentinel";
    fuzzsupport::RemoveTree(parent);
    fs::create_directories(sentinel);

    char member[] = "package.inf";
    char* members[] = {member};
    DCL options{};
    options.noflag = 1;
    options.fQuiet = 1;
    options.lpszZipFN = archivePath.c_str();
    options.lpszExtractDir = target.c_str();
    USERFUNCTIONS callbacks{};
    const int result = packageInfOnly
                           ? Wiz_SingleEntryUnzip(1, members, 0, nullptr, &options, &callbacks)
                           : Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options, &callbacks);

    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(parent, ec)) {
        const std::string name = entry.path().filename();
        if (name != "target" && name != "sentinel") {
            Violation("something was written beside the target", name);
        }
    }
    if (!fs::is_empty(sentinel, ec) || fs::is_symlink(sentinel, ec)) {
        Violation("the sentinel beside the target was touched");
    }
    std::map<std::string, std::string> written;
    if (fs::exists(fs::symlink_status(target, ec))) {
        if (fs::is_symlink(fs::symlink_status(target, ec))) {
            Violation("the target became a link");
        }
        for (const auto& entry : fs::recursive_directory_iterator(target, ec)) {
            const auto status = entry.symlink_status(ec);
            if (fs::is_symlink(status)) {
                Violation("a link inside the target", entry.path());
            }
            if (!fs::is_regular_file(status)) {
                Violation("something other than a file inside the flat target", entry.path());
            }
            if (entry.path().parent_path() != fs::path(target)) {
                Violation("a file below the flat target", entry.path());
            }
            written[entry.path().filename()] = ReadWhole(entry.path());
        }
    }
    if (ec) {
        Violation("the target cannot be listed", ec.message());
    }

    if (result == UNZIP_OK) {
        const auto expected = ReadIndependently(archivePath, packageInfOnly ? member : nullptr);
        if (!expected) {
            Violation("success for an archive libarchive cannot read whole");
        }
        if (packageInfOnly && expected->empty()) {
            Violation("success without the member asked for");
        }
        if (*expected != written) {
            Violation("success, but the target does not hold the archive's files whole");
        }
    }
    fuzzsupport::RemoveTree(parent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string archivePath = fuzzsupport::ScratchDir() + "/input.pcg";
    fuzzsupport::WriteInput(archivePath, data, size);
    Extract(archivePath, true);
    Extract(archivePath, false);
    return 0;
}
