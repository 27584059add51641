#include "app/Unit1.h"

#include "app/Desktop.h"
#include "app/OrvaneApplication.h"
#include "app/Website.h"
#include "control/Unit2.h"
#include "player/WMPLib_TLB.h"
#include "ui_Unit1.h"

#include <QIcon>
#include <QMenu>
#include <QShowEvent>

namespace orvane {

Tmain_form* main_form = nullptr;

namespace {

QIcon mainIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/icons/main-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

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

    connect(pmClose, &QAction::triggered, this, [this] { OrvaneApplication::guarded([this] { pmCloseClick(); }); });
    connect(pmWebsite, &QAction::triggered, this,
            [this] { OrvaneApplication::guarded([this] { pmWebsiteClick(); }); });
    connect(pmControl, &QAction::triggered, this,
            [this] { OrvaneApplication::guarded([this] { pmControlClick(); }); });

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
