#include "shell/CKestrupDocAdapter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <algorithm>

#include "engine/DeviceDetection.h"
#include "platform/MessageTypes.h"
#include "platform/WindowMessages.h"
#include "res/Resource.h"
#include "shell/CUpgradeView.h"

namespace {

// The name of a new document: the third field of the document string.
const char kNewDocumentTitle[] = "Talvenmark Pro Upgrade Utility";

}  // namespace

CKestrupDocAdapter::CKestrupDocAdapter() : m_strTitle(QString::fromLatin1(kNewDocumentTitle)) {}

CKestrupDocAdapter::~CKestrupDocAdapter() = default;

void CKestrupDocAdapter::AddView(QWidget* view) {
    if (view != nullptr && std::find(m_views.begin(), m_views.end(), view) == m_views.end()) {
        m_views.push_back(view);
    }
}

void CKestrupDocAdapter::RemoveView(QWidget* view) {
    m_views.erase(std::remove(m_views.begin(), m_views.end(), view), m_views.end());
}

CUpgradeView* CKestrupDocAdapter::FindUpgradeView() const {
    // The framework's run-time class check is the language's own here.
    for (QWidget* view : m_views) {
        if (auto* upgradeView = dynamic_cast<CUpgradeView*>(view)) {
            return upgradeView;
        }
    }
    return nullptr;
}

bool CKestrupDocAdapter::OnNewDocument() {
    // The framework's part: no contents to delete, no file name, the default
    // title, nothing modified. It cannot fail here.
    m_strPathName.clear();
    m_strTitle = QString::fromLatin1(kNewDocumentTitle);
    m_bModified = false;
    if (m_strExecutablePath.empty()) {
        ScanPackages();
    } else {
        ScanPackages(m_strExecutablePath.c_str());
    }
    return true;
}

bool CKestrupDocAdapter::OnOpenDocument(const QString& path) {
    // The file has to be a readable regular file; nothing of it is read. It
    // is opened without blocking, so a FIFO is refused, not waited on.
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) {
        return false;
    }
    m_bModified = false;
    return true;
}

bool CKestrupDocAdapter::OnSaveDocument() {
    // Nothing to write, so nothing is written: no file is created, and the
    // file that was opened keeps its contents.
    m_bModified = false;
    return true;
}

void CKestrupDocAdapter::SetPathName(const QString& path) {
    const QFileInfo info(path);
    m_strPathName = info.absoluteFilePath();
    m_strTitle = info.fileName();
}

void CKestrupDocAdapter::OnUpgradeViaUsb() {
    CUpgradeView* view = FindUpgradeView();
    // No second upgrade while a detection or a run is under way: a new
    // detection would replace the pipes the running upgrade uses.
    if (view == nullptr || !view->HasSelection() || kestrup::UpgradeBusy()) {
        return;
    }
    // Posted, so the view starts the upgrade after this command has been
    // dealt with.
    platform::WindowMessages::Post(view, platform::WM_COMMAND, res::ID_POSTED_UPGRADE, 0);
}

bool CKestrupDocAdapter::OnCommand(std::uint32_t id) {
    switch (id) {
        case res::ID_UPGRADE_VIA_USB:
            OnUpgradeViaUsb();
            return true;
        case res::ID_FILE_SAVE:
            OnSaveDocument();
            return true;
        default:
            return false;
    }
}

bool CKestrupDocAdapter::OnUpdateCommand(std::uint32_t id, platform::ui::CommandState& state) {
    switch (id) {
        case res::ID_UPGRADE_VIA_USB:
            state.enabled = !kestrup::UpgradeBusy();
            return true;
        case res::ID_FILE_SAVE:
            state.enabled = true;
            return true;
        default:
            return false;
    }
}
