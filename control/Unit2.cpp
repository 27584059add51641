#include "control/Unit2.h"

namespace orvane {

Tcontrol_form* control_form = nullptr;

Tcontrol_form::Tcontrol_form(QWidget* parent)
    : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Control"));
    resize(200, 350);
}

void Tcontrol_form::showPanel()
{
    show();
    raise();
    activateWindow();
}

} // namespace orvane
