// The Control panel on the headless desktop: placement, volume, play and stop, hiding, size, a screenshot.
#include "support/Rig.h"

#include "app/OrvaneApplication.h"
#include "app/Unit1.h"
#include "control/ChannelCatalogue.h"
#include "control/Unit2.h"
#include "player/WMPLib_TLB.h"
#include "support/FaultEngine.h"

#include <QDir>
#include <QElapsedTimer>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSlider>
#include <QStyleOptionSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QWindow>

#include <X11/Xlib.h>

#include <memory>

using namespace orvane;

namespace {

Display* xDisplay()
{
    return qApp->nativeInterface<QNativeInterface::QX11Application>()->display();
}

// The client area in root coordinates as the X server has it.
QRect clientRect(QWidget* window)
{
    Display* display = xDisplay();
    XSync(display, False);
    Window root = 0;
    Window child = 0;
    int x = 0;
    int y = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned border = 0;
    unsigned depth = 0;
    XGetGeometry(display, window->winId(), &root, &x, &y, &width, &height, &border, &depth);
    XTranslateCoordinates(display, window->winId(), root, 0, 0, &x, &y, &child);
    return QRect(x, y, int(width), int(height));
}

// The window with the frame the window manager put around it.
QRect outerRect(QWidget* window)
{
    return clientRect(window).marginsAdded(test::frameExtents(window->winId()));
}

void xdotool(const QStringList& arguments)
{
    QCOMPARE(QProcess::execute(QStringLiteral("xdotool"), arguments), 0);
}

QStringList at(const QPoint& global)
{
    return {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(global.x()),
            QString::number(global.y())};
}

void doubleClick(QWidget* widget, const QPoint& local)
{
    xdotool(at(widget->mapToGlobal(local)) + QStringList{"click", "--repeat", "2", "--delay", "80", "1"});
}

void click(QWidget* widget)
{
    xdotool(at(widget->mapToGlobal(widget->rect().center())) + QStringList{"click", "1"});
}

// Drags the window by its title bar until its frame's top-left corner lies at the given point.
void dragTitleBar(QWidget* window, const QPoint& frameTopLeft)
{
    const QRect outer = outerRect(window);
    const QPoint grip(outer.width() / 2, test::frameExtents(window->winId()).top() / 2);
    xdotool(at(outer.topLeft() + grip) + QStringList{"mousedown", "1"});
    xdotool(at((outer.topLeft() + frameTopLeft) / 2 + grip));
    xdotool(at(frameTopLeft + grip));
    xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
}

void key(const QString& name)
{
    xdotool({QStringLiteral("key"), name});
}

// Like test::waitForSound/waitForSilence, but the loop runs between the recordings, so that input sent to the
// panel meanwhile is handled.
bool waitForLevel(bool sound, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    do {
        QTest::qWait(20);
        const double level = test::sinkLevel(200);
        if (sound ? level > test::soundLevel : (level >= 0 && level < test::silenceLevel))
            return true;
    } while (waited.elapsed() < timeoutMs);
    return false;
}

QPoint handleCentre(QSlider* slider)
{
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = slider->sliderPosition();
    option.sliderValue = slider->value();
    option.subControls = QStyle::SC_SliderHandle;
    return slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider).center();
}

// The main window with its player, and the panel, as start-up makes them.
struct Panel {
    explicit Panel(bool faultEngine)
    {
        if (faultEngine)
            FaultEngine::install();
        else
            TWindowsMediaPlayer::setEngineFactory({});
        main = std::make_unique<Tmain_form>();
        main_form = main.get();
        engine = faultEngine ? FaultEngine::current() : nullptr;
        control = std::make_unique<Tcontrol_form>();
        control_form = control.get();
    }
    ~Panel()
    {
        control_form = nullptr;
        control.reset();
        main_form = nullptr;
        main.reset();
        TWindowsMediaPlayer::setEngineFactory({});
    }
    // Shown, active, and managed by the window manager, which has placed its frame where Qt has it.
    // Hidden, and Qt has taken note that the panel lost the focus, as it has by the time a person shows it again
    // (shown at once, Qt 6.4 finds its window still focused and never makes it the active window again).
    void hide()
    {
        control->hide();
        QTRY_VERIFY(QGuiApplication::focusWindow() != control->windowHandle());
        // Shown again before the window manager has taken the window off its list, it may not be activated.
        QTRY_VERIFY(!test::inClientList(control->winId()));
    }
    bool showAndActivate()
    {
        control->showPanel();
        if (!QTest::qWaitForWindowActive(control.get()))
            return false;
        const WId id = control->winId();
        return QTest::qWaitFor(
            [&] { return test::inClientList(id) && outerRect(control.get()) == control->frameGeometry(); });
    }

