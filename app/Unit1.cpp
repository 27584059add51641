#include "app/Unit1.h"

#include "app/Desktop.h"
#include "app/Icons.h"
#include "app/OrvaneApplication.h"
#include "app/TrayIcon.h"
#include "app/Website.h"
#include "control/Unit2.h"
#include "player/WMPLib_TLB.h"
#include "ui_Unit1.h"

#include <QCloseEvent>
#include <QMenu>
#include <QSessionManager>
#include <QShowEvent>
#include <QTimer>

namespace orvane {

Tmain_form* main_form = nullptr;

Tmain_form::Tmain_form(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint)
    , m_ui(std::make_unique<Ui::Tmain_form>())
{
    m_ui->setupUi(this);
    WMP = m_ui->WMP;
    pmClose = m_ui->pmClose;
    pmWebsite = m_ui->pmWebsite;
    pmControl = m_ui->pmControl;
    setWindowIcon(mainIcon());

    pMenu = new QMenu(this);
    pMenu->setObjectName(QStringLiteral("pMenu"));
    pMenu->addAction(pmControl);
    pMenu->addAction(pmWebsite);
    pMenu->addAction(pmClose);
    WMP->setPopupMenu(pMenu);

    tIcon = new TCoolTrayIcon(this);
    tIcon->setObjectName(QStringLiteral("tIcon"));
    tIcon->setIcon(trayIcon());
    tIcon->setHint(QStringLiteral("Orvane 2.2"));
    tIcon->setPopupMenu(pMenu);
    tIcon->setMinimizeToTray(true);
    connect(tIcon, &TCoolTrayIcon::dblClick, this, [this] { OrvaneApplication::guarded([this] { tIconDblClick(); }); });
    connect(tIcon, &TCoolTrayIcon::minimizeToTray, this,
            [this] { OrvaneApplication::guarded([this] { tIconMinimizeToTray(); }); });
    tIcon->setIconVisible(true);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    // Queued: an error box opened by a failed read runs its own loop inside the handler, and a timer does not fire
    // again within its own activation; queued, the timer goes on firing behind the box.
    connect(
        Timer1, &QTimer::timeout, this, [this] { OrvaneApplication::guarded([this] { Timer1Timer(); }); },
        Qt::QueuedConnection);
    Timer1->start();

    // Emitted while the session manager waits for the answer: handled at once, not queued.
    connect(
        qApp, &QGuiApplication::commitDataRequest, this,
        [this](QSessionManager& manager) { OrvaneApplication::guarded([&] { FormQueryEndSession(manager); }); },
        Qt::DirectConnection);

    connect(pmClose, &QAction::triggered, this, [this] { OrvaneApplication::guarded([this] { pmCloseClick(); }); });
    connect(pmWebsite, &QAction::triggered, this, [this] { OrvaneApplication::guarded([this] { pmWebsiteClick(); }); });
    connect(pmControl, &QAction::triggered, this, [this] { OrvaneApplication::guarded([this] { pmControlClick(); }); });

    new ScreenSnap(this, 20);
}

Tmain_form::~Tmain_form() = default;

void Tmain_form::pmCloseClick()
{
    QCoreApplication::quit();
}

void Tmain_form::pmWebsiteClick()
{
    openWebsite(QString::fromLatin1(websiteAddress));
}

void Tmain_form::pmControlClick()
{
    control_form->showPanel();
}

void Tmain_form::FormCloseQuery(bool& CanClose)
{
    CanClose = SessionEnding;
    if (SessionEnding)
        return;
    tIcon->HideMainWindow();
    tIcon->setIconVisible(true);
}

void Tmain_form::tIconDblClick()
{
    tIcon->RestoreMainWindow();
}

void Tmain_form::tIconMinimizeToTray()
{
    main_form->hide();
}

void Tmain_form::Timer1Timer()
{
    tIcon->setHint(WMP->status());
}

void Tmain_form::FormQueryEndSession(QSessionManager&)
{
    // The session may always end: nothing is cancelled, no interaction is asked for, nothing is closed here.
    SessionEnding = true;
}

void Tmain_form::closeEvent(QCloseEvent* event)
{
    // Only a close from the window manager is a close request. Quitting (the Close command, the session's end)
    // closes the windows itself, and refusing that close would stop the quit.
    if (!event->spontaneous()) {
        event->accept();
        return;
    }
    bool canClose = true;
    OrvaneApplication::guarded([&] { FormCloseQuery(canClose); });
    if (!canClose) {
        event->ignore();
        return;
    }
    event->accept();
    // The main window closing ends the application; quit once this close is over.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void Tmain_form::showEvent(QShowEvent* event)
{
    // Centred in the work area the first time only; afterwards the window keeps where it was.
    if (!m_placed && !event->spontaneous()) {
        m_placed = true;
        const QRect work = primaryWorkArea();
        const QSize outer = outerSize(this);
        moveFrameTo(this, QPoint(work.left() + (work.width() - outer.width()) / 2,
                                 work.top() + (work.height() - outer.height()) / 2));
    }
    QWidget::showEvent(event);
}

} // namespace orvane
