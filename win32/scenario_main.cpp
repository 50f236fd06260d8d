// tarvo-pulse-scenario.exe FILE | -: runs one scenario script on the Win32 window and prints what happens.
// The window is real (it needs a desktop); its timer never fires by itself, because nothing here runs a
// message loop: ticks come only from the script.
#include "Win32ScenarioWindow.h"
#include "scenario/ScenarioRunner.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tarvo-pulse-scenario FILE (or - for standard input)\n";
        return 2;
    }
    // The same bytes as on every other system: no CR before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::ifstream file;
    std::istream* script = &std::cin;
    if (std::string(argv[1]) != "-") {
        file.open(argv[1]);
        if (!file) {
            std::cerr << "cannot read " << argv[1] << '\n';
            return 2;
        }
        script = &file;
    }
    tarvo::ScenarioRunner runner(std::cout, [](tarvo::ApiDeclarations& api) {
        return std::make_unique<tarvo::Win32ScenarioWindow>(api);
    });
    return runner.Run(*script, std::cerr);
}
