// tarvo-pulse-generator: the configuration utility. No command line, no environment, no configuration.
#include "device/SimulatedPlatform.h"
#include "frmMain.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    tarvo::SimulatedPlatform platform;
    tarvo::frmMain window(platform);
    window.Form_Load();
    return app.exec();
}
