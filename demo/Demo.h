// The demo: the utility's window on the simulated platform with one pulse generator plugged in, and beside it
// the window that plugs, unplugs and breaks simulated generators. The demo program, its test and the
// screenshot tool all start it this way.
#pragma once

#include "SimulatorWindow.h"
#include "device/SimulatedPlatform.h"
#include "qt/QtMainWindow.h"

#include <memory>

namespace tarvo {

// The generator plugged in when the demo starts.
SimDeviceConfig FirstDemoGenerator();

class Demo {
public:
    // Builds both windows, with the first generator plugged in; nothing is shown yet.
    Demo();
    ~Demo();

    // Places the two windows side by side on the primary screen, shows the simulator window and runs the main
    // window's load handler, which shows it and starts its timer. Closing the main window ends the program.
    void Start();

    SimulatedPlatform& platform() { return platform_; }
    QtMainWindow& main() { return *main_; }
    SimulatorWindow& simulator() { return *simulator_; }

private:
    SimulatedPlatform platform_;
    std::unique_ptr<SimulatorWindow> simulator_;
    std::unique_ptr<QtMainWindow> main_;
};

}  // namespace tarvo
