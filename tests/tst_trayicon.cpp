// The player window's tray icon on a real desktop, in this process: the tooltip that follows the player's
// status, a status read that fails, and hiding the playing window in the tray and bringing it back.
#include "TrayDesktop.h"
#include "app/OrvaneApplication.h"
#include "app/TrayIcon.h"
#include "app/Unit1.h"
#include "player/WMPLib_TLB.h"
#include "support/FaultEngine.h"
#include "support/Rig.h"

#include <QMessageBox>
#include <QTimer>
#include <QToolTip>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace orvane;
using namespace orvane::test;

namespace {

// Bare desktop in both rig layouts: left of the centred window, away from the taskbars.
const QPoint awayFromWindows(20, 400);

qint64 ownPid()
{
    return QCoreApplication::applicationPid();
}

int visibleMessageBoxes()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    return int(std::count_if(windows.begin(), windows.end(),
                             [](QWidget* w) { return qobject_cast<QMessageBox*>(w) && w->isVisible(); }));
}

} // namespace

class TestTrayIcon : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void tooltipFollowsStatus();
    void failingStatusShowsOneBox();
    void hiddenInTrayKeepsPlaying_data();
    void hiddenInTrayKeepsPlaying();

private:
    void createMainWindow();
    std::unique_ptr<Tmain_form> m_form;
};

void TestTrayIcon::initTestCase()
{
    QVERIFY2(inRig(), "runs inside tests/rig/rig.sh");
    QVERIFY(trayOwner() != 0);
}

void TestTrayIcon::createMainWindow()
{
    m_form = std::make_unique<Tmain_form>();
    main_form = m_form.get();
}

void TestTrayIcon::cleanup()
{
    QToolTip::hideText();
    moveMouseTo(awayFromWindows);
    main_form = nullptr;
    m_form.reset();
    TWindowsMediaPlayer::setEngineFactory({});
}

// The layout's hint until the timer first fires, then the status once a second, cut to 127 characters; what
// the tray shows when the pointer rests on the icon.
void TestTrayIcon::tooltipFollowsStatus()
{
    FaultEngine::install();
    createMainWindow();
    QCOMPARE(m_form->tIcon->toolTip(), QStringLiteral("Orvane 2.2"));
    QVERIFY(m_form->Timer1->isActive());
    QCOMPARE(m_form->Timer1->interval(), 1000);
    m_form->show();
    WId icon = 0;
    QTRY_VERIFY_WITH_TIMEOUT((icon = dockedTrayIcon(ownPid())) != 0, 10000);

    const QString digits = QStringLiteral("0123456789").repeated(20);
    const struct {
        QString status;
        QString shown;
    } cases[] = {
        {QStringLiteral("Playing"), QStringLiteral("Playing")},
        {digits, digits.left(127)},
        {digits.left(127), digits.left(127)},
        {QString::fromUtf8("연결 중"), QString::fromUtf8("연결 중")},
        {QString(), QString()},
    };
    for (const auto& c : cases) {
        FaultEngine::current()->statusText = c.status;
        QTRY_COMPARE_WITH_TIMEOUT(m_form->tIcon->hint(), c.status, 5000);
        QCOMPARE(m_form->tIcon->toolTip(), c.shown);
        if (c.shown.isEmpty())
            continue;
        QVERIFY(moveMouseTo(awayFromWindows));
        QTRY_VERIFY(!QToolTip::isVisible());
        QVERIFY(hoverAt(rootGeometry(icon).center()));
        QTRY_VERIFY_WITH_TIMEOUT(QToolTip::isVisible(), 5000);
        QCOMPARE(QToolTip::text(), c.shown);
    }
}

