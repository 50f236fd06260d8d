// Windows: any program may listen on port 111 (there is no rpcbind to register with), and a UDP socket bound to
// an interface's address receives the broadcasts sent to that interface's network.
#include "Vxi11Service.h"

namespace tarvo::scpi::vxi11_system {

std::optional<net::Endpoint> SeparateBroadcastAddress(const net::Endpoint&) { return std::nullopt; }

const char* PortmapperAdvice() {
    return "another program holds it; Windows Firewall asks, the first time, to let tarvo-pulse-scpi.exe accept "
           "connections on TCP and UDP port 111 and the VXI-11 ports";
}

const char* ReachableNote() {
    return "vxi11: Windows Firewall asks, the first time, whether tarvo-pulse-scpi.exe may accept connections: "
           "allow it on the networks the instrument serves (TCP port 111 and the core channel's port, UDP port 111 "
           "for discovery)";
}

bool Register(std::uint16_t) { return false; }
void Unregister() {}

}  // namespace tarvo::scpi::vxi11_system
