// tarvo_atspi_window: the Qt window on the simulated platform with one pulse generator plugged in, for the test
// that drives it through AT-SPI as a screen reader does (atspi_window_test.py). Prints "ready" once the window
// shows the generator, then every feature report the generator is sent, as "set-feature" and its bytes in hex,
// one line each.
#include "device/SimulatedPlatform.h"
#include "qt/QtMainWindow.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    tarvo::SimulatedPlatform platform;
    platform.keepRecords = false;
    platform.onCall = [](const tarvo::SimCall& call) {
        if (call.op != "HidD_SetFeature") return;
        std::printf("set-feature");
        for (std::uint8_t byte : call.bytes) std::printf(" %02x", byte);
        std::printf("\n");
        std::fflush(stdout);
    };
    tarvo::SimDeviceConfig generator;
    generator.name = "generator";
    generator.serial = u"TPG-000123";
    platform.Plug(generator);

    tarvo::QtMainWindow window(platform);
    window.form().Form_Load();
    // What a window manager does for a window that opens: it gets the keyboard.
    window.activateWindow();
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
