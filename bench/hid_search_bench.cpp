// The search tick on the system's own operating-system layer: what the window does on every tick while no pulse
// generator is attached (Scan_USB_devices, then FindTheHid), against the HID interfaces this machine has. The
// window's own share (its refresh of controls that are already clear) is left out: this is the layer's share.
//
//   tarvo_hid_search_bench --ticks N                      N ticks back to back after 20 warm-up ticks; prints
//                                                         the CPU and wall time per tick
//   tarvo_hid_search_bench --seconds S                    the same for as many ticks as fit in S seconds
//   tarvo_hid_search_bench --ticks N --interval-ms MS     one tick every MS ms, as the window's timer runs them,
//                                                         for a measurement of the process from outside
//   ... --idle                                            the same ticks without the search: what waking up
//                                                         alone costs
//
// A generator that is found is closed again at once, so every tick searches.
#include "device/DeviceFinder.h"
#include "device/PlatformFactory.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tarvo;

struct Searcher {
    std::unique_ptr<ApiDeclarations> api = MakeSystemPlatform();
    DeviceSession session;
    ListedSerialNumbers list;
    int found = 0;

    void Tick() {
        DeviceContext c{session, *api, list};
        session.RefreshComplete = false;
        Scan_USB_devices(c);
        session.DeviceAttached = FindTheHid(c);
        if (!session.DeviceAttached) return;
        ++found;
        session.DeviceAttached = false;
        for (Handle* h : {&session.DeviceHandle, &session.ReadHandle}) {
            if (*h != INVALID_HANDLE_VALUE) session.LastResult = api->CloseHandle(*h);
            *h = INVALID_HANDLE_VALUE;
        }
    }

    // The interfaces a walk passes over.
    int Interfaces() {
        GUID guid;
        api->HidD_GetHidGuid(guid);
        const HDEVINFO set = api->SetupDiGetClassDevsA(guid, nullptr, 0, CLASS_DEVICES_FLAGS);
        SP_DEVICE_INTERFACE_DATA data{};
        int n = 0;
        while (api->SetupDiEnumDeviceInterfaces(set, nullptr, guid, static_cast<std::uint32_t>(n), data)) ++n;
        api->SetupDiDestroyDeviceInfoList(set);
        return n;
    }
};

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    long ticks = 0;
    long intervalMs = 0;
    double seconds = 0;
    bool idle = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--idle") == 0) {
            idle = true;
            continue;
        }
        if (i + 1 >= argc) break;
        if (std::strcmp(argv[i], "--ticks") == 0) ticks = std::atol(argv[i + 1]);
        if (std::strcmp(argv[i], "--interval-ms") == 0) intervalMs = std::atol(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
        ++i;
    }
    if ((ticks <= 0) == (seconds <= 0) || intervalMs < 0 || (intervalMs > 0 && ticks <= 0)) {
        std::fprintf(stderr, "usage: tarvo_hid_search_bench --ticks N [--interval-ms MS [--idle]] | --seconds S\n");
        return 2;
    }
    Searcher searcher;
    if (intervalMs > 0) {
        auto next = std::chrono::steady_clock::now();
        for (long i = 0; i < ticks; ++i) {
            if (!idle) searcher.Tick();
            next += std::chrono::milliseconds(intervalMs);
            std::this_thread::sleep_until(next);
        }
        std::printf("%ld ticks every %ld ms, %d found a generator\n", ticks, intervalMs, searcher.found);
        return 0;
    }
    const int interfaces = searcher.Interfaces();
    for (int i = 0; i < 20; ++i) searcher.Tick();
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    if (ticks > 0) {
        for (long i = 0; i < ticks; ++i) searcher.Tick();
    } else {
        const auto until = wall0 + std::chrono::duration<double>(seconds);
        for (ticks = 0; ticks < 10 || std::chrono::steady_clock::now() < until; ++ticks) searcher.Tick();
    }
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("search tick, %d HID interfaces: %.1f us CPU, %.1f us wall per tick (%ld ticks, %d found a "
                "generator)\n",
                interfaces, cpu / static_cast<double>(ticks) * 1e6, wall / static_cast<double>(ticks) * 1e6, ticks,
                searcher.found);
    return 0;
}
