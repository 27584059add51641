#include "StreamRig.h"

#include "Rig.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>

namespace orvane::test {

namespace {

constexpr int clockRate = 8000;
constexpr int startServersTimeoutMs = 90000;

// The ports the stream server answered with; the rig's environment names the same ones unless a port it picked
// was taken meanwhile.
QJsonObject& serverPorts()
{
    static QJsonObject ports;
    return ports;
}

QString serverUrl(const char* scheme, const char* portVariable, const QString& path)
{
    const int answered = serverPorts().value(QLatin1String(scheme)).toInt();
    const QString port = answered > 0 ? QString::number(answered) : qEnvironmentVariable(portVariable);
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(QLatin1String(scheme), port, path);
}

} // namespace

bool startStreamServers(QString* error)
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(httpUrl(QStringLiteral("/servers/start"))));
    request.setTransferTimeout(startServersTimeoutMs);
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    if (reply->error() == QNetworkReply::NoError) {
        serverPorts() = QJsonDocument::fromJson(reply->readAll()).object();
        return true;
    }
    *error = reply->errorString() + QStringLiteral(": ") + QString::fromUtf8(reply->readAll()).trimmed();
    return false;
}

QString mmsUrl(const QString& path)
{
    return serverUrl("mms", "ORVANE_MMS_PORT", path);
}

QString rtspUrl(const QString& path)
{
    return serverUrl("rtsp", "ORVANE_RTSP_PORT", path);
}

QStringList httpRequests()
{
    QFile log(qEnvironmentVariable("ORVANE_HTTP_LOG"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

SoundClock::~SoundClock()
{
    m_recorder.terminate();
    if (!m_recorder.waitForFinished(2000)) {
        m_recorder.kill();
        m_recorder.waitForFinished(2000);
    }
}

bool SoundClock::start()
{
    m_recorder.start(QStringLiteral("parec"),
                     {QStringLiteral("--device=") + qEnvironmentVariable("ORVANE_SINK_MONITOR"),
                      QStringLiteral("--format=s16le"), QStringLiteral("--channels=1"),
                      QStringLiteral("--rate=%1").arg(clockRate), QStringLiteral("--latency-msec=10"),
                      QStringLiteral("--raw")});
    if (!m_recorder.waitForStarted(5000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (m_samples.size() < clockRate / 10 * 2 && timer.elapsed() < 5000) {
        m_recorder.waitForReadyRead(100);
        take();
    }
    return m_samples.size() >= clockRate / 10 * 2;
}

void SoundClock::take()
{
    m_samples += m_recorder.readAllStandardOutput();
}

void SoundClock::mark()
{
    take();
    m_markSample = m_samples.size() / 2;
}

qint64 SoundClock::firstSoundMs()
{
    take();
    const auto threshold = static_cast<std::int16_t>(soundLevel * 32768);
    for (qsizetype i = m_markSample; i < m_samples.size() / 2; ++i) {
        std::int16_t sample;
        std::memcpy(&sample, m_samples.constData() + i * 2, sizeof sample);
        if (sample > threshold || sample < -threshold)
            return (i - m_markSample) * 1000 / clockRate;
    }
    return -1;
}

GuiWatch::GuiWatch(int limitMs)
    : m_limitMs(limitMs)
    , m_thread([this] { run(); })
{
}

GuiWatch::~GuiWatch()
{
    m_stop = true;
    m_thread.join();
}

void GuiWatch::run()
{
    using Clock = std::chrono::steady_clock;
    while (!m_stop) {
        auto answered = std::make_shared<std::promise<void>>();
        std::future<void> answer = answered->get_future();
        const auto posted = Clock::now();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [answered] { answered->set_value(); }, Qt::QueuedConnection);
        // Waits in short steps, so the watch ends soon when asked to.
        while (!m_stop && answer.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready &&
               Clock::now() - posted < std::chrono::milliseconds(m_limitMs)) {
        }
        const qint64 took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - posted).count();
        if (m_stop && answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return;
        if (took > m_worstMs)
            m_worstMs = took;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace orvane::test
