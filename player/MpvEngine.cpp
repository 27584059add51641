#include "player/MpvEngine.h"

#include "player/MpvLibrary.h"
#include "player/WMPLib_TLB.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QRegularExpression>
#include <QThread>

#include <clocale>
#include <cstring>
#include <utility>

namespace orvane {

namespace {

// Scheme per RFC 3986: a letter, then letters, digits, "+", "-" or ".".
qsizetype schemeLength(const QString& location)
{
    const qsizetype colon = location.indexOf(QStringLiteral("://"));
    if (colon <= 0)
        return -1;
    for (qsizetype i = 0; i < colon; ++i) {
        const char16_t c = location.at(i).unicode();
        const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
        const bool other = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
        if (!letter && (i == 0 || !other))
            return -1;
    }
    return colon;
}

bool isNetworkLocation(const QString& location)
{
    const qsizetype length = schemeLength(location);
    return length > 0 && location.left(length) != QLatin1String("file");
}

bool isHttpLocation(const QString& location)
{
    return location.startsWith(QLatin1String("http://")) || location.startsWith(QLatin1String("https://"));
}

// Names under .invalid never resolve (RFC 6761); the system's resolver would still ask its name server, so the
// answer is given here and no lookup leaves the machine. Empty for any other location.
QString reservedHostReason(const QString& location)
{
    const QUrl url(location, QUrl::TolerantMode);
    QString host = url.host().toLower();
    if (host.endsWith(u'.'))
        host.chop(1);
    if (host != QLatin1String("invalid") && !host.endsWith(QLatin1String(".invalid")))
        return {};
    return QStringLiteral("Failed to resolve hostname %1: Name or service not known").arg(url.host());
}

QString capitalized(QString text)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper();
    return text;
}

} // namespace

