// The headless desktop the other tests stand on: its window manager, sound sink and stream server
// behave as the tests expect, and a test can start a second desktop of another layout inside it.
#include "support/Rig.h"

#include <QProcess>
#include <QTcpSocket>
#include <QWidget>
#include <QtTest>

#include <cmath>
#include <cstdint>
#include <numbers>

using namespace orvane::test;

namespace {

struct HttpReply {
    int status = 0;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

// A raw HTTP/1.0 exchange: reads until the body has `bodyBytes` bytes, the server closes, or the time is up.
HttpReply fetch(const QString& path, const QByteArray& extraHeaders, int bodyBytes, int timeoutMs)
{
    HttpReply reply;
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(qEnvironmentVariableIntValue("ORVANE_HTTP_PORT")));
    if (!socket.waitForConnected(5000)) {
        return reply;
    }
    socket.write("GET " + path.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n");
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    qsizetype headerEnd = -1;
    while (timer.elapsed() < timeoutMs) {
        if (socket.waitForReadyRead(50)) {
            data += socket.readAll();
        } else if (socket.state() != QAbstractSocket::ConnectedState) {
            break;
        }
        if (headerEnd < 0) {
            headerEnd = data.indexOf("\r\n\r\n");
        }
        if (headerEnd >= 0 && data.size() - headerEnd - 4 >= bodyBytes) {
            break;
        }
    }
    if (headerEnd < 0) {
        return reply;
    }
    const QList<QByteArray> lines = data.left(headerEnd).split('\n');
    reply.status = lines.value(0).split(' ').value(1).toInt();
    for (const QByteArray& line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        reply.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    reply.body = data.mid(headerEnd + 4);
    return reply;
}

// The StreamTitle values of an ICY stream body, in order (empty blocks skipped).
QStringList streamTitles(const QByteArray& body, int metaint)
{
    QStringList titles;
    for (qsizetype at = metaint; at < body.size(); at += metaint) {
        const int length = static_cast<unsigned char>(body.at(at)) * 16;
        const QByteArray block = body.mid(at + 1, length);
        if (block.size() < length) {
            break;
        }
        const qsizetype start = block.indexOf("StreamTitle='");
        if (start >= 0) {
            titles << QString::fromUtf8(block.mid(start + 13, block.indexOf("';", start) - start - 13));
        }
        at += 1 + length;
    }
    return titles;
}

bool startsWithMp3Frame(const QByteArray& data)
{
    return data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0xFF &&
           (static_cast<unsigned char>(data[1]) & 0xE0) == 0xE0;
}

} // namespace

class TestRig : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void desktop();
    void windowManagerReportsWindowState();
    void sinkIsSilentAtRest();
    void toneReachesTheSink();
    void streamServer_data();
    void streamServer();
    void icyTitleChanges();
    void stallSendsNothing();
    void nestedRigWithOtherLayout();
};

void TestRig::initTestCase()
{
    QVERIFY2(inRig(), "run inside tests/rig/rig.sh");
    for (const char* name : {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER", "ORVANE_RIG_DIR",
                             "ORVANE_SINK_MONITOR", "ORVANE_HTTP_PORT", "ORVANE_MEDIA_DIR"}) {
        QVERIFY2(!qEnvironmentVariableIsEmpty(name), name);
    }
    QCOMPARE(qEnvironmentVariable("ORVANE_SINK_MONITOR"), QStringLiteral("orvane_sink.monitor"));
    QCOMPARE(httpUrl("/icy.mp3"), QStringLiteral("http://127.0.0.1:%1/icy.mp3").arg(qgetenv("ORVANE_HTTP_PORT")));
}

void TestRig::desktop()
{
    QVERIFY(trayOwner() != 0);
    if (qgetenv("ORVANE_RIG_LAYOUT") == "icewm") {
        QCOMPARE(workArea(), QRect(0, 0, 1024, 742)); // the taskbar at the bottom
    } else {
        QCOMPARE(workArea().topLeft(), QPoint(0, 0)); // the tray panel on the right
        QVERIFY(workArea().width() < 1024);
        QCOMPARE(workArea().height(), 768);
    }
}

void TestRig::windowManagerReportsWindowState()
{
    QWidget window(nullptr, Qt::WindowStaysOnTopHint);
    window.resize(300, 200);
    window.show();
    const WId id = window.winId();
    QTRY_VERIFY(inClientList(id));
    QTRY_VERIFY(!frameExtents(id).isNull());
    QTRY_VERIFY(isAbove(id));
    QVERIFY(!isHidden(id));

    window.showMinimized();
    QTRY_VERIFY(isHidden(id));

    window.hide();
    QTRY_VERIFY(!inClientList(id));
}

void TestRig::sinkIsSilentAtRest()
{
    const double level = sinkLevel(300);
    QVERIFY2(level >= 0 && level < silenceLevel, qPrintable(QString::number(level)));
}

void TestRig::toneReachesTheSink()
{
    // Two seconds of a 440 Hz tone at half scale, played from a file by PulseAudio's own client.
    constexpr int rate = 44100;
    QByteArray samples;
    for (int i = 0; i < rate * 2; ++i) {
        const auto s = static_cast<std::int16_t>(16384 * std::sin(2 * std::numbers::pi * 440 * i / rate));
        samples.append(reinterpret_cast<const char*>(&s), sizeof s);
    }
    QTemporaryFile raw;
    QVERIFY(raw.open());
    QCOMPARE(raw.write(samples), samples.size());
    raw.close();

    QProcess player;
    player.start(QStringLiteral("pacat"),
                 {QStringLiteral("--playback"), QStringLiteral("--format=s16le"), QStringLiteral("--channels=1"),
                  QStringLiteral("--rate=44100"), QStringLiteral("--raw"), raw.fileName()});
    QVERIFY(player.waitForStarted());
    QVERIFY(waitForSound(5000));
    QVERIFY(player.waitForFinished(10000));
    QCOMPARE(player.exitCode(), 0);
    QVERIFY(waitForSilence(5000));
}

void TestRig::streamServer_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("mp3");
    QTest::addColumn<bool>("icy");
    QTest::newRow("icy asked") << "/icy.mp3" << QByteArray("Icy-MetaData: 1\r\n") << 200 << true << true;
    QTest::newRow("icy not asked") << "/icy.mp3" << QByteArray() << 200 << true << false;
    QTest::newRow("tone 440") << "/tone/440.mp3" << QByteArray() << 200 << true << false;
    QTest::newRow("tone 880") << "/tone/880.mp3" << QByteArray() << 200 << true << false;
    QTest::newRow("silence") << "/silence.mp3" << QByteArray() << 200 << true << false;
    QTest::newRow("status 404") << "/status/404" << QByteArray() << 404 << false << false;
    QTest::newRow("status 503") << "/status/503" << QByteArray() << 503 << false << false;
    QTest::newRow("unknown") << "/no/such/thing" << QByteArray() << 404 << false << false;
}

