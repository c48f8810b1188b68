#include "platform/unzip/UnzipLibrary.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/TextEscape.h"

namespace {

constexpr std::size_t kPasswordSize = 256;

// The largest size a member's header can announce without the 64-bit
// extension; anything larger (or the extension's marker) is refused.
constexpr la_int64_t kMaxMemberSize = 0xFFFFFFFELL;

// Whether libarchive's description of the current member names a
// compression method that a package uses: stored or deflated. Any other
// method brings a decoder whose memory the archive itself decides.
bool PlainMethod(archive* a) {
    const char* format = archive_format_name(a);
    if (format == nullptr) {
        return false;
    }
    const std::string name(format);
    auto endsWith = [&name](const char* tail) {
        const std::size_t n = std::strlen(tail);
        return name.size() >= n && name.compare(name.size() - n, n, tail) == 0;
    };
    return endsWith("(uncompressed)") || endsWith("(deflation)");
}

std::atomic<unsigned> g_tempCounter{0};

bool WriteAt(int fd, const char* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

// A write or creation in the target failed: for want of space, or for
// another reason (errno as the failing call left it).
int TargetProblem() {
    return errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? UNZIP_DISK : UNZIP_TARGET;
}

// Splits a member name into the components of its path below the target.
// Refuses an absolute name and any ".." component. Both "/" and "\" separate
// components, as archives made on other systems use either.
bool SplitMemberName(const char* name, std::vector<std::string>& parts) {
    parts.clear();
    if (name == nullptr || name[0] == '\0' || name[0] == '/' || name[0] == '\\') {
        return false;
    }
    std::string part;
    for (const char* p = name;; ++p) {
        if (*p == '/' || *p == '\\' || *p == '\0') {
            if (part == "..") {
                return false;
            }
            if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
            if (*p == '\0') {
                break;
            }
        } else {
            part += *p;
        }
    }
    return true;
}

// Creates an absolute directory path and its missing parents.
bool MakeDirectories(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string prefix = path.substr(0, pos);
            if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return true;
}

class Extraction {
  public:
    Extraction(const DCL& dcl, const USERFUNCTIONS* callbacks) : dcl_(dcl), callbacks_(callbacks) {}

    ~Extraction() {
        if (archive_ != nullptr) {
            archive_read_free(archive_);
        }
        if (archiveFd_ >= 0) {
            ::close(archiveFd_);
        }
        if (rootFd_ >= 0) {
            ::close(rootFd_);
        }
    }

    Extraction(const Extraction&) = delete;
    Extraction& operator=(const Extraction&) = delete;

    int Run(int ifnc, char** ifnv, int xfnc, char** xfnv) {
        for (int i = 0; i < ifnc; ++i) {
            if (ifnv[i] == nullptr) {
                Fail(UNZIP_PARAM, "null member name");
                return result_;
            }
            includes_.push_back(ifnv[i]);
        }
        for (int i = 0; i < xfnc; ++i) {
            if (xfnv[i] != nullptr) {
                excludes_.push_back(xfnv[i]);
            }
        }
        found_.assign(includes_.size(), false);

        if (!OpenTarget() || !OpenArchive()) {
            return result_;
        }
        // A full extraction is surveyed as a whole first; a named one is
        // checked member by member as it goes.
        if (includes_.empty() && (!Survey() || !StartReading())) {
            return result_;
        }
        bool first = true;
        while (true) {
            archive_entry* entry = nullptr;
            const int r = archive_read_next_header(archive_, &entry);
            if (r == ARCHIVE_EOF) {
                break;
            }
            if (r < ARCHIVE_WARN) {
                Fail(first ? UNZIP_NOARCHIVE : UNZIP_BADARCHIVE, archive_error_string(archive_));
                return result_;
            }
            first = false;
            if (!HandleEntry(entry)) {
                return result_;
            }
        }
        for (std::size_t i = 0; i < includes_.size(); ++i) {
            if (!found_[i]) {
                Fail(UNZIP_NOTFOUND, ("not in archive: " + std::string(includes_[i])).c_str());
            }
        }
        return result_;
    }

  private:
    static const char* PassphraseThunk(archive*, void* self) {
        return static_cast<Extraction*>(self)->Passphrase();
    }

    // libarchive asks again after a wrong password; the callback is asked
    // once per member.
    const char* Passphrase() {
        if (askedPassword_ || callbacks_ == nullptr || callbacks_->password == nullptr) {
            return nullptr;
        }
        askedPassword_ = true;
        std::vector<char> buffer(kPasswordSize, '\0');
        const int given = callbacks_->password(buffer.data(), static_cast<int>(buffer.size()),
                                               "Enter password for: ", currentName_.c_str());
        buffer.back() = '\0';
        if (given == 0 || buffer[0] == '\0') {
            return nullptr;
        }
        password_ = buffer.data();
        return password_.c_str();
    }

    void Print(const std::string& text) {
        if (dcl_.fQuiet == 0 && callbacks_ != nullptr && callbacks_->print != nullptr) {
            std::string copy = text;
            callbacks_->print(copy.data(), static_cast<unsigned long>(copy.size()));
        }
    }

    void Fail(int code, const char* why) {
        result_ = std::max(result_, code);
        Print(std::string("error: ") + (why != nullptr ? why : "unknown") + "\n");
    }

    bool OpenTarget() {
        const char* dir = dcl_.lpszExtractDir;
        if (dir == nullptr || dir[0] != '/') {
            Fail(UNZIP_PARAM, "the target directory must be an absolute path");
            return false;
        }
        std::string path(dir);
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        rootFd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (rootFd_ < 0 && errno == ENOENT) {
            if (!MakeDirectories(path)) {
                Fail(TargetProblem(), ("cannot create " + path).c_str());
                return false;
            }
            rootFd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (rootFd_ < 0) {
            Fail(TargetProblem(), ("cannot open " + path).c_str());
            return false;
        }
        return true;
    }

    bool OpenArchive() {
        if (dcl_.lpszZipFN == nullptr || dcl_.lpszZipFN[0] == '\0') {
            Fail(UNZIP_PARAM, "no archive named");
            return false;
        }
        // Non-blocking so that a FIFO named as the archive is refused, not waited on.
        archiveFd_ = ::open(dcl_.lpszZipFN, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat st {};
        if (archiveFd_ < 0 || ::fstat(archiveFd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            Fail(UNZIP_NOARCHIVE, ("cannot open " + std::string(dcl_.lpszZipFN)).c_str());
            return false;
        }
        return StartReading();
    }

    // (Re)starts reading the archive from its first member.
    bool StartReading() {
        if (archive_ != nullptr) {
            archive_read_free(archive_);
            archive_ = nullptr;
        }
        if (::lseek(archiveFd_, 0, SEEK_SET) != 0) {
            Fail(UNZIP_NOARCHIVE, "cannot read the archive");
            return false;
        }
        archive_ = archive_read_new();
        if (archive_ == nullptr) {
            Fail(UNZIP_NOARCHIVE, "out of memory");
            return false;
        }
        archive_read_support_format_zip(archive_);
        archive_read_set_passphrase_callback(archive_, this, &Extraction::PassphraseThunk);
        if (archive_read_open_fd(archive_, archiveFd_, 65536) != ARCHIVE_OK) {
            Fail(UNZIP_NOARCHIVE, archive_error_string(archive_));
            return false;
        }
        return true;
    }

    // Whether a member is one that this extraction writes.
    bool Selected(const char* name, bool record) {
        if (Matches(excludes_, name, false)) {
            return false;
        }
        return includes_.empty() || Matches(includes_, name, record);
    }

    // Before anything is written: every file member to be written has to
    // announce its size, within what a plain header can announce, and use a
    // method a package needs; together they have to fit the target's free
    // space. Only headers are read here, no member is decompressed.
    bool Survey() {
        std::uint64_t total = 0;
        while (true) {
            archive_entry* entry = nullptr;
            const int r = archive_read_next_header(archive_, &entry);
            if (r == ARCHIVE_EOF) {
                break;
            }
            if (r < ARCHIVE_WARN) {
                // Reported again, with its member, by the extraction pass.
                break;
            }
            const char* name = archive_entry_pathname(entry);
            if (name == nullptr || archive_entry_filetype(entry) != AE_IFREG ||
                archive_entry_hardlink(entry) != nullptr || !Selected(name, false)) {
                continue;
            }
            const la_int64_t size = archive_entry_size(entry);
            if (archive_entry_size_is_set(entry) == 0 || size < 0 || size > kMaxMemberSize) {
                Fail(UNZIP_ERROR,
                     (std::string(name) + ": size not announced or too large").c_str());
                return false;
            }
            if (!PlainMethod(archive_)) {
                Fail(UNZIP_ERROR,
                     (std::string(name) + ": compression method not supported").c_str());
                return false;
            }
            total += static_cast<std::uint64_t>(size);
        }
        if (!Fits(total)) {
            Fail(UNZIP_DISK, "not enough space in the target directory");
            return false;
        }
        return true;
    }

    // Whether bytes more fit the target's file system.
    bool Fits(std::uint64_t bytes) const {
        struct statvfs fs {};
        return ::fstatvfs(rootFd_, &fs) != 0 ||
               bytes <= static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    }

    // Whether any pattern matches the whole member name; with `record`, the
    // matching patterns are marked as found.
    bool Matches(const std::vector<const char*>& patterns, const char* name, bool record) {
        const int flags = dcl_.C_flag != 0 ? FNM_CASEFOLD : 0;
        bool any = false;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            if (::fnmatch(patterns[i], name, flags) == 0) {
                any = true;
                if (record) {
                    found_[i] = true;
                }
            }
        }
        return any;
    }

    // False stops the extraction.
    bool HandleEntry(archive_entry* entry) {
        const char* name = archive_entry_pathname(entry);
        if (name == nullptr) {
            name = archive_entry_pathname_utf8(entry);
        }
        if (name == nullptr) {
            Fail(UNZIP_WARNING, "member with an unreadable name skipped");
            return true;
        }
        if (!Selected(name, true)) {
            return true;
        }
        currentName_ = name;
        askedPassword_ = false;

        std::vector<std::string> parts;
        if (platform::TextEscape::HasControl(name) || !SplitMemberName(name, parts)) {
            Fail(UNZIP_WARNING, ("unsafe member name refused: " + currentName_).c_str());
            return true;
        }
        const auto type = archive_entry_filetype(entry);
        if (archive_entry_hardlink(entry) != nullptr || archive_entry_symlink(entry) != nullptr ||
            (type != AE_IFREG && type != AE_IFDIR)) {
            Fail(UNZIP_WARNING, ("link or special member refused: " + currentName_).c_str());
            return true;
        }
        if (type == AE_IFDIR) {
            if (dcl_.ndflag != 0 && !parts.empty()) {
                const int fd = OpenDirectory(parts, parts.size());
                if (fd < 0) {
                    Fail(TargetProblem(), ("cannot create folder " + currentName_).c_str());
                } else {
                    ::close(fd);
                }
            }
            return true;
        }
        if (parts.empty()) {
            Fail(UNZIP_WARNING, ("unsafe member name refused: " + currentName_).c_str());
            return true;
        }
        if (dcl_.ndflag == 0) {
            parts.erase(parts.begin(), parts.end() - 1);
        }
        const la_int64_t size = archive_entry_size(entry);
        if (archive_entry_size_is_set(entry) == 0 || size < 0 || size > kMaxMemberSize ||
            !PlainMethod(archive_)) {
            Fail(UNZIP_ERROR, (currentName_ + ": size or method not supported").c_str());
            return false;
        }
        if (!Fits(static_cast<std::uint64_t>(size))) {
            Fail(UNZIP_DISK, (currentName_ + ": not enough space in the target directory").c_str());
            return false;
        }
        if (callbacks_ != nullptr && callbacks_->ServCallBk != nullptr &&
            callbacks_->ServCallBk(name, static_cast<unsigned long>(size < 0 ? 0 : size)) != 0) {
            Fail(UNZIP_CANCELLED, "extraction stopped");
            return false;
        }
        return WriteFile(entry, parts);
    }

    // Opens (creating when missing) the directory formed by the first
    // `count` parts below the target. A symbolic link in the way is replaced
    // by a directory, never followed. Returns -1 on failure.
    int OpenDirectory(const std::vector<std::string>& parts, std::size_t count) {
        int fd = ::dup(rootFd_);
        for (std::size_t i = 0; fd >= 0 && i < count; ++i) {
            const char* part = parts[i].c_str();
            int next = -1;
            for (int attempt = 0; attempt < 2 && next < 0; ++attempt) {
                next = ::openat(fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (next >= 0) {
                    break;
                }
                struct stat st {};
                if (::fstatat(fd, part, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                    if (!S_ISLNK(st.st_mode) || ::unlinkat(fd, part, 0) != 0) {
                        break;
                    }
                }
                if (::mkdirat(fd, part, 0755) != 0 && errno != EEXIST) {
                    break;
                }
            }
            ::close(fd);
            fd = next;
        }
        return fd;
    }

    bool WriteFile(archive_entry* entry, const std::vector<std::string>& parts) {
        const int dir = OpenDirectory(parts, parts.size() - 1);
        if (dir < 0) {
            Fail(TargetProblem(), ("cannot create folder for " + currentName_).c_str());
            return true;
        }
        const std::string& last = parts.back();
        struct stat st {};
        if (dcl_.noflag == 0 && ::fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            std::string copy = currentName_;
            if (callbacks_ == nullptr || callbacks_->replace == nullptr ||
                callbacks_->replace(copy.data()) == 0) {
                Print("skipping: " + currentName_ + "\n");
                ::close(dir);
                return true;
            }
        }

        std::string temp;
        int out = -1;
        for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
            temp = ".unzip-" + std::to_string(::getpid()) + "-" +
                   std::to_string(g_tempCounter.fetch_add(1));
            out = ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           0600);
            if (out < 0 && errno != EEXIST) {
                break;
            }
        }
        if (out < 0) {
            Fail(TargetProblem(), ("cannot write " + currentName_).c_str());
            ::close(dir);
            return true;
        }
        Print("  inflating: " + currentName_ + "\n");

        int problem = UNZIP_OK;
        const char* why = nullptr;
        while (problem == UNZIP_OK) {
            const void* block = nullptr;
            std::size_t length = 0;
            la_int64_t offset = 0;
            const int r = archive_read_data_block(archive_, &block, &length, &offset);
            if (r == ARCHIVE_EOF) {
                break;
            }
            if (r != ARCHIVE_OK) {
                problem = archive_entry_is_encrypted(entry) != 0 && password_.empty()
                              ? UNZIP_BADPASSWORD
                              : UNZIP_ERROR;
                why = archive_error_string(archive_);
                break;
            }
            // A member never grows past the size its header announced.
            if (offset < 0 || static_cast<std::uint64_t>(offset) + length >
                                  static_cast<std::uint64_t>(archive_entry_size(entry))) {
                problem = UNZIP_ERROR;
                why = "larger than its header announced";
                break;
            }
            if (!WriteAt(out, static_cast<const char*>(block), length,
                         static_cast<off_t>(offset))) {
                problem = TargetProblem();
                why = "write failed";
            }
        }
        const la_int64_t size = archive_entry_size(entry);
        const mode_t mode = (archive_entry_perm(entry) & 0111) != 0 ? 0755 : 0644;
        if (problem == UNZIP_OK && ::fchmod(out, mode) != 0) {
            problem = TargetProblem();
            why = "write failed";
        }
        if (::close(out) != 0 && problem == UNZIP_OK) {
            problem = TargetProblem();
            why = "write failed";
        }
        if (problem == UNZIP_OK && ::renameat(dir, temp.c_str(), dir, last.c_str()) != 0) {
            problem = TargetProblem();
            why = "cannot replace the existing entry";
        }
        if (problem != UNZIP_OK) {
            ::unlinkat(dir, temp.c_str(), 0);
            Fail(problem, (currentName_ + ": " + (why != nullptr ? why : "read failed")).c_str());
        } else if (callbacks_ != nullptr && callbacks_->SendApplicationMessage != nullptr) {
            callbacks_->SendApplicationMessage(currentName_.c_str(),
                                               static_cast<unsigned long>(size < 0 ? 0 : size));
        }
        ::close(dir);
        password_.clear();
        return true;
    }

    const DCL& dcl_;
    const USERFUNCTIONS* callbacks_;
    std::vector<const char*> includes_;
    std::vector<const char*> excludes_;
    std::vector<bool> found_;
    archive* archive_ = nullptr;
    int archiveFd_ = -1;
    int rootFd_ = -1;
    int result_ = UNZIP_OK;
    std::string currentName_;
    std::string password_;
    bool askedPassword_ = false;
};

}  // namespace

int Wiz_SingleEntryUnzip(int ifnc, char** ifnv, int xfnc, char** xfnv, LPDCL lpDCL,
                         LPUSERFUNCTIONS lpUserFunc) {
    if (lpDCL == nullptr || ifnc < 0 || xfnc < 0 || (ifnc > 0 && ifnv == nullptr) ||
        (xfnc > 0 && xfnv == nullptr)) {
        return UNZIP_PARAM;
    }
    Extraction extraction(*lpDCL, lpUserFunc);
    return extraction.Run(ifnc, ifnv, xfnc, xfnv);
}
