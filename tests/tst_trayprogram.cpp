// The program as a user meets it on a desktop with a tray: the icon's menu while the window is hidden, the
// end of the session through a session manager, and a tray host that restarts.
#include "TrayDesktop.h"
#include "support/Rig.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QtTest>

using namespace orvane::test;

namespace {

const QString mainTitle = QStringLiteral("Orvane 2.2");

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 15000)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

// The centre of a popup menu's item: the three items share the menu's height.
QPoint menuItem(WId menu, int index)
{
    const QRect area = rootGeometry(menu);
    return QPoint(area.center().x(), area.top() + area.height() * (2 * index + 1) / 6);
}

// The program binary, started as a child.
class Program {
public:
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Starts it and waits for its main window on the screen and its icon in the tray.
    bool start(const QString& sessionManager = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("SESSION_MANAGER"));
        if (!sessionManager.isEmpty())
            environment.insert(QStringLiteral("SESSION_MANAGER"), sessionManager);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start(QStringLiteral(ORVANE_PROGRAM), {});
        if (!m_process.waitForStarted())
            return false;
        return waitFor([this] {
            m_window = windowNamed(pid(), mainTitle);
            return m_window && inClientList(m_window) && isViewable(m_window) && icon();
        });
    }

    qint64 pid() const { return m_process.processId(); }
    WId mainWindow() const { return m_window; }
    WId icon() const { return dockedTrayIcon(pid()); }
    bool running() const { return m_process.state() == QProcess::Running; }

    // The exit code once it has ended by itself; -1 if it did not end or crashed.
    int exitCode(int timeoutMs = 15000)
    {
        if (!m_process.waitForFinished(timeoutMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_process.exitCode();
    }

    // Right-clicks the icon and clicks the menu's item.
    bool chooseFromIconMenu(int item) const
    {
        // On the rig a right click just after the window went to the tray at times opens no menu; as a user
        // would, click again.
        WId menu = 0;
        for (int attempt = 0; attempt < 3 && !menu; ++attempt) {
            if (!clickAt(rootGeometry(icon()).center(), 3))
                return false;
            waitFor([&] { return (menu = openPopupMenu(pid())) != 0; }, 2000);
        }
        if (!menu)
            return false;
        return clickAt(menuItem(menu, item));
    }

private:
    QProcess m_process;
    WId m_window = 0;
};

// The rig's XSMP session manager (tests/rig/xsmp_manager.c), line by line.
class SessionManager {
public:
    ~SessionManager()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool start()
    {
        m_process.start(QStringLiteral(ORVANE_XSMP_MANAGER), {});
        const QString listening = waitForLine(QStringLiteral("listening "));
        address = listening.mid(int(qstrlen("listening ")));
        return !address.isEmpty();
    }

    bool send(const char* command)
    {
        return m_process.write(QByteArray(command) + '\n') > 0 && m_process.waitForBytesWritten(5000);
    }

    // The next line that starts with the prefix; every line read on the way is kept in `lines`.
    QString waitForLine(const QString& prefix, int timeoutMs = 15000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                lines << line;
                if (line.startsWith(prefix))
                    return line;
            }
            m_process.waitForReadyRead(100);
        }
        return {};
    }

    QString address;
    QStringList lines;

private:
    QProcess m_process;
};

} // namespace

class TestTrayProgram : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void iconMenuWhileHidden();
    void sessionEndAnswersYesThenDies();
    void afterCancelledShutdownCloseEnds();
    void iconComesBackAfterTrayHostRestart();
};

void TestTrayProgram::initTestCase()
{
    QVERIFY2(inRig(), "runs inside tests/rig/rig.sh");
    QVERIFY(trayOwner() != 0);
}

// The close box hides the window in the tray; from the icon's menu, Control opens the Control window without
// showing the main window, and Close ends the program with 0 while the window is hidden.
void TestTrayProgram::iconMenuWhileHidden()
{
    Program program;
    QVERIFY(program.start());
    const WId window = program.mainWindow();
    const WId close = frameButton(window, QStringLiteral("Close"));
    if (!close)
        QSKIP("needs the frame buttons of icewm");
    QVERIFY(clickAt(rootGeometry(close).center()));
    QVERIFY(waitFor([&] { return !inClientList(window) && !isViewable(window); }));
    QVERIFY(program.running());

    QVERIFY(program.chooseFromIconMenu(0));
    WId control = 0;
    QVERIFY(waitFor([&] {
        control = windowNamed(program.pid(), QStringLiteral("Control"));
        return control && inClientList(control) && isViewable(control);
    }));
    QVERIFY(!inClientList(window));
    QVERIFY(!isViewable(window));

    QVERIFY(program.chooseFromIconMenu(2));
    QCOMPARE(program.exitCode(), 0);
}

