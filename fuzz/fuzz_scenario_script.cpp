// Scenario scripts of any content: a script either runs to its end (status 0) or stops with a message naming its
// line (status 2); it never crashes.
#include "app/ScenarioRunner.h"

#include <QApplication>

#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_scenario_script";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return new QApplication(argc, argv);
    }();
    (void)app;
    if (size > 2048) return 0;  // long scripts add nothing but time
    std::istringstream script(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream out, err;
    tarvo::ScenarioRunner runner(out);
    const int status = runner.Run(script, err);
    if (status == 0 && !err.str().empty()) std::abort();
    if (status == 2 && err.str().rfind("line ", 0) != 0) std::abort();
    if (status != 0 && status != 2) std::abort();
    return 0;
}
