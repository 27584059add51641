#pragma once

#include <QWidget>

namespace orvane {

// The Control panel: the station lists, the volume slider, Stop and Hide.
class Tcontrol_form : public QWidget {
    Q_OBJECT
public:
    explicit Tcontrol_form(QWidget* parent = nullptr);

    // Makes the panel visible and brings it to the front.
    void showPanel();
};

extern Tcontrol_form* control_form;

} // namespace orvane