    std::unique_ptr<Tmain_form> main;
    std::unique_ptr<Tcontrol_form> control;
    FaultEngine* engine = nullptr;
};

// Accepts the error boxes that open meanwhile and keeps what they said.
class BoxWatcher : public QObject {
public:
    BoxWatcher()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->windowTitle() + QStringLiteral(": ") + box->text();
                box->accept();
            }
        });
        m_timer.start(20);
    }
    QStringList texts;

private:
    QTimer m_timer;
};

} // namespace

class TestControlPanel : public QObject {
    Q_OBJECT
private slots:
    void init();
    void placementAtWorkAreaCorner();
    void showReadsVolume_data();
    void showReadsVolume();
    void showFailure_data();
    void showFailure();
    void volumeNotifications();
    void playRule();
    void refusedResize();
    void hideAndShowKeepState();
    void screenshot();
    void doubleClickPlays();
    void sliderSetsVolume();
    void stopSilences();
};

void TestControlPanel::init()
{
    if (!test::inRig())
        QSKIP("needs the headless desktop (tests/rig/rig.sh)");
}

// The outer frame's bottom-right corner goes onto the work area's, with the taskbar below or on the right; a
// position the user gave is forgotten by the next show, and a show of a visible panel neither reads nor moves.
void TestControlPanel::placementAtWorkAreaCorner()
{
    Panel panel(true);
    QVERIFY(panel.showAndActivate());
    const QRect work = test::workArea();
    QVERIFY(!work.isNull());
    QTRY_COMPARE(outerRect(panel.control.get()).bottomRight(), work.bottomRight());
    qInfo().noquote() << "layout" << qEnvironmentVariable("ORVANE_RIG_LAYOUT") << "work area" << work << "frame"
                      << outerRect(panel.control.get()) << "extents" << test::frameExtents(panel.control->winId());

    // Moved by the user, by its title bar.
    dragTitleBar(panel.control.get(), QPoint(120, 90));
    QTRY_COMPARE(outerRect(panel.control.get()).topLeft(), QPoint(120, 90));
    const int reads = panel.engine->calls(FaultEngine::Op::GetVolume);
    panel.control->showPanel();
    QTest::qWait(200);
    QCOMPARE(outerRect(panel.control.get()).topLeft(), QPoint(120, 90));
    QCOMPARE(panel.engine->calls(FaultEngine::Op::GetVolume), reads);

    panel.hide();
    QVERIFY(panel.showAndActivate());
    QCOMPARE(panel.engine->calls(FaultEngine::Op::GetVolume), reads + 1);
    QTRY_COMPARE(outerRect(panel.control.get()).bottomRight(), work.bottomRight());
}

void TestControlPanel::showReadsVolume_data()
{
    QTest::addColumn<int>("sliderBefore");
    QTest::addColumn<int>("playerVolume");
    QTest::addColumn<int>("sliderAfter");
    QTest::addColumn<QList<int>>("written");

    QTest::newRow("equal") << 0 << 0 << 0 << QList<int>{};
    QTest::newRow("different") << 0 << 37 << 37 << QList<int>{37};
    QTest::newRow("above the range") << 0 << 150 << 100 << QList<int>{100};
    QTest::newRow("below the range") << 50 << -5 << 0 << QList<int>{0};
    QTest::newRow("below the range, slider at 0") << 0 << -5 << 0 << QList<int>{};
}

