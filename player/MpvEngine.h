#pragma once

#include "player/AsxPlaylist.h"
#include "player/PlayerEngine.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <atomic>
#include <memory>

struct mpv_handle;
struct mpv_event;

class QNetworkAccessManager;
class QNetworkReply;
class QThread;

namespace orvane {

// Where libmpv shows video: a native window of ours, black until a stream with a picture plays, into which libmpv
// puts a window of its own. Mouse buttons pass through to us, so the player's menu opens over the video too.
class MpvVideoArea : public QWidget {
    Q_OBJECT
public:
    explicit MpvVideoArea(QWidget* parent);

signals:
    // Once, when the area has been painted for the first time.
    void firstPainted();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_painted = false;
};

struct MpvApi;

// The player engine over libmpv. Every call returns at once: loads and stops are asynchronous commands, and
// what happens to a stream arrives as events, drained on the GUI thread, that set the state read by getStatus().
//
// ASX playlists, which libmpv does not read, are resolved here: a location whose path ends in .asx (.wax, .wvx) is
// fetched first; any other location goes to libmpv at once, so a plain stream loses no time, and only when libmpv
// can't recognise what an http server sent is the head of it fetched (bounded) to see whether it is an ASX.
class MpvEngine : public QObject, public PlayerEngine {
    Q_OBJECT
public:
    // libmpv itself is opened and started later: on a thread of its own once the video area has been painted,
    // or at the first call that needs it. Until then the program's windows are up and nothing waits for it.
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
    // A server that goes quiet this long, while connecting or playing, has failed.
    static constexpr int networkTimeoutSeconds = 10;
    // A stream that played this long before it dropped counts as recovered: its reconnects start over.
    static constexpr int stablePlayMs = 30000;
    // Longest wait from opening a location to its first played frame. libmpv reads a stream of garbage for as
    // long as its probing wants, which at a slow server's rate is minutes.
    static constexpr int openTimeoutMs = 20000;
    // How much of an unrecognised answer is read to tell an ASX, and how long a fetch may go without data.
    static constexpr int peekBytes = 4096;
    static constexpr int fetchTimeoutMs = 10000;

private:
    enum class State { Ready, Connecting, Playing, Reconnecting, Stopped, Finished, NothingToPlay, Failed, Lost };
    enum class Fetch { None, Peek, Playlist };

    // What a core is started with, taken on the GUI thread.
    struct CoreSettings {
        QByteArray window; // the video area's native window; empty for none
        double volume = 100;
        bool mute = false;
        bool pause = false;
    };
    struct LoadedCore {
        const MpvApi* api = nullptr;
        mpv_handle* core = nullptr;
        QString error;
    };

    MpvEngine() = default;
    // Opens libmpv and starts a core on a thread of its own; the core is taken over here when it is up.
    void preload();
    // The core, started now if it isn't yet. False when libmpv can't be opened or started; the reason is kept.
    bool startCore();
    CoreSettings coreSettings() const;
    static LoadedCore openCore(const CoreSettings& settings);
    void adoptCore();
    static void onWakeup(void* engine);
    void drainEvents();
    void handleEvent(const mpv_event& event);
    void handleEndFile(const mpv_event& event);
    void handlePropertyChange(const mpv_event& event);
    bool isOurs(qint64 entryId) const;

    // Opens m_location: through the ASX resolver when it is a playlist, else straight in libmpv.
    HResult open();
    HResult startLoad(const QString& location);
    HResult stopPlayback(State state);
    void cancelPending();
    void loadFailed();
    void openTimedOut();
    void scheduleReconnect();
    void failWith(const QString& reason);
    bool playedStreamIsFinite() const;

    QNetworkAccessManager* network();
    void startFetch(const QUrl& url, Fetch purpose);
    void cancelFetch();
    void fetchProgress();
    void fetchFinished();
    QString fetchError() const;
    void resolvePlaylist(const QUrl& playlist);
    void advancePlaylist();
    void playlistExhausted();

    QString failureReason() const;
    HResult fail(int mpvError);

    const MpvApi* m_api = nullptr;
    mpv_handle* m_mpv = nullptr;
    QString m_startError;
    QThread* m_loader = nullptr;
    LoadedCore m_loaded; // written by the loader thread, read here once it has finished
    QPointer<MpvVideoArea> m_area;
    std::atomic_bool m_wakeupQueued = false;

    State m_state = State::Ready;
    QString m_location;
    // The saved state's settings, handed to the core when it starts.
    int m_volume = 100;
    bool m_mute = false;
    bool m_pause = false;
    QString m_errorDescription;

    // The playlist entries of the current load: one, or those a playlist expanded into.
    quint64 m_tokenCounter = 0;
    quint64 m_loadToken = 0;
    bool m_started = false;
    qint64 m_firstEntry = 0;
    int m_entryCount = 0;
    bool m_expanded = false;

    QString m_mediaTitle;
    QString m_fileName;
    bool m_pausedForCache = false;
    int m_bufferingPercent = 0;
    // What the current file showed of itself: whether its end is the end of a finite file or a drop.
    bool m_sizeKnown = false;
    bool m_seekable = false;
    QString m_fileFormat;

    QString m_logReason;
    int m_endError = 0;

    int m_reconnectAttempt = 0;
    QTimer m_reconnectTimer;
    QTimer m_openTimer;
    QElapsedTimer m_loadClock;
    QElapsedTimer m_playingFor;

    // ASX: the location is one (found by extension or by a look at it), and the walk through it.
    bool m_viaPlaylist = false;
    bool m_playlistPlayed = false;
    AsxResolver m_resolver;

    QNetworkAccessManager* m_network = nullptr;
    QNetworkReply* m_reply = nullptr;
    Fetch m_fetch = Fetch::None;
    QByteArray m_body;
};

} // namespace orvane
