#include "app/OrvaneApplication.h"

#include "player/WMPLib_TLB.h"

#include <QMessageBox>

#include <exception>

namespace orvane {

OrvaneApplication::OrvaneApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    // The windows hide to the tray; only the Close command or the session's end quits.
    setQuitOnLastWindowClosed(false);
}

OrvaneApplication* OrvaneApplication::instance()
{
    return qobject_cast<OrvaneApplication*>(QCoreApplication::instance());
}

bool OrvaneApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        reportCurrentException();
    }
    return true;
}

QString OrvaneApplication::currentExceptionText()
{
    try {
        throw;
    } catch (const PlayerError& e) {
        return e.text();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void OrvaneApplication::reportCurrentException()
{
    const QString text = currentExceptionText();
    if (auto* app = instance())
        app->showException(text);
}

QString OrvaneApplication::boxText(const QString& text)
{
    if (text.isEmpty() || text.back() <= QChar(u'.'))
        return text;
    return text + u'.';
}

void OrvaneApplication::showException(const QString& text)
{
    if (m_showingError)
        return;
    m_showingError = true;
    QMessageBox box(QMessageBox::Critical, m_title, boxText(text), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("orvaneErrorBox"));
    box.exec();
    m_showingError = false;
}

} // namespace orvane
