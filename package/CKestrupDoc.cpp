#include "package/CKestrupDoc.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "package/PackageGlobals.h"
#include "package/PackageVerifier.h"
#include "package/UnzipCallbacks.h"
#include "platform/FileSystem.h"
#include "platform/PathFormat.h"
#include "platform/PrivateTempDir.h"
#include "platform/profile/ProfileReader.h"
#include "platform/unzip/UnzipLibrary.h"

using platform::FileSystem;
using platform::PathFormat;

namespace {

constexpr char kProductText[] = "Talvenmark Pro software";
constexpr char kSection[] = "PACKAGE";
constexpr char kDescriptorName[] = "package.inf";
constexpr char kDescriptorCopyName[] = "package.ini";

void FillCallbacks(USERFUNCTIONS& callbacks) {
    callbacks = USERFUNCTIONS{};
    callbacks.print = UnzipPrintCallback;
    callbacks.sound = nullptr;
    callbacks.replace = UnzipReplaceCallback;
    callbacks.password = UnzipPasswordCallback;
    callbacks.SendApplicationMessage = nullptr;
    callbacks.ServCallBk = UnzipServiceCallback;
}

// Clearing and unpacking act only on an absolute directory, never on the
// working directory through an empty or relative path.
bool StagingDirUsable() {
    return g_szStagingDir[0] == '/';
}

// Copies a regular file (followed through a link, as the unzip library
// opens archives; opened without blocking, so a FIFO is refused) into a new
// file of this user's alone. A partial copy is deleted.
bool CopyForCheck(const char* from, const char* to, bool& noSpace) {
    noSpace = false;
    const int in = ::open(from, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return false;
    }
    ::unlink(to);
    const int out = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }
    std::vector<char> buffer(256 * 1024);
    bool ok = true;
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w =
                ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            ok = w > 0;
            done += w > 0 ? w : 0;
            noSpace = !ok && (errno == ENOSPC || errno == EDQUOT || errno == EFBIG);
        }
    }
    if (::close(out) != 0 && ok) {
        ok = false;
        noSpace = errno == ENOSPC || errno == EDQUOT;
    }
    ::close(in);
    if (!ok) {
        ::unlink(to);
    }
    return ok;
}

}  // namespace

CKestrupDoc::CKestrupDoc()
    : m_pFirstItem(nullptr),
      m_nPackageCount(0),
      m_nColumnCount(kColumnCount),
      m_pLastItem(nullptr) {}

CKestrupDoc::~CKestrupDoc() {
    FreeItems();
}

void CKestrupDoc::AddItem(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    const std::size_t length = std::strlen(text);
    auto* item = new PackageItem;
    item->pszText = new char[length + 1];
    std::memcpy(item->pszText, text, length + 1);
    if (m_pLastItem == nullptr) {
        m_pFirstItem = item;
    } else {
        m_pLastItem->pNext = item;
    }
    m_pLastItem = item;
}

const char* CKestrupDoc::GetItem(int row, int column) const {
    if (row < 0 || column < 0 || column >= m_nColumnCount) {
        return nullptr;
    }
    long steps = static_cast<long>(row) * m_nColumnCount + column;
    const PackageItem* item = m_pFirstItem;
    while (item != nullptr && steps > 0) {
        item = item->pNext;
        --steps;
    }
    return item != nullptr ? item->pszText : nullptr;
}

void CKestrupDoc::FreeItems() {
    PackageItem* item = m_pFirstItem;
    while (item != nullptr) {
        PackageItem* next = item->pNext;
        delete[] item->pszText;
        delete item;
        item = next;
    }
    m_pFirstItem = nullptr;
    m_pLastItem = nullptr;
    m_nPackageCount = 0;
}

bool CKestrupDoc::PackageDirFromExecutable(const char* executablePath, char* buffer,
                                           std::size_t size) {
    if (buffer == nullptr || size == 0) {
        return false;
    }
    buffer[0] = '\0';
    if (executablePath == nullptr || executablePath[0] != '/') {
        return false;
    }
    const std::string path(executablePath);
    // The directory that holds the executable, without its trailing "/".
    const std::string home = path.substr(0, path.rfind('/'));
    std::string result = home + "/cfg/";
    std::string dir = home;
    while (!dir.empty()) {
        const std::size_t slash = dir.rfind('/');
        if (dir.compare(slash + 1, std::string::npos, "bin") == 0) {
            result = dir.substr(0, slash + 1) + "cfg/";
            break;
        }
        dir.resize(slash);
    }
    return PathFormat::Into(buffer, size, "%s", result.c_str());
}

