#pragma once

// The rig's stream servers beyond plain HTTP (MMS, RTSP, started on demand), and two probes the stream tests
// share: when sound starts on the null sink, and how long the GUI thread takes to answer.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <atomic>
#include <thread>

namespace orvane::test {

// Asks the rig's stream server to start its MMS and RTSP servers (once per rig; a few seconds the first time).
// False, with the server's answer in *error, when they can't be started.
bool startStreamServers(QString* error);

// mms://127.0.0.1:PORT/path and rtsp://127.0.0.1:PORT/path on the rig's servers; path may be empty.
QString mmsUrl(const QString& path);
QString rtspUrl(const QString& path);

// The request lines the rig's HTTP server logged so far ("GET /path?query icy=1").
QStringList httpRequests();

// Records the null sink from start() on, so the time from a moment to the first sound can be read.
class SoundClock {
public:
    ~SoundClock();
    // True once the recorder delivers samples.
    bool start();
    // From now on: the moment firstSoundMs() counts from.
    void mark();
    // Milliseconds from mark() to the first sample above the sound level, or -1 while there is none.
    qint64 firstSoundMs();

private:
    void take();

    QProcess m_recorder;
    QByteArray m_samples;
    qsizetype m_markSample = 0;
};

// Posts a call to the GUI thread every 50 ms from a thread of its own and keeps the longest time one took to
// run. A wait that reaches the limit counts as the limit.
class GuiWatch {
public:
    explicit GuiWatch(int limitMs = 10000);
    ~GuiWatch();
    qint64 worstMs() const { return m_worstMs; }

private:
    void run();

    int m_limitMs;
    std::atomic_bool m_stop = false;
    std::atomic<qint64> m_worstMs = 0;
    std::thread m_thread;
};

} // namespace orvane::test
