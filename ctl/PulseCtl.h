// tarvo-pulse-ctl: the pulse generator from scripts and test benches, on the window's device and protocol code.
//
//   tarvo-pulse-ctl list [--json]
//   tarvo-pulse-ctl status [-s SERIAL] [--json]
//   tarvo-pulse-ctl set [-s SERIAL] [--frequency HZ] [--amplitude MV | --amplitude-index N] [--verify]
//   tarvo-pulse-ctl restore [-s SERIAL] [--verify]
//
// Every command lists the attached generators and opens the one it is for through a GeneratorSession (the
// window's walk, open and frames), which closes everything it opened before the command returns. Results go to
// `out`, errors to `err`, one line each.
#pragma once

#include "device/ApiDeclarations.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace tarvo {

// Exit statuses.
inline constexpr int CTL_DONE = 0;
inline constexpr int CTL_DEVICE_FAILED = 1;  // the generator failed a request, could not be opened, or a --verify
                                             // read showed other settings than were sent
inline constexpr int CTL_BAD_USAGE = 2;      // bad usage or input, or several generators attached and none
                                             // named; nothing was sent
inline constexpr int CTL_NO_GENERATOR = 3;   // no generator attached, none with that serial number, or several
                                             // with it

// Runs one command line (without the program name) on the platform; returns the exit status.
int RunPulseCtl(const std::vector<std::string>& args, ApiDeclarations& api, std::ostream& out, std::ostream& err);

// The --help text.
std::string PulseCtlUsage();

}  // namespace tarvo
