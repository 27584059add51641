#include "control/ChannelCatalogue.h"

#include <QFile>

namespace orvane {

QString ChannelEntry::name() const
{
    const qsizetype at = m_line.indexOf(separator);
    return at > 0 ? m_line.left(at) : QString();
}

QString ChannelEntry::location() const
{
    const qsizetype at = m_line.indexOf(separator);
    return at >= 0 ? m_line.mid(at + 1) : QString();
}

QString ChannelEntry::displayText() const
{
    const QString shown = name();
    return shown.isEmpty() ? m_line : shown;
}

QString ChannelEntry::playLocation() const
{
    return name().isEmpty() ? QString() : location();
}

ChannelCatalogue::ChannelCatalogue(QStringList tv, QStringList radio, QStringList internet)
    : m_tv(std::move(tv))
    , m_radio(std::move(radio))
    , m_internet(std::move(internet))
{
}

QStringList ChannelCatalogue::parseLines(const QByteArray& utf8)
{
    QStringList lines = QString::fromUtf8(utf8).split(u'\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

namespace {

QStringList resourceLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return ChannelCatalogue::parseLines(file.readAll());
}

} // namespace

ChannelCatalogue ChannelCatalogue::builtIn()
{
    return ChannelCatalogue(resourceLines(QStringLiteral(":/catalogue/tv.txt")),
                            resourceLines(QStringLiteral(":/catalogue/radio.txt")),
                            resourceLines(QStringLiteral(":/catalogue/internet.txt")));
}

} // namespace orvane
