// Every way a server, a stream or a playlist can go wrong, against the real player: each ends in a status that
// says what happened, in bounded time, with the GUI thread answering throughout.
#include "support/Rig.h"
#include "support/StreamRig.h"

#include "player/MpvEngine.h"
#include "player/WMPLib_TLB.h"

#include <QTcpServer>
#include <QUuid>
#include <QtTest>

using namespace orvane;
using namespace orvane::test;

namespace {
constexpr int statusTimeoutMs = 45000;
constexpr int soundTimeoutMs = 20000;
// The GUI thread runs a queued call within this long, whatever the player is going through.
constexpr int answerBoundMs = 2000;

QString closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return QString::number(port);
}
} // namespace

class TestStreamFailures : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void failure_data();
    void failure();
    void finiteFileIsNotReconnected();
    void droppedStreamComesBack();
    void droppedStreamGivenUp();
    void stopCancelsReconnect();
    void newStationCancelsPlaylistFetch();
    void rapidStationChanges();

private:
    QString status() const { return m_player->status(); }
    bool statusStartsWith(const QString& prefix) const { return status().startsWith(prefix); }
    int requestsFor(const QString& path) const;

    std::unique_ptr<TWindowsMediaPlayer> m_player;
};

// The GUI thread answered while the watch ran. Watches cover only the waits that keep the event loop running:
// the sink's level is read with blocking waits.
#define VERIFY_ANSWERED(watch)                                                                                         \
    do {                                                                                                               \
        qInfo("longest answer of the GUI thread: %lld ms", (watch).worstMs());                                         \
        QVERIFY2((watch).worstMs() < answerBoundMs, qPrintable(QString::number((watch).worstMs())));                   \
    } while (false)

void TestStreamFailures::initTestCase()
{
    if (!inRig())
        QSKIP("needs the rig (tests/rig/rig.sh)");
    TWindowsMediaPlayer::setEngineFactory({});
}

void TestStreamFailures::init()
{
    QVERIFY(waitForSilence(10000));
    m_player = std::make_unique<TWindowsMediaPlayer>();
    m_player->resize(249, 198);
    m_player->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_player.get()));
}

void TestStreamFailures::cleanup()
{
    m_player.reset();
}

int TestStreamFailures::requestsFor(const QString& path) const
{
    int count = 0;
    for (const QString& line : httpRequests())
        count += line.startsWith(QStringLiteral("GET ") + path + u' ') ? 1 : 0;
    return count;
}

void TestStreamFailures::failure_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("expected"); // the status, or its beginning when it ends in "*"

    const QString http = httpUrl(QString()).chopped(1);
    QTest::newRow("connection refused") << QStringLiteral("http://127.0.0.1:%1/live").arg(closedPort())
                                        << "Cannot play: Connection refused";
    QTest::newRow("unknown host") << "http://nosuchstation.invalid/live"
                                  << "Cannot play: Failed to resolve hostname nosuchstation.invalid*";
    QTest::newRow("404") << http + "/status/404"
                         << "Cannot play: HTTP error 404*";
    QTest::newRow("500") << http + "/status/500"
                         << "Cannot play: HTTP error 500*";
    QTest::newRow("html page") << http + "/html"
                               << "Cannot play: The server sent a web page, not a stream";
    QTest::newRow("endless garbage") << http + "/garbage"
                                     << "Cannot play: Nothing playable arrived in 20 s";
    QTest::newRow("accepts and never sends") << http + "/stall"
                                             << "Cannot play: The server did not answer";
    QTest::newRow("redirect loop") << http + "/loop/a"
                                   << "Cannot play: Too many redirects";
    QTest::newRow("10 MB asx") << http + "/asx/big.asx"
                               << "Cannot play: Playlist too large";
    QTest::newRow("asx nested 50 levels") << http + "/asx/nest/1.asx"
                                          << "Cannot play: Playlist nested too deeply";
    QTest::newRow("m3u naming /etc/passwd") << http + "/unsafe.m3u"
                                            << "Cannot play: The playlist names a location that is not on the network";
    QTest::newRow("m3u naming a local clip") << http + "/unsafe-local.m3u"
                                             << "Cannot play: The playlist names a location that is not on the network";
    QTest::newRow("asx with billion laughs") << http + "/asx/laughs.asx"
                                             << "Playing*";
    QTest::newRow("10,000-character location")
        << http + "/radio/live?pad=" + QString(10000 - http.size() - 16, u'x') << "Playing*";
}

void TestStreamFailures::failure()
{
    QFETCH(QString, location);
    QFETCH(QString, expected);
    const bool prefix = expected.endsWith(u'*');
    if (prefix)
        expected.chop(1);
    const auto matches = [&] { return prefix ? statusStartsWith(expected) : status() == expected; };

    {
        GuiWatch watch;
        m_player->setURL(location);
        QTRY_VERIFY2_WITH_TIMEOUT(matches(), qPrintable(status()), statusTimeoutMs);
        qInfo("%s: %s", QTest::currentDataTag(), qPrintable(status()));
        QTest::qWait(1000);
        QVERIFY2(matches(), qPrintable(status()));
        VERIFY_ANSWERED(watch);
    }
    // Sound where it plays; else nothing, the local clip the playlist names least of all.
    if (expected.startsWith(QLatin1String("Playing")))
        QVERIFY(waitForSound(soundTimeoutMs));
    else
        QVERIFY(waitForSilence(2000));
    if (QByteArray(QTest::currentDataTag()).contains("laughs")) {
        // The entity went to the server as written: nothing was expanded.
        QCOMPARE(requestsFor(QStringLiteral("/radio/live?&lol9;")), 1);
    }
    // The player takes the next station as ever.
    m_player->setURL(httpUrl("/radio/live"));
    QVERIFY(waitForSound(soundTimeoutMs));
}

