// tarvo-pulse-generator-demo: the utility's window on simulated pulse generators.
#include "device/SimulatedPlatform.h"
#include "frmMain.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    tarvo::SimulatedPlatform platform;
    tarvo::SimDeviceConfig generator;
    generator.name = "TPG-000123";
    generator.serial = u"TPG-000123";
    platform.Plug(generator);
    tarvo::frmMain window(platform);
    window.Form_Load();
    return app.exec();
}
