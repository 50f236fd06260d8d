// tarvo-pulse-screenshots DIRECTORY: renders the demo's two windows into DIRECTORY/main-window.png and
// DIRECTORY/simulator-window.png, for the documentation. tools/screenshots builds and runs it.
#include "demo/Demo.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

namespace {

// Lets the windows' timers and events run for a while.
void Run(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool Save(QWidget& window, const QDir& dir, const char* file) {
    const QString path = dir.filePath(file);
    if (window.grab().save(path)) return true;
    std::fprintf(stderr, "tarvo-pulse-screenshots: cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvo-pulse-screenshots DIRECTORY\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists()) {
        std::fprintf(stderr, "tarvo-pulse-screenshots: no directory %s\n", argv[1]);
        return 2;
    }

    tarvo::Demo demo;
    tarvo::SimDeviceConfig second = tarvo::FirstDemoGenerator();
    second.serial = u"TPG-000124";
    second.version = 0x0102;
    second.frequency = 2500000;
    demo.simulator().Plug(second);
    demo.Start();
    Run(700);

    // A command, so that the log shows one besides the status requests.
    auto* frequency = demo.main().findChild<QLineEdit*>("Foutput");
    auto* send = demo.main().findChild<QAbstractButton*>("SetFout");
    if (frequency && send) {
        frequency->setText("12345678");
        send->click();
    }
    auto* generators = demo.simulator().findChild<QTreeWidget*>("generators");
    if (generators && generators->topLevelItemCount() > 0) generators->setCurrentItem(generators->topLevelItem(0));
    Run(300);

    const bool ok = Save(demo.main(), dir, "main-window.png") && Save(demo.simulator(), dir, "simulator-window.png");
    return ok ? 0 : 1;
}