bool CKestrupDoc::IsPackageFileName(const char* name) {
    if (name == nullptr) {
        return false;
    }
    const std::size_t length = std::strlen(name);
    return length >= 4 && ::strcasecmp(name + length - 4, ".pcg") == 0;
}

bool CKestrupDoc::IsProductDescription(const char* description) {
    if (description == nullptr) {
        return false;
    }
    while (*description == ',') {
        ++description;
    }
    const std::size_t field = std::strcspn(description, ",");
    return field == sizeof kProductText - 1 && std::memcmp(description, kProductText, field) == 0;
}

bool CKestrupDoc::IsAcceptedDescriptor(const char* path) {
    char description[kValueBufferSize];
    platform::ProfileReader::GetString(kSection, "Description", "", description, sizeof description,
                                       path);
    return IsProductDescription(description);
}

bool CKestrupDoc::ScanPackages() {
    const std::string executable = FileSystem::ExecutablePath();
    return ScanPackages(executable.c_str());
}

bool CKestrupDoc::ScanPackages(const char* executablePath) {
    FreeItems();
    m_leftOut.clear();

    if (!PackageDirFromExecutable(executablePath, g_szPackageDir, sizeof g_szPackageDir)) {
        return true;
    }
    std::vector<FileSystem::Entry> entries;
    if (!FileSystem::List(g_szPackageDir, entries)) {
        return true;
    }
    std::vector<std::string> archives;
    for (const FileSystem::Entry& entry : entries) {
        if (entry.kind != FileSystem::Kind::Directory && IsPackageFileName(entry.name.c_str())) {
            archives.push_back(entry.name);
        }
    }
    if (archives.empty()) {
        return true;
    }

    std::string tempDir;
    std::string error;
    char temp[kPathBufferSize];
    char descriptor[kPathBufferSize];
    char descriptorCopy[kPathBufferSize];
    const bool tempUsable = platform::PrivateTempDir::Get(tempDir, error);
    if (!tempUsable || !PathFormat::Copy(temp, tempDir.c_str()) ||
        !PathFormat::Into(g_szStagingDir, sizeof g_szStagingDir, "%stest/", temp) ||
        !PathFormat::Into(descriptor, sizeof descriptor, "%s%s", temp, kDescriptorName) ||
        !PathFormat::Into(descriptorCopy, sizeof descriptorCopy, "%s%s", temp,
                          kDescriptorCopyName)) {
        const std::string why = tempUsable ? "the temporary directory's path is too long" : error;
        for (const std::string& name : archives) {
            m_leftOut.push_back({name, why});
        }
        return true;
    }

    ClearStagingDir();

    USERFUNCTIONS callbacks;
    FillCallbacks(callbacks);
    // Only a descriptor that the descriptor reader reads whole is extracted.
    callbacks.ServCallBk = UnzipDescriptorServiceCallback;
    DCL options{};
    char member[] = "package.inf";
    char* members[] = {member};

    for (const std::string& name : archives) {
        const auto leaveOut = [this, &name](const char* why) { m_leftOut.push_back({name, why}); };
        char archivePath[kPathBufferSize];
        if (!PathFormat::Into(archivePath, sizeof archivePath, "%s%s", g_szPackageDir,
                              name.c_str())) {
            leaveOut("its path is too long");
            continue;
        }
        options.noflag = 1;
        options.lpszZipFN = archivePath;
        options.lpszExtractDir = temp;
        const int unzipped = Wiz_SingleEntryUnzip(1, members, 0, nullptr, &options, &callbacks);
        if (unzipped != UNZIP_OK) {
            leaveOut(unzipped == UNZIP_NOTFOUND    ? "it holds no package.inf"
                     : unzipped == UNZIP_CANCELLED ? "its package.inf is too large"
                                                   : "it cannot be read as a package archive");
            continue;
        }
        FileSystem::Kind kind;
        if (!FileSystem::KindOf(descriptor, kind) || kind != FileSystem::Kind::File) {
            leaveOut("it holds no package.inf");
            continue;
        }
        if (!IsAcceptedDescriptor(descriptor)) {
            FileSystem::Delete(descriptor);
            leaveOut("it is not a Talvenmark Pro package");
            continue;
        }
        // The copy and the deletion of the original in one step: every new
        // file the scan makes costs the file system an inode, which adds up
        // over a directory of packages.
        if (!FileSystem::MoveReplacing(descriptor, descriptorCopy)) {
            FileSystem::Delete(descriptorCopy);
            FileSystem::Delete(descriptor);
            leaveOut("its package.inf cannot be read");
            continue;
        }

        char language[kValueBufferSize];
        char version[kValueBufferSize];
        char versionDate[kValueBufferSize];
        platform::ProfileReader::GetString(kSection, "language", "", language, sizeof language,
                                           descriptorCopy);
        platform::ProfileReader::GetString(kSection, "Version", "", version, sizeof version,
                                           descriptorCopy);
        platform::ProfileReader::GetString(kSection, "version_date", "", versionDate,
                                           sizeof versionDate, descriptorCopy);
        AddItem(language);
        AddItem(version);
        AddItem(versionDate);
        AddItem(name.c_str());
        ++m_nPackageCount;
        FileSystem::Delete(descriptorCopy);
    }
    return true;
}

