#pragma once

#include <QStyle>
#include <QWidget>

#include <memory>

class QLabel;
class QListWidget;
class QPainter;
class QPushButton;
class QSlider;
class QTabWidget;

namespace Ui {
class Tcontrol_form;
}

namespace orvane {

class ChannelCatalogue;

// The Control panel: the station lists, the volume slider, Stop and Hide. Every action goes to the main
// window's player; the panel keeps nothing of it.
class Tcontrol_form : public QWidget {
    Q_OBJECT
public:
    explicit Tcontrol_form(QWidget* parent = nullptr);
    ~Tcontrol_form() override;

    QPushButton* btnHide;
    QTabWidget* PageControl;
    QWidget* tTv;
    QWidget* tRadio;
    QWidget* tInternet;
    QSlider* tbVolume;
    QLabel* lblVolume;
    QListWidget* tvList;
    QListWidget* radioList;
    QListWidget* internetList;
    QPushButton* btnStop;

    void FormShow();
    void btnHideClick();
    void tbVolumeChange();
    void FormCanResize(int& newWidth, int& newHeight, bool& resize);
    void tvListDblClick();
    void tvListDrawItem(QPainter* canvas, int index, const QRect& rect, QStyle::State state);
    void btnStopClick();
    void radioListDblClick();
    void radioListDrawItem(QPainter* canvas, int index, const QRect& rect, QStyle::State state);
    void internetListDblClick();
    void internetListDrawItem(QPainter* canvas, int index, const QRect& rect, QStyle::State state);

    // Makes the panel visible and brings it to the front.
    void showPanel();
    // Empties the three lists and appends the catalogue's lines in order (the built-in one at creation).
    void loadCatalogue(const ChannelCatalogue& catalogue);

    // Going from hidden to shown announces showing() first, while the window is still unmapped.
    void setVisible(bool visible) override;

signals:
    void showing();

private:
    std::unique_ptr<Ui::Tcontrol_form> m_ui;
};

extern Tcontrol_form* control_form;

} // namespace orvane
