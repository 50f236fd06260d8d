// Where broadcasts arrive on POSIX systems: Linux delivers a broadcast only to UDP sockets bound to the wildcard
// or to the broadcast address itself, so a portmapper bound to one address needs a socket on its network's
// broadcast address too.
#include "Vxi11Service.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace tarvo::scpi::vxi11_system {

std::optional<net::Endpoint> SeparateBroadcastAddress(const net::Endpoint& address) {
    static constexpr std::uint8_t ANY[4] = {0, 0, 0, 0};
    if (address.v6 || IsLoopback(address) || std::memcmp(address.address.data(), ANY, 4) == 0) return std::nullopt;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<net::Endpoint> found;
    for (const ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_broadaddr) continue;
        const auto* own = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (std::memcmp(&own->sin_addr, address.address.data(), 4) != 0) continue;
        const auto* broadcast = reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr);
        net::Endpoint endpoint;
        std::memcpy(endpoint.address.data(), &broadcast->sin_addr, 4);
        endpoint.port = address.port;
        found = endpoint;
    }
    freeifaddrs(list);
    return found;
}

const char* PortmapperAdvice() {
    return "port 111 needs root, CAP_NET_BIND_SERVICE (setcap cap_net_bind_service+ep on the program) or the "
           "socket handed over by systemd, or a running rpcbind to register with";
}

const char* ReachableNote() { return nullptr; }

}  // namespace tarvo::scpi::vxi11_system
