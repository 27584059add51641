#pragma once

#include <QWidget>

#include <memory>

class QMenu;
class QAction;

namespace Ui {
class Tmain_form;
}

namespace orvane {

class TWindowsMediaPlayer;
class ScreenSnap;

// The player window: always on top, its whole client area the video surface of the embedded player.
class Tmain_form : public QWidget {
    Q_OBJECT
public:
    explicit Tmain_form(QWidget* parent = nullptr);
    ~Tmain_form() override;

    static constexpr auto websiteAddress = "https://orvane.org/";

    TWindowsMediaPlayer* WMP;
    QMenu* pMenu;
    QAction* pmClose;
    QAction* pmWebsite;
    QAction* pmControl;

    void pmCloseClick();
    void pmWebsiteClick();
    void pmControlClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<Ui::Tmain_form> m_ui;
    bool m_placed = false;
};

extern Tmain_form* main_form;

} // namespace orvane
