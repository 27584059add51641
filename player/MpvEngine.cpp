#include "player/MpvEngine.h"

#include "player/WMPLib_TLB.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QRegularExpression>

#include <mpv/client.h>
#include <mpv/render_gl.h>

#include <clocale>
#include <cstring>

namespace orvane {

namespace {

void* glProcAddress(void*, const char* name)
{
    QOpenGLContext* context = QOpenGLContext::currentContext();
    return context ? reinterpret_cast<void*>(context->getProcAddress(name)) : nullptr;
}

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

QString capitalized(QString text)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper();
    return text;
}

} // namespace

MpvSurface::MpvSurface(mpv_handle* mpv, QWidget* parent)
    : QOpenGLWidget(parent)
    , m_mpv(mpv)
{
}

MpvSurface::~MpvSurface()
{
    releaseRenderContext();
    // The base class destroys the context; by then this part of the object is gone.
    if (context())
        disconnect(context(), nullptr, this, nullptr);
}

void MpvSurface::detach()
{
    releaseRenderContext();
    m_mpv = nullptr;
}

void MpvSurface::initializeGL()
{
    if (!m_mpv || m_render)
        return;
    // The context goes when the widget moves to another window; the render context must go with it.
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &MpvSurface::releaseRenderContext,
            Qt::UniqueConnection);
    mpv_opengl_init_params glParams{glProcAddress, nullptr};
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_OPENGL)},
        {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &glParams},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    // Without a render context libmpv plays sound only; that is all we can offer then.
    if (mpv_render_context_create(&m_render, m_mpv, params) < 0) {
        m_render = nullptr;
        return;
    }
    mpv_render_context_set_update_callback(m_render, &MpvSurface::onRenderUpdate, this);
}

void MpvSurface::paintGL()
{
    if (m_render) {
        mpv_render_context_update(m_render);
        renderFrame();
        return;
    }
    QOpenGLFunctions* gl = context()->functions();
    gl->glClearColor(0, 0, 0, 1);
    gl->glClear(GL_COLOR_BUFFER_BIT);
}

// Called on a libmpv thread, where no libmpv call is allowed: hand over to the GUI thread, once per batch.
void MpvSurface::onRenderUpdate(void* surface)
{
    auto* self = static_cast<MpvSurface*>(surface);
    if (!self->m_updateQueued.exchange(true))
        QMetaObject::invokeMethod(self, &MpvSurface::renderUpdate, Qt::QueuedConnection);
}

void MpvSurface::renderUpdate()
{
    m_updateQueued = false;
    if (!m_render)
        return;
    if (isVisible() && !window()->isMinimized()) {
        update();
        return;
    }
    // Hidden: nothing will paint. Take each frame in time without drawing it, or libmpv's video output waits
    // for it and drops every frame while hidden.
    makeCurrent();
    if (mpv_render_context_update(m_render) & MPV_RENDER_UPDATE_FRAME) {
        int skip = 1;
        mpv_render_param params[] = {
            {MPV_RENDER_PARAM_SKIP_RENDERING, &skip},
            {MPV_RENDER_PARAM_INVALID, nullptr},
        };
        mpv_render_context_render(m_render, params);
    }
    doneCurrent();
}

void MpvSurface::renderFrame()
{
    const qreal ratio = devicePixelRatioF();
    mpv_opengl_fbo fbo{static_cast<int>(defaultFramebufferObject()), qRound(width() * ratio), qRound(height() * ratio),
                       0};
    int flipY = 1;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
        {MPV_RENDER_PARAM_FLIP_Y, &flipY},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    mpv_render_context_render(m_render, params);
}

void MpvSurface::releaseRenderContext()
{
    if (!m_render)
        return;
    mpv_render_context_set_update_callback(m_render, nullptr, nullptr);
    makeCurrent();
    mpv_render_context_free(m_render);
    m_render = nullptr;
    doneCurrent();
}

