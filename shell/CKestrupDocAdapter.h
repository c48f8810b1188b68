#pragma once

#include <QtCore/QString>
#include <cstdint>
#include <vector>

#include "package/CKestrupDoc.h"
#include "platform/ui/CommandTarget.h"

class QWidget;
class CUpgradeView;

// The package document as the application framework sees it: the package
// table of CKestrupDoc plus the framework's document parts (its views, its
// title and file name) and its command handling. The document handles
// "Upgrade Via USB" (32785) and the save command (57603).
//
// The document has no content of its own to read or write: opening a file
// only takes its name, and saving writes nothing and empties nothing.
class CKestrupDocAdapter : public CKestrupDoc, public platform::ui::CommandTarget {
  public:
    CKestrupDocAdapter();
    ~CKestrupDocAdapter() override;

    // Views showing this document, in the order they were added.
    void AddView(QWidget* view);
    void RemoveView(QWidget* view);
    const std::vector<QWidget*>& Views() const { return m_views; }
    // The first view that is a CUpgradeView, or null.
    CUpgradeView* FindUpgradeView() const;

    // New document: resets the framework's parts (no file name, the default
    // title), then scans the packages. A failing framework part returns false
    // before the scan.
    virtual bool OnNewDocument();
    // Open document: the file must be readable; nothing is read from it and
    // the table is left as it is. The caller then names the document after
    // the file (SetPathName).
    virtual bool OnOpenDocument(const QString& path);
    // Saving writes nothing: the document has nothing to save.
    virtual bool OnSaveDocument();

    void SetPathName(const QString& path);
    const QString& GetPathName() const { return m_strPathName; }
    const QString& GetTitle() const { return m_strTitle; }
    bool IsModified() const { return m_bModified; }

    // "Upgrade Via USB": posts WM_COMMAND 32777 to the package view when it
    // has a chosen row; otherwise does nothing at all.
    void OnUpgradeViaUsb();

    bool OnCommand(std::uint32_t id) override;
    bool OnUpdateCommand(std::uint32_t id, platform::ui::CommandState& state) override;

    // Tests point the scan at a package sandbox; empty means the program's
    // own path.
    void SetExecutablePath(std::string path) { m_strExecutablePath = std::move(path); }

  private:
    std::vector<QWidget*> m_views;
    QString m_strPathName;
    QString m_strTitle;
    std::string m_strExecutablePath;
    bool m_bModified = false;
};
