#include "Listeners.h"

#include <algorithm>
#include <charconv>

namespace tarvo::scpi {

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
    std::string protocol = SCPI_RAW;
    if (const std::size_t scheme = text.find("://"); scheme != std::string_view::npos) {
        protocol = std::string(text.substr(0, scheme));
        if (protocol != SCPI_RAW && protocol != HISLIP && protocol != VXI11 && protocol != HTTP) return std::nullopt;
        text.remove_prefix(scheme + 3);
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return std::nullopt;  // an IPv6 address needs its brackets
    }
    if (host.empty() || host.find_first_of("[] \t") != std::string_view::npos) return std::nullopt;
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
            return c >= '0' && c <= '9';
        }))
        return std::nullopt;
    unsigned number = 0;
    std::from_chars(port.data(), port.data() + port.size(), number);
    if (number > 65535) return std::nullopt;
    return ListenAddress{std::string(host), static_cast<std::uint16_t>(number), protocol};
}

std::vector<net::Socket> OpenListeners(const ListenAddress& address, std::string& error) {
    const std::string named = address.host + " port " + std::to_string(address.port);
    std::string why;
    const std::vector<net::Endpoint> endpoints = net::ResolveForListening(address.host, address.port, why);
    if (endpoints.empty()) {
        error = "cannot listen on " + named + ": " + why;
        return {};
    }
    std::vector<net::Socket> sockets;
    for (const net::Endpoint& endpoint : endpoints) {
        const net::Socket socket = net::OpenListener(endpoint, why);
        if (socket == net::NO_SOCKET) {
            for (net::Socket opened : sockets) net::CloseSocket(opened);
            error = "cannot listen on " + net::EndpointText(endpoint) + ": " + why;
            return {};
        }
        sockets.push_back(socket);
    }
    return sockets;
}

bool IsLoopback(const net::Endpoint& endpoint) {
    const auto& a = endpoint.address;
    if (!endpoint.v6) return a[0] == 127;
    const bool zeros10 = std::all_of(a.begin(), a.begin() + 10, [](std::uint8_t b) { return b == 0; });
    if (zeros10 && a[10] == 0xFF && a[11] == 0xFF) return a[12] == 127;  // ::ffff:127.x.y.z
    return zeros10 && a[10] == 0 && a[11] == 0 && a[12] == 0 && a[13] == 0 && a[14] == 0 && a[15] == 1;
}

}  // namespace tarvo::scpi