std::unique_ptr<MpvEngine> MpvEngine::create()
{
    // libmpv refuses to start under any other numeric locale.
    std::setlocale(LC_NUMERIC, "C");
    mpv_handle* mpv = mpv_create();
    if (!mpv)
        return nullptr;

    const char* const options[][2] = {
        {"vo", "libmpv"},
        // The program reads and writes nothing of its own: no config files, scripts or terminal output.
        {"config", "no"},
        {"load-scripts", "no"},
        {"terminal", "no"},
        {"input-default-bindings", "no"},
        {"input-vo-keyboard", "no"},
        {"ytdl", "no"},
        {"idle", "yes"},
        {"audio-client-name", "orvane"},
        // The name of our stream in the desktop's sound mixer.
        {"title", "${?media-title:${media-title}}${!media-title:Orvane}"},
        // Live streams: a modest cache, no unbounded back buffer, and a stalled server counts as failed soon.
        {"cache", "yes"},
        {"cache-secs", "10"},
        {"demuxer-max-bytes", "8MiB"},
        {"demuxer-max-back-bytes", "1MiB"},
        {"network-timeout", "15"},
        // Software decoding only: probing hardware decoders' interop costs time and prints noise.
        {"hwdec", "no"},
        {"gpu-hwdec-interop", "no"},
        // Frames are drawn on the GUI thread: never wait there for a frame's display time.
        {"video-timing-offset", "0"},
    };
    for (const auto& option : options) {
        if (mpv_set_option_string(mpv, option[0], option[1]) < 0) {
            mpv_terminate_destroy(mpv);
            return nullptr;
        }
    }
    // Built-in scripts that exist only where libmpv has Lua; there is nothing to turn off otherwise.
    for (const char* option : {"osc", "load-stats-overlay", "load-osd-console", "load-auto-profiles"})
        mpv_set_option_string(mpv, option, "no");

    if (mpv_initialize(mpv) < 0) {
        mpv_terminate_destroy(mpv);
        return nullptr;
    }
    return std::unique_ptr<MpvEngine>(new MpvEngine(mpv));
}

MpvEngine::MpvEngine(mpv_handle* mpv)
    : m_mpv(mpv)
{
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, [this] {
        if (startLoad() != hr::ok)
            m_state = State::Failed;
    });

    mpv_observe_property(m_mpv, 0, "media-title", MPV_FORMAT_STRING);
    mpv_observe_property(m_mpv, 0, "filename", MPV_FORMAT_STRING);
    mpv_observe_property(m_mpv, 0, "paused-for-cache", MPV_FORMAT_FLAG);
    mpv_observe_property(m_mpv, 0, "cache-buffering-state", MPV_FORMAT_INT64);
    // The detailed reason for a failure is only in the log.
    mpv_request_log_messages(m_mpv, "warn");
    mpv_set_wakeup_callback(m_mpv, &MpvEngine::onWakeup, this);
}

MpvEngine::~MpvEngine()
{
    // Returns only once no wake-up is running; queued drains die with this object.
    mpv_set_wakeup_callback(m_mpv, nullptr, nullptr);
    if (m_surface)
        m_surface->detach();
    mpv_terminate_destroy(m_mpv);
}

QWidget* MpvEngine::createSurface(QWidget* parent)
{
    m_surface = new MpvSurface(m_mpv, parent);
    return m_surface;
}

HResult MpvEngine::applyState(const PersistedState& state)
{
    m_volume = qBound(0, state.volume(), 100);
    double volume = m_volume;
    int mute = state.mute();
    int pause = !state.autoStart();
    // uiMode needs nothing here: this player never shows controls of its own.
    for (int result : {mpv_set_property(m_mpv, "volume", MPV_FORMAT_DOUBLE, &volume),
                       mpv_set_property(m_mpv, "mute", MPV_FORMAT_FLAG, &mute),
                       mpv_set_property(m_mpv, "pause", MPV_FORMAT_FLAG, &pause)}) {
        if (result < 0)
            return fail(result);
    }
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
    m_reconnectTimer.stop();
    m_reconnectAttempt = 0;
    if (location.isEmpty()) {
        m_location.clear();
        return stopPlayback(State::NothingToPlay);
    }
    m_location = normalizedLocation(location);
    m_state = State::Connecting;
    const HResult result = startLoad();
    if (result != hr::ok)
        m_state = State::Failed;
    return result;
}

HResult MpvEngine::startLoad()
{
    m_loadToken = ++m_tokenCounter;
    m_firstEntry = 0;
    m_entryCount = 0;
    m_started = false;
    m_logReason.clear();
    m_endError = 0;
    const QByteArray location = m_location.toUtf8();
    const char* command[] = {"loadfile", location.constData(), "replace", nullptr};
    const int result = mpv_command_async(m_mpv, m_loadToken, command);
    if (result < 0) {
        m_endError = result;
        return fail(result);
    }
    return hr::ok;
}

