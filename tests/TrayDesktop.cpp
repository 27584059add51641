#include "TrayDesktop.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <functional>

namespace orvane::test {

namespace {

int ignoreXError(Display*, XErrorEvent*)
{
    return 0;
}

Display* display()
{
    static Display* connection = XOpenDisplay(nullptr);
    return connection;
}

// Windows come and go while we look: errors about vanished windows are expected and ignored.
struct IgnoreXErrors {
    IgnoreXErrors()
        : previous(XSetErrorHandler(ignoreXError))
    {
    }
    ~IgnoreXErrors()
    {
        XSync(display(), False);
        XSetErrorHandler(previous);
    }
    int (*previous)(Display*, XErrorEvent*);
};

Atom atom(const char* name)
{
    return XInternAtom(display(), name, False);
}

QByteArray property(Window window, Atom name, Atom type, int* format = nullptr, unsigned long* items = nullptr)
{
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    QByteArray bytes;
    if (XGetWindowProperty(display(), window, name, 0, 4096, False, type, &actualType, &actualFormat, &count,
                           &remaining, &data) == Success &&
        data) {
        const int unit = actualFormat == 32 ? int(sizeof(long)) : actualFormat / 8;
        bytes = QByteArray(reinterpret_cast<const char*>(data), int(count) * unit);
    }
    if (data)
        XFree(data);
    if (format)
        *format = actualFormat;
    if (items)
        *items = count;
    return bytes;
}

bool hasProperty(Window window, Atom name)
{
    int format = 0;
    property(window, name, AnyPropertyType, &format);
    return format != 0;
}

long cardinal(Window window, Atom name, Atom type)
{
    int format = 0;
    unsigned long items = 0;
    const QByteArray bytes = property(window, name, type, &format, &items);
    return format == 32 && items > 0 ? *reinterpret_cast<const long*>(bytes.constData()) : -1;
}

QString windowName(Window window)
{
    const QByteArray utf8 = property(window, atom("_NET_WM_NAME"), atom("UTF8_STRING"));
    return utf8.isEmpty() ? QString::fromLatin1(property(window, XA_WM_NAME, XA_STRING)) : QString::fromUtf8(utf8);
}

Window parentOf(Window window)
{
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display(), window, &root, &parent, &children, &count))
        return 0;
    if (children)
        XFree(children);
    return parent;
}

QList<Window> childrenOf(Window window)
{
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    QList<Window> list;
    if (XQueryTree(display(), window, &root, &parent, &children, &count) && children)
        list = QList<Window>(children, children + count);
    if (children)
        XFree(children);
    return list;
}

// Depth-first search below `top` for the first window that satisfies `match`.
Window findBelow(Window top, const std::function<bool(Window)>& match)
{
    for (Window child : childrenOf(top)) {
        if (match(child))
            return child;
        if (Window found = findBelow(child, match))
            return found;
    }
    return 0;
}

bool ownedBy(Window window, qint64 pid)
{
    return cardinal(window, atom("_NET_WM_PID"), XA_CARDINAL) == pid;
}

bool xdotool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

WId windowNamed(qint64 pid, const QString& name)
{
    if (!display())
        return 0;
    IgnoreXErrors guard;
    return findBelow(DefaultRootWindow(display()), [&](Window w) { return ownedBy(w, pid) && windowName(w) == name; });
}

WId dockedTrayIcon(qint64 pid)
{
    if (!display())
        return 0;
    IgnoreXErrors guard;
    const Window root = DefaultRootWindow(display());
    return findBelow(root, [&](Window w) {
        // Qt marks all its windows for XEmbed: the window manager's WM_STATE tells top-levels apart, and a
        // native child sits inside a window of the same program rather than in the tray's.
        const Window parent = parentOf(w);
        return hasProperty(w, atom("_XEMBED_INFO")) && !hasProperty(w, atom("WM_STATE")) && ownedBy(w, pid) &&
               parent != root && !ownedBy(parent, pid) && isViewable(w);
    });
}

WId topLevelAncestor(WId window)
{
    if (!display())
        return 0;
    IgnoreXErrors guard;
    const Window root = DefaultRootWindow(display());
    Window current = window;
    while (current) {
        const Window parent = parentOf(current);
        if (parent == root)
            return current;
        current = parent;
    }
    return 0;
}

QRect rootGeometry(WId window)
{
    if (!display() || !window)
        return {};
    IgnoreXErrors guard;
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display(), window, &attributes))
        return {};
    int x = 0;
    int y = 0;
    Window child = 0;
    XTranslateCoordinates(display(), window, attributes.root, 0, 0, &x, &y, &child);
    return QRect(x, y, attributes.width, attributes.height);
}

bool isViewable(WId window)
{
    if (!display() || !window)
        return false;
    IgnoreXErrors guard;
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display(), window, &attributes) && attributes.map_state == IsViewable;
}

WId frameButton(WId client, const QString& name)
{
    const WId frame = topLevelAncestor(client);
    if (!frame || frame == client)
        return 0;
    IgnoreXErrors guard;
    return findBelow(frame, [&](Window w) { return w != client && windowName(w) == name; });
}

WId openPopupMenu(qint64 pid)
{
    if (!display())
        return 0;
    IgnoreXErrors guard;
    const Atom tooltip = atom("_NET_WM_WINDOW_TYPE_TOOLTIP");
    // Directly on the root, mapped and out of the window manager's hands; a tooltip is the only other such window.
    for (Window w : childrenOf(DefaultRootWindow(display()))) {
        XWindowAttributes attributes{};
        if (!ownedBy(w, pid) || !XGetWindowAttributes(display(), w, &attributes) ||
            attributes.map_state != IsViewable || !attributes.override_redirect)
            continue;
        const QByteArray types = property(w, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM);
        const auto* items = reinterpret_cast<const long*>(types.constData());
        if (!std::any_of(items, items + types.size() / int(sizeof(long)), [&](long t) { return Atom(t) == tooltip; }))
            return w;
    }
    return 0;
}

bool moveMouseTo(const QPoint& point)
{
    return xdotool({QStringLiteral("mousemove"), QString::number(point.x()), QString::number(point.y())});
}

bool hoverAt(const QPoint& point)
{
    if (!moveMouseTo(point - QPoint(1, 0)))
        return false;
    QTest::qWait(200);
    return moveMouseTo(point);
}

bool clickAt(const QPoint& point, int button, int count)
{
    // 80 ms between the clicks of a double-click: well inside the double-click interval.
    return xdotool({QStringLiteral("mousemove"), QString::number(point.x()), QString::number(point.y()),
                    QStringLiteral("click"), QStringLiteral("--repeat"), QString::number(count),
                    QStringLiteral("--delay"), QStringLiteral("80"), QString::number(button)});
}

} // namespace orvane::test