MpvVideoArea::MpvVideoArea(QWidget* parent)
    : QWidget(parent)
{
    // libmpv needs a window of its own to put its video window in.
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void MpvVideoArea::paintEvent(QPaintEvent*)
{
    QPainter(this).fillRect(rect(), Qt::black);
    if (!std::exchange(m_painted, true))
        emit firstPainted();
}

std::unique_ptr<MpvEngine> MpvEngine::create()
{
    std::unique_ptr<MpvEngine> engine(new MpvEngine);
    engine->m_reconnectTimer.setSingleShot(true);
    connect(&engine->m_reconnectTimer, &QTimer::timeout, engine.get(), [self = engine.get()] {
        if (self->open() != hr::ok)
            self->m_state = State::Failed;
    });
    engine->m_openTimer.setSingleShot(true);
    engine->m_openTimer.setInterval(openTimeoutMs);
    connect(&engine->m_openTimer, &QTimer::timeout, engine.get(), &MpvEngine::openTimedOut);
    return engine;
}

MpvEngine::~MpvEngine()
{
    cancelFetch();
    if (m_loader) {
        m_loader->wait();
        adoptCore();
        delete m_loader;
    }
    if (!m_mpv)
        return;
    // Returns only once no wake-up is running; queued drains die with this object.
    m_api->set_wakeup_callback(m_mpv, nullptr, nullptr);
    // Before the video area's window goes: libmpv's own video window lives inside it.
    m_api->terminate_destroy(m_mpv);
}

QWidget* MpvEngine::createSurface(QWidget* parent)
{
    m_area = new MpvVideoArea(parent);
    connect(m_area, &MpvVideoArea::firstPainted, this, &MpvEngine::preload, Qt::QueuedConnection);
    return m_area;
}

MpvEngine::CoreSettings MpvEngine::coreSettings() const
{
    // libmpv refuses to start under any other numeric locale.
    std::setlocale(LC_NUMERIC, "C");
    return {m_area ? QByteArray::number(quint64(m_area->winId())) : QByteArray(), double(m_volume), m_mute, m_pause};
}

void MpvEngine::preload()
{
    if (m_mpv || m_loader || !m_startError.isEmpty())
        return;
    // Opening libmpv and starting its core take a while: the window stays responsive meanwhile.
    m_loader = QThread::create([this, settings = coreSettings()] { m_loaded = openCore(settings); });
    connect(m_loader, &QThread::finished, this, &MpvEngine::adoptCore);
    m_loader->start(QThread::LowPriority);
}

bool MpvEngine::startCore()
{
    if (!m_mpv && m_startError.isEmpty()) {
        if (m_loader)
            m_loader->wait();
        else
            m_loaded = openCore(coreSettings());
        adoptCore();
    }
    return m_mpv;
}

// Any thread: opens libmpv and starts a core with the given settings.
MpvEngine::LoadedCore MpvEngine::openCore(const CoreSettings& settings)
{
    LoadedCore loaded;
    loaded.api = MpvLibrary::load(&loaded.error);
    const MpvApi* api = loaded.api;
    if (!api)
        return loaded;
    mpv_handle* mpv = api->create();
    if (!mpv) {
        loaded.error = QStringLiteral("libmpv could not be started");
        return loaded;
    }

    const QByteArray networkTimeout = QByteArray::number(networkTimeoutSeconds);
    const bool hasWindow = !settings.window.isEmpty();
    const char* const options[][2] = {
        {"vo", "gpu"},
        // Software OpenGL (a desktop without a GPU driver) still shows the picture.
        {"gpu-sw", "yes"},
        // Video goes into the area's window. Without one there is nowhere to show it, and none is decoded.
        {"wid", hasWindow ? settings.window.constData() : nullptr},
        {"vid", hasWindow ? nullptr : "no"},
        // The mouse belongs to the program: libmpv's window takes no clicks and keeps the pointer as it is.
        {"input-cursor", "no"},
        {"cursor-autohide", "no"},
        // The program reads and writes nothing of its own: no config files, scripts or terminal output.
        {"config", "no"},
        {"load-scripts", "no"},
        {"terminal", "no"},
        {"input-default-bindings", "no"},
        {"input-vo-keyboard", "no"},
        {"ytdl", "no"},
        {"idle", "yes"},
        // A playlist from the network never opens a local file or a non-network location.
        {"load-unsafe-playlists", "no"},
        {"audio-client-name", "orvane"},
        // The name of our stream in the desktop's sound mixer.
        {"title", "${?media-title:${media-title}}${!media-title:Orvane}"},
        // Live streams: a modest cache, no unbounded back buffer, and a server that goes quiet counts as
        // failed soon (a server that accepts and never answers is reported after this long).
        {"cache", "yes"},
        {"cache-secs", "10"},
        {"demuxer-max-bytes", "8MiB"},
        {"demuxer-max-back-bytes", "1MiB"},
        {"network-timeout", networkTimeout.constData()},
        // A new station replaces the playing one at once: libmpv otherwise lets the old stream's demuxer finish
        // its pending read first, up to a tenth of a second of silence on every switch.
        {"demuxer-termination-timeout", "0"},
        // Software decoding only: probing hardware decoders' interop costs time and prints noise.
        {"hwdec", "no"},
        {"gpu-hwdec-interop", "no"},
    };
    bool configured = true;
    for (const auto& option : options) {
        if (option[1] && api->set_option_string(mpv, option[0], option[1]) < 0)
            configured = false;
    }
    // Built-in scripts that exist only where libmpv has Lua; there is nothing to turn off otherwise.
    for (const char* option : {"osc", "load-stats-overlay", "load-osd-console", "load-auto-profiles"})
        api->set_option_string(mpv, option, "no");
    // The saved state. uiMode needs nothing: this player never shows controls of its own.
    double volume = settings.volume;
    int mute = settings.mute;
    int pause = settings.pause;
    configured = configured && api->set_option(mpv, "volume", MPV_FORMAT_DOUBLE, &volume) >= 0 &&
                 api->set_option(mpv, "mute", MPV_FORMAT_FLAG, &mute) >= 0 &&
                 api->set_option(mpv, "pause", MPV_FORMAT_FLAG, &pause) >= 0;
    if (!configured || api->initialize(mpv) < 0) {
        api->terminate_destroy(mpv);
        loaded.error = QStringLiteral("libmpv could not be started");
        return loaded;
    }
    loaded.core = mpv;
    return loaded;
}

// On this thread, once: takes over the core openCore() started, or keeps the reason it failed.
void MpvEngine::adoptCore()
{
    if (m_mpv || !m_startError.isEmpty() || (!m_loaded.core && m_loaded.error.isEmpty()))
        return;
    if (!m_loaded.core) {
        m_startError = m_loaded.error;
        return;
    }
    m_api = m_loaded.api;
    m_mpv = std::exchange(m_loaded.core, nullptr);
    m_api->observe_property(m_mpv, 0, "media-title", MPV_FORMAT_STRING);
    m_api->observe_property(m_mpv, 0, "filename", MPV_FORMAT_STRING);
    m_api->observe_property(m_mpv, 0, "paused-for-cache", MPV_FORMAT_FLAG);
    m_api->observe_property(m_mpv, 0, "cache-buffering-state", MPV_FORMAT_INT64);
    // The detailed reason for a failure is only in the log.
    m_api->request_log_messages(m_mpv, "warn");
    m_api->set_wakeup_callback(m_mpv, &MpvEngine::onWakeup, this);
    // The volume may have been set while the core was starting.
    putVolume(m_volume);
}

HResult MpvEngine::applyState(const PersistedState& state)
{
    m_volume = qBound(0, state.volume(), 100);
    m_mute = state.mute();
    m_pause = !state.autoStart();
    return hr::ok;
}

QString MpvEngine::normalizedLocation(const QString& location)
{
    const qsizetype length = schemeLength(location);
    if (length <= 0)
        return location;
    return location.left(length).toLower() + location.mid(length);
}

QString MpvEngine::reasonFromLog(const QString& prefix, const QString& text)
{
    // libmpv's own refusal of a playlist's local or non-network entry.
    if (prefix == QLatin1String("stream") && text.startsWith(QLatin1String("Refusing to load")))
        return QStringLiteral("The playlist names a location that is not on the network");
    // Only the protocol and file layers say why a location can't be opened; the lines of the layers
    // above ("Failed to open ...") repeat that it failed.
    if (prefix != QLatin1String("ffmpeg") && prefix != QLatin1String("file"))
        return {};
    QString reason = text.trimmed();
    const qsizetype failed = reason.lastIndexOf(QLatin1String("failed: "));
    if (failed >= 0) {
        reason = reason.mid(failed + 8);
    } else {
        static const QRegularExpression protocolName(QStringLiteral("^[a-z][a-z0-9_]*: "));
        reason.remove(protocolName);
    }
    while (!reason.isEmpty() && (reason.back().isSpace() || reason.back() == u'.'))
        reason.chop(1);
    return reason;
}

HResult MpvEngine::putUrl(const QString& location)
{
    cancelPending();
    m_reconnectAttempt = 0;
    if (location.isEmpty()) {
        m_location.clear();
        return stopPlayback(State::NothingToPlay);
    }
    if (!startCore()) {
        m_location.clear();
        m_logReason = m_startError;
        m_errorDescription = m_startError;
        m_state = State::Failed;
        return hr::fail;
    }
    m_location = normalizedLocation(location);
    // Only the path's extension is looked at: anything else is libmpv's to open, and looked at only if it fails.
    m_viaPlaylist = isHttpLocation(m_location) && looksLikeAsx({}, {}, m_location);
    m_state = State::Connecting;
    const HResult result = open();
    if (result != hr::ok)
        m_state = State::Failed;
    return result;
}

HResult MpvEngine::open()
{
    if (m_viaPlaylist) {
        // Nothing of the station before stays audible while its playlist is read.
        stopPlayback(m_state);
        resolvePlaylist(QUrl(m_location, QUrl::TolerantMode));
        return hr::ok;
    }
    return startLoad(m_location);
}

HResult MpvEngine::startLoad(const QString& location)
{
    m_loadToken = ++m_tokenCounter;
    m_firstEntry = 0;
    m_entryCount = 0;
    m_expanded = false;
    m_started = false;
    m_logReason.clear();
    m_endError = 0;
    const QString reserved = reservedHostReason(location);
    if (!reserved.isEmpty()) {
        stopPlayback(m_state);
        failWith(reserved);
        return hr::ok;
    }
    const QByteArray bytes = location.toUtf8();
    // How much of the stream is read to learn its codecs before playing. With the library's 5 s, MMS and RTSP
    // stations with video started after 4 and 3 s on loopback, with 1.5 s after about 1.5 s; an MP3 stream over
    // http, though, started 0.3 s later with it, so it is for these schemes only. Most of what remains is spent
    // estimating the live video's frame rate, which playback takes from the timestamps anyway.
    const bool shortAnalysis = location.startsWith(QLatin1String("mms")) || location.startsWith(QLatin1String("rtsp"));
    const char* command[] = {
        "loadfile", bytes.constData(), "replace",
        shortAnalysis ? "demuxer-lavf-analyzeduration=1.5,demuxer-lavf-o=[fpsprobesize=0]" : nullptr, nullptr};
    const int result = m_api->command_async(m_mpv, m_loadToken, command);
    if (result < 0) {
        m_endError = result;
        return fail(result);
    }
    m_openTimer.start();
    m_loadClock.start();
    return hr::ok;
}

HResult MpvEngine::stopPlayback(State state)
{
    m_reconnectTimer.stop();
    m_openTimer.stop();
    m_loadToken = ++m_tokenCounter; // a reply still on its way belongs to nothing now
    m_entryCount = 0;
    m_state = state;
    if (!m_mpv)
        return hr::ok;
    const char* command[] = {"stop", nullptr};
    const int result = m_api->command_async(m_mpv, 0, command);
    return result < 0 ? fail(result) : hr::ok;
}

// Whatever the last location still had going: a retry, a fetch, a playlist walk.
void MpvEngine::cancelPending()
{
    m_reconnectTimer.stop();
    m_openTimer.stop();
    cancelFetch();
    m_resolver = AsxResolver();
    m_viaPlaylist = false;
    m_playlistPlayed = false;
}

HResult MpvEngine::close()
{
    cancelPending();
    m_reconnectAttempt = 0;
    return stopPlayback(State::Stopped);
}

// The current location (or playlist candidate) could not be opened.
void MpvEngine::loadFailed()
{
    m_openTimer.stop();
    m_entryCount = 0;
    if (m_viaPlaylist && !m_resolver.done()) {
        m_resolver.failed(failureReason());
        advancePlaylist();
        return;
    }
    if (m_state == State::Reconnecting) {
        scheduleReconnect();
        return;
    }
    // libmpv knows no ASX: what it could not make out, or failed on without saying why, gets a look of ours.
    const bool unspecific =
        m_endError == MPV_ERROR_UNKNOWN_FORMAT || (m_endError == MPV_ERROR_LOADING_FAILED && m_logReason.isEmpty());
    if (m_state == State::Connecting && unspecific && !m_expanded && isHttpLocation(m_location)) {
        startFetch(QUrl(m_location, QUrl::TolerantMode), Fetch::Peek);
        return;
    }
    m_state = State::Failed;
}

void MpvEngine::openTimedOut()
{
    // The stop ends the entry with a reason that belongs to nothing once the token moved on.
    m_loadToken = ++m_tokenCounter;
    m_entryCount = 0;
    const char* command[] = {"stop", nullptr};
    m_api->command_async(m_mpv, 0, command);
    m_logReason = QStringLiteral("Nothing playable arrived in %1 s").arg(openTimeoutMs / 1000);
    m_endError = 0;
    loadFailed();
}

void MpvEngine::failWith(const QString& reason)
{
    m_logReason = reason;
    m_endError = 0;
    loadFailed();
}

HResult MpvEngine::getStatus(QString* status)
{
    switch (m_state) {
    case State::Ready:
        *status = QStringLiteral("Ready");
        break;
    case State::Connecting:
        *status = m_fetch == Fetch::Playlist ? QStringLiteral("Opening playlist...") : QStringLiteral("Connecting...");
        break;
    case State::Playing:
        if (m_pausedForCache)
            *status = QStringLiteral("Buffering (%1%)").arg(m_bufferingPercent);
        else if (!m_mediaTitle.isEmpty() && m_mediaTitle != m_fileName)
            *status = QStringLiteral("Playing: ") + m_mediaTitle;
        else
            *status = QStringLiteral("Playing");
        break;
    case State::Reconnecting:
        *status = QStringLiteral("Reconnecting (%1 of %2)...").arg(m_reconnectAttempt).arg(reconnectAttempts);
        break;
    case State::Stopped:
        *status = QStringLiteral("Stopped");
        break;
    case State::Finished:
        *status = QStringLiteral("Finished");
        break;
    case State::NothingToPlay:
        *status = QStringLiteral("Nothing to play");
        break;
    case State::Failed:
        *status = QStringLiteral("Cannot play: ") + failureReason();
        break;
    case State::Lost:
        *status = QStringLiteral("Stream lost after %1 reconnects: %2").arg(reconnectAttempts).arg(failureReason());
        break;
    }
    return hr::ok;
}

QString MpvEngine::failureReason() const
{
    if (!m_logReason.isEmpty())
        return m_logReason;
    if (m_endError < 0)
        return capitalized(QString::fromUtf8(m_api->error_string(m_endError)));
    return QStringLiteral("Stream ended");
}

HResult MpvEngine::querySettings()
{
    return hr::ok;
}

HResult MpvEngine::getVolume(int* volume)
{
    *volume = m_volume;
    return hr::ok;
}

HResult MpvEngine::putVolume(int volume)
{
    m_volume = qBound(0, volume, 100);
    if (!m_mpv)
        return hr::ok;
    double value = m_volume;
    const int result = m_api->set_property_async(m_mpv, 0, "volume", MPV_FORMAT_DOUBLE, &value);
    return result < 0 ? fail(result) : hr::ok;
}

HResult MpvEngine::fail(int mpvError)
{
    m_errorDescription = capitalized(QString::fromUtf8(m_api->error_string(mpvError)));
    return hr::fail;
}

// Called on a libmpv thread: only hand over to the GUI thread, once per batch of events.
void MpvEngine::onWakeup(void* engine)
{
    auto* self = static_cast<MpvEngine*>(engine);
    if (!self->m_wakeupQueued.exchange(true))
        QMetaObject::invokeMethod(self, &MpvEngine::drainEvents, Qt::QueuedConnection);
}

void MpvEngine::drainEvents()
{
    m_wakeupQueued = false;
    for (;;) {
        const mpv_event* event = m_api->wait_event(m_mpv, 0);
        if (event->event_id == MPV_EVENT_NONE)
            break;
        handleEvent(*event);
    }
}

bool MpvEngine::isOurs(qint64 entryId) const
{
    return m_entryCount > 0 && entryId >= m_firstEntry && entryId < m_firstEntry + m_entryCount;
}

void MpvEngine::handleEvent(const mpv_event& event)
{
    switch (event.event_id) {
    case MPV_EVENT_COMMAND_REPLY: {
        if (event.reply_userdata == 0 || event.reply_userdata != m_loadToken)
            return;
        if (event.error < 0) {
            m_endError = event.error;
            loadFailed();
            return;
        }
        const mpv_node& result = static_cast<const mpv_event_command*>(event.data)->result;
        if (result.format != MPV_FORMAT_NODE_MAP)
            return;
        for (int i = 0; i < result.u.list->num; ++i) {
            if (std::strcmp(result.u.list->keys[i], "playlist_entry_id") == 0) {
                m_firstEntry = result.u.list->values[i].u.int64;
                m_entryCount = 1;
            }
        }
        return;
    }
    case MPV_EVENT_START_FILE:
        if (!isOurs(static_cast<const mpv_event_start_file*>(event.data)->playlist_entry_id))
            return;
        m_started = true;
        m_logReason.clear();
        m_endError = 0;
        m_sizeKnown = false;
        m_seekable = false;
        m_fileFormat.clear();
        return;
    case MPV_EVENT_PLAYBACK_RESTART:
        if (m_started && (m_state == State::Connecting || m_state == State::Reconnecting)) {
            m_state = State::Playing;
            m_openTimer.stop();
            m_playingFor.start();
            m_playlistPlayed = true;
            // What the stream is decides what its end means; asked now, while this file is the one loaded.
            for (const char* name : {"file-size", "seekable", "file-format"})
                m_api->get_property_async(m_mpv, m_loadToken, name, MPV_FORMAT_NODE);
        }
        return;
    case MPV_EVENT_GET_PROPERTY_REPLY:
        if (event.reply_userdata == m_loadToken && event.error >= 0)
            handlePropertyChange(event);
        return;
    case MPV_EVENT_END_FILE:
        handleEndFile(event);
        return;
    case MPV_EVENT_LOG_MESSAGE: {
        // The latest specific line wins: when several explain one failure, the last is the most direct.
        const auto* message = static_cast<const mpv_event_log_message*>(event.data);
        const QString reason = reasonFromLog(QString::fromUtf8(message->prefix), QString::fromUtf8(message->text));
        // Lines may come after the end of the file they explain, so a failed state still takes them.
        const bool explainsCurrent = m_state != State::Ready && m_state != State::Stopped &&
                                     m_state != State::NothingToPlay && m_fetch == Fetch::None;
        if (!reason.isEmpty() && explainsCurrent)
            m_logReason = reason;
        return;
    }
    case MPV_EVENT_PROPERTY_CHANGE:
        handlePropertyChange(event);
        return;
    default:
        return;
    }
}

void MpvEngine::handlePropertyChange(const mpv_event& event)
{
    const auto* property = static_cast<const mpv_event_property*>(event.data);
    const char* name = property->name;
    const bool has = property->format != MPV_FORMAT_NONE && property->data;
    if (std::strcmp(name, "media-title") == 0) {
        m_mediaTitle = has ? QString::fromUtf8(*static_cast<char**>(property->data)) : QString();
    } else if (std::strcmp(name, "filename") == 0) {
        m_fileName = has ? QString::fromUtf8(*static_cast<char**>(property->data)) : QString();
    } else if (std::strcmp(name, "paused-for-cache") == 0) {
        m_pausedForCache = has && *static_cast<int*>(property->data);
    } else if (std::strcmp(name, "cache-buffering-state") == 0) {
        m_bufferingPercent = has ? int(*static_cast<int64_t*>(property->data)) : 0;
    } else if (has && property->format == MPV_FORMAT_NODE) {
        const auto* node = static_cast<const mpv_node*>(property->data);
        if (std::strcmp(name, "file-size") == 0)
            m_sizeKnown = node->format == MPV_FORMAT_INT64 && node->u.int64 > 0;
        else if (std::strcmp(name, "seekable") == 0)
            m_seekable = node->format == MPV_FORMAT_FLAG && node->u.flag;
        else if (std::strcmp(name, "file-format") == 0 && node->format == MPV_FORMAT_STRING)
            m_fileFormat = QString::fromUtf8(node->u.string);
    }
}

// A finite file has a size (a live stream's has none). HLS is the exception: its size is the index's, and a
// live one is the one that can't be sought.
bool MpvEngine::playedStreamIsFinite() const
{
    return m_fileFormat == QLatin1String("hls") ? m_seekable : m_sizeKnown;
}

void MpvEngine::handleEndFile(const mpv_event& event)
{
    const auto* end = static_cast<const mpv_event_end_file*>(event.data);
    if (!isOurs(end->playlist_entry_id))
        return;
    switch (end->reason) {
    case MPV_END_FILE_REASON_REDIRECT:
        // A playlist: its entries are what plays now.
        if (end->playlist_insert_num_entries > 0) {
            m_firstEntry = end->playlist_insert_id;
            m_entryCount = end->playlist_insert_num_entries;
            m_expanded = true;
        }
        return;
    case MPV_END_FILE_REASON_EOF:
    case MPV_END_FILE_REASON_ERROR:
        break;
    default: // stopped or replaced by us
        return;
    }
    if (end->reason == MPV_END_FILE_REASON_ERROR)
        m_endError = end->error;
    // libmpv goes on to the next entry of a playlist by itself.
    if (end->playlist_entry_id < m_firstEntry + m_entryCount - 1)
        return;
    m_entryCount = 0;
    m_openTimer.stop();

    if (m_state != State::Playing) {
        // libmpv words no reason for a server that accepted and then never answered.
        const bool timedOut = m_loadClock.isValid() && m_loadClock.elapsed() >= (networkTimeoutSeconds - 1) * 1000;
        if (m_endError == MPV_ERROR_LOADING_FAILED && m_logReason.isEmpty() && timedOut)
            m_logReason = QStringLiteral("The server did not answer");
        loadFailed();
        return;
    }
    // A finite file that played to its end is done; the playlist it came from may hold more.
    if (end->reason == MPV_END_FILE_REASON_EOF && playedStreamIsFinite()) {
        if (m_viaPlaylist && !m_resolver.done()) {
            m_state = State::Connecting;
            advancePlaylist();
        } else {
            m_state = State::Finished;
        }
        return;
    }
    if (!isNetworkLocation(m_location)) {
        m_state = end->reason == MPV_END_FILE_REASON_EOF ? State::Finished : State::Failed;
        return;
    }
    // A live stream ended though it never should. One that had played a good while before counts as recovered.
    if (m_playingFor.isValid() && m_playingFor.elapsed() >= stablePlayMs)
        m_reconnectAttempt = 0;
    scheduleReconnect();
}

// Try again a few times, waiting longer each time.
void MpvEngine::scheduleReconnect()
{
    m_entryCount = 0;
    m_openTimer.stop();
    if (m_reconnectAttempt >= reconnectAttempts) {
        m_state = State::Lost;
        return;
    }
    ++m_reconnectAttempt;
    m_state = State::Reconnecting;
    m_reconnectTimer.start(1000 << (m_reconnectAttempt - 1));
}

QNetworkAccessManager* MpvEngine::network()
{
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    }
    return m_network;
}

