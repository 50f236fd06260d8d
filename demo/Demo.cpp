#include "Demo.h"

#include "device/DeviceFinder.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

namespace tarvo {
namespace {

// Room left for the window manager's frame, which is not known before a window is shown, and between windows.
constexpr int FRAME_ALLOWANCE_PX = 16;
constexpr int GAP_PX = 12;

}  // namespace

SimDeviceConfig FirstDemoGenerator() {
    SimDeviceConfig generator;
    generator.vendorId = DEVICE_VENDOR_ID;
    generator.productId = DEVICE_PRODUCT_ID;
    generator.serial = u"TPG-000123";
    return generator;
}

Demo::Demo() {
    // The demo runs for as long as the user likes: only the simulator window's log keeps what happened.
    platform_.keepRecords = false;
    simulator_ = std::make_unique<SimulatorWindow>(platform_);
    simulator_->Plug(FirstDemoGenerator());
    main_ = std::make_unique<QtMainWindow>(platform_);
    // Closing the simulator window leaves the utility running; closing the utility ends the demo.
    simulator_->setAttribute(Qt::WA_QuitOnClose, false);
}

Demo::~Demo() {
    main_.reset();
    simulator_.reset();
}

void Demo::Start() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        const int mainWidth = main_->width() + FRAME_ALLOWANCE_PX;
        const int total = mainWidth + GAP_PX + simulator_->width() + FRAME_ALLOWANCE_PX;
        const int left = area.left() + std::max(0, (area.width() - total) / 2);
        const int top = area.top() + std::max(0, (area.height() - simulator_->height()) / 3);
        main_->move(left, top);
        simulator_->move(std::min(left + mainWidth + GAP_PX, std::max(area.left(), area.right() - simulator_->width())),
                         top);
    }
    simulator_->show();
    main_->form().Form_Load();
}

}  // namespace tarvo
