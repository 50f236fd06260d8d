#include "SocketSystem.h"

#include <algorithm>
#include <cstring>

namespace tarvo::scpi::net {

socklen_t ToSockaddr(const Endpoint& endpoint, sockaddr_storage& storage) {
    std::memset(&storage, 0, sizeof storage);
    if (endpoint.v6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(endpoint.port);
        v6.sin6_scope_id = endpoint.scope;
        std::memcpy(&v6.sin6_addr, endpoint.address.data(), 16);
        return sizeof v6;
    }
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(endpoint.port);
    std::memcpy(&v4.sin_addr, endpoint.address.data(), 4);
    return sizeof v4;
}

std::optional<Endpoint> FromSockaddr(const sockaddr* address) {
    Endpoint endpoint;
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        endpoint.v6 = true;
        std::memcpy(endpoint.address.data(), &v6->sin6_addr, 16);
        endpoint.port = ntohs(v6->sin6_port);
        endpoint.scope = v6->sin6_scope_id;
        return endpoint;
    }
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        std::memcpy(endpoint.address.data(), &v4->sin_addr, 4);
        endpoint.port = ntohs(v4->sin_port);
        return endpoint;
    }
    return std::nullopt;
}

std::string EndpointText(const Endpoint& endpoint) {
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(endpoint.v6 ? AF_INET6 : AF_INET, endpoint.address.data(), text, sizeof text);
    const std::string port = std::to_string(endpoint.port);
    return endpoint.v6 ? "[" + std::string(text) + "]:" + port : std::string(text) + ":" + port;
}

std::vector<Endpoint> ResolveForListening(const std::string& host, std::uint16_t port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        error = gai_strerror(rc);
        return {};
    }
    std::vector<Endpoint> endpoints;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        std::optional<Endpoint> endpoint = FromSockaddr(a->ai_addr);
        if (!endpoint) continue;
        endpoint->port = port;
        const bool repeated = std::any_of(endpoints.begin(), endpoints.end(), [&](const Endpoint& e) {
            return e.v6 == endpoint->v6 && e.address == endpoint->address && e.scope == endpoint->scope;
        });
        if (!repeated) endpoints.push_back(*endpoint);
    }
    freeaddrinfo(found);
    if (endpoints.empty()) error = "no IPv4 or IPv6 address";
    return endpoints;
}

std::optional<Endpoint> LocalEndpoint(Socket socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
    return FromSockaddr(reinterpret_cast<const sockaddr*>(&address));
}

}  // namespace tarvo::scpi::net
