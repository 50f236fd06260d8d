// tarvo-pulse-generator.exe: the configuration utility on Windows. No command line, no environment, no
// configuration.
#include "Win32MainWindow.h"
#include "device/PlatformFactory.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const auto platform = tarvo::MakeSystemPlatform();
    tarvo::Win32MainWindow window(*platform, instance, true);
    if (!window.hwnd()) return 1;
    window.form().Form_Load();
    return window.RunMessageLoop();
}
