#include "app/TrayIcon.h"

#include <QCursor>
#include <QEvent>
#include <QMenu>
#include <QMetaMethod>
#include <QWidget>

namespace orvane {

// Qt's tray re-docks a visible icon by itself when the tray host goes away and comes back (measured with
// icewm's tray: a restarted host and one started after the program both get the icon), so nothing here
// watches the tray selection.
TCoolTrayIcon::TCoolTrayIcon(QWidget* owner)
    : QObject(owner)
    , m_owner(owner)
    , m_tray(new QSystemTrayIcon(this))
{
    connect(m_tray, &QSystemTrayIcon::activated, this, &TCoolTrayIcon::onActivated);
    if (m_owner)
        m_owner->installEventFilter(this);
}

TCoolTrayIcon::~TCoolTrayIcon() = default;

void TCoolTrayIcon::setHint(const QString& hint)
{
    m_hint = hint;
    applyToolTip();
}

void TCoolTrayIcon::setShowHint(bool show)
{
    m_showHint = show;
    applyToolTip();
}

void TCoolTrayIcon::applyToolTip()
{
    m_tray->setToolTip(m_showHint ? m_hint.left(hintLimit) : QString());
}

void TCoolTrayIcon::HideMainWindow()
{
    if (m_owner && m_owner->isWindow())
        m_owner->hide();
}

void TCoolTrayIcon::RestoreMainWindow()
{
    if (!m_owner || !m_owner->isWindow())
        return;
    // A window minimised by the window manager keeps that state while hidden; it has to come back normal.
    if (m_owner->windowState() & Qt::WindowMinimized)
        m_owner->setWindowState(m_owner->windowState() & ~Qt::WindowMinimized);
    m_owner->show();
    m_owner->raise();
    m_owner->activateWindow();
}

void TCoolTrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (!m_enabled)
        return;
    switch (reason) {
    case QSystemTrayIcon::Context:
        popUpAtCursor();
        break;
    case QSystemTrayIcon::Trigger:
        // A double-click arrives as a single click first; with the menu on the left button it opens then.
        if (m_leftPopup)
            popUpAtCursor();
        break;
    case QSystemTrayIcon::DoubleClick:
        emit dblClick();
        if (m_popupMenu && m_popupMenu->defaultAction())
            m_popupMenu->defaultAction()->trigger();
        break;
    default:
        break;
    }
}

// The menu is popped up by hand rather than handed to QSystemTrayIcon::setContextMenu: a StatusNotifier tray
// would give the menu a platform twin, and the same menu also pops up over the video surface.
void TCoolTrayIcon::popUpAtCursor()
{
    if (m_popupMenu)
        m_popupMenu->popup(QCursor::pos());
}

bool TCoolTrayIcon::interceptsMinimize() const
{
    return m_minimizeToTray && isSignalConnected(QMetaMethod::fromSignal(&TCoolTrayIcon::minimizeToTray));
}

bool TCoolTrayIcon::eventFilter(QObject* watched, QEvent* event)
{
    // The window manager has already iconified the window when Qt reports the minimise. Withdrawing it from
    // there leaves it hidden and out of the taskbar; clearing the minimised state now would map the window
    // again (Qt's xcb maps a window whose minimised state is cleared), so RestoreMainWindow clears it when
    // the window comes back.
    if (watched == m_owner && event->type() == QEvent::WindowStateChange && m_owner->isVisible() &&
        (m_owner->windowState() & Qt::WindowMinimized) && interceptsMinimize()) {
        emit minimizeToTray();
        HideMainWindow();
        setIconVisible(true);
    }
    return QObject::eventFilter(watched, event);
}

} // namespace orvane
