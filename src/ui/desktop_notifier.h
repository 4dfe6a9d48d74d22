// Desktop notifications: the freedesktop notification service (org.freedesktop.Notifications) over
// the session's D-Bus, behind an interface that tests replace.
#pragma once

#include <QString>
#include <memory>

namespace kelvatta::ui {

class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    // Shows a notification; returns at once, and nothing that becomes of it reaches the caller.
    virtual void notify(const QString& summary, const QString& body) = 0;
};

// Notifications sent on the session bus from a thread of the pool, so that a slow or stuck bus never
// holds up the window. Without a session bus, or a notification service on it, nothing is shown. The
// bus is found by its address (DBUS_SESSION_BUS_ADDRESS, else the session's $XDG_RUNTIME_DIR/bus),
// never by autolaunch, which would start a program. desktopEntry names the program's desktop entry.
std::shared_ptr<DesktopNotifier> sessionBusNotifier(const QString& desktopEntry);

}  // namespace kelvatta::ui
