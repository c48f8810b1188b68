#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>

namespace platform::ui {

// The application's standard settings in QSettings: the organisation (the
// framework's registry key) and the application title name the store, on
// Linux a file under the user's configuration directory. Holds the
// recent-file list, most recent first.
class AppSettings {
  public:
    AppSettings(QString organization, QString application, int maxRecentFiles);

    // Reads the recent-file list from the store.
    void Load();
    // Writes it back.
    void Save() const;

    // Puts path at the front (moving it there when listed already) and drops
    // what no longer fits.
    void AddToRecentFileList(const QString& path);
    const QStringList& RecentFiles() const { return recent_; }

    const QString& Organization() const { return organization_; }
    const QString& Application() const { return application_; }

  private:
    QString organization_;
    QString application_;
    int max_;
    QStringList recent_;
};

}  // namespace platform::ui
