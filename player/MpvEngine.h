#pragma once

#include "player/PlayerEngine.h"

#include <QObject>
#include <QOpenGLWidget>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <memory>

struct mpv_handle;
struct mpv_render_context;
struct mpv_event;

namespace orvane {

// Shows libmpv's video through the render API. It also renders while hidden: libmpv's video output waits for
// each frame to be taken, and a window hidden in the tray gets no paint events.
class MpvSurface : public QOpenGLWidget {
    Q_OBJECT
public:
    MpvSurface(mpv_handle* mpv, QWidget* parent);
    ~MpvSurface() override;

    // Frees the render context (it must go before the mpv core) and renders nothing from then on.
    void detach();

protected:
    void initializeGL() override;
    void paintGL() override;

private:
    static void onRenderUpdate(void* surface);
    void renderUpdate();
    void renderFrame();
    void releaseRenderContext();

    mpv_handle* m_mpv;
    mpv_render_context* m_render = nullptr;
    std::atomic_bool m_updateQueued = false;
};

// The player engine over libmpv. Every call returns at once: loads and stops are asynchronous commands, and
// what happens to a stream arrives as events, drained on the GUI thread, that set the state read by getStatus().
class MpvEngine : public QObject, public PlayerEngine {
    Q_OBJECT
public:
    // Null when libmpv can't be started.
    static std::unique_ptr<MpvEngine> create();
    ~MpvEngine() override;

    QWidget* createSurface(QWidget* parent) override;
    HResult applyState(const PersistedState& state) override;
    HResult putUrl(const QString& location) override;
    HResult getStatus(QString* status) override;
    HResult querySettings() override;
    HResult getVolume(int* volume) override;
    HResult putVolume(int volume) override;
    HResult close() override;
    QString errorDescription() const override { return m_errorDescription; }

    // URI schemes are case-insensitive but libmpv knows them only in lower case; the rest stays as given.
    static QString normalizedLocation(const QString& location);
    // A failure reason worded from one of libmpv's log lines, or empty when the line says nothing specific.
    static QString reasonFromLog(const QString& prefix, const QString& text);

    static constexpr int reconnectAttempts = 5;

private:
    enum class State { Ready, Connecting, Playing, Reconnecting, Stopped, NothingToPlay, Failed, Lost };

    explicit MpvEngine(mpv_handle* mpv);
    static void onWakeup(void* engine);
    void drainEvents();
    void handleEvent(const mpv_event& event);
    void handleEndFile(const mpv_event& event);
    bool isOurs(qint64 entryId) const;
    HResult startLoad();
    HResult stopPlayback(State state);
    void scheduleReconnect();
    QString failureReason() const;
    HResult fail(int mpvError);

    mpv_handle* m_mpv;
    QPointer<MpvSurface> m_surface;
    std::atomic_bool m_wakeupQueued = false;

    State m_state = State::Ready;
    QString m_location;
    int m_volume = 100;
    QString m_errorDescription;

    // The playlist entries of the current load: one, or those a playlist expanded into.
    quint64 m_tokenCounter = 0;
    quint64 m_loadToken = 0;
    bool m_started = false;
    qint64 m_firstEntry = 0;
    int m_entryCount = 0;

    QString m_mediaTitle;
    QString m_fileName;
    bool m_pausedForCache = false;
    int m_bufferingPercent = 0;

    QString m_logReason;
    int m_endError = 0;

    int m_reconnectAttempt = 0;
    QTimer m_reconnectTimer;
};

} // namespace orvane
