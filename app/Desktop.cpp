#include "app/Desktop.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QWidget>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdlib>

namespace orvane {

QRect primaryWorkArea()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

QRect workAreaOf(const QWidget* window)
{
    const QScreen* screen = window->screen();
    return screen ? screen->availableGeometry() : primaryWorkArea();
}

namespace {

Display* x11Display()
{
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

bool readFrameExtents(Display* display, Window window, QMargins* margins)
{
    const Atom property = XInternAtom(display, "_NET_FRAME_EXTENTS", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    const int result = XGetWindowProperty(display, window, property, 0, 4, False, XA_CARDINAL, &type, &format, &count,
                                          &remaining, &data);
    const bool ok = result == Success && type == XA_CARDINAL && format == 32 && count == 4;
    if (ok) {
        const auto* values = reinterpret_cast<const long*>(data);
        *margins = QMargins(int(values[0]), int(values[2]), int(values[1]), int(values[3]));
    }
    if (data)
        XFree(data);
    return ok;
}

// _NET_REQUEST_FRAME_EXTENTS: the window manager sets _NET_FRAME_EXTENTS on a window it has not mapped yet.
QMargins askWindowManager(QWidget* window)
{
    Display* display = x11Display();
    if (!display)
        return {};
    const Window id = window->winId();
    QMargins margins;
    if (readFrameExtents(display, id, &margins))
        return margins;
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = id;
    request.xclient.message_type = XInternAtom(display, "_NET_REQUEST_FRAME_EXTENTS", False);
    request.xclient.format = 32;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &request);
    XFlush(display);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 300) {
        if (readFrameExtents(display, id, &margins))
            return margins;
        QThread::msleep(5);
    }
    return {};
}

} // namespace

QMargins frameExtents(QWidget* window)
{
    // Qt learns the frame when the window is first mapped and remembers it while the window is hidden (openbox
    // drops _NET_FRAME_EXTENTS then and does not answer a request). isVisible() turns true already in the show
    // event, before the first map.
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    if (window->testAttribute(Qt::WA_Mapped) || frame != client)
        return QMargins(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                        frame.bottom() - client.bottom());
    return askWindowManager(window);
}

QSize outerSize(QWidget* window)
{
    const QMargins m = frameExtents(window);
    return window->size().grownBy(m);
}

namespace {

// Window managers differ in where they put a window that asks for a position before it is mapped (icewm
// shifts it by its title height). Once the frame is known, one move puts the frame where it was meant to go.
class FrameCorrection : public QObject {
public:
    FrameCorrection(QWidget* window, const QPoint& topLeft)
        : QObject(window)
        , m_window(window)
        , m_topLeft(topLeft)
    {
        setObjectName(QLatin1String(name));
        m_waited.start();
        startTimer(10);
    }

    static constexpr auto name = "orvaneFrameCorrection";

protected:
    void timerEvent(QTimerEvent*) override
    {
        // Qt remembers the frame of a window shown before; only a mapped window has its frame for sure.
        const bool framed = m_window->testAttribute(Qt::WA_Mapped) && m_window->frameGeometry() != m_window->geometry();
        if (framed && m_window->frameGeometry().topLeft() != m_topLeft)
            m_window->move(m_topLeft);
        if (framed || m_waited.elapsed() > 2000)
            deleteLater();
    }

private:
    QWidget* m_window;
    QPoint m_topLeft;
    QElapsedTimer m_waited;
};

} // namespace

void moveFrameTo(QWidget* window, const QPoint& topLeft)
{
    const auto pending = QLatin1String(FrameCorrection::name);
    delete window->findChild<QObject*>(pending, Qt::FindDirectChildrenOnly);
    if (window->testAttribute(Qt::WA_Mapped) && window->frameGeometry() != window->geometry()) {
        window->move(topLeft);
        return;
    }
    // Not mapped yet: place the client inside the frame the window manager announced (setGeometry asks for
    // static gravity, which places the client exactly), then check once the frame exists.
    const QMargins frame = frameExtents(window);
    window->setGeometry(QRect(topLeft + QPoint(frame.left(), frame.top()), window->size()));
    if (!frame.isNull())
        new FrameCorrection(window, topLeft);
}

QPoint snappedPosition(const QRect& frame, const QRect& workArea, int buffer)
{
    int left = frame.left();
    int top = frame.top();
    const int width = frame.width();
    const int height = frame.height();
    if (std::abs(left - workArea.left()) < buffer)
        left = workArea.left();
    if (std::abs(top - workArea.top()) < buffer)
        top = workArea.top();
    const int workRight = workArea.left() + workArea.width();
    const int workBottom = workArea.top() + workArea.height();
    if (std::abs(left + width - workRight) < buffer)
        left = workRight - width;
    if (std::abs(top + height - workBottom) < buffer)
        top = workBottom - height;
    return {left, top};
}

ScreenSnap::ScreenSnap(QWidget* window, int buffer)
    : QObject(window)
    , m_window(window)
    , m_buffer(buffer)
{
    window->installEventFilter(this);
}

bool ScreenSnap::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_window)
        return false;
    if (event->type() == QEvent::Show) {
        // The window manager settles a newly shown window with moves of its own (reparenting, our frame
        // correction); only the user's moves after that are snapped.
        m_shown.start();
    } else if (event->type() == QEvent::Resize) {
        m_lastSize = m_window->frameGeometry().size();
    } else if (event->type() == QEvent::Move && event->spontaneous() && m_shown.isValid() &&
               m_shown.elapsed() > settleMs && m_window->testAttribute(Qt::WA_Mapped)) {
        const QRect frame = m_window->frameGeometry();
        if (frame.size() == m_lastSize) {
            const QPoint target = snappedPosition(frame, workAreaOf(m_window), m_buffer);
            if (target != frame.topLeft())
                m_window->move(target);
        }
        m_lastSize = frame.size();
    }
    return false;
}

} // namespace orvane
