#include "player/WMPLib_TLB.h"

#include "player/MpvEngine.h"

#include <QContextMenuEvent>
#include <QFile>
#include <QMenu>
#include <QVBoxLayout>
#include <QtEndian>

// Resources of a static library must be registered by hand; the player needs its saved state wherever it is linked.
static void registerPlayerResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(orvane);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace orvane {

namespace {

const char* const activationFailed = "OLE control activation failed";
const char* const noWindowHandle = "Could not obtain OLE control window handle";

// Trailing blanks, control characters and periods go: the error box adds its own period.
QString trimmedDescription(const QString& text)
{
    qsizetype end = text.size();
    while (end > 0 && (text.at(end - 1).unicode() <= u' ' || text.at(end - 1) == u'.'))
        --end;
    return text.left(end);
}

PlayerEngineFactory& engineFactory()
{
    static PlayerEngineFactory factory = TWindowsMediaPlayer::defaultEngineFactory();
    return factory;
}

} // namespace

PlayerError::PlayerError(const QString& text, HResult code)
    : std::runtime_error(text.toStdString())
    , m_text(text)
    , m_code(code)
{
}

QString systemDescription(HResult code)
{
    switch (code) {
    case hr::ok:
        return QStringLiteral("The operation completed successfully.");
    case hr::falseResult:
        return QStringLiteral("Incorrect function.");
    case hr::notImplemented:
        return QStringLiteral("Not implemented");
    case hr::noInterface:
        return QStringLiteral("Interface not supported");
    case hr::pointer:
        return QStringLiteral("Invalid pointer");
    case hr::abort:
        return QStringLiteral("Operation aborted");
    case hr::fail:
        return QStringLiteral("Unspecified error");
    case hr::unexpected:
        return QStringLiteral("Catastrophic failure");
    case hr::outOfMemory:
        return QStringLiteral("Not enough storage is available to complete this operation.");
    case hr::invalidArg:
        return QStringLiteral("The parameter is incorrect.");
    default:
        return {};
    }
}

QString errorText(const QString& playerDescription, HResult code)
{
    QString text = trimmedDescription(playerDescription);
    if (text.isEmpty())
        text = trimmedDescription(systemDescription(code));
    if (text.isEmpty())
        text = QString::asprintf("OLE error %.8X", static_cast<unsigned>(code));
    return text;
}

namespace {

// Reads the saved state front to back; any shortfall or stray byte makes the whole state unusable.
class StateReader {
public:
    explicit StateReader(const QByteArray& bytes)
        : m_bytes(bytes)
    {
    }

    template <typename T> T read()
    {
        need(sizeof(T));
        const T value = qFromLittleEndian<T>(m_bytes.constData() + m_pos);
        m_pos += sizeof(T);
        return value;
    }
    QByteArray take(qsizetype count)
    {
        need(count);
        const QByteArray part = m_bytes.mid(m_pos, count);
        m_pos += count;
        return part;
    }
    bool atEnd() const { return m_pos == m_bytes.size(); }

private:
    void need(qsizetype count) const
    {
        if (count < 0 || m_bytes.size() - m_pos < count)
            throw PlayerError(QString::fromLatin1(activationFailed), hr::fail);
    }
    const QByteArray& m_bytes;
    qsizetype m_pos = 0;
};

[[noreturn]] void badState()
{
    throw PlayerError(QString::fromLatin1(activationFailed), hr::fail);
}

} // namespace

PersistedState PersistedState::parse(const QByteArray& bytes)
{
    constexpr int valueCount = 23;
    StateReader reader(bytes);
    if (reader.take(4) != QByteArray("\x00\x03\x00\x00", 4))
        badState();

    PersistedState state;
    for (int i = 0; i < valueCount; ++i) {
        Value value;
        switch (reader.read<quint16>()) {
        case 3:
            value.type = Value::Type::Int;
            value.intValue = reader.read<qint32>();
            break;
        case 5:
            value.type = Value::Type::Double;
            value.doubleValue = reader.read<double>();
            break;
        case 11: {
            value.type = Value::Type::Bool;
            const qint16 flag = reader.read<qint16>();
            if (flag != 0 && flag != -1)
                badState();
            value.boolValue = flag == -1;
            break;
        }
        case 8: {
            value.type = Value::Type::Text;
            const quint32 byteCount = reader.read<quint32>();
            if (byteCount < 2 || byteCount % 2 != 0)
                badState();
            const QByteArray text = reader.take(qsizetype(byteCount));
            if (!text.endsWith(QByteArray(2, '\0')))
                badState();
            QString decoded;
            for (qsizetype at = 0; at + 2 < text.size(); at += 2)
                decoded.append(QChar(qFromLittleEndian<quint16>(text.constData() + at)));
            value.textValue = decoded;
            break;
        }
        default:
            badState();
        }
        state.values.append(value);
    }
    state.extentX = reader.read<qint32>();
    state.extentY = reader.read<qint32>();
    if (!reader.atEnd())
        badState();
    return state;
}

QString PersistedState::uiMode() const
{
    return values.value(12).textValue;
}

int PersistedState::volume() const
{
    return values.value(10).intValue;
}

bool PersistedState::mute() const
{
    return values.value(11).boolValue;
}

bool PersistedState::autoStart() const
{
    return values.value(6).boolValue;
}

int IWMPSettings::volume() const
{
    int volume = 0;
    const HResult result = m_engine->getVolume(&volume);
    if (result < 0)
        throw PlayerError(errorText(m_engine->errorDescription(), result), result);
    return volume;
}

void IWMPSettings::setVolume(int volume)
{
    const HResult result = m_engine->putVolume(volume);
    if (result < 0)
        throw PlayerError(errorText(m_engine->errorDescription(), result), result);
}

TWindowsMediaPlayer::TWindowsMediaPlayer(QWidget* parent)
    : QWidget(parent)
{
    registerPlayerResources();
    if (engineFactory())
        m_engine = engineFactory()();
    if (!m_engine)
        throw PlayerError(QString::fromLatin1(activationFailed), hr::fail);

    QFile stateFile(QStringLiteral(":/wmp_state.bin"));
    if (!stateFile.open(QIODevice::ReadOnly))
        throw PlayerError(QString::fromLatin1(activationFailed), hr::fail);
    const PersistedState state = PersistedState::parse(stateFile.readAll());
    if (m_engine->applyState(state) < 0)
        throw PlayerError(QString::fromLatin1(activationFailed), hr::fail);

    QWidget* surface = m_engine->createSurface(this);
    if (!surface)
        throw PlayerError(QString::fromLatin1(noWindowHandle), hr::fail);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(surface);
}

// Out of line: the engine's full type is known here.
TWindowsMediaPlayer::~TWindowsMediaPlayer() = default;

void TWindowsMediaPlayer::setEngineFactory(PlayerEngineFactory factory)
{
    engineFactory() = factory ? std::move(factory) : defaultEngineFactory();
}

PlayerEngineFactory TWindowsMediaPlayer::defaultEngineFactory()
{
    return []() -> std::unique_ptr<PlayerEngine> { return MpvEngine::create(); };
}

void TWindowsMediaPlayer::setURL(const QString& location)
{
    const HResult result = m_engine->putUrl(location);
    if (result != hr::ok)
        throw PlayerError(errorText(m_engine->errorDescription(), result), result);
}

QString TWindowsMediaPlayer::status() const
{
    QString text;
    const HResult result = m_engine->getStatus(&text);
    if (result != hr::ok)
        throw PlayerError(errorText(m_engine->errorDescription(), result), result);
    return text;
}

std::unique_ptr<IWMPSettings> TWindowsMediaPlayer::settings() const
{
    const HResult result = m_engine->querySettings();
    if (result < 0)
        throw PlayerError(errorText(m_engine->errorDescription(), result), result);
    return std::unique_ptr<IWMPSettings>(new IWMPSettings(m_engine.get()));
}

void TWindowsMediaPlayer::close()
{
    const HResult result = m_engine->close();
    if (result < 0)
        throw PlayerError(errorText(m_engine->errorDescription(), result), result);
}

void TWindowsMediaPlayer::contextMenuEvent(QContextMenuEvent* event)
{
    if (!m_popupMenu) {
        event->ignore();
        return;
    }
    m_popupMenu->popup(event->globalPos());
    event->accept();
}

} // namespace orvane