// Showing reads the volume once; only a slider that moves writes it back, once, clamped.
void TestControlPanel::showReadsVolume()
{
    QFETCH(int, sliderBefore);
    QFETCH(int, playerVolume);
    Panel panel(true);
    panel.control->tbVolume->setValue(sliderBefore);
    panel.engine->volumesWritten.clear();
    panel.engine->volume = playerVolume;

    QVERIFY(panel.showAndActivate());
    QCOMPARE(panel.engine->calls(FaultEngine::Op::GetVolume), 1);
    QTEST(panel.control->tbVolume->value(), "sliderAfter");
    QTEST(panel.engine->volumesWritten, "written");
}

void TestControlPanel::showFailure_data()
{
    QTest::addColumn<FaultEngine::Op>("failing");
    QTest::addColumn<int>("sliderAfter");

    QTest::newRow("reading the volume") << FaultEngine::Op::GetVolume << 0;
    QTest::newRow("writing it back") << FaultEngine::Op::PutVolume << 37;
}

// A failing player call in the show handler: the error box, the panel shown all the same, and not placed: the
// first time it stands at the design position, the work area's top-left corner here.
void TestControlPanel::showFailure()
{
    QFETCH(FaultEngine::Op, failing);
    Panel panel(true);
    panel.engine->volume = 37;
    panel.engine->setResult(failing, hr::fail, QStringLiteral("The volume is out of reach"));

    BoxWatcher boxes;
    panel.control->showPanel();
    QTRY_COMPARE(boxes.texts, QStringList{"Orvane 2.0: The volume is out of reach."});
    QVERIFY(QTest::qWaitForWindowExposed(panel.control.get()));
    QTEST(panel.control->tbVolume->value(), "sliderAfter");
    QTest::qWait(200);
    QCOMPARE(outerRect(panel.control.get()).topLeft(), test::workArea().topLeft());
    QCOMPARE(boxes.texts.size(), 1);
}

// Each change of the slider writes the volume, and the end of a key press, a click or a drag writes it once
// more, also when nothing changed then. The value shows in a tip while the thumb is dragged.
void TestControlPanel::volumeNotifications()
{
    Panel panel(true);
    panel.engine->volume = 50;
    QVERIFY(panel.showAndActivate());
    QSlider* slider = panel.control->tbVolume;
    slider->setFocus();
    QTRY_VERIFY(slider->hasFocus());
    QList<int>& written = panel.engine->volumesWritten;

    const struct {
        const char* key;
        QList<int> writes;
    } keys[] = {{"Right", {51, 51}}, {"End", {100, 100}}, {"Right", {100}}, {"Left", {99, 99}}};
    for (const auto& step : keys) {
        written.clear();
        key(QString::fromLatin1(step.key));
        QTRY_COMPARE(written, step.writes);
    }

    // A click on the groove left of the thumb: one page step, then the end.
    written.clear();
    xdotool(at(slider->mapToGlobal(QPoint(3, slider->height() / 2))) + QStringList{"click", "1"});
    QTRY_COMPARE(written, (QList<int>{98, 98}));

    // A drag to the left: every step on the way, then the final value once more.
    written.clear();
    const QPoint start = slider->mapToGlobal(handleCentre(slider));
    xdotool(at(start) + QStringList{"mousedown", "1"});
    QTRY_VERIFY(slider->isSliderDown());
    for (int dx = 8; dx <= 48; dx += 8) {
        const int before = slider->sliderPosition();
        xdotool(at(start - QPoint(dx, 0)));
        QTRY_VERIFY(slider->sliderPosition() < before);
    }
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QString::number(slider->value()));
    xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
    QTRY_VERIFY(!slider->isSliderDown());
    const int final = slider->value();
    QVERIFY(final < 98);
    QVERIFY2(written.size() >= 3, qPrintable(QString::number(written.size())));
    QCOMPARE(written.mid(written.size() - 2), (QList<int>{final, final}));
    for (qsizetype i = 1; i + 1 < written.size(); ++i)
        QVERIFY(written[i] < written[i - 1]);
    QVERIFY(!QToolTip::isVisible());
}

