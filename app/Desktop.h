#pragma once

#include <QElapsedTimer>
#include <QMargins>
#include <QObject>
#include <QRect>

class QWidget;

namespace orvane {

// The desktop area not covered by the taskbar and other docked bars, of the primary screen.
QRect primaryWorkArea();
// The same for the screen a window stands on.
QRect workAreaOf(const QWidget* window);

// The window manager's frame around a top-level window (title bar and borders). Before the window is first
// mapped Qt does not know it yet, so the window manager is asked for it; zero margins without one.
QMargins frameExtents(QWidget* window);
// The size of the window with its frame.
QSize outerSize(QWidget* window);
// Moves the window so that its outer frame's top-left corner lies at the given point.
void moveFrameTo(QWidget* window, const QPoint& topLeft);

// Where a window's frame goes when edge snapping applies: each edge closer than `buffer` pixels to the same
// edge of the work area is put onto it, tested left, top, right, bottom, so right and bottom win.
QPoint snappedPosition(const QRect& frame, const QRect& workArea, int buffer);

// Snaps a top-level window to the edges of its work area whenever it is moved without being resized.
class ScreenSnap : public QObject {
    Q_OBJECT
public:
    ScreenSnap(QWidget* window, int buffer);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static constexpr int settleMs = 500;
    QWidget* m_window;
    int m_buffer;
    QSize m_lastSize;
    QElapsedTimer m_shown;
};

} // namespace orvane
