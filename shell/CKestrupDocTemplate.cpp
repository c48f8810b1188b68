#include "shell/CKestrupDocTemplate.h"

#include "shell/CMainFrame.h"

CKestrupDocTemplate::CKestrupDocTemplate(std::string executablePath)
    : m_pDocument(std::make_unique<CKestrupDocAdapter>()) {
    m_pDocument->SetExecutablePath(std::move(executablePath));
}

CKestrupDocTemplate::~CKestrupDocTemplate() {
    // A view that outlives the template (its frame still there) must not
    // reach the document any more.
    if (m_pView) {
        delete m_pView.data();
    }
}

bool CKestrupDocTemplate::CreateDocument(CMainFrame& frame) {
    auto* view = new CUpgradeView(*m_pDocument, &frame);
    m_pView = view;
    // The frame takes the view, routes commands to it and to the document,
    // and fits itself around the form.
    frame.SetView(view, view, m_pDocument.get());
    return true;
}

bool CKestrupDocTemplate::NewDocument() {
    if (!m_pDocument->OnNewDocument()) {
        return false;
    }
    if (m_pView) {
        m_pView->OnInitialUpdate();
    }
    return true;
}

bool CKestrupDocTemplate::OpenDocument(const QString& path) {
    if (!m_pDocument->OnOpenDocument(path)) {
        return false;
    }
    m_pDocument->SetPathName(path);
    if (m_pView) {
        m_pView->OnInitialUpdate();
    }
    return true;
}