// Asked to save itself for a shutdown, the program says yes at once: no interaction, nothing hidden or
// closed. Told to die, it ends with 0.
void TestTrayProgram::sessionEndAnswersYesThenDies()
{
    SessionManager manager;
    QVERIFY(manager.start());
    Program program;
    QVERIFY(program.start(manager.address));
    QVERIFY(!manager.waitForLine(QStringLiteral("registered")).isEmpty());
    const WId window = program.mainWindow();

    QVERIFY(manager.send("save"));
    QCOMPARE(manager.waitForLine(QStringLiteral("save-done")), QStringLiteral("save-done 1"));
    QVERIFY2(!manager.lines.contains(QStringLiteral("interact-request")), qPrintable(manager.lines.join(u'|')));
    QVERIFY(program.running());
    QVERIFY(inClientList(window));
    QVERIFY(isViewable(window));

    QVERIFY(manager.send("die"));
    QCOMPARE(program.exitCode(), 0);
}

// Once the session manager has asked, the close box ends the program even if the shutdown was cancelled;
// the minimise box still hides it in the tray.
void TestTrayProgram::afterCancelledShutdownCloseEnds()
{
    SessionManager manager;
    QVERIFY(manager.start());
    Program program;
    QVERIFY(program.start(manager.address));
    QVERIFY(!manager.waitForLine(QStringLiteral("registered")).isEmpty());
    const WId window = program.mainWindow();
    const WId minimize = frameButton(window, QStringLiteral("Minimize"));
    if (!minimize)
        QSKIP("needs the frame buttons of icewm");

    QVERIFY(manager.send("save"));
    QCOMPARE(manager.waitForLine(QStringLiteral("save-done")), QStringLiteral("save-done 1"));
    QVERIFY(manager.send("cancel"));

    QVERIFY(clickAt(rootGeometry(minimize).center()));
    QVERIFY(waitFor([&] { return !inClientList(window) && !isViewable(window); }));
    QVERIFY(program.running());
    QVERIFY(clickAt(rootGeometry(program.icon()).center(), 1, 2));
    QVERIFY(waitFor([&] { return inClientList(window) && isViewable(window); }));

    WId close = 0;
    QVERIFY(waitFor([&] { return (close = frameButton(window, QStringLiteral("Close"))) != 0; }));
    QVERIFY(clickAt(rootGeometry(close).center()));
    QCOMPARE(program.exitCode(), 0);
}

// The icon goes back into the tray when the tray host starts again. The taskbar vanishes meanwhile, so this
// runs in a desktop of its own (tst_trayprogram_tray_restart).
void TestTrayProgram::iconComesBackAfterTrayHostRestart()
{
    if (!qEnvironmentVariableIsSet("ORVANE_TRAY_HOST_RESTART"))
        QSKIP("restarts the tray host: runs as tst_trayprogram_tray_restart");
    if (qEnvironmentVariable("ORVANE_RIG_LAYOUT") != QStringLiteral("icewm"))
        QSKIP("restarts icewm's tray");
    Program program;
    QVERIFY(program.start());
    const WId oldIcon = program.icon();
    const WId oldPanel = topLevelAncestor(oldIcon);

    QProcess restart;
    restart.start(QStringLiteral("icewm"), {QStringLiteral("--restart")});
    QVERIFY(restart.waitForFinished(10000));
    QCOMPARE(restart.exitCode(), 0);
    // The old tray's windows die with it: an icon docked in another window or panel sits in the new tray.
    QVERIFY(waitFor([&] {
        const WId icon = program.icon();
        return icon && (icon != oldIcon || topLevelAncestor(icon) != oldPanel);
    }));
    QVERIFY(trayOwner() != 0);
    QVERIFY(program.running());
}

QTEST_GUILESS_MAIN(TestTrayProgram)
#include "tst_trayprogram.moc"
