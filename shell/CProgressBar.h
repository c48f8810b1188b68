#pragma once

#include <QtCore/QPointer>
#include <QtCore/QString>

namespace platform::ui {
class StatusBar;
}
class QProgressBar;

// A progress control inside one pane of the main frame's status bar, to the
// right of a label written into the same pane. It finds the status bar by
// itself through the application's main window, lays itself out against the
// pane on every change of label or width share and whenever its background
// is drawn, and gives the pane its text back when it goes.
//
// Without a window (no status bar was found, or the control could not be
// made) every operation does nothing and returns false or 0.
class CProgressBar {
  public:
    // Where the bar was last moved to, in status-bar coordinates; right and
    // bottom are exclusive edges.
    struct Rect {
        int left = 0;
        int top = 0;
        int right = 0;
        int bottom = 0;
        bool operator==(const Rect&) const = default;
    };

    CProgressBar();
    CProgressBar(const QString& label, int widthPercent, int maximum, bool smooth, int pane);
    ~CProgressBar();
    CProgressBar(const CProgressBar&) = delete;
    CProgressBar& operator=(const CProgressBar&) = delete;

    bool Create(const QString& label, int widthPercent, int maximum, bool smooth, int pane);

    // The frame's status bar: the main window's message bar when the main
    // window is a frame, otherwise its descendant with identifier 59393; null
    // unless that is a status bar.
    static platform::ui::StatusBar* FindStatusBar();

    bool SetBarRange(int lower, int upper, int step);
    int SetBarPos(int position);
    int SetBarStep(int step);
    bool SetLabel(const QString& text);
    bool SetWidthPercent(int percent);
    bool Reposition();
    void RestorePane();

    bool HasWindow() const { return !m_wnd.isNull(); }
    QProgressBar* Window() const;
    int GetPos() const;

    int m_nWidthPercent = 0;
    int m_nPane = 0;
    QString m_strLabel;
    QString m_strSavedPaneText;
    Rect m_rcLast;

  private:
    class Control;
    friend class Control;
    bool Layout(bool fromPaint);
    void MakeVisible();

    QPointer<Control> m_wnd;
    int m_nStep = 1;
};
