#include "app/Icons.h"

#include <initializer_list>

namespace orvane {

namespace {

QIcon iconSet(const char* name, std::initializer_list<int> sizes)
{
    QIcon icon;
    for (int size : sizes)
        icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(QLatin1String(name)).arg(size), QSize(size, size));
    return icon;
}

} // namespace

QIcon mainIcon()
{
    return iconSet("main", {16, 32, 48});
}

QIcon trayIcon()
{
    return iconSet("tray", {16, 24, 32, 48, 128});
}

} // namespace orvane
