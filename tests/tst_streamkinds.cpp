// Every kind of location a station may give, served on loopback by the rig and played by the real player:
// sound on the null sink, and for video kinds a moving picture on the screen in the player's area.
#include "support/Rig.h"
#include "support/StreamRig.h"

#include "player/MpvEngine.h"
#include "player/WMPLib_TLB.h"

#include <QtTest>

using namespace orvane;
using namespace orvane::test;

namespace {
constexpr int soundTimeoutMs = 30000;
constexpr int pictureTimeoutMs = 15000;

// {http}, {mms} and {rtsp} stand for the rig's servers.
QString expanded(QString location)
{
    location.replace(QLatin1String("{http}"), httpUrl(QString()).chopped(1));
    location.replace(QLatin1String("{mms}"), mmsUrl(QString()));
    location.replace(QLatin1String("{rtsp}"), rtspUrl(QString()));
    return location;
}

// The player's area as the screen shows it, libmpv's video window inside it included.
QImage shown(QWidget* area)
{
    return area->screen()->grabWindow(area->winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

bool hasPicture(const QImage& image)
{
    for (int y = 0; y < image.height(); y += 4) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); x += 4) {
            if (qGray(line[x]) > 40)
                return true;
        }
    }
    return false;
}

} // namespace

class TestStreamKinds : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void plays_data();
    void plays();

private:
    std::unique_ptr<TWindowsMediaPlayer> m_player;
};

void TestStreamKinds::initTestCase()
{
    if (!inRig())
        QSKIP("needs the rig (tests/rig/rig.sh)");
    TWindowsMediaPlayer::setEngineFactory({});
    QString error;
    QVERIFY2(startStreamServers(&error), qPrintable(error));
}

void TestStreamKinds::init()
{
    QVERIFY(waitForSilence(10000));
    m_player = std::make_unique<TWindowsMediaPlayer>();
    m_player->resize(249, 198);
    m_player->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_player.get()));
}

void TestStreamKinds::cleanup()
{
    m_player.reset();
}

void TestStreamKinds::plays_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("video");

    QTest::newRow("http stream path") << "{http}/radio/live" << false;
    QTest::newRow("http ICY status line") << "{http}/icy/live" << false;
    QTest::newRow("http address and port, no path") << "{http}" << false;
    QTest::newRow("m3u") << "{http}/list.m3u" << false;
    QTest::newRow("pls") << "{http}/list.pls" << false;
    QTest::newRow("asx lower case, video/x-ms-asf, http ref") << "{http}/asx/lower.asx" << false;
    QTest::newRow("asx upper case, text/plain, mms ref") << "{http}/asx/upper.asx?type=text/plain" << true;
    QTest::newRow("asx, other type, first ref dead")
        << "{http}/asx/fallback.asx?type=application/octet-stream" << false;
    QTest::newRow("php script with query answering asx") << "{http}/tv/live.php?ch=1&a=&b=&id=123456789" << false;
    QTest::newRow("asp script answering asx with mms ref") << "{http}/tv/asx.asp" << true;
    QTest::newRow("asp script answering a redirect") << "{http}/radio/onair.asp" << false;
    QTest::newRow("mms stream path") << "{mms}/tv/live" << true;
    QTest::newRow("mms asf") << "{mms}/tv/bloomberg1.asf" << true;
    QTest::newRow("mms wma") << "{mms}/radio/rki.wma" << false;
    QTest::newRow("mms address and port, no path") << "{mms}" << true;
    QTest::newRow("MMS upper case, token query")
        << "{mms}/tv/live?Zm9yIHRlc3RzIG9ubHkgbm90aGluZyBlbHNlIGF0IGFsbA==x" << true;
    QTest::newRow("rtsp stream path") << "{rtsp}/tv/live" << true;
    QTest::newRow("rtsp path ending /? and a token") << "{rtsp}/rtn/?AbCdEfGh12345678/abcdefgh1234567" << true;
    QTest::newRow("hls") << "{http}/hls/live.m3u8" << true;
    QTest::newRow("space inside the path") << "{http}/scc tv/live" << false;
    QTest::newRow("location ending in a space") << "{http}/radio/power?t=AbC.d+eF " << false;
    QTest::newRow("&amp; in the query") << "{http}/radio/onnuri?1.2.3.4&amp;file=live.asf" << false;
}

void TestStreamKinds::plays()
{
    QFETCH(QString, location);
    QFETCH(bool, video);
    location = expanded(location);
    if (QByteArray(QTest::currentDataTag()).startsWith("MMS upper"))
        location.replace(0, 3, QStringLiteral("MMS"));

    SoundClock clock;
    QVERIFY(clock.start());
    auto* area = m_player->findChild<MpvVideoArea*>();
    QVERIFY(area);

    clock.mark();
    m_player->setURL(location);
    QTRY_VERIFY_WITH_TIMEOUT(clock.firstSoundMs() >= 0, soundTimeoutMs);
    qInfo("first sound %lld ms after the location was put: %s", clock.firstSoundMs(), QTest::currentDataTag());
    QTRY_VERIFY2_WITH_TIMEOUT(m_player->status().startsWith(QLatin1String("Playing")), qPrintable(m_player->status()),
                              soundTimeoutMs);
    if (video) {
        QTRY_VERIFY_WITH_TIMEOUT(hasPicture(shown(area)), pictureTimeoutMs);
        const QImage first = shown(area);
        QTRY_VERIFY_WITH_TIMEOUT(shown(area) != first, pictureTimeoutMs);
    } else {
        // libmpv opened no video output (and no OpenGL) for sound alone.
        QCOMPARE(shownChildWindows(area->winId()), 0);
    }
    // Still sounding a while later: it plays, not just starts. A live server that falls behind for a moment (the
    // rig's MMS server does, late in a long run) has the player refill its cache, and it says so.
    QTest::qWait(1000);
    QVERIFY(waitForSound(5000));
    const QString status = m_player->status();
    QVERIFY2(status.startsWith(QLatin1String("Playing")) || status.startsWith(QLatin1String("Buffering (")),
             qPrintable(status));
}

QTEST_MAIN(TestStreamKinds)
#include "tst_streamkinds.moc"
