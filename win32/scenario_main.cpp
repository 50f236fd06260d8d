// tarvo-pulse-scenario.exe FILE | -: runs one scenario script on the Win32 window and prints what happens.
// The window is real (it needs a desktop); its timer never fires by itself, because nothing here runs a
// message loop: ticks come only from the script.
#include "Win32ScenarioWindow.h"
#include "scenario/ScenarioRunner.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

int main(int argc, char** argv) {
    // The same bytes as on every other system: no CR before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return tarvo::RunScenarioProgram(argc, argv, [](tarvo::ApiDeclarations& api) {
        return std::make_unique<tarvo::Win32ScenarioWindow>(api);
    });
}