// The error box once, captioned with the application title; behind it the timer goes on failing without
// another box and the tooltip keeps its text; once the status reads again the tooltip follows it.
void TestTrayIcon::failingStatusShowsOneBox()
{
    FaultEngine::install();
    createMainWindow();
    FaultEngine* engine = FaultEngine::current();
    engine->statusText = QStringLiteral("Playing");
    m_form->show();
    QTRY_COMPARE_WITH_TIMEOUT(m_form->tIcon->toolTip(), QStringLiteral("Playing"), 5000);

    engine->setResult(FaultEngine::Op::GetStatus, hr::fail, QStringLiteral("Status unavailable"));
    int readsAtBox = -1;
    int readsAtClose = -1;
    QElapsedTimer boxOpen;
    QStringList seen;
    int boxes = 0;
    QString toolTipBehindBox;
    bool done = false;
    QTimer probe;
    probe.setInterval(50);
    // The box runs its own loop inside the timer's handler: look at it from there.
    connect(&probe, &QTimer::timeout, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (readsAtBox < 0) {
            readsAtBox = engine->calls(FaultEngine::Op::GetStatus);
            seen << box->windowTitle() << box->text();
            boxOpen.start();
            return;
        }
        // Bounded, so that a failure here cannot leave the box open for good.
        if (!done && engine->calls(FaultEngine::Op::GetStatus) < readsAtBox + 2 && boxOpen.elapsed() < 15000)
            return;
        if (!done) {
            readsAtClose = engine->calls(FaultEngine::Op::GetStatus);
            boxes = visibleMessageBoxes();
            toolTipBehindBox = m_form->tIcon->toolTip();
            done = true;
        }
        engine->setResult(FaultEngine::Op::GetStatus, hr::ok);
        box->accept();
    });
    probe.start();
    QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
    probe.stop();
    QCOMPARE(seen, (QStringList{"Orvane 2.0", "Status unavailable."}));
    // The timer went on reading behind the box.
    QVERIFY(readsAtClose >= readsAtBox + 2);
    QCOMPARE(boxes, 1);
    QCOMPARE(toolTipBehindBox, QStringLiteral("Playing"));

    engine->statusText = QStringLiteral("Playing again");
    QTRY_COMPARE_WITH_TIMEOUT(m_form->tIcon->toolTip(), QStringLiteral("Playing again"), 5000);
}

void TestTrayIcon::hiddenInTrayKeepsPlaying_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::newRow("close box") << "Close";
    QTest::newRow("minimise box") << "Minimize";
}

// The window leaves the screen and the window manager's list while the stream plays on; a double-click on the
// icon brings it back where it was, in its normal state; another double-click keeps it there.
void TestTrayIcon::hiddenInTrayKeepsPlaying()
{
    QFETCH(QString, buttonName);
    createMainWindow();
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    const WId window = m_form->winId();
    QTRY_VERIFY(inClientList(window));
    QTRY_VERIFY(!frameExtents(window).isNull());
    WId icon = 0;
    QTRY_VERIFY_WITH_TIMEOUT((icon = dockedTrayIcon(ownPid())) != 0, 10000);
    const WId button = frameButton(window, buttonName);
    if (!button)
        QSKIP("needs the frame buttons of icewm");

    m_form->WMP->setURL(httpUrl(QStringLiteral("/icy.mp3")));
    QVERIFY(waitForSound(20000));
    const QRect before = rootGeometry(window);

    QVERIFY(clickAt(rootGeometry(button).center()));
    QTRY_VERIFY_WITH_TIMEOUT(!inClientList(window), 5000);
    QVERIFY(!m_form->isVisible());
    QVERIFY(!isViewable(window));
    QCOMPARE(dockedTrayIcon(ownPid()), icon);
    // Well after the window went away, sound still flows.
    QTest::qWait(1000);
    QVERIFY(sinkLevel(500) > soundLevel);

    QVERIFY(clickAt(rootGeometry(icon).center(), 1, 2));
    QTRY_VERIFY_WITH_TIMEOUT(inClientList(window) && isViewable(window), 5000);
    QTRY_COMPARE(rootGeometry(window), before);
    QVERIFY(!isHidden(window));
    QVERIFY(!(m_form->windowState() & Qt::WindowMinimized));
    QVERIFY(isAbove(window));

    QVERIFY(clickAt(rootGeometry(icon).center(), 1, 2));
    QTest::qWait(500);
    QVERIFY(m_form->isVisible());
    QVERIFY(inClientList(window) && isViewable(window));
    QCOMPARE(rootGeometry(window), before);
}

int main(int argc, char** argv)
{
    OrvaneApplication app(argc, argv);
    app.setTitle(QStringLiteral("Orvane 2.0"));
    TestTrayIcon test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_trayicon.moc"