void MpvEngine::startFetch(const QUrl& url, Fetch purpose)
{
    cancelFetch();
    const QString reserved = reservedHostReason(url.toString());
    if (!reserved.isEmpty()) {
        if (purpose == Fetch::Playlist) {
            m_resolver.failed(reserved);
            advancePlaylist();
        } else {
            m_logReason = reserved;
            m_state = State::Failed;
        }
        return;
    }
    QNetworkRequest request(url);
    request.setMaximumRedirectsAllowed(10);
    request.setTransferTimeout(fetchTimeoutMs);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Orvane"));
    m_fetch = purpose;
    m_body.clear();
    m_reply = network()->get(request);
    connect(m_reply, &QNetworkReply::readyRead, this, &MpvEngine::fetchProgress);
    connect(m_reply, &QNetworkReply::finished, this, &MpvEngine::fetchFinished);
}

void MpvEngine::cancelFetch()
{
    m_fetch = Fetch::None;
    m_body.clear();
    if (!m_reply)
        return;
    QNetworkReply* reply = std::exchange(m_reply, nullptr);
    disconnect(reply, nullptr, this, nullptr);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
}

// Only so much is read: a look at the head of an unknown answer, a playlist up to one byte past its cap.
void MpvEngine::fetchProgress()
{
    const qsizetype wanted = (m_fetch == Fetch::Peek ? peekBytes : kAsxMaxBodySize + 1) - m_body.size();
    if (wanted > 0)
        m_body += m_reply->read(wanted);
    if (m_body.size() >= (m_fetch == Fetch::Peek ? peekBytes : kAsxMaxBodySize + 1))
        fetchFinished();
}

