#pragma once

namespace platform::ui {

// The toggle state of the lock keys, read from the display server where the
// platform allows it (X11, through XKB). Where it cannot be known (the
// offscreen platform, Wayland without X11) every key reads as off.
class KeyLockState {
  public:
    enum class Key { CapsLock, NumLock, ScrollLock };

    // UI thread, with a QGuiApplication alive.
    static bool IsOn(Key key);
};

}  // namespace platform::ui
