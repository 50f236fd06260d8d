// Built without libtirpc: no running portmapper is registered with; the server's own serves port 111.
#include "Vxi11Service.h"

namespace tarvo::scpi::vxi11_system {

bool Register(std::uint16_t) { return false; }
void Unregister() {}

}  // namespace tarvo::scpi::vxi11_system
