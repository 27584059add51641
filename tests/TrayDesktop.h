#pragma once

// What the X server says about a program's windows, found by the program's process id (_NET_WM_PID), and
// the mouse driven through xdotool, as a user would: for the tests of the notification-area icon.

#include <QPoint>
#include <QRect>
#include <QString>
#include <qwindowdefs.h>

namespace orvane::test {

// The top-level client window of the process with that name (WM_NAME), anywhere in the tree, mapped or not.
WId windowNamed(qint64 pid, const QString& name);
// The process's XEmbed tray icon window once a tray has taken it in: mapped inside another window and not
// managed by the window manager; 0 while it is not docked.
WId dockedTrayIcon(qint64 pid);
// The child of the root window that holds the window (the window manager's frame or the tray's panel).
WId topLevelAncestor(WId window);
// The window's area in root coordinates; null when the window does not exist.
QRect rootGeometry(WId window);
bool isViewable(WId window);
// A button of the window manager's frame around the client window ("Close", "Minimize" in icewm); 0 if none.
WId frameButton(WId client, const QString& name);
// A mapped popup menu of the process; 0 if none.
WId openPopupMenu(qint64 pid);

// Clicks the mouse button `count` times at the point of the root window.
bool clickAt(const QPoint& point, int button = 1, int count = 1);
bool moveMouseTo(const QPoint& point);
// Moves the mouse onto the point from one pixel beside it: a jump alone gives the window under it an enter event
// but no motion inside it, and Qt's tooltips wait for a motion.
bool hoverAt(const QPoint& point);

} // namespace orvane::test
