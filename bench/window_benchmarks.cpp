// Costs of the window's work on the simulated platform: one poll tick with a device attached, one search tick
// with other HID interfaces present, a refresh, filling the amplitude list, and a frequency command.
#include "qt/QtMainWindow.h"
#include "device/SimulatedPlatform.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace tarvo {

struct WindowProbe {
    static void Tick(frmMain& w) { w.Timer_Timer(); }
    static void Refresh(frmMain& w) { w.RefreshFromDevice(); }
    static void Fill(frmMain& w) { w.FillAmplitudeList(); }
};

namespace {

struct Bench {
    SimulatedPlatform platform;
    std::unique_ptr<QtMainWindow> window;

    Bench(int otherInterfaces, bool generator) {
        platform.keepRecords = false;  // a long run must not grow the record
        for (int i = 0; i < otherInterfaces; ++i) {
            SimDeviceConfig other;
            other.name = "hid" + std::to_string(i);
            other.vendorId = 0x046D;
            other.productId = static_cast<std::uint16_t>(0xC000 + i);
            platform.Plug(other);
        }
        if (generator) {
            SimDeviceConfig d;
            d.name = "TPG";
            d.serial = u"TPG";
            platform.Plug(d);
        }
        window = std::make_unique<QtMainWindow>(platform);
        window->form().messageBox = [](const std::string&, const std::string&) {};
        window->form().Form_Load();
    }
    ~Bench() { window->close(); }
};

void BM_PollTickAttached(benchmark::State& state) {
    Bench b(8, true);
    for (auto _ : state) WindowProbe::Tick(b.window->form());
}
BENCHMARK(BM_PollTickAttached);

void BM_SearchTick(benchmark::State& state) {
    Bench b(static_cast<int>(state.range(0)), false);
    for (auto _ : state) WindowProbe::Tick(b.window->form());
    state.counters["interfaces"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_SearchTick)->Arg(0)->Arg(8)->Arg(64);

void BM_RefreshAttached(benchmark::State& state) {
    Bench b(0, true);
    for (auto _ : state) WindowProbe::Refresh(b.window->form());
}
BENCHMARK(BM_RefreshAttached);

void BM_FillAmplitudeList(benchmark::State& state) {
    Bench b(0, true);
    for (auto _ : state) WindowProbe::Fill(b.window->form());
}
BENCHMARK(BM_FillAmplitudeList);

void BM_FrequencyCommand(benchmark::State& state) {
    Bench b(0, true);
    auto* box = b.window->findChild<QLineEdit*>("Foutput");
    auto* button = b.window->findChild<QPushButton*>("SetFout");
    for (auto _ : state) {
        box->setText("12345678.5");
        button->click();
    }
}
BENCHMARK(BM_FrequencyCommand);

}  // namespace
}  // namespace tarvo

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
