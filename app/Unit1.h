#pragma once

#include <QWidget>

#include <memory>

class QMenu;
class QAction;
class QSessionManager;
class QTimer;

namespace Ui {
class Tmain_form;
}

namespace orvane {

class TWindowsMediaPlayer;
class TCoolTrayIcon;

// The player window: always on top, its whole client area the video surface of the embedded player. Closing or
// minimising it hides it in the notification area; the Close command and the end of the session end the program.
class Tmain_form : public QWidget {
    Q_OBJECT
public:
    explicit Tmain_form(QWidget* parent = nullptr);
    ~Tmain_form() override;

    static constexpr auto websiteAddress = "https://orvane.org/";

    TWindowsMediaPlayer* WMP;
    QMenu* pMenu;
    TCoolTrayIcon* tIcon;
    QAction* pmClose;
    QAction* pmWebsite;
    QAction* pmControl;
    QTimer* Timer1;

    void pmCloseClick();
    void pmWebsiteClick();
    void FormCloseQuery(bool& CanClose);
    void pmControlClick();
    void tIconDblClick();
    void tIconMinimizeToTray();
    void Timer1Timer();
    // The session manager asks whether the session may end.
    void FormQueryEndSession(QSessionManager& manager);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::Tmain_form> m_ui;
    bool SessionEnding = false;
    bool m_placed = false;
};

extern Tmain_form* main_form;

} // namespace orvane
