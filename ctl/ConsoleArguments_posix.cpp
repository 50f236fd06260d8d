#include "ConsoleArguments.h"

namespace tarvo {

std::vector<std::string> ConsoleArguments(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

}  // namespace tarvo