HResult MpvEngine::stopPlayback(State state)
{
    m_reconnectTimer.stop();
    m_loadToken = ++m_tokenCounter; // a reply still on its way belongs to nothing now
    m_entryCount = 0;
    m_state = state;
    const char* command[] = {"stop", nullptr};
    const int result = mpv_command_async(m_mpv, 0, command);
    return result < 0 ? fail(result) : hr::ok;
}

HResult MpvEngine::close()
{
    m_reconnectAttempt = 0;
    return stopPlayback(State::Stopped);
}

HResult MpvEngine::getStatus(QString* status)
{
    switch (m_state) {
    case State::Ready:
        *status = QStringLiteral("Ready");
        break;
    case State::Connecting:
        *status = QStringLiteral("Connecting...");
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
        return capitalized(QString::fromUtf8(mpv_error_string(m_endError)));
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
    double value = m_volume;
    const int result = mpv_set_property_async(m_mpv, 0, "volume", MPV_FORMAT_DOUBLE, &value);
    return result < 0 ? fail(result) : hr::ok;
}

HResult MpvEngine::fail(int mpvError)
{
    m_errorDescription = capitalized(QString::fromUtf8(mpv_error_string(mpvError)));
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
        const mpv_event* event = mpv_wait_event(m_mpv, 0);
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
            m_state = State::Failed;
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
        return;
    case MPV_EVENT_PLAYBACK_RESTART:
        if (m_started && (m_state == State::Connecting || m_state == State::Reconnecting)) {
            m_state = State::Playing;
            m_reconnectAttempt = 0;
        }
        return;
    case MPV_EVENT_END_FILE:
        handleEndFile(event);
        return;
    case MPV_EVENT_LOG_MESSAGE: {
        // The latest specific line wins: when several explain one failure, the last is the most direct.
        const auto* message = static_cast<const mpv_event_log_message*>(event.data);
        const QString reason = reasonFromLog(QString::fromUtf8(message->prefix), QString::fromUtf8(message->text));
        // Lines may come after the end of the file they explain, so a failed state still takes them.
        const bool explainsCurrent =
            m_state != State::Ready && m_state != State::Stopped && m_state != State::NothingToPlay;
        if (!reason.isEmpty() && explainsCurrent)
            m_logReason = reason;
        return;
    }
    case MPV_EVENT_PROPERTY_CHANGE: {
        const auto* property = static_cast<const mpv_event_property*>(event.data);
        const char* name = property->name;
        const bool has = property->format != MPV_FORMAT_NONE && property->data;
        if (std::strcmp(name, "media-title") == 0)
            m_mediaTitle = has ? QString::fromUtf8(*static_cast<char**>(property->data)) : QString();
        else if (std::strcmp(name, "filename") == 0)
            m_fileName = has ? QString::fromUtf8(*static_cast<char**>(property->data)) : QString();
        else if (std::strcmp(name, "paused-for-cache") == 0)
            m_pausedForCache = has && *static_cast<int*>(property->data);
        else if (std::strcmp(name, "cache-buffering-state") == 0)
            m_bufferingPercent = has ? int(*static_cast<int64_t*>(property->data)) : 0;
        return;
    }
    default:
        return;
    }
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

    const bool livePlayedOrRetrying =
        isNetworkLocation(m_location) && (m_state == State::Playing || m_state == State::Reconnecting);
    if (livePlayedOrRetrying) {
        scheduleReconnect();
        return;
    }
    m_entryCount = 0;
    m_state = m_state == State::Playing && end->reason == MPV_END_FILE_REASON_EOF ? State::Stopped : State::Failed;
}

// A live stream ended though it never should: try again a few times, waiting longer each time.
void MpvEngine::scheduleReconnect()
{
    m_entryCount = 0;
    if (m_reconnectAttempt >= reconnectAttempts) {
        m_state = State::Lost;
        return;
    }
    ++m_reconnectAttempt;
    m_state = State::Reconnecting;
    m_reconnectTimer.start(1000 << (m_reconnectAttempt - 1));
}

} // namespace orvane
