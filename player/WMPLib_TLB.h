#pragma once

#include "player/PlayerEngine.h"

#include <QByteArray>
#include <QWidget>

#include <memory>
#include <stdexcept>

class QMenu;

namespace orvane {

// A failed player call. Its text follows the rule of errorText().
class PlayerError : public std::runtime_error {
public:
    PlayerError(const QString& text, HResult code);
    QString text() const { return m_text; }
    HResult code() const { return m_code; }

private:
    QString m_text;
    HResult m_code;
};

// The wording of a failed call: the player's own description, else the system's description of the
// code (both without trailing blanks, control characters and periods), else "OLE error XXXXXXXX".
QString errorText(const QString& playerDescription, HResult code);
// The system's description of a result code, or an empty text for an unknown code.
QString systemDescription(HResult code);

// The player's saved state as loaded at creation: 23 typed values and the extent.
struct PersistedState {
    struct Value {
        enum class Type { Int = 3, Double = 5, Text = 8, Bool = 11 } type = Type::Int;
        qint32 intValue = 0;
        double doubleValue = 0;
        bool boolValue = false;
        QString textValue;
    };
    QList<Value> values;
    qint32 extentX = 0; // 0.01 mm
    qint32 extentY = 0;

    // Throws PlayerError when the bytes are not a complete, well-formed state.
    static PersistedState parse(const QByteArray& bytes);
    QString uiMode() const;
    int volume() const;
    bool mute() const;
    bool autoStart() const;
};

class TWindowsMediaPlayer;

// The settings object: fetched afresh from the player for each use.
class IWMPSettings {
public:
    int volume() const;
    void setVolume(int volume);

private:
    friend class TWindowsMediaPlayer;
    explicit IWMPSettings(PlayerEngine* engine)
        : m_engine(engine)
    {
    }
    PlayerEngine* m_engine;
};

// The embedded player: hosts the engine's video surface over its whole area and offers the few
// operations the windows call. Every failed operation throws PlayerError.
class TWindowsMediaPlayer : public QWidget {
    Q_OBJECT
public:
    explicit TWindowsMediaPlayer(QWidget* parent = nullptr);
    ~TWindowsMediaPlayer() override;

    // Engines made from here on come from this factory (the program uses libmpv; tests inject faults).
    static void setEngineFactory(PlayerEngineFactory factory);
    static PlayerEngineFactory defaultEngineFactory();

    void setURL(const QString& location);
    QString status() const;
    std::unique_ptr<IWMPSettings> settings() const;
    void close();

    void setPopupMenu(QMenu* menu) { m_popupMenu = menu; }
    QMenu* popupMenu() const { return m_popupMenu; }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    std::unique_ptr<PlayerEngine> m_engine;
    QMenu* m_popupMenu = nullptr;
};

} // namespace orvane