void MpvEngine::fetchFinished()
{
    if (!m_reply)
        return;
    if (m_reply->isFinished() && m_reply->error() == QNetworkReply::NoError)
        m_body += m_reply->read(qMax<qsizetype>(0, kAsxMaxBodySize + 1 - m_body.size()));
    const bool failed = m_reply->isFinished() && m_reply->error() != QNetworkReply::NoError;
    const QString reason = failed ? fetchError() : QString();
    const QString type = m_reply->header(QNetworkRequest::ContentTypeHeader).toString();
    const QUrl url = m_reply->request().url();
    const QByteArray body = m_body;
    const Fetch purpose = m_fetch;
    cancelFetch();

    if (purpose == Fetch::Playlist) {
        if (failed)
            m_resolver.failed(reason);
        else
            m_resolver.feed(body, type);
        advancePlaylist();
        return;
    }
    // A look at what libmpv could not make out.
    if (failed) {
        m_logReason = reason;
        m_state = State::Failed;
        return;
    }
    if (!looksLikeAsx(body.left(peekBytes), type, m_location)) {
        if (type.startsWith(QLatin1String("text/html"), Qt::CaseInsensitive))
            m_logReason = QStringLiteral("The server sent a web page, not a stream");
        m_state = State::Failed;
        return;
    }
    m_viaPlaylist = true;
    if (body.size() < peekBytes) {
        m_resolver.start(url, body, type);
        advancePlaylist();
    } else {
        // The head was enough to tell; the whole playlist is fetched anew.
        resolvePlaylist(url);
    }
}

