// tarvo-pulse-scenario FILE | -: runs one scenario script headless and prints what happens.
#include "QtScenarioWindow.h"
#include "scenario/ScenarioRunner.h"

#include <QApplication>

#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tarvo-pulse-scenario FILE (or - for standard input)\n";
        return 2;
    }
    std::ifstream file;
    std::istream* script = &std::cin;
    if (std::string(argv[1]) != "-") {
        file.open(argv[1]);
        if (!file) {
            std::cerr << "cannot read " << argv[1] << '\n';
            return 2;
        }
        script = &file;
    }
    // Headless by design: the window is real, but it is never put on a screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Standard error carries the script's own errors only.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtFatalMsg) std::cerr << message.toStdString() << '\n';
    });
    QApplication app(argc, argv);
    tarvo::ScenarioRunner runner(std::cout, [](tarvo::ApiDeclarations& api) {
        return std::make_unique<tarvo::QtScenarioWindow>(api);
    });
    return runner.Run(*script, std::cerr);
}
