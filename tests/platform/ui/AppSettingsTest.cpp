#include "platform/ui/AppSettings.h"

#include <gtest/gtest.h>

#include <QtCore/QFileInfo>
#include <QtCore/QSettings>

namespace {

const QString kOrg = "Local AppWizard-Generated Applications";
const QString kApp = "Talvenmark Pro Upgrade Utility";

TEST(AppSettingsTest, RecentFileListKeepsFourMostRecentFirstAndSurvivesAReload) {
    platform::ui::AppSettings settings(kOrg, kApp, 4);
    settings.Load();
    for (const char* path : {"/a", "/b", "/c", "/d", "/e"}) {
        settings.AddToRecentFileList(path);
    }
    settings.AddToRecentFileList("/c");  // listed already: moves to the front
    EXPECT_EQ(settings.RecentFiles(), (QStringList{"/c", "/e", "/d", "/b"}));
    settings.Save();

    platform::ui::AppSettings reloaded(kOrg, kApp, 4);
    reloaded.Load();
    EXPECT_EQ(reloaded.RecentFiles(), (QStringList{"/c", "/e", "/d", "/b"}));

    // The store is named by the organisation and the application title.
    const QString file = QSettings(kOrg, kApp).fileName();
    EXPECT_TRUE(file.contains(kOrg)) << file.toStdString();
    EXPECT_TRUE(file.contains(kApp)) << file.toStdString();
    EXPECT_TRUE(QFileInfo::exists(file));
}

}  // namespace
