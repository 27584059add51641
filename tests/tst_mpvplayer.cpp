// The real player over libmpv on the rig's desktop: streams from the rig's loopback server, sound checked on
// its null sink.
#include "support/Rig.h"

#include "player/MpvEngine.h"
#include "player/WMPLib_TLB.h"

#include <QMenu>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace orvane;
using namespace orvane::test;

namespace {
constexpr int startTimeoutMs = 20000;
constexpr int soundTimeoutMs = 15000;

// The sink's level over the last part of a recording made while this thread's event loop keeps running
// (the player's events are handled on it); negative when recording failed.
double levelWithEventsRunning(int milliseconds)
{
    constexpr int rate = 8000;
    QProcess recorder;
    recorder.start(QStringLiteral("parec"), {QStringLiteral("--device=") + qEnvironmentVariable("ORVANE_SINK_MONITOR"),
                                             QStringLiteral("--format=s16le"), QStringLiteral("--channels=1"),
                                             QStringLiteral("--rate=%1").arg(rate), QStringLiteral("--latency-msec=20"),
                                             QStringLiteral("--raw")});
    if (!recorder.waitForStarted(5000))
        return -1;
    QTest::qWait(milliseconds);
    recorder.terminate();
    recorder.waitForFinished(5000);
    const QByteArray samples = recorder.readAllStandardOutput();
    const qsizetype count = qMin<qsizetype>(samples.size() / 2, qsizetype(rate) * milliseconds / 2000);
    if (count <= 0)
        return -1;
    const auto* data = reinterpret_cast<const qint16*>(samples.constData() + samples.size() / 2 * 2) - count;
    double sum = 0;
    for (qsizetype i = 0; i < count; ++i)
        sum += double(data[i]) * data[i] / (32768.0 * 32768.0);
    return std::sqrt(sum / double(count));
}
} // namespace

class TestMpvPlayer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void icyStreamPlaysWithTitle();
    void volumeZeroSilences();
    void closeStops();
    void newLocationReplacesPlaying();
    void unreachableLocation();
    void emptyLocation();
    void upperCaseScheme();
    void hiddenWindowKeepsSound();
    void menuOpensOverVideo();
    void endedStreamReconnects();

private:
    QString status() const { return m_player->status(); }
    bool statusStartsWith(const QString& prefix) const { return status().startsWith(prefix); }
    // A local clip with a moving picture and a tone; empty when it could not be made.
    QString videoClip();

    std::unique_ptr<TWindowsMediaPlayer> m_player;
    QTemporaryDir m_media;
};

void TestMpvPlayer::initTestCase()
{
    if (!inRig())
        QSKIP("needs the rig (tests/rig/rig.sh)");
    TWindowsMediaPlayer::setEngineFactory({});
}

void TestMpvPlayer::init()
{
    // Nothing of an earlier case may still sound.
    QVERIFY(waitForSilence(10000));
    m_player = std::make_unique<TWindowsMediaPlayer>();
    m_player->resize(249, 198);
    m_player->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_player.get()));
    QCOMPARE(status(), QStringLiteral("Ready"));
}

void TestMpvPlayer::cleanup()
{
    m_player.reset();
}

void TestMpvPlayer::icyStreamPlaysWithTitle()
{
    m_player->setURL(httpUrl("/icy.mp3"));
    QVERIFY(waitForSound(soundTimeoutMs));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing: Orvane Test Title "), startTimeoutMs);
    QCOMPARE(m_player->settings()->volume(), 100);
}

void TestMpvPlayer::volumeZeroSilences()
{
    m_player->setURL(httpUrl("/icy.mp3"));
    QVERIFY(waitForSound(soundTimeoutMs));
    m_player->settings()->setVolume(0);
    QCOMPARE(m_player->settings()->volume(), 0);
    QVERIFY(waitForSilence(soundTimeoutMs));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), startTimeoutMs);
    m_player->settings()->setVolume(60);
    QVERIFY(waitForSound(soundTimeoutMs));
}

void TestMpvPlayer::closeStops()
{
    m_player->setURL(httpUrl("/icy.mp3"));
    QVERIFY(waitForSound(soundTimeoutMs));
    m_player->close();
    QCOMPARE(status(), QStringLiteral("Stopped"));
    QVERIFY(waitForSilence(soundTimeoutMs));
    // Late events of the stopped stream change nothing.
    QTest::qWait(500);
    QCOMPARE(status(), QStringLiteral("Stopped"));
}

