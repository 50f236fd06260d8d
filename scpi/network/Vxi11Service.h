// VXI-11 on the server: the core channel's listener (which answers the abort channel's program too), and the
// portmapper (the server's own on port 111, or a registration with the portmapper that already runs there),
// each with its handlers over the shared links.
#pragma once

#include "Listeners.h"
#include "Server.h"
#include "Vxi11.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::scpi {

// The portmapper's sockets as the service manager names them (FileDescriptorName=); the core channel's is
// "vxi11".
inline constexpr const char* VXI11_PORTMAPPER = "vxi11-portmapper";

class Vxi11Service {
public:
    // `log` is told what cannot be opened, and of each connection closed for bytes that are not ONC RPC; with
    // `verbose` also each session's messages.
    Vxi11Service(Instruments& instruments, InstrumentLock& lock, std::function<void(const std::string&)> log,
                 bool verbose);
    // Removes its registration from the running portmapper, if it made one.
    ~Vxi11Service();
    Vxi11Service(const Vxi11Service&) = delete;
    Vxi11Service& operator=(const Vxi11Service&) = delete;

    // The core channel on every address of `address` (port 0: any free one), and the portmapper on the host's
    // port 111 with a socket for broadcasts where the host is one address beyond the loopback. False, with the
    // reason in `error`, when the core channel cannot be opened; a portmapper that cannot be had is logged
    // once and the rest serves on.
    bool Open(const ListenAddress& address, std::vector<Listener>& listeners, std::string& error);
    // A socket the service manager handed over, by its name: the core channel or a portmapper socket. Nothing
    // for another name.
    std::optional<Listener> ServeHandedOver(const std::string& name, net::Socket socket, bool datagram);

    vxi11::LinkRegistry& Links() { return registry_; }

private:
    Listener CoreListener(net::Socket socket);
    Listener PortmapperListener(net::Socket socket, bool datagram, net::Socket answerFrom = net::NO_SOCKET);
    // Makes the portmapper known: a registration with a running one, else its own on port 111 of `host`.
    void OfferPortmapper(const std::string& host, std::vector<Listener>& listeners);
    void OwnMappings();
    void CoreOpened(std::uint16_t port);
    void Log(const std::string& line) const;

    vxi11::LinkRegistry registry_;
    std::function<void(const std::string&)> log_;
    bool verbose_ = false;
    std::vector<vxi11::Mapping> mappings_;  // what the server's own portmapper answers
    std::uint16_t corePort_ = 0;
    std::uint16_t registeredPort_ = 0;  // with the running portmapper
    bool portmapperTold_ = false;       // why it has none, said once
    bool reachableTold_ = false;
};

// The per-system part (Vxi11System_*.cpp): a portmapper that already runs on this machine (rpcbind), and where
// broadcasts to an address's network arrive.
namespace vxi11_system {
// Registers the core program on `port` over TCP with the running portmapper; false when none takes it.
bool Register(std::uint16_t port);
void Unregister();
// The broadcast address of the IPv4 network `address` belongs to, when a socket bound to `address` alone
// would not receive the broadcasts sent there.
std::optional<net::Endpoint> SeparateBroadcastAddress(const net::Endpoint& address);
// What it takes to be reached on port 111 here, for the message when it cannot be had.
const char* PortmapperAdvice();
// What the system asks when VXI-11 listens beyond the loopback (Windows Firewall's question); nothing when it
// asks nothing.
const char* ReachableNote();
}  // namespace vxi11_system

}  // namespace tarvo::scpi