QString MpvEngine::fetchError() const
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        const QString phrase = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        return QStringLiteral("HTTP error %1 %2").arg(status).arg(phrase).trimmed();
    }
    switch (m_reply->error()) {
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("Too many redirects");
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("Connection refused");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("Unknown host");
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("The server did not answer");
    default:
        return m_reply->errorString();
    }
}

void MpvEngine::resolvePlaylist(const QUrl& playlist)
{
    m_resolver.start(playlist);
    advancePlaylist();
}

// One step of the walk: fetch the next playlist, or open the next media location.
void MpvEngine::advancePlaylist()
{
    const AsxResolver::Candidate candidate = m_resolver.next();
    switch (candidate.kind) {
    case AsxResolver::Kind::Playlist:
        startFetch(candidate.url, Fetch::Playlist);
        return;
    case AsxResolver::Kind::Media:
        startLoad(candidate.location());
        return;
    case AsxResolver::Kind::None:
        playlistExhausted();
        return;
    }
}

void MpvEngine::playlistExhausted()
{
    if (m_resolver.lastError().isEmpty() && m_playlistPlayed) {
        m_state = State::Finished;
        return;
    }
    m_logReason = m_resolver.lastError();
    m_endError = 0;
    if (m_state == State::Reconnecting)
        scheduleReconnect();
    else
        m_state = State::Failed;
}

} // namespace orvane
