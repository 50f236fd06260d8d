// tarvo-pulse-window-probe.exe startup | shot FILE.bmp: the Win32 window on a simulated pulse generator, for
// measuring and picturing it. `startup` prints a line and ends as soon as the filled window has been
// painted (tools/dev bench times that line from process start); `shot` lets it run for a second, then writes the window as the screen shows it,
// frame included, to a 24-bit BMP file (tools/screenshots).
#include "Win32MainWindow.h"
#include "device/DeviceFinder.h"
#include "device/SimulatedPlatform.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void PumpFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// Every message waiting, paints last: the system makes WM_PAINT only when nothing else waits.
void PumpUntilIdle() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    GdiFlush();
}

bool WriteBmp(HWND hwnd, const char* path) {
    RECT r;
    GetWindowRect(hwnd, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const int stride = (width * 3 + 3) & ~3;
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + stride * height),
                          0, 0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    bool ok = false;
    if (FILE* out = std::fopen(path, "wb")) {
        ok = std::fwrite(&file, sizeof(file), 1, out) == 1 && std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out) == 1 &&
             std::fwrite(bits, static_cast<std::size_t>(stride) * height, 1, out) == 1;
        ok = std::fclose(out) == 0 && ok;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool shot = argc == 3 && std::strcmp(argv[1], "shot") == 0;
    if (!shot && !(argc == 2 && std::strcmp(argv[1], "startup") == 0)) {
        std::fprintf(stderr, "usage: tarvo-pulse-window-probe startup | shot FILE.bmp\n");
        return 2;
    }
    tarvo::SimulatedPlatform platform;
    tarvo::SimDeviceConfig generator;
    generator.name = "TPG";
    generator.serial = u"TPG-000123";
    platform.Plug(generator);
    if (shot) {
        generator.name = "TPG2";
        generator.serial = u"TPG-000124";
        platform.Plug(generator);
    }
    tarvo::Win32MainWindow window(platform, GetModuleHandleW(nullptr), false);
    if (!window.hwnd()) return 1;
    SetWindowPos(window.hwnd(), nullptr, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    window.form().Form_Load();
    PumpUntilIdle();
    if (!shot) {
        std::puts("shown");
        std::fflush(stdout);
        return 0;
    }
    PumpFor(1000);
    return WriteBmp(window.hwnd(), argv[2]) ? 0 : 1;
}
