// tarvo-pulse-generator: the configuration utility. No command line, no environment, no configuration.
#include "device/PlatformFactory.h"
#include "QtMainWindow.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Lets desktops match the window to the installed menu entry and icon.
    QGuiApplication::setDesktopFileName("example.tarvo.PulseGenerator");
    // The build's operating-system layer, chosen by the platform library the program links.
    const auto platform = tarvo::MakeSystemPlatform();
    tarvo::QtMainWindow window(*platform);
    window.form().Form_Load();
    return app.exec();
}
