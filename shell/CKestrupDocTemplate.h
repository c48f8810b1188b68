#pragma once

#include <QtCore/QPointer>
#include <memory>
#include <string>

#include "shell/CDocViewSeam.h"
#include "shell/CKestrupDocAdapter.h"
#include "shell/CUpgradeView.h"

// The single-document template: joins the package document, the main frame
// and the upgrade view. It owns the document for the whole run; the frame
// owns the view.
class CKestrupDocTemplate : public CDocViewSeam {
  public:
    // executablePath: where the scan looks for packages from ("cfg/" beside
    // its "bin/"); empty means the program's own path.
    explicit CKestrupDocTemplate(std::string executablePath = {});
    ~CKestrupDocTemplate() override;

    bool CreateDocument(CMainFrame& frame) override;
    // The document's new-document handling, then the view's fill.
    bool NewDocument() override;
    // Takes the file as the document (nothing is read), names the document
    // after it, then fills the view again from the unchanged table.
    bool OpenDocument(const QString& path) override;

    CKestrupDocAdapter* Document() const { return m_pDocument.get(); }
    // Null before CreateDocument and after the frame is gone.
    CUpgradeView* View() const { return m_pView.data(); }

  private:
    std::unique_ptr<CKestrupDocAdapter> m_pDocument;
    QPointer<CUpgradeView> m_pView;
};
