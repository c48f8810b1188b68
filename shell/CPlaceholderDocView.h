#pragma once

#include "shell/CDocViewSeam.h"

// Stands in for the package document and the upgrade view until they are
// plugged in: an empty form of the view's size, a new document that always
// succeeds, and no file that can be opened.
class CPlaceholderDocView : public CDocViewSeam {
  public:
    bool CreateDocument(CMainFrame& frame) override;
    bool NewDocument() override { return true; }
    bool OpenDocument(const QString&) override { return false; }
};
