#include "app/Startup.h"

#include "app/OrvaneApplication.h"
#include "app/Unit1.h"
#include "control/Unit2.h"
#include "player/WMPLib_TLB.h"

#include <QMessageBox>

#include <clocale>
#include <memory>

namespace orvane {

namespace {

QString describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const PlayerError& e) {
        return e.text();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

} // namespace

int run(int argc, char** argv)
{
    // Compiled shaders would otherwise be cached under ~/.cache; the program keeps nothing between runs.
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    OrvaneApplication app(argc, argv);
    // libmpv parses numbers with the C locale; QApplication has just set the user's.
    std::setlocale(LC_NUMERIC, "C");
    app.setTitle(QStringLiteral("Orvane 2.0"));

    // The windows belong to the application and go before it: the tray icon leaves the notification area
    // and the player is released on the way out.
    std::unique_ptr<Tmain_form> mainWindow;
    std::unique_ptr<Tcontrol_form> controlWindow;
    try {
        mainWindow = std::make_unique<Tmain_form>();
        main_form = mainWindow.get();
        controlWindow = std::make_unique<Tcontrol_form>();
        control_form = controlWindow.get();
    } catch (...) {
        const QString text = OrvaneApplication::boxText(describe(std::current_exception()));
        controlWindow.reset();
        mainWindow.reset();
        main_form = nullptr;
        control_form = nullptr;
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Application Error"), text, QMessageBox::Ok);
        box.setObjectName(QStringLiteral("orvaneStartupErrorBox"));
        box.exec();
        return 1;
    }

    main_form->show();
    const int code = app.exec();

    control_form = nullptr;
    controlWindow.reset();
    main_form = nullptr;
    mainWindow.reset();
    return code;
}

} // namespace orvane
