// tarvo-pulse-scenario FILE | -: runs one scenario script headless on the Qt window and prints what happens.
#include "QtScenarioWindow.h"
#include "scenario/ScenarioRunner.h"

#include <QApplication>

#include <iostream>

int main(int argc, char** argv) {
    // Headless by design: the window is real, but it is never put on a screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Standard error carries the script's own errors only.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtFatalMsg) std::cerr << message.toStdString() << '\n';
    });
    QApplication app(argc, argv);
    return tarvo::RunScenarioProgram(argc, argv, [](tarvo::ApiDeclarations& api) {
        return std::make_unique<tarvo::QtScenarioWindow>(api);
    });
}