void TestRig::streamServer()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(bool, mp3);
    QFETCH(bool, icy);

    const HttpReply reply = fetch(path, headers, 20000, 5000);
    QCOMPARE(reply.status, status);
    QCOMPARE(startsWithMp3Frame(reply.body), mp3);
    if (mp3) {
        QCOMPARE(reply.headers.value("content-type"), QByteArray("audio/mpeg"));
        QVERIFY(reply.body.size() >= 20000); // endless, and not just a trickle
    }
    QCOMPARE(reply.headers.contains("icy-metaint"), icy);
    if (icy) {
        const QStringList titles = streamTitles(reply.body, reply.headers.value("icy-metaint").toInt());
        QCOMPARE(titles.value(0), QStringLiteral("Orvane Test Title 1"));
    }
}

void TestRig::icyTitleChanges()
{
    const HttpReply reply = fetch(QStringLiteral("/icy.mp3?period=0.5"), "Icy-MetaData: 1\r\n", 50000, 10000);
    const QStringList titles = streamTitles(reply.body, reply.headers.value("icy-metaint").toInt());
    QVERIFY2(titles.size() >= 2, qPrintable(titles.join(u'|')));
    QCOMPARE(titles.mid(0, 2), QStringList({"Orvane Test Title 1", "Orvane Test Title 2"}));
}

void TestRig::stallSendsNothing()
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(qEnvironmentVariableIntValue("ORVANE_HTTP_PORT")));
    QVERIFY(socket.waitForConnected(5000));
    socket.write("GET /stall HTTP/1.0\r\n\r\n");
    QVERIFY(!socket.waitForReadyRead(1000));
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
}

void TestRig::nestedRigWithOtherLayout()
{
    const QRect outerArea = workArea();
    QProcess inner;
    inner.start(qEnvironmentVariable("ORVANE_SOURCE_DIR") + QStringLiteral("/tests/rig/rig.sh"),
                {QStringLiteral("--layout"), QStringLiteral("openbox-trayer"), QStringLiteral("--timeout"),
                 QStringLiteral("60"), QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
                 QStringLiteral("echo \"$DISPLAY\"; xprop -root -notype _NET_WORKAREA")});
    QVERIFY(inner.waitForFinished(90000));
    QCOMPARE(inner.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(inner.readAllStandardOutput()).split(u'\n');
    QVERIFY(lines.value(0) != qEnvironmentVariable("DISPLAY"));
    // "_NET_WORKAREA = 0, 0, W, 768": the tray panel takes a strip on the right.
    const QStringList area = lines.value(1).section(u'=', 1).split(u',');
    QVERIFY2(area.size() >= 4, qPrintable(lines.value(1)));
    QCOMPARE(area[0].toInt(), 0);
    QCOMPARE(area[1].toInt(), 0);
    QVERIFY(area[2].trimmed().toInt() < 1024);
    QCOMPARE(area[3].trimmed().toInt(), 768);
    QCOMPARE(workArea(), outerArea); // the outer desktop is untouched
}

QTEST_MAIN(TestRig)
#include "tst_rig.moc"
