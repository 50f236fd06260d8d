// One start-up, timed by tarvo_startup_bench: `window` shows the utility's window filled from a simulated
// generator, `bare` an empty Qt Widgets window, `label` the same window with one line of text (the first text a
// process draws makes Qt load its font database). Each prints a line and quits as soon as its window has been
// painted.
//
// `ticking` shows the bare window and stays open with an empty 50 ms timer: what a Qt window costs that wakes as
// often as the utility searches, measured from outside by bench/search-cpu.sh.
#include "qt/QtMainWindow.h"
#include "device/SimulatedPlatform.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const bool label = argc > 1 && std::strcmp(argv[1], "label") == 0;
    const bool ticking = argc > 1 && std::strcmp(argv[1], "ticking") == 0;
    const bool bare = label || ticking || (argc > 1 && std::strcmp(argv[1], "bare") == 0);
    tarvo::SimulatedPlatform platform;
    std::unique_ptr<QWidget> window;
    if (bare) {
        window = std::make_unique<QWidget>();
        window->resize(406, 348);
        if (label) new QLabel("Pulse generator", window.get());
        window->show();
    } else {
        tarvo::SimDeviceConfig d;
        d.name = "TPG";
        d.serial = u"TPG";
        platform.Plug(d);
        auto main = std::make_unique<tarvo::QtMainWindow>(platform);
        main->form().Form_Load();
        window = std::move(main);
    }
    if (ticking) {
        QTimer emptyTimer;
        QObject::connect(&emptyTimer, &QTimer::timeout, [] {});
        emptyTimer.start(50);
        return app.exec();
    }
    // Queued behind the show and the first paint.
    QTimer::singleShot(0, &app, [&] {
        window->repaint();
        std::puts("shown");
        std::fflush(stdout);
        app.quit();
    });
    return app.exec();
}
