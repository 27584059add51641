#include "app/Startup.h"

#include "app/OrvaneApplication.h"
#include "app/Unit1.h"
#include "control/Unit2.h"

#include <QMessageBox>

#include <memory>

namespace orvane {

int run(int argc, char** argv)
{
    // Compiled shaders would otherwise be cached under ~/.cache; the program keeps nothing between runs.
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    OrvaneApplication app(argc, argv);
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
        const QString text = OrvaneApplication::boxText(OrvaneApplication::currentExceptionText());
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
