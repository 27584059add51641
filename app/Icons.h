#pragma once

#include <QIcon>

namespace orvane {

// The program's icon (a framed dark screen) for both windows, and the tray's (a play button).
QIcon mainIcon();
QIcon trayIcon();

} // namespace orvane
