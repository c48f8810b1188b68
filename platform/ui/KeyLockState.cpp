#include "platform/ui/KeyLockState.h"

#include <QtGui/qguiapplication_platform.h>
#include <QtGui/QGuiApplication>

#if KESTRUP_HAVE_XKB && QT_CONFIG(xcb)
#define KESTRUP_READ_XKB 1
// X11 comes last: its macros clash with Qt's names.
#include <X11/XKBlib.h>
#else
#define KESTRUP_READ_XKB 0
#endif

namespace platform::ui {

bool KeyLockState::IsOn(Key key) {
#if KESTRUP_READ_XKB
    auto* app = qGuiApp;
    if (app == nullptr || QGuiApplication::platformName() != QLatin1String("xcb")) {
        return false;
    }
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 != nullptr ? x11->display() : nullptr;
    if (display == nullptr) {
        return false;
    }
    const char* name = key == Key::CapsLock  ? "Caps Lock"
                       : key == Key::NumLock ? "Num Lock"
                                             : "Scroll Lock";
    const Atom atom = XInternAtom(display, name, True);
    if (atom == 0) {
        return false;
    }
    Bool on = False;
    if (!XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr)) {
        return false;
    }
    return on != False;
#else
    (void)key;
    return false;
#endif
}

}  // namespace platform::ui
