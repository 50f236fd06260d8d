// Where the server listens: `--listen [PROTOCOL://]HOST:PORT` addresses, the listening sockets opened on them, and whether
// those sockets can be reached from other machines.
#pragma once

#include "SocketShim.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::scpi {

inline constexpr std::uint16_t SCPI_RAW_PORT = 5025;

// The protocols a listener may serve, as `--listen` and the service's socket names spell them.
inline constexpr const char* SCPI_RAW = "scpi-raw";
inline constexpr const char* HISLIP = "hislip";
inline constexpr const char* VXI11 = "vxi11";
inline constexpr const char* HTTP = "http";

struct ListenAddress {
    std::string host;  // a name or a numeric address, without brackets
    std::uint16_t port = SCPI_RAW_PORT;
    std::string protocol = SCPI_RAW;
};

// "[PROTOCOL://]HOST:PORT", PROTOCOL one of the four above (scpi-raw when left out), with an IPv6 address in
// brackets ("hislip://[::1]:4880"); port 0 lets the system choose one. Nothing when the text is not of that
// form; an unknown protocol is not of it.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// A listening socket on every address the host has (a name may have an IPv4 and an IPv6 one). All or nothing:
// on a failure the ones opened are closed and `error` names the address.
std::vector<net::Socket> OpenListeners(const ListenAddress& address, std::string& error);

// 127.0.0.0/8, ::1, or an IPv4-mapped 127.x address: reachable from this machine only.
bool IsLoopback(const net::Endpoint& endpoint);

}  // namespace tarvo::scpi
