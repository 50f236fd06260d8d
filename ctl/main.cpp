// tarvo-pulse-ctl: the pulse generator from scripts and test benches (see PulseCtl.h and tarvo-pulse-ctl.1).
#include "ConsoleArguments.h"
#include "PulseCtl.h"
#include "device/PlatformFactory.h"

#include <iostream>

int main(int argc, char** argv) {
    const std::vector<std::string> args = tarvo::ConsoleArguments(argc, argv);
    const auto api = tarvo::MakeSystemPlatform();
    return tarvo::RunPulseCtl(args, *api, std::cout, std::cerr);
}