void TestMpvPlayer::newLocationReplacesPlaying()
{
    m_player->setURL(httpUrl("/tone/440.mp3"));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing: Tone 440 Hz"), startTimeoutMs);
    m_player->setURL(httpUrl("/tone/880.mp3"));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing: Tone 880 Hz"), startTimeoutMs);
    QVERIFY(waitForSound(soundTimeoutMs));
}

void TestMpvPlayer::unreachableLocation()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 closedPort = probe.serverPort();
    probe.close();

    m_player->setURL(QStringLiteral("http://127.0.0.1:%1/live").arg(closedPort));
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Cannot play: Connection refused"), startTimeoutMs);
    m_player->setURL(httpUrl("/status/404"));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Cannot play: HTTP error 404"), startTimeoutMs);
    // The player is still fine for the next station.
    m_player->setURL(httpUrl("/icy.mp3"));
    QVERIFY(waitForSound(soundTimeoutMs));
}

void TestMpvPlayer::emptyLocation()
{
    m_player->setURL(httpUrl("/icy.mp3"));
    QVERIFY(waitForSound(soundTimeoutMs));
    m_player->setURL(QString());
    QCOMPARE(status(), QStringLiteral("Nothing to play"));
    QVERIFY(waitForSilence(soundTimeoutMs));
    QTest::qWait(500);
    QCOMPARE(status(), QStringLiteral("Nothing to play"));
}

void TestMpvPlayer::upperCaseScheme()
{
    m_player->setURL(httpUrl("/icy.mp3").replace(QLatin1String("http://"), QLatin1String("HTTP://")));
    QVERIFY(waitForSound(soundTimeoutMs));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), startTimeoutMs);
}

// Hidden in the tray the window gets no paints; a clip with video must go on sounding all the same.
void TestMpvPlayer::hiddenWindowKeepsSound()
{
    const QString clip = videoClip();
    QVERIFY(!clip.isEmpty());
    m_player->setURL(clip);
    QVERIFY(waitForSound(soundTimeoutMs));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), startTimeoutMs);
    m_player->hide();
    // Long past any audio buffer: a stalled video output would have silenced it by now.
    for (int i = 0; i < 4; ++i) {
        const double level = levelWithEventsRunning(2000);
        QVERIFY2(level > soundLevel, qPrintable(QString::number(level)));
    }
    QVERIFY(statusStartsWith("Playing"));
}

// libmpv shows the picture in a window of its own inside the player; a right click there still opens our menu.
void TestMpvPlayer::menuOpensOverVideo()
{
    const QString clip = videoClip();
    QVERIFY(!clip.isEmpty());
    QMenu menu;
    menu.addAction(QStringLiteral("Close"));
    m_player->setPopupMenu(&menu);
    m_player->setURL(clip);
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), startTimeoutMs);
    // The picture is up once libmpv's window is shown inside the player's area.
    auto* area = m_player->findChild<MpvVideoArea*>();
    QVERIFY(area);
    QTRY_VERIFY_WITH_TIMEOUT(shownChildWindows(area->winId()) > 0, startTimeoutMs);

    const QPoint centre = m_player->mapToGlobal(m_player->rect().center());
    QCOMPARE(QProcess::execute(QStringLiteral("xdotool"),
                               {QStringLiteral("mousemove"), QString::number(centre.x()), QString::number(centre.y()),
                                QStringLiteral("click"), QStringLiteral("3")}),
             0);
    QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), 5000);
    menu.close();
}

QString TestMpvPlayer::videoClip()
{
    if (!m_media.isValid())
        return {};
    const QString clip = m_media.filePath(QStringLiteral("video.mkv"));
    if (QFile::exists(clip))
        return clip;
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                                            "testsrc=size=320x240:rate=25:duration=40", "-f", "lavfi", "-i",
                                            "sine=f=660:d=40", "-c:v", "mpeg4", "-c:a", "mp2", clip});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return {};
    return clip;
}

// A live stream that ends is opened again; a new location cancels a pending retry at once.
void TestMpvPlayer::endedStreamReconnects()
{
    m_player->setURL(httpUrl("/drop?s=3"));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), startTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Reconnecting (1 of "), startTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), startTimeoutMs);
    QVERIFY(waitForSound(soundTimeoutMs));

    // A few seconds of play are no recovery: the count goes on.
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Reconnecting (2 of "), startTimeoutMs);
    m_player->setURL(QString());
    QCOMPARE(status(), QStringLiteral("Nothing to play"));
    QVERIFY(waitForSilence(soundTimeoutMs));
    QTest::qWait(2500);
    QCOMPARE(status(), QStringLiteral("Nothing to play"));
}

QTEST_MAIN(TestMpvPlayer)
#include "tst_mpvplayer.moc"
