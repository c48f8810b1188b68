#include "platform/ui/AppSettings.h"

#include <QtCore/QSettings>

namespace platform::ui {
namespace {
constexpr const char* kRecentGroup = "Recent File List";
}

AppSettings::AppSettings(QString organization, QString application, int maxRecentFiles)
    : organization_(std::move(organization)),
      application_(std::move(application)),
      max_(maxRecentFiles) {}

void AppSettings::Load() {
    QSettings store(organization_, application_);
    store.beginGroup(kRecentGroup);
    recent_.clear();
    for (int i = 1; i <= max_; ++i) {
        const QString path = store.value(QStringLiteral("File%1").arg(i)).toString();
        if (!path.isEmpty()) {
            recent_.append(path);
        }
    }
}

void AppSettings::Save() const {
    QSettings store(organization_, application_);
    store.beginGroup(kRecentGroup);
    for (int i = 1; i <= max_; ++i) {
        const QString key = QStringLiteral("File%1").arg(i);
        if (i <= recent_.size()) {
            store.setValue(key, recent_.at(i - 1));
        } else {
            store.remove(key);
        }
    }
}

void AppSettings::AddToRecentFileList(const QString& path) {
    if (max_ <= 0 || path.isEmpty()) {
        return;
    }
    recent_.removeAll(path);
    recent_.prepend(path);
    while (recent_.size() > max_) {
        recent_.removeLast();
    }
}

}  // namespace platform::ui
