// The machine's own name, as the web page shows it and accepts it in a Host header. The build picks the source:
// HostName_posix.cpp or HostName_win32.cpp.
#pragma once

#include <string>

namespace tarvo::scpi {

// The name without a domain ("bench7"); "localhost" when the system tells none.
std::string HostName();

}  // namespace tarvo::scpi
