#pragma once

#include <QtGui/QIcon>
#include <QtWidgets/QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/DeviceDetection.h"
#include "platform/MessageWindow.h"
#include "platform/ui/CommandTarget.h"

class CKestrupDocAdapter;
class QGroupBox;
class QLabel;
class QTreeWidget;

// The form that lists the packages of the document's table under the
// operator's warning. The chosen row (m_nSelectedItem) always follows the
// list's selection, whether it changed by mouse or keyboard; a click on empty
// space clears both. A double click on a row, and WM_COMMAND 32774 or 32777
// (which the document posts for "Upgrade Via USB"), start the upgrade for the
// chosen row.
//
// The view is a MessageWindow of the UI thread, so messages posted to it are
// handled from the message loop after the poster has returned.
class CUpgradeView : public QWidget,
                     public platform::MessageWindow,
                     public platform::ui::CommandTarget,
                     public kestrup::UpgradeHandOff {
  public:
    // Widths in pixels of the four columns before the first fit.
    static constexpr int kInitialWidths[4] = {200, 100, 150, 150};
    // No column is fitted narrower than this.
    static constexpr int kMinColumnWidth = 10;
    // Every row shows this image of the row-image strip.
    static constexpr int kRowImage = 3;

    // mainWindow receives the status notifications (may be null in tests).
    CUpgradeView(CKestrupDocAdapter& document, platform::MessageWindow* mainWindow);
    ~CUpgradeView() override;

    // Fills the list from the document's table: at start-up and after every
    // new-document or open-document command. Row 0 is chosen when there is
    // one; otherwise no row is.
    void OnInitialUpdate();
    // Fits every column to the larger of its contents and its contents with
    // title, never under kMinColumnWidth; the last column also fills the rest
    // of the list's width.
    void AutoSizeColumns();

    bool HasSelection() const { return m_nSelectedItem.load() != -1; }

    // Notifications from the list; item is the row under the pointer, or -1.
    void OnClickPackageList(int item);
    void OnDblclkPackageList(int item);

    // Starts an upgrade for the chosen row; does nothing without one.
    void StartUpgrade();

    // The hand-off once the instrument is connected, on the detection
    // thread: unpacks the package of the row chosen at the command into the
    // staging directory and posts the start message to the upgrade worker.
    // A package that does not unpack whole or holds two images of a kind, or
    // a staging directory that cannot be emptied, sends nothing: the operator
    // is told why in a message box, the status bar is given back ("Ready"),
    // and the upgrade ends there.
    kestrup::HandOffResult BeginTransfer(int row) override;
    // The texts of those boxes, for a package's file name (and the images'
    // names). Names are shown as they are, without control characters.
    static std::string DamagedPackageText(const char* packageName);
    static std::string NoSpaceText(const char* packageName);
    static std::string TwoImagesText(bool boot, const char* packageName,
                                     const std::vector<std::string>& images);
    // The text of the box for a package its signature refuses; why is the
    // check's refusal phrase ("is not signed", ...).
    static std::string RefusedPackageText(const char* packageName, const char* why);
    // The tooltip of a row: the signature's state and trusted comment,
    // checked when first asked for (the scan checks no signature) and kept
    // until the list is filled again. UI thread.
    QString RowToolTip(int row);

    // Where device detection starts. Given the chosen row, it starts the
    // detection and reports to the main window. Until one is set, StartUpgrade
    // only reports that detection is under way (1031, -16, 14).
    using DetectionStarter = std::function<void(int row)>;
    void SetDetectionStarter(DetectionStarter starter) { m_detectionStarter = std::move(starter); }

    CKestrupDocAdapter& GetDocument() const { return m_document; }
    QTreeWidget* ListCtrl() const { return m_ListCtrl; }
    platform::MessageWindow* MainWindow() const { return m_pMainWindow; }

    platform::LRESULT WindowProc(std::uint32_t message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override;
    bool OnCommand(std::uint32_t id) override;
    bool OnUpdateCommand(std::uint32_t id, platform::ui::CommandState& state) override;

    QSize sizeHint() const override;

    // The chosen row, -1 for none. Written on the UI thread only; the
    // detection thread reads it.
    std::atomic<int> m_nSelectedItem{-1};

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // A string of the string table with its "%s" replaced by the names in
    // turn, each without control characters.
    static std::string Formatted(std::uint32_t id, const std::vector<std::string>& names);
    void CreateControls();
    void FollowSelection();
    int RowAt(const QPoint& viewportPos) const;

    CKestrupDocAdapter& m_document;
    platform::MessageWindow* m_pMainWindow;
    DetectionStarter m_detectionStarter;
    QTreeWidget* m_ListCtrl = nullptr;
    QGroupBox* m_pInformation = nullptr;
    QLabel* m_pWarningIcon = nullptr;
    QLabel* m_pWarningText = nullptr;
    QIcon m_rowIcon;
    std::vector<QString> m_rowToolTips;
    bool m_bImageListMade = false;
    QSize m_formSize;
};
