#include "app/Website.h"

#include <QProcess>
#include <QStringList>

namespace orvane {

void openWebsite(const QString& address)
{
    QProcess::startDetached(QStringLiteral("xdg-open"), {address});
}

} // namespace orvane