// A double-click hands the selected line's location to the player character for character, or the empty text
// for a line without a name; without a selection nothing. Stop closes and keeps the selection.
void TestControlPanel::playRule()
{
    Panel panel(true);
    const QString tricky = QStringLiteral("MMS://h/scc tv?x=1&amp;y= ");
    panel.control->loadCatalogue(ChannelCatalogue({QStringLiteral("SCC TV=") + tricky, QStringLiteral("=mms://h/a"),
                                                   QStringLiteral("국회방송 mms://h/b"), QStringLiteral("이름=")},
                                                  {}, {}));
    QVERIFY(panel.showAndActivate());
    QListWidget* list = panel.control->tvList;
    const auto row = [list](int index) { return list->visualItemRect(list->item(index)).center(); };
    const QPoint below(list->viewport()->width() / 2, list->viewport()->height() - 5);

    doubleClick(list->viewport(), below);
    QTest::qWait(300);
    QCOMPARE(panel.engine->calls(FaultEngine::Op::PutUrl), 0);

    const struct {
        int index;
        QString url;
    } cases[] = {{0, tricky}, {1, QString()}, {2, QString()}, {3, QString()}, {0, tricky}};
    int puts = 0;
    for (const auto& c : cases) {
        panel.engine->lastUrl = QStringLiteral("unset");
        doubleClick(list->viewport(), row(c.index));
        ++puts;
        QTRY_COMPARE(panel.engine->calls(FaultEngine::Op::PutUrl), puts);
        QCOMPARE(panel.engine->lastUrl, c.url);
        QCOMPARE(list->currentRow(), c.index);
    }

    click(panel.control->btnStop);
    QTRY_COMPARE(panel.engine->calls(FaultEngine::Op::Close), 1);
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(0)});
    doubleClick(list->viewport(), row(0));
    ++puts;
    QTRY_COMPARE(panel.engine->calls(FaultEngine::Op::PutUrl), puts);
    QCOMPARE(panel.engine->lastUrl, tricky);
}

// Neither the window manager nor a drag of the frame changes the panel's size.
void TestControlPanel::refusedResize()
{
    Panel panel(true);
    QVERIFY(panel.showAndActivate());
    Tcontrol_form* form = panel.control.get();
    dragTitleBar(form, QPoint(300, 150));
    QTRY_COMPARE(outerRect(form).topLeft(), QPoint(300, 150));
    const QSize client(200, 350);
    QCOMPARE(clientRect(form).size(), client);

    xdotool(
        {QStringLiteral("windowsize"), QString::number(form->winId()), QStringLiteral("320"), QStringLiteral("480")});
    const QRect outer = outerRect(form);
    const QPoint corner = outer.bottomRight() - QPoint(1, 1);
    xdotool(at(corner) + QStringList{"mousedown", "1"});
    xdotool(at(corner + QPoint(30, 20)));
    xdotool(at(corner + QPoint(60, 40)));
    xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
    QTest::qWait(500);
    QCOMPARE(clientRect(form).size(), client);
    QCOMPARE(form->size(), client);
}

// Hide and the close box only hide; the next show finds the page, selection, scroll position and focus as they
// were. The first activation puts the focus on Hide. Playback is not touched.
void TestControlPanel::hideAndShowKeepState()
{
    Panel panel(true);
    Tcontrol_form* form = panel.control.get();
    QVERIFY(panel.showAndActivate());
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form->btnHide));

    form->PageControl->setCurrentIndex(1);
    form->radioList->setCurrentRow(30);
    form->radioList->scrollToBottom();
    form->radioList->setFocus();
    QTRY_VERIFY(form->radioList->hasFocus());
    const int scroll = form->radioList->verticalScrollBar()->value();
    QVERIFY(scroll > 0);

    // A click on Hide gives the button the focus, as any click on a button does; the close box leaves it.
    const struct {
        std::function<void()> hide;
        QWidget* focus;
    } hiders[] = {{[form] { click(form->btnHide); }, form->btnHide},
                  {[form] {
                       QProcess::execute(QStringLiteral("wmctrl"),
                                         {QStringLiteral("-i"), QStringLiteral("-c"), QString::number(form->winId())});
                   },
                   form->radioList}};
    for (const auto& hider : hiders) {
        form->radioList->setFocus();
        QTRY_VERIFY(form->radioList->hasFocus());
        hider.hide();
        QTRY_VERIFY(!form->isVisible());
        QTRY_VERIFY(QGuiApplication::focusWindow() != form->windowHandle());
        QVERIFY(panel.showAndActivate());
        QCOMPARE(form->PageControl->currentWidget(), form->tRadio);
        QCOMPARE(form->radioList->selectedItems(), QList<QListWidgetItem*>{form->radioList->item(30)});
        QCOMPARE(form->radioList->verticalScrollBar()->value(), scroll);
        QTRY_COMPARE(QApplication::focusWidget(), hider.focus);
    }
    QCOMPARE(panel.engine->calls(FaultEngine::Op::Close), 0);
    QCOMPARE(panel.engine->calls(FaultEngine::Op::PutUrl), 0);
}

