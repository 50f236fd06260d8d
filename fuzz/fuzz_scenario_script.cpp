// Any script text, through the scenario runner and the real window on the simulated platform: a run ends with
// status 0, or with status 2 and one message that names a line of the script; it never crashes or throws.
#include "qt/QtScenarioWindow.h"
#include "scenario/ScenarioRunner.h"

#include <QApplication>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// Platform calls one input may make before the timer is stopped: a script of a few bytes can ask for a million
// ticks, which would only cost time.
constexpr long CALL_BUDGET = 20000;

std::size_t Lines(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines + (!text.empty() && text.back() != '\n');
}

// "line N: message\n" with N from 1 to the number of lines.
bool NamesALine(const std::string& message, std::size_t lines) {
    if (message.rfind("line ", 0) != 0 || message.back() != '\n') return false;
    std::size_t pos = 5, number = 0;
    for (; pos < message.size() && message[pos] >= '0' && message[pos] <= '9'; ++pos)
        number = number * 10 + static_cast<std::size_t>(message[pos] - '0');
    return pos > 5 && number >= 1 && number <= lines && message.compare(pos, 2, ": ") == 0 &&
           message.size() > pos + 3 && message.find('\n') == message.size() - 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    static QApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::ostream discard(nullptr);
    std::istringstream script(text);
    std::ostringstream err;
    int status = -1;
    {
        tarvo::QtScenarioWindow* window = nullptr;
        tarvo::ScenarioRunner runner(discard, [&window](tarvo::ApiDeclarations& api) {
            auto made = std::make_unique<tarvo::QtScenarioWindow>(api);
            window = made.get();
            return made;
        });
        tarvo::SimulatedPlatform& platform = runner.platform();
        platform.keepRecords = false;
        auto print = platform.onCall;
        long calls = 0;
        platform.onCall = [&](const tarvo::SimCall& call) {
            print(call);
            if (++calls > CALL_BUDGET && window) window->window().timer()->stop();
        };
        status = runner.Run(script, err);
    }
    Require(status == 0 || status == 2);
    Require(status == 0 ? err.str().empty() : NamesALine(err.str(), Lines(text)));
    return 0;
}
