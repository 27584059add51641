#pragma once

#include <QApplication>

namespace orvane {

// The application object: its title captions the error boxes, and an exception escaping an event handler
// ends that handler and is reported in a box while the loop carries on.
class OrvaneApplication : public QApplication {
    Q_OBJECT
public:
    OrvaneApplication(int& argc, char** argv);

    void setTitle(const QString& title) { m_title = title; }
    QString title() const { return m_title; }

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the error box for a failure that ended a handler. While a box is open, further failures are
    // dropped: a handler that fails once a second would otherwise stack boxes without end.
    void showException(const QString& text);

    // The error's text as the box shows it: "." appended unless empty or already ending in "." or a
    // character coded below it.
    static QString boxText(const QString& text);

    static OrvaneApplication* instance();

    // Runs an event handler the way the loop runs every handler: a failure ends it and is reported.
    template <typename Handler> static void guarded(Handler&& handler)
    {
        try {
            handler();
        } catch (...) {
            reportCurrentException();
        }
    }
    static void reportCurrentException();
    // The text of the exception being handled; call only inside a catch block.
    static QString currentExceptionText();

private:
    QString m_title;
    bool m_showingError = false;
};

} // namespace orvane
