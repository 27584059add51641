#pragma once

// Access to the headless desktop the RIG tests run in (tests/rig/rig.sh): its stream server,
// its PulseAudio null sink, and what the window manager says about windows.

#include <QMargins>
#include <QRect>
#include <QString>
#include <QStringList>
#include <qwindowdefs.h>

namespace orvane::test {

// True inside tests/rig/rig.sh (ORVANE_RIG=1).
bool inRig();

// http://127.0.0.1:PORT/path on the rig's stream server; path may start with '/' or not.
QString httpUrl(const QString& path);

// Records the null sink's monitor for that long and returns the RMS level, 0 (silence) .. 1 (full scale);
// a negative value when recording failed.
double sinkLevel(int milliseconds);

// Levels that tell sound from silence on the null sink (which carries exact zeros when nothing plays).
constexpr double soundLevel = 0.01;
constexpr double silenceLevel = 0.001;

// Records in short windows until one is above soundLevel (below silenceLevel) or the time is up.
bool waitForSound(int timeoutMs);
bool waitForSilence(int timeoutMs);

// What the window manager says about a top-level window, by its X window id (QWidget::winId() of a
// shown top-level widget): these read properties of the client window, not of the manager's frame.
QMargins frameExtents(WId window); // _NET_FRAME_EXTENTS; null margins when not set
QRect workArea();                  // _NET_WORKAREA of the current desktop; null when not set
bool inClientList(WId window);     // listed in _NET_CLIENT_LIST
QStringList wmState(WId window);   // _NET_WM_STATE atom names, e.g. "_NET_WM_STATE_ABOVE"
bool isAbove(WId window);          // _NET_WM_STATE_ABOVE
bool isHidden(WId window);         // _NET_WM_STATE_HIDDEN
WId trayOwner();                   // owner of _NET_SYSTEM_TRAY_S0, 0 when there is no tray
// Mapped windows directly inside a native window (Qt keeps an unmapped helper window in some); -1 on error.
int shownChildWindows(WId window);

} // namespace orvane::test