bool CKestrupDoc::ClearStagingDir() {
    if (!StagingDirUsable()) {
        return false;
    }
    // Everything goes, folders too: members are staged flat, so anything
    // else there is a leftover that would only get in a later package's way.
    return FileSystem::ClearDirectory(g_szStagingDir);
}

bool CKestrupDoc::UnpackPackage(const char* archivePath, bool* noSpace) {
    if (noSpace != nullptr) {
        *noSpace = false;
    }
    if (!StagingDirUsable() || archivePath == nullptr || archivePath[0] == '\0') {
        return false;
    }
    USERFUNCTIONS callbacks;
    FillCallbacks(callbacks);
    DCL options{};
    options.noflag = 1;
    options.lpszZipFN = archivePath;
    options.lpszExtractDir = g_szStagingDir;
    const int result = Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options, &callbacks);
    if (noSpace != nullptr) {
        *noSpace = result == UNZIP_DISK;
    }
    return result == UNZIP_OK;
}

bool CKestrupDoc::FormPackagePath(int row) const {
    const char* name = GetItem(row, 3);
    if (name == nullptr || g_szPackageDir[0] == '\0') {
        g_szPackagePath[0] = '\0';
        return false;
    }
    return PathFormat::Into(g_szPackagePath, sizeof g_szPackagePath, "%s%s", g_szPackageDir, name);
}

CKestrupDoc::CopyCheck CKestrupDoc::CopyAndCheck(const char* archivePath, char* copyPath,
                                                 std::size_t size) {
    std::string tempDir;
    std::string error;
    if (copyPath == nullptr || size == 0) {
        return CopyCheck::CopyFailed;
    }
    copyPath[0] = '\0';
    if (archivePath == nullptr || archivePath[0] != '/' ||
        !platform::PrivateTempDir::Get(tempDir, error) ||
        !PathFormat::Into(copyPath, size, "%s%s", tempDir.c_str(), kCheckedCopyName)) {
        return CopyCheck::CopyFailed;
    }
    // The signature is read once, from beside the archive; the package's
    // bytes are checked in the copy, which only this user can change.
    const PackageVerifier::SignatureFile signature = PackageVerifier::ReadSignature(archivePath);
    bool noSpace = false;
    if (!CopyForCheck(archivePath, copyPath, noSpace)) {
        copyPath[0] = '\0';
        return noSpace ? CopyCheck::NoSpace : CopyCheck::CopyFailed;
    }
    SignatureCheck check =
        PackageVerifier::Check(copyPath, signature, m_trust.Keys(g_szPackageDir));
    check.signatureRequired = m_trust.Policy().requireSignature;
    std::function<void(const SignatureCheck&)> observer;
    {
        std::lock_guard lock(m_checkMutex);
        m_lastCheck = check;
        observer = m_checkObserver;
    }
    if (observer) {
        observer(check);
    }
    return check.Usable() ? CopyCheck::Accepted : CopyCheck::Refused;
}

void CKestrupDoc::DeleteCopy(const char* copyPath) {
    if (copyPath != nullptr && copyPath[0] != '\0') {
        FileSystem::Delete(copyPath);
    }
}

SignatureCheck CKestrupDoc::LastCheck() const {
    std::lock_guard lock(m_checkMutex);
    return m_lastCheck;
}

void CKestrupDoc::SetCheckObserver(std::function<void(const SignatureCheck&)> observer) {
    std::lock_guard lock(m_checkMutex);
    m_checkObserver = std::move(observer);
}

SignatureCheck CKestrupDoc::CheckPackage(int row) const {
    const char* name = GetItem(row, 3);
    char path[kPathBufferSize];
    if (name == nullptr || g_szPackageDir[0] == '\0' ||
        !PathFormat::Into(path, sizeof path, "%s%s", g_szPackageDir, name)) {
        SignatureCheck none;
        none.state = SignatureCheck::State::BadSignature;
        none.detail = "no such package";
        return none;
    }
    SignatureCheck check = PackageVerifier::Check(path, m_trust.Keys(g_szPackageDir));
    check.signatureRequired = m_trust.Policy().requireSignature;
    return check;
}
