// The program's command line as UTF-8 texts. Each operating system has its own source, chosen by the build:
// ConsoleArguments_posix.cpp passes argv on as it is; ConsoleArguments_win32.cpp reads the wide command line and
// has the console show UTF-8 output while the program runs.
#pragma once

#include <string>
#include <vector>

namespace tarvo {

// The arguments after the program name.
std::vector<std::string> ConsoleArguments(int argc, char** argv);

}  // namespace tarvo