// A file with a known size that played to its end is finished: it is not fetched again.
void TestStreamFailures::finiteFileIsNotReconnected()
{
    const QString path = QStringLiteral("/media/tone-880.mp3");
    const int before = requestsFor(path);
    GuiWatch watch;
    m_player->setURL(httpUrl(path));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), statusTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Finished"), statusTimeoutMs);
    QTest::qWait(2500);
    QCOMPARE(status(), QStringLiteral("Finished"));
    QCOMPARE(requestsFor(path), before + 1);
    VERIFY_ANSWERED(watch);
}

void TestStreamFailures::droppedStreamComesBack()
{
    {
        GuiWatch watch;
        m_player->setURL(httpUrl("/drop?s=3"));
        QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), statusTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Reconnecting (1 of 5)..."), statusTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), statusTimeoutMs);
        VERIFY_ANSWERED(watch);
    }
    QVERIFY(waitForSound(soundTimeoutMs));
}

// A live stream that drops and never returns is tried five times, waiting longer each time, then given up.
void TestStreamFailures::droppedStreamGivenUp()
{
    const QString path = QStringLiteral("/once/") + QUuid::createUuid().toString(QUuid::Id128);
    GuiWatch watch;
    m_player->setURL(httpUrl(path));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), statusTimeoutMs);
    for (int attempt = 1; attempt <= 5; ++attempt) {
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Reconnecting (%1 of 5)...").arg(attempt), statusTimeoutMs);
    }
    QTRY_COMPARE_WITH_TIMEOUT(status(),
                              QStringLiteral("Stream lost after 5 reconnects: HTTP error 503 Service Unavailable"),
                              statusTimeoutMs);
    QCOMPARE(requestsFor(path), 6);
    VERIFY_ANSWERED(watch);
}

void TestStreamFailures::stopCancelsReconnect()
{
    const QString path = QStringLiteral("/drop?s=2");
    GuiWatch watch;
    m_player->setURL(httpUrl(path));
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Reconnecting (1 of 5)..."), statusTimeoutMs);
    const int requests = requestsFor(path);
    m_player->close();
    QCOMPARE(status(), QStringLiteral("Stopped"));
    QTest::qWait(2500);
    QCOMPARE(status(), QStringLiteral("Stopped"));
    QCOMPARE(requestsFor(path), requests);
    VERIFY_ANSWERED(watch);
}

// A playlist still being fetched is dropped at once for the next station: its late end changes nothing.
void TestStreamFailures::newStationCancelsPlaylistFetch()
{
    GuiWatch watch;
    m_player->setURL(httpUrl("/asx/stall.asx"));
    QCOMPARE(status(), QStringLiteral("Opening playlist..."));
    QTest::qWait(500);
    m_player->setURL(httpUrl("/radio/live"));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), statusTimeoutMs);
    // Past the time the playlist's fetch would have given up.
    QTest::qWait(MpvEngine::fetchTimeoutMs + 1000);
    QVERIFY2(statusStartsWith("Playing"), qPrintable(status()));
    m_player->close();
    QCOMPARE(status(), QStringLiteral("Stopped"));
    VERIFY_ANSWERED(watch);
}

// Twenty station changes a second for ten seconds, over locations of every behaviour; the last one then plays.
void TestStreamFailures::rapidStationChanges()
{
    const QStringList locations = {
        httpUrl("/radio/live"),
        httpUrl("/asx/lower.asx"),
        httpUrl("/tv/live.php?ch=1&a=&b=&id=123456789"),
        httpUrl("/stall"),
        httpUrl("/status/404"),
        httpUrl("/garbage"),
        httpUrl("/asx/nest/1.asx"),
        httpUrl("/html"),
        httpUrl("/drop?s=1"),
        QString(),
        httpUrl("/list.m3u"),
        QStringLiteral("http://nosuchstation.invalid/"),
    };
    GuiWatch watch;
    QElapsedTimer clock;
    clock.start();
    int changes = 0;
    while (clock.elapsed() < 10000) {
        m_player->setURL(locations.at(changes % locations.size()));
        QVERIFY(!status().isEmpty());
        ++changes;
        QTest::qWait(50);
    }
    qInfo("%d station changes", changes);
    m_player->setURL(httpUrl("/icy.mp3"));
    QTRY_VERIFY_WITH_TIMEOUT(statusStartsWith("Playing"), statusTimeoutMs);
    VERIFY_ANSWERED(watch);
    QVERIFY(waitForSound(soundTimeoutMs));
}

QTEST_MAIN(TestStreamFailures)
#include "tst_streamfailures.moc"
