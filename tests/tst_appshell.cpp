// The application shell's rules that need no desktop: the error box and edge snapping.
#include "app/Desktop.h"
#include "app/OrvaneApplication.h"
#include "player/WMPLib_TLB.h"

#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <algorithm>

using namespace orvane;

class TestAppShell : public QObject {
    Q_OBJECT
private slots:
    void boxText_data();
    void boxText();
    void handlerFailureShowsOneBox();
    void snapping_data();
    void snapping();
};

void TestAppShell::boxText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "Connection refused"
                           << "Connection refused.";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("ends in period") << "Done."
                                    << "Done.";
    QTest::newRow("ends below period") << "Done,"
                                       << "Done,";
    QTest::newRow("ends in space") << "Trailing "
                                   << "Trailing ";
    QTest::newRow("ends in slash") << "a/"
                                   << "a/.";
    QTest::newRow("hangul") << QString::fromUtf8("재생 실패") << QString::fromUtf8("재생 실패.");
}

void TestAppShell::boxText()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(OrvaneApplication::boxText(text), shown);
}

// A failing handler shows the box captioned with the application title; a second failure while the box
// is open is dropped instead of stacking another box, and the loop goes on afterwards.
void TestAppShell::handlerFailureShowsOneBox()
{
    auto* app = OrvaneApplication::instance();
    app->setTitle(QStringLiteral("Orvane 2.0"));
    QStringList seen;
    int boxes = 0;
    QTimer probe;
    probe.setInterval(20);
    connect(&probe, &QTimer::timeout, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (seen.isEmpty()) {
            seen << box->windowTitle() << box->text();
            QCOMPARE(box->icon(), QMessageBox::Critical);
            QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
            // A second failure while this box is open must not open another one.
            OrvaneApplication::guarded([] { throw PlayerError(QStringLiteral("Second"), hr::fail); });
            const QWidgetList windows = QApplication::topLevelWidgets();
            boxes = int(std::count_if(windows.begin(), windows.end(),
                                      [](QWidget* w) { return qobject_cast<QMessageBox*>(w) && w->isVisible(); }));
            box->accept();
        }
    });
    probe.start();
    OrvaneApplication::guarded([] { throw PlayerError(QStringLiteral("Cannot play"), hr::fail); });
    probe.stop();
    QCOMPARE(seen, (QStringList{"Orvane 2.0", "Cannot play."}));
    QCOMPARE(boxes, 1);
}

void TestAppShell::snapping_data()
{
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QPoint>("expected");
    // Work area 0,0 1024x742; the frame is 259x229.
    QTest::newRow("19 from left snaps") << QRect(19, 300, 259, 229) << QPoint(0, 300);
    QTest::newRow("20 from left stays") << QRect(20, 300, 259, 229) << QPoint(20, 300);
    QTest::newRow("beyond left snaps") << QRect(-10, 300, 259, 229) << QPoint(0, 300);
    QTest::newRow("19 from top snaps") << QRect(300, 19, 259, 229) << QPoint(300, 0);
    QTest::newRow("19 from right snaps") << QRect(1024 - 259 - 19, 300, 259, 229) << QPoint(1024 - 259, 300);
    QTest::newRow("20 from right stays") << QRect(1024 - 259 - 20, 300, 259, 229) << QPoint(1024 - 259 - 20, 300);
    QTest::newRow("19 from bottom snaps") << QRect(300, 742 - 229 - 19, 259, 229) << QPoint(300, 742 - 229);
    QTest::newRow("corner") << QRect(5, 742 - 229 - 5, 259, 229) << QPoint(0, 742 - 229);
    QTest::newRow("middle stays") << QRect(400, 300, 259, 229) << QPoint(400, 300);
    // When both sides of a dimension qualify, right and bottom win.
    QTest::newRow("right wins over left") << QRect(10, 300, 1020, 229) << QPoint(4, 300);
    QTest::newRow("bottom wins over top") << QRect(300, 10, 259, 740) << QPoint(300, 2);
}

void TestAppShell::snapping()
{
    QFETCH(QRect, frame);
    QFETCH(QPoint, expected);
    QCOMPARE(snappedPosition(frame, QRect(0, 0, 1024, 742), 20), expected);
}

int main(int argc, char** argv)
{
    OrvaneApplication app(argc, argv);
    TestAppShell test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appshell.moc"
