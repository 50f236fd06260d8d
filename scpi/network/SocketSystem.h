// Inside the socket shim only: the system's socket headers, and the address conversions both systems share
// (SocketAddresses.cpp).
#pragma once

#include "SocketShim.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace tarvo::scpi::net {

#ifdef _WIN32
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif

inline NativeSocket Native(Socket socket) { return static_cast<NativeSocket>(socket); }

// Fills `storage` with the endpoint; returns the length to pass with it.
socklen_t ToSockaddr(const Endpoint& endpoint, sockaddr_storage& storage);
// Nothing for an address of another family than IPv4 or IPv6.
std::optional<Endpoint> FromSockaddr(const sockaddr* address);

}  // namespace tarvo::scpi::net
