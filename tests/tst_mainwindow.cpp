// The player window on a real desktop: its settings, placement, snapping, popup menu and commands.
#include "app/OrvaneApplication.h"
#include "app/Unit1.h"
#include "control/Unit2.h"
#include "player/WMPLib_TLB.h"
#include "support/FaultEngine.h"
#include "support/Rig.h"

#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>


using namespace orvane;

namespace {

void xdotool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);
}

QString id(const QWidget* window)
{
    return QString::number(window->winId());
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void windowSettings();
    void centredInWorkAreaOnFirstShow();
    void playerFillsClientAreaOnResize();
    void snapsToWorkAreaWhenMovedByWindowManager();
    void popupMenuOverVideoSurface();
    void websiteStartsBrowser();
    void websiteWithoutBrowserSaysNothing();
    void controlCommandShowsOnePanel();
};

void TestMainWindow::initTestCase()
{
    QVERIFY2(test::inRig(), "runs inside tests/rig/rig.sh");
    main_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(main_form));
    // The window manager reports the frame once it has reparented the window.
    QTRY_VERIFY(!test::frameExtents(main_form->winId()).isNull());
}

void TestMainWindow::windowSettings()
{
    QCOMPARE(main_form->windowTitle(), QStringLiteral("Orvane 2.2"));
    QCOMPARE(main_form->size(), QSize(249, 198));
    QCOMPARE(main_form->WMP->geometry(), main_form->rect());
    QVERIFY(!main_form->windowIcon().isNull());
    QTRY_VERIFY(test::isAbove(main_form->winId()));
}

void TestMainWindow::centredInWorkAreaOnFirstShow()
{
    const QRect work = test::workArea();
    QVERIFY(!work.isNull());
    const auto frame = [] { return main_form->geometry().marginsAdded(test::frameExtents(main_form->winId())); };
    QTRY_VERIFY2(std::abs(frame().center().x() - work.center().x()) <= 1 &&
                     std::abs(frame().center().y() - work.center().y()) <= 1,
                 qPrintable(QStringLiteral("frame at %1,%2").arg(frame().x()).arg(frame().y())));
}

void TestMainWindow::playerFillsClientAreaOnResize()
{
    const QSize original = main_form->size();
    for (const QSize size : {QSize(400, 300), QSize(180, 120)}) {
        main_form->resize(size);
        QTRY_COMPARE(main_form->size(), size);
        QTRY_COMPARE(main_form->WMP->geometry(), main_form->rect());
    }
    main_form->resize(original);
    QTRY_COMPARE(main_form->size(), original);
}

// A move requested through the window manager lands 15 px from the left edge and is snapped onto it;
// 40 px away it stays.
void TestMainWindow::snapsToWorkAreaWhenMovedByWindowManager()
{
    // Moves in the first moments after a window appears are the window manager's own and are not snapped.
    QTest::qWait(600);
    // xdotool places the client window; the frame's left border stands before it.
    const QRect work = test::workArea();
    const int border = test::frameExtents(main_form->winId()).left();
    xdotool({"windowmove", id(main_form), QString::number(work.left() + 40 + border), "200"});
    QTRY_COMPARE(main_form->frameGeometry().left(), work.left() + 40);
    xdotool({"windowmove", id(main_form), QString::number(work.left() + 15 + border), "200"});
    QTRY_COMPARE(main_form->frameGeometry().left(), work.left());
}

void TestMainWindow::popupMenuOverVideoSurface()
{
    QStringList captions;
    for (const QAction* action : main_form->pMenu->actions()) {
        QVERIFY(!action->isSeparator());
        QVERIFY(action->shortcut().isEmpty());
        captions << action->text();
    }
    QCOMPARE(captions, (QStringList{"Control", "Website", "Close"}));

    const QPoint inside = main_form->WMP->mapToGlobal(main_form->WMP->rect().center());
    xdotool({"mousemove", QString::number(inside.x()), QString::number(inside.y()), "click", "3"});
    QTRY_VERIFY(main_form->pMenu->isVisible());
    QVERIFY((main_form->pMenu->pos() - inside).manhattanLength() <= 4);
    main_form->pMenu->hide();
}

void TestMainWindow::websiteStartsBrowser()
{
    QTemporaryDir bin;
    const QString record = bin.filePath("args");
    QFile script(bin.filePath("xdg-open"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1'\n").arg(record).toUtf8());
    script.close();
    script.setPermissions(script.permissions() | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ':' + path);
    main_form->pmWebsite->trigger();
    qputenv("PATH", path);
    QFile args(record);
    QTRY_VERIFY(args.exists() && args.size() > 0);
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(args.readAll(), QByteArray(Tmain_form::websiteAddress) + '\n');
}

void TestMainWindow::websiteWithoutBrowserSaysNothing()
{
    QTemporaryDir empty;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", empty.path().toUtf8());
    main_form->pmWebsite->trigger();
    qputenv("PATH", path);
    QTest::qWait(300);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(main_form->isVisible());
}

void TestMainWindow::controlCommandShowsOnePanel()
{
    main_form->pmControl->trigger();
    QTRY_VERIFY(control_form->isVisible());
    main_form->pmControl->trigger();
    QVERIFY(control_form->isVisible());
    const QWidgetList windows = QApplication::topLevelWidgets();
    QCOMPARE(std::count_if(windows.begin(), windows.end(),
                           [](QWidget* w) { return qobject_cast<Tcontrol_form*>(w) != nullptr; }),
             1);
    control_form->hide();
}

int main(int argc, char** argv)
{
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    OrvaneApplication app(argc, argv);
    app.setTitle(QStringLiteral("Orvane 2.0"));
    FaultEngine::install();
    Tmain_form mainWindow;
    main_form = &mainWindow;
    Tcontrol_form controlWindow;
    control_form = &controlWindow;
    TestMainWindow test;
    const int result = QTest::qExec(&test, argc, argv);
    control_form = nullptr;
    main_form = nullptr;
    return result;
}

#include "tst_mainwindow.moc"
