#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

class QWidget;

namespace orvane {

// The notification-area icon of a main window (its owner): a tooltip, a popup menu on the right button, a
// double-click event, and hiding the owner in the tray where it would otherwise be minimised.
class TCoolTrayIcon : public QObject {
    Q_OBJECT
public:
    // The notification area's tooltip holds no more; a longer hint shows its beginning.
    static constexpr int hintLimit = 127;

    explicit TCoolTrayIcon(QWidget* owner);
    ~TCoolTrayIcon() override;

    QWidget* owner() const { return m_owner; }

    QIcon icon() const { return m_tray->icon(); }
    void setIcon(const QIcon& icon) { m_tray->setIcon(icon); }

    QString hint() const { return m_hint; }
    void setHint(const QString& hint);
    // What the icon shows: the hint's first hintLimit characters, nothing while ShowHint is off.
    QString toolTip() const { return m_tray->toolTip(); }

    bool iconVisible() const { return m_tray->isVisible(); }
    void setIconVisible(bool visible) { m_tray->setVisible(visible); }

    QMenu* popupMenu() const { return m_popupMenu; }
    void setPopupMenu(QMenu* menu) { m_popupMenu = menu; }

    bool isMinimizeToTray() const { return m_minimizeToTray; }
    void setMinimizeToTray(bool enabled) { m_minimizeToTray = enabled; }

    bool showHint() const { return m_showHint; }
    void setShowHint(bool show);

    // A disabled icon stays in place but ignores the mouse.
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }

    // The left button opens the popup menu as well.
    bool leftPopup() const { return m_leftPopup; }
    void setLeftPopup(bool enabled) { m_leftPopup = enabled; }

    // Makes the owner invisible; its taskbar entry goes with it.
    void HideMainWindow();
    // Shows the owner again in its normal state where it was, and brings it to the front.
    void RestoreMainWindow();

signals:
    // The icon was double-clicked with the left button.
    void dblClick();
    // The owner is being minimised; it goes to the tray instead. Only intercepted while connected.
    void minimizeToTray();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void popUpAtCursor();
    void applyToolTip();
    bool interceptsMinimize() const;

    QWidget* m_owner;
    QSystemTrayIcon* m_tray;
    QString m_hint;
    QPointer<QMenu> m_popupMenu;
    bool m_minimizeToTray = false;
    bool m_showHint = true;
    bool m_enabled = true;
    bool m_leftPopup = false;
};

} // namespace orvane
