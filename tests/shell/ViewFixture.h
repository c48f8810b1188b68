#pragma once

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QTreeWidget>
#include <memory>
#include <string>
#include <vector>

#include "package/PackageGlobals.h"
#include "platform/WindowMessages.h"
#include "shell/CKestrupApp.h"
#include "shell/CKestrupDocTemplate.h"
#include "shell/CMainFrame.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/PackageSandbox.h"

// The application started over a private package directory, with the
// document template that the program uses. Every start of an upgrade is
// recorded instead of starting device detection.
class ViewFixture : public ::testing::Test {
  protected:
    ViewFixture() {
        g_szPackageDir[0] = '\0';
        g_szStagingDir[0] = '\0';
        g_szPackagePath[0] = '\0';
    }
    ~ViewFixture() override { app.ReleaseUi(); }

    // Writes an accepted package into the package directory.
    void Pack(const std::string& name, const std::string& language, const std::string& version,
              const std::string& date) {
        testsupport::ArchiveWriter zip(sandbox.PackageDir() + name);
        zip.File("app.bin", "image");
        zip.File("package.inf",
                 "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\nlanguage=" + language +
                     "\r\nVersion=" + version + "\r\nversion_date=" + date + "\r\n");
        ASSERT_TRUE(zip.Close()) << name;
    }

    // Starts the application (with a file argument when given).
    void Start(const QStringList& arguments = {}) {
        auto docTemplate = std::make_unique<CKestrupDocTemplate>(sandbox.Executable());
        tmpl = docTemplate.get();
        app.SetDocViewSeam(std::move(docTemplate));
        ASSERT_TRUE(app.InitInstance(arguments));
        frame = app.MainFrame();
        view = tmpl->View();
        ASSERT_NE(view, nullptr);
        view->SetDetectionStarter([this](int row) { started.push_back(row); });
        QCoreApplication::processEvents();
    }

    CKestrupDocAdapter& Doc() const { return *tmpl->Document(); }
    QTreeWidget& List() const { return *view->ListCtrl(); }

    // Rows highlighted in the list.
    std::vector<int> Highlighted() const {
        std::vector<int> rows;
        for (const QModelIndex& index : List().selectionModel()->selectedRows()) {
            rows.push_back(index.row());
        }
        return rows;
    }
    // What the list shows, cell by cell.
    std::vector<std::vector<std::string>> Shown() const {
        std::vector<std::vector<std::string>> rows;
        for (int r = 0; r < List().topLevelItemCount(); ++r) {
            std::vector<std::string> row;
            for (int c = 0; c < List().columnCount(); ++c) {
                row.push_back(List().topLevelItem(r)->text(c).toStdString());
            }
            rows.push_back(row);
        }
        return rows;
    }
    // The table, read through the document.
    std::vector<std::vector<std::string>> Table() const {
        std::vector<std::vector<std::string>> rows;
        for (int r = 0; r < Doc().m_nPackageCount; ++r) {
            std::vector<std::string> row;
            for (int c = 0; c < Doc().m_nColumnCount; ++c) {
                const char* text = Doc().GetItem(r, c);
                row.push_back(text != nullptr ? text : "");
            }
            rows.push_back(row);
        }
        return rows;
    }

    // The command as the menu, the toolbar or an accelerator give it.
    void Command(std::uint32_t id) { frame->Router().Route(id); }
    // Lets the message loop handle what was posted.
    static void Pump() {
        QCoreApplication::processEvents();
        platform::WindowMessages::DispatchPending();
    }

    testsupport::PackageSandbox sandbox;
    CKestrupApp app;
    CKestrupDocTemplate* tmpl = nullptr;
    CMainFrame* frame = nullptr;
    CUpgradeView* view = nullptr;
    std::vector<int> started;
};