// The panel as the desktop shows it, Hangul names and a selected row, for a person to look at.
void TestControlPanel::screenshot()
{
    Panel panel(true);
    QVERIFY(panel.showAndActivate());
    panel.control->tvList->setCurrentRow(2);
    panel.control->tvList->setFocus();
    QTest::qWait(300);
    const QRect outer = outerRect(panel.control.get());
    const QPixmap shot =
        QGuiApplication::primaryScreen()->grabWindow(0, outer.x(), outer.y(), outer.width(), outer.height());
    const QString dir = qEnvironmentVariable("ORVANE_BINARY_DIR", QDir::tempPath()) + QStringLiteral("/screenshots");
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(shot.save(dir + QStringLiteral("/control.png")));
}

// With the real player and the loopback stream: a line without a name plays the empty location, silence; a
// named line plays at once.
void TestControlPanel::doubleClickPlays()
{
    Panel panel(false);
    panel.main->show();
    panel.control->loadCatalogue(
        ChannelCatalogue({QStringLiteral("=") + test::httpUrl(QStringLiteral("/tone/880.mp3")),
                          QStringLiteral("Tone 440=") + test::httpUrl(QStringLiteral("/tone/440.mp3"))},
                         {}, {}));
    QVERIFY(panel.showAndActivate());
    QListWidget* list = panel.control->tvList;
    const auto row = [list](int index) { return list->visualItemRect(list->item(index)).center(); };

    doubleClick(list->viewport(), row(0));
    QTRY_COMPARE(list->currentRow(), 0);
    QVERIFY(!waitForLevel(true, 2000));
    doubleClick(list->viewport(), row(1));
    QVERIFY(waitForLevel(true, 10000));
}

// With the real player: the slider at 0 silences, at 100 it sounds again, and the player holds the value.
void TestControlPanel::sliderSetsVolume()
{
    Panel panel(false);
    panel.main->show();
    QVERIFY(panel.showAndActivate());
    panel.main->WMP->setURL(test::httpUrl(QStringLiteral("/tone/440.mp3")));
    QVERIFY(waitForLevel(true, 10000));
    panel.control->tbVolume->setFocus();
    QTRY_VERIFY(panel.control->tbVolume->hasFocus());

    key(QStringLiteral("Home"));
    QTRY_COMPARE(panel.main->WMP->settings()->volume(), 0);
    QVERIFY(waitForLevel(false, 5000));
    key(QStringLiteral("End"));
    QTRY_COMPARE(panel.main->WMP->settings()->volume(), 100);
    QVERIFY(waitForLevel(true, 5000));
}

// With the real player: Stop silences the stream and the panel stays as it was.
void TestControlPanel::stopSilences()
{
    Panel panel(false);
    panel.main->show();
    panel.control->loadCatalogue(
        ChannelCatalogue({QStringLiteral("Tone 440=") + test::httpUrl(QStringLiteral("/tone/440.mp3"))}, {}, {}));
    QVERIFY(panel.showAndActivate());
    QListWidget* list = panel.control->tvList;
    doubleClick(list->viewport(), list->visualItemRect(list->item(0)).center());
    QVERIFY(waitForLevel(true, 10000));
    click(panel.control->btnStop);
    QVERIFY(waitForLevel(false, 5000));
    QVERIFY(panel.control->isVisible());
    QCOMPARE(list->currentRow(), 0);
}

int main(int argc, char** argv)
{
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    OrvaneApplication app(argc, argv);
    app.setTitle(QStringLiteral("Orvane 2.0"));
    TestControlPanel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_controlpanel.moc"
