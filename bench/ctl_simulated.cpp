// tarvo-pulse-ctl on the simulated platform with one generator plugged in: for the benchmark, a reading through
// the command-line program (a process per reading) where no generator is attached.
#include "ctl/PulseCtl.h"
#include "device/SimulatedPlatform.h"

#include <iostream>

int main(int argc, char** argv) {
    tarvo::SimulatedPlatform simulated;
    tarvo::SimDeviceConfig generator;
    generator.name = "bench";
    generator.serial = u"TPG-SIM-0001";
    simulated.Plug(generator);
    return tarvo::RunPulseCtl(std::vector<std::string>(argv + 1, argv + argc), simulated, std::cout, std::cerr);
}
