#pragma once

#include <QtCore/QString>

class CMainFrame;

// What the document and its view plug into start-up and into the
// application's New and Open commands. Start-up creates the frame, then asks
// for the document and the view (CreateDocument), then for the document's
// new-document handling or the opening of the file named on the command line.
class CDocViewSeam {
  public:
    virtual ~CDocViewSeam() = default;

    // Creates the document and the view and installs the view in the frame
    // (CMainFrame::SetView). False fails start-up.
    virtual bool CreateDocument(CMainFrame& frame) = 0;
    // The document's new-document handling (start-up without a file, and
    // command 57600). False fails start-up.
    virtual bool NewDocument() = 0;
    // Opens path as the document (start-up with a file, and command 57601).
    virtual bool OpenDocument(const QString& path) = 0;
};
