// One start-up, timed by tarvo_startup_bench: `window` shows the utility's window filled from a simulated
// generator, `bare` an empty Qt Widgets window. Each prints a line and quits as soon as its window has been
// painted.
#include "qt/QtMainWindow.h"
#include "device/SimulatedPlatform.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const bool bare = argc > 1 && std::strcmp(argv[1], "bare") == 0;
    tarvo::SimulatedPlatform platform;
    std::unique_ptr<QWidget> window;
    if (bare) {
        window = std::make_unique<QWidget>();
        window->resize(406, 348);
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
    // Queued behind the show and the first paint.
    QTimer::singleShot(0, &app, [&] {
        window->repaint();
        std::puts("shown");
        std::fflush(stdout);
        app.quit();
    });
    return app.exec();
}
