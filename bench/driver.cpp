// The program's windows and player as the program builds them, driven over stdin for the benchmark.
//
// Commands (one a line) and replies:
//   load URL           -> "put NS" (CLOCK_MONOTONIC, taken just before the URL is put), then "error TEXT" if the
//                         player refuses it
//   stop               -> "ok"
//   status             -> "status TEXT"
//   tray               -> hides the main window in the tray, as closing it does; "ok"
//   switch N URL1 URL2 -> N loads, alternately URL1 and URL2, each once the last one plays; then
//                         "switched N FAILED RSS10_KB RSSN_KB" (RSS after the first 10 and after all N)
//   quit
// "ready PID" is printed once the main window is exposed, then "engine NS RSS_KB" once the player is ready to play
// (libmpv opened and its core started; CLOCK_MONOTONIC, and the RSS then), or "engine none" if not within 30 s.
#include "app/OrvaneApplication.h"
#include "app/TrayIcon.h"
#include "app/Unit1.h"
#include "control/Unit2.h"
#include "player/WMPLib_TLB.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>

using namespace orvane;

namespace {

qint64 monotonicNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 rssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Whether libmpv's core runs in this process: its threads are named "mpv/...". They appear once the library is
// loaded and the core created; the core's own initialisation may then still take a few milliseconds.
bool mpvCoreRunning()
{
    QDirIterator tasks(QStringLiteral("/proc/self/task"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (tasks.hasNext()) {
        QFile comm(tasks.next() + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("mpv/"))
            return true;
    }
    return false;
}

void reply(const QByteArray& text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Loads the next location once the last one plays, without blocking the event loop.
class Switcher : public QObject {
public:
    Switcher(int count, QStringList urls)
        : m_count(count)
        , m_urls(std::move(urls))
    {
        m_poll.setInterval(2);
        connect(&m_poll, &QTimer::timeout, this, &Switcher::check);
    }

    void start()
    {
        next();
        m_poll.start();
    }

private:
    void next()
    {
        main_form->WMP->setURL(m_urls.at(m_done % m_urls.size()));
        m_since.start();
    }

    void check()
    {
        const bool playing = main_form->WMP->status().startsWith(QLatin1String("Playing"));
        if (!playing && m_since.elapsed() < 10000)
            return;
        if (!playing)
            ++m_failed;
        if (++m_done == 10)
            m_rssAfter10 = rssKb();
        if (m_done < m_count) {
            next();
            return;
        }
        m_poll.stop();
        reply(QByteArray("switched ") + QByteArray::number(m_done) + ' ' + QByteArray::number(m_failed) + ' ' +
              QByteArray::number(m_rssAfter10) + ' ' + QByteArray::number(rssKb()));
        deleteLater();
    }

    int m_count;
    QStringList m_urls;
    int m_done = 0;
    int m_failed = 0;
    qint64 m_rssAfter10 = -1;
    QElapsedTimer m_since;
    QTimer m_poll;
};

void command(const QByteArray& line)
{
    try {
        if (line.startsWith("load ")) {
            const QString url = QString::fromUtf8(line.mid(5));
            reply("put " + QByteArray::number(monotonicNs()));
            main_form->WMP->setURL(url);
        } else if (line == "stop") {
            main_form->WMP->close();
            reply("ok");
        } else if (line == "status") {
            reply("status " + main_form->WMP->status().toUtf8());
        } else if (line == "tray") {
            main_form->tIcon->HideMainWindow();
            reply(main_form->isVisible() ? "error still shown" : "ok");
        } else if (line.startsWith("switch ")) {
            const QList<QByteArray> words = line.split(' ');
            QStringList urls;
            for (qsizetype i = 2; i < words.size(); ++i)
                urls << QString::fromUtf8(words.at(i));
            (new Switcher(words.value(1).toInt(), urls))->start();
        } else if (line == "quit") {
            QCoreApplication::quit();
        } else {
            reply("error unknown command");
        }
    } catch (const PlayerError& error) {
        reply("error " + error.text().toUtf8());
    }
}

} // namespace

int main(int argc, char** argv)
{
    // As the program starts (app/Startup.cpp), minus the error box.
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    OrvaneApplication app(argc, argv);
    app.setTitle(QStringLiteral("Orvane 2.0"));
    auto mainWindow = std::make_unique<Tmain_form>();
    main_form = mainWindow.get();
    auto controlWindow = std::make_unique<Tcontrol_form>();
    control_form = controlWindow.get();
    main_form->show();

    // The player has no signal for being ready: its core's threads are looked for from the first exposure on.
    // Bounded, so that a player that never starts does not keep this poll going through the idle measures.
    QTimer engine;
    QElapsedTimer lookingFor;
    engine.setInterval(2);
    QObject::connect(&engine, &QTimer::timeout, &engine, [&engine, &lookingFor] {
        const bool running = mpvCoreRunning();
        if (!running && lookingFor.elapsed() < 30000)
            return;
        engine.stop();
        reply(running ? "engine " + QByteArray::number(monotonicNs()) + ' ' + QByteArray::number(rssKb())
                      : QByteArray("engine none"));
    });
    QTimer exposed;
    QObject::connect(&exposed, &QTimer::timeout, &exposed, [&exposed, &engine, &lookingFor] {
        if (!main_form->windowHandle() || !main_form->windowHandle()->isExposed())
            return;
        exposed.stop();
        reply("ready " + QByteArray::number(qint64(getpid())));
        lookingFor.start();
        engine.start();
    });
    exposed.start(5);

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &input, [&] {
        char buffer[4096];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, got);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            command(line);
        }
    });

    const int code = app.exec();
    control_form = nullptr;
    controlWindow.reset();
    main_form = nullptr;
    mainWindow.reset();
    return code;
}
