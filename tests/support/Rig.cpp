#include "Rig.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QVector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace orvane::test {

namespace {

constexpr int sampleRate = 44100;
constexpr int waitWindowMs = 200;

int ignoreXError(Display*, XErrorEvent*)
{
    return 0;
}

Display* display()
{
    // One connection for the test process, kept open: these are few and cheap round trips.
    static Display* connection = XOpenDisplay(nullptr);
    return connection;
}

// A property of 32-bit items (Xlib hands them over as longs); empty when absent or on error,
// e.g. for a window that no longer exists.
QVector<unsigned long> cardinals(Window window, const char* property, Atom type)
{
    QVector<unsigned long> values;
    Display* dpy = display();
    if (!dpy || !window) {
        return values;
    }
    auto previous = XSetErrorHandler(ignoreXError);
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(dpy, window, XInternAtom(dpy, property, False), 0, 1024, False, type,
                                          &actualType, &actualFormat, &count, &remaining, &data);
    XSync(dpy, False);
    XSetErrorHandler(previous);
    if (status == Success && data && actualFormat == 32) {
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        values = QVector<unsigned long>(items, items + count);
    }
    if (data) {
        XFree(data);
    }
    return values;
}

Window root()
{
    return display() ? DefaultRootWindow(display()) : 0;
}

bool waitForLevel(int timeoutMs, bool sound)
{
    QElapsedTimer timer;
    timer.start();
    do {
        const double level = sinkLevel(waitWindowMs);
        if (sound ? level > soundLevel : (level >= 0 && level < silenceLevel)) {
            return true;
        }
    } while (timer.elapsed() < timeoutMs);
    return false;
}

} // namespace

bool inRig()
{
    return qgetenv("ORVANE_RIG") == "1";
}

QString httpUrl(const QString& path)
{
    const QString port = qEnvironmentVariable("ORVANE_HTTP_PORT");
    return QStringLiteral("http://127.0.0.1:%1/%2").arg(port, path.startsWith(u'/') ? path.mid(1) : path);
}

double sinkLevel(int milliseconds)
{
    const qint64 wanted = qint64(milliseconds) * sampleRate / 1000 * 2;
    QProcess recorder;
    recorder.start(QStringLiteral("parec"), {QStringLiteral("--device=") + qEnvironmentVariable("ORVANE_SINK_MONITOR"),
                                             QStringLiteral("--format=s16le"), QStringLiteral("--channels=1"),
                                             QStringLiteral("--rate=%1").arg(sampleRate),
                                             QStringLiteral("--latency-msec=20"), QStringLiteral("--raw")});
    if (!recorder.waitForStarted(5000)) {
        return -1;
    }
    // Counted in samples, not wall time: the recorder needs a moment before data flows.
    QByteArray samples;
    QElapsedTimer timer;
    timer.start();
    while (samples.size() < wanted && timer.elapsed() < milliseconds + 5000) {
        if (recorder.waitForReadyRead(100)) {
            samples += recorder.readAllStandardOutput();
        } else if (recorder.state() != QProcess::Running) {
            break;
        }
    }
    recorder.terminate();
    if (!recorder.waitForFinished(2000)) {
        recorder.kill();
        recorder.waitForFinished(2000);
    }
    if (samples.size() < wanted) {
        return -1;
    }
    double sum = 0;
    const qint64 count = wanted / 2;
    for (qint64 i = 0; i < count; ++i) {
        std::int16_t sample;
        std::memcpy(&sample, samples.constData() + i * 2, sizeof sample);
        const double x = sample / 32768.0;
        sum += x * x;
    }
    return std::sqrt(sum / double(count));
}

bool waitForSound(int timeoutMs)
{
    return waitForLevel(timeoutMs, true);
}

bool waitForSilence(int timeoutMs)
{
    return waitForLevel(timeoutMs, false);
}

QMargins frameExtents(WId window)
{
    const auto v = cardinals(window, "_NET_FRAME_EXTENTS", XA_CARDINAL);
    if (v.size() < 4) {
        return {};
    }
    // The property's order is left, right, top, bottom.
    return QMargins(int(v[0]), int(v[2]), int(v[1]), int(v[3]));
}

QRect workArea()
{
    const auto area = cardinals(root(), "_NET_WORKAREA", XA_CARDINAL);
    const auto current = cardinals(root(), "_NET_CURRENT_DESKTOP", XA_CARDINAL);
    const qsizetype desktop = current.isEmpty() ? 0 : qsizetype(current[0]);
    if (area.size() < (desktop + 1) * 4) {
        return {};
    }
    const auto* a = area.constData() + desktop * 4;
    return QRect(int(a[0]), int(a[1]), int(a[2]), int(a[3]));
}

bool inClientList(WId window)
{
    return cardinals(root(), "_NET_CLIENT_LIST", XA_WINDOW).contains(window);
}

QStringList wmState(WId window)
{
    QStringList names;
    for (const unsigned long atom : cardinals(window, "_NET_WM_STATE", XA_ATOM)) {
        if (char* name = XGetAtomName(display(), atom)) {
            names << QString::fromLatin1(name);
            XFree(name);
        }
    }
    return names;
}

bool isAbove(WId window)
{
    return wmState(window).contains(QStringLiteral("_NET_WM_STATE_ABOVE"));
}

bool isHidden(WId window)
{
    return wmState(window).contains(QStringLiteral("_NET_WM_STATE_HIDDEN"));
}

WId trayOwner()
{
    Display* dpy = display();
    return dpy ? XGetSelectionOwner(dpy, XInternAtom(dpy, "_NET_SYSTEM_TRAY_S0", False)) : 0;
}

int shownChildWindows(WId window)
{
    Display* dpy = display();
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!dpy || !XQueryTree(dpy, Window(window), &root, &parent, &children, &count))
        return -1;
    int shown = 0;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(dpy, children[i], &attributes) && attributes.map_state != IsUnmapped)
            ++shown;
    }
    if (children)
        XFree(children);
    return shown;
}

} // namespace orvane::test
