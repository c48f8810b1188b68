#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "package/PackageItem.h"
#include "package/PackageTrust.h"
#include "package/SignatureCheck.h"

// The program's document: owns the package table that the package list
// shows, scans the package directory for upgrade packages, and prepares the
// staging directory from which the upgrade worker sends files.
//
// The table is built on the UI thread by ScanPackages and read by GetItem
// from the UI and detection threads; only a scan changes it. ClearStagingDir
// and UnpackPackage run on the detection thread. No step shows a message:
// an archive that cannot be used is left out of the table, and a failed
// staging step is reported to the caller, which sends nothing then.
class CKestrupDoc {
  public:
    // Cells per row: language, version, version date, archive file name.
    static constexpr int kColumnCount = 4;
    // The checked copy of a package, in the private temporary directory.
    static constexpr char kCheckedCopyName[] = "checked.pcg";
    // Every descriptor value is read into a buffer of this size.
    static constexpr std::size_t kValueBufferSize = 512;

    CKestrupDoc();
    ~CKestrupDoc();
    CKestrupDoc(const CKestrupDoc&) = delete;
    CKestrupDoc& operator=(const CKestrupDoc&) = delete;

    // An archive of the package directory that the table leaves out, and why
    // in a few words.
    struct LeftOut {
        std::string name;
        std::string reason;
    };

    // Rebuilds the table from the archives in the package directory derived
    // from the program's own path. Always returns true.
    bool ScanPackages();
    // The same for a given executable path.
    bool ScanPackages(const char* executablePath);

    // The archives the last scan left out, in listing order.
    const std::vector<LeftOut>& LeftOutPackages() const { return m_leftOut; }

    // Appends a cell holding a copy of text (null is taken as empty).
    void AddItem(const char* text);
    // The text of a cell, owned by the table; null when there is no such cell.
    const char* GetItem(int row, int column) const;
    // Frees every cell; the table is empty and the row count 0.
    void FreeItems();

    // Removes everything in g_szStagingDir, files and folders, through
    // directory handles and without following links; a staging directory
    // that is a link is refused. Does nothing while g_szStagingDir is empty
    // or not an absolute path. True when the directory is empty afterwards
    // (or does not exist).
    bool ClearStagingDir();
    // Extracts every member of the archive as a plain file directly into
    // g_szStagingDir (folder names dropped, a later member replacing an
    // earlier one of the same name), creating the directory when missing.
    // Does nothing while g_szStagingDir is empty or not an absolute path.
    // True only when the whole archive was extracted: a damaged or refused
    // member, an over-size package or a full disk make it false, and the
    // staging directory then holds a part of the package at most. noSpace
    // (when given) tells a lack of free space apart.
    bool UnpackPackage(const char* archivePath, bool* noSpace = nullptr);

    // How the copy that is to be unpacked came out of CopyAndCheck.
    enum class CopyCheck {
        Accepted,    // copied, and its signature allows it to be sent
        Refused,     // copied, but refused by its signature (LastCheck says why)
        CopyFailed,  // no whole copy could be made; nothing was checked
        NoSpace,     // no whole copy for want of free space; nothing was checked
    };
    // Copies the archive into the private temporary directory and checks
    // that copy against the signature file beside the archive, the trusted
    // keys and the policy (read afresh). copyPath receives the copy's path
    // for UnpackPackage, so that the bytes that were checked are the bytes
    // that are unpacked, whatever happens to the archive meanwhile; the
    // caller deletes it (DeleteCopy). Records the check (LastCheck, the
    // check observer). Detection thread.
    CopyCheck CopyAndCheck(const char* archivePath, char* copyPath, std::size_t size);
    // Deletes the copy that CopyAndCheck made.
    static void DeleteCopy(const char* copyPath);
    // The last check CopyAndCheck made. Any thread.
    SignatureCheck LastCheck() const;
    // Called with every check CopyAndCheck makes, on its thread (may be
    // empty). Set before upgrades begin.
    void SetCheckObserver(std::function<void(const SignatureCheck&)> observer);

    // The signature check of a row's archive as it lies in the package
    // directory, under the current policy; for showing, never for sending.
    // BadSignature ("no such package") for a row that does not exist.
    SignatureCheck CheckPackage(int row) const;

    // What the checks trust; its problems go to standard error until the
    // program gives it a sink.
    PackageTrust& Trust() { return m_trust; }

    // Sets g_szPackagePath to g_szPackageDir followed by the archive name of
    // the given row. False (and g_szPackagePath empty) when there is no such
    // row, no package directory, or the path does not fit.
    bool FormPackagePath(int row) const;

    // The package directory for an executable path: the nearest directory
    // of the path named exactly "bin" is replaced by its sibling "cfg/";
    // with no "bin" in the path, "cfg/" beside the executable. False (and
    // an empty buffer) when the path is not absolute or the result does not
    // fit.
    static bool PackageDirFromExecutable(const char* executablePath, char* buffer,
                                         std::size_t size);
    // Whether a file name is a package archive: it ends in ".pcg" in any case.
    static bool IsPackageFileName(const char* name);
    // The acceptance test of a descriptor's Description value: its first
    // comma-separated field, after any leading commas, is exactly the
    // product text (case-sensitive, spaces kept).
    static bool IsProductDescription(const char* description);
    // Reads Description from section PACKAGE of a descriptor file and tests it.
    static bool IsAcceptedDescriptor(const char* path);

    PackageItem* m_pFirstItem;
    int m_nPackageCount;
    int m_nColumnCount;

  private:
    PackageItem* m_pLastItem;
    std::vector<LeftOut> m_leftOut;
    PackageTrust m_trust;
    mutable std::mutex m_checkMutex;
    SignatureCheck m_lastCheck;
    std::function<void(const SignatureCheck&)> m_checkObserver;
};
