// The catalogue's line splitting: a list file's bytes into lines, each line into name and location. The input
// is read both as a list file (UTF-8) and as one line of raw UTF-16 code units, unpaired surrogates and
// look-alike separators included.
#include "control/ChannelCatalogue.h"

#include <cstdint>
#include <cstdlib>

using namespace orvane;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkLine(const QString& line)
{
    const ChannelEntry entry(line);
    const QString name = entry.name();
    const QString location = entry.location();
    check(entry.line() == line);
    check(!name.contains(ChannelEntry::separator));
    if (line.contains(ChannelEntry::separator))
        check(name + ChannelEntry::separator + location == line);
    else
        check(name.isEmpty() && location.isEmpty());
    check(entry.displayText() == (name.isEmpty() ? line : name));
    check(entry.playLocation() == (name.isEmpty() ? QString() : location));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const QStringList lines = ChannelCatalogue::parseLines(bytes);
    const QString text = QString::fromUtf8(bytes);
    check(lines.join(u'\n') + (text.endsWith(u'\n') ? QStringLiteral("\n") : QString()) == text);
    for (const QString& line : lines)
        checkLine(line);

    QString units(qsizetype(size / 2), Qt::Uninitialized);
    for (qsizetype i = 0; i < units.size(); ++i)
        units[i] = QChar(char16_t(data[2 * i] | (data[2 * i + 1] << 8)));
    checkLine(units);
    return 0;
}
