#pragma once

#include <QString>
#include <QStringList>

namespace orvane {

// One catalogue line: name "=" location, split at the first "=" each time a part is needed.
class ChannelEntry {
public:
    explicit ChannelEntry(QString line)
        : m_line(std::move(line))
    {
    }

    QString line() const { return m_line; }
    // Everything before the first "="; empty when the line has none or begins with it.
    QString name() const;
    // Everything after the first "=", further "=" and spaces included; empty when the line has none.
    QString location() const;
    // What a list shows: the name, or the whole line when the name is empty.
    QString displayText() const;
    // What a double-click hands to the player: the location, or the empty text when the name is empty.
    QString playLocation() const;

    static constexpr QChar separator = u'=';

private:
    QString m_line;
};

// The three built-in station lists, in display order, each line kept whole.
class ChannelCatalogue {
public:
    ChannelCatalogue() = default;
    ChannelCatalogue(QStringList tv, QStringList radio, QStringList internet);

    // The catalogue compiled into the program.
    static ChannelCatalogue builtIn();
    // The lines of one list file: UTF-8, one line each, a line feed after each; nothing else is stripped.
    static QStringList parseLines(const QByteArray& utf8);

    const QStringList& tv() const { return m_tv; }
    const QStringList& radio() const { return m_radio; }
    const QStringList& internet() const { return m_internet; }

private:
    QStringList m_tv;
    QStringList m_radio;
    QStringList m_internet;
};

} // namespace orvane
