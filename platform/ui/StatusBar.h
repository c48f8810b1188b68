#pragma once

#include <QtCore/QRect>
#include <QtCore/QString>
#include <QtWidgets/QStatusBar>
#include <cstdint>
#include <functional>
#include <vector>

namespace platform::ui {

// A status bar made of panes, as the framework's: the message pane (indicator
// 0) stretches, every other pane is an indicator sized to its text. The key
// indicators (Caps, Num and Scroll Lock) are enabled only while their key is
// toggled on, and a disabled pane shows no text of its indicator. A key
// indicator pane given a text of its own (a mode text such as "USB") shows it
// whatever its key says: where the platform cannot tell the key's state
// (Wayland, offscreen) it would otherwise never show. Panes keep their text
// independently of that state.
class StatusBar : public QStatusBar {
  public:
    static constexpr std::uint32_t kMessagePane = 0;
    static constexpr std::uint32_t kIndicatorCaps = 59137;
    static constexpr std::uint32_t kIndicatorNum = 59138;
    static constexpr std::uint32_t kIndicatorScroll = 59139;

    struct Indicator {
        std::uint32_t id;  // kMessagePane for the message pane
        QString text;      // the indicator's text, which also sizes its pane
    };

    // Tells whether the key of a key indicator is toggled on.
    using KeyStateSource = std::function<bool(std::uint32_t indicatorId)>;

    explicit StatusBar(QWidget* parent = nullptr);
    ~StatusBar() override;

    // Replaces the panes. False (and nothing changed) for an empty list.
    bool SetIndicators(const std::vector<Indicator>& indicators);
    int GetCount() const { return static_cast<int>(panes_.size()); }

    // Index of the pane with the indicator; -1 when there is none.
    int CommandToIndex(std::uint32_t indicatorId) const;
    std::uint32_t GetItemId(int index) const;

    // Sets a pane's text; with update the bar repaints at once (and only when
    // the text changed). False for an index out of range.
    bool SetPaneText(int index, const QString& text, bool update = true);
    QString GetPaneText(int index) const;

    // The pane's rectangle in the bar's coordinates; empty when out of range.
    QRect GetItemRect(int index) const;

    // Whether the pane is enabled (key indicators: while their key is on),
    // and whether it therefore shows its text.
    bool IsPaneEnabled(int index) const;
    // Whether the pane's text is shown: when enabled, or when it holds a
    // text other than its indicator's.
    bool IsPaneTextShown(int index) const;

    // Reads the key states again (the default source asks KeyLockState);
    // repaints when an indicator changed. Runs on key presses and when the
    // application becomes active.
    void UpdateKeyIndicators();
    void SetKeyStateSource(KeyStateSource source);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct Pane {
        std::uint32_t id;
        QString indicatorText;
        QString text;
        bool enabled;
    };
    int PaneWidth(const Pane& pane) const;
    static bool IsKeyIndicator(std::uint32_t id);

    std::vector<Pane> panes_;
    KeyStateSource keyState_;
};

}  // namespace platform::ui
