// The few socket operations the server's loop needs, alike on every system. The build picks the source:
// SocketShim_posix.cpp (BSD sockets, poll) or SocketShim_win32.cpp (Winsock, WSAPoll). Every socket made here is
// non-blocking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::scpi::net {

// A file descriptor on POSIX, a SOCKET on Windows.
using Socket = std::intptr_t;
inline constexpr Socket NO_SOCKET = -1;

// An IPv4 or IPv6 address and port.
struct Endpoint {
    bool v6 = false;
    std::array<std::uint8_t, 16> address{};  // IPv4: the first four bytes
    std::uint16_t port = 0;
    std::uint32_t scope = 0;  // IPv6 scope id
};

// "127.0.0.1:5025", "[::1]:5025".
std::string EndpointText(const Endpoint& endpoint);

// Readies the system's sockets (Winsock); false with a message when they cannot be used.
bool StartSockets(std::string& error);

// Every address `host` (a name or a numeric address) has for listening, IPv4 and IPv6, without repeats.
std::vector<Endpoint> ResolveForListening(const std::string& host, std::uint16_t port, std::string& error);
// A TCP socket bound to the endpoint and listening: its address reusable at once after a restart, but never
// shared with another running program; an IPv6 one serves IPv6 only. NO_SOCKET with a message on failure.
Socket OpenListener(const Endpoint& endpoint, std::string& error);
// A UDP socket bound to the endpoint, with broadcasts allowed; an IPv6 one serves IPv6 only. NO_SOCKET with a
// message on failure.
Socket OpenDatagramSocket(const Endpoint& endpoint, std::string& error);
// The sockets a service manager handed over (systemd's LISTEN_PID and LISTEN_FDS from fd 3, with the names of
// LISTEN_FDNAMES), made non-blocking; empty when none were. A message in `error` when the environment names
// sockets that are neither listening TCP sockets nor UDP sockets.
struct HandedOver {
    Socket socket = NO_SOCKET;
    std::string name;  // FileDescriptorName=; systemd's "unknown" when the unit names none
    bool datagram = false;
};
std::vector<HandedOver> HandedOverSockets(std::string& error);
// The address a socket is bound to.
std::optional<Endpoint> LocalEndpoint(Socket socket);

enum class IoStatus {
    Done,        // `bytes` moved (accept: a connection taken)
    WouldBlock,  // nothing to do now
    Closed,      // receive: the peer ended its sending
    Failed,      // the connection is broken (or, for accept, the system is short of something)
};
struct IoResult {
    IoStatus status = IoStatus::Failed;
    std::size_t bytes = 0;
};
struct Accepted {
    IoStatus status = IoStatus::Failed;
    Socket socket = NO_SOCKET;  // non-blocking, TCP_NODELAY set
    Endpoint peer;
};
Accepted AcceptConnection(Socket listener);
IoResult SendSome(Socket socket, const char* bytes, std::size_t size);
IoResult ReceiveSome(Socket socket, char* buffer, std::size_t size);
// One datagram: its bytes (cut to `size`) and sender; WouldBlock when none waits.
IoResult ReceiveDatagram(Socket socket, char* buffer, std::size_t size, Endpoint& from);
IoResult SendDatagram(Socket socket, const char* bytes, std::size_t size, const Endpoint& to);
void CloseSocket(Socket socket);

// poll()/WSAPoll() over the entries.
enum PollFlag : short {
    POLL_IN = 1,       // readable, or a connection to accept
    POLL_OUT = 2,      // writable
    POLL_HANGUP = 4,   // the connection is down (reported whatever was asked)
    POLL_ERROR = 8,    // an error is pending or the socket is not valid (reported whatever was asked)
};
struct PollEntry {
    Socket socket = NO_SOCKET;
    short events = 0;
    short revents = 0;
};
// Waits until an entry is ready or `timeoutMs` passes (-1: no limit). An interrupted wait returns true with no
// entry ready; false when the wait itself failed.
bool PollSockets(std::vector<PollEntry>& entries, int timeoutMs);

// The wake socket: a UDP socket on 127.0.0.1 connected to itself, polled like any other. One datagram sent to it
// makes it readable.
Socket OpenWakeSocket(std::string& error);
// Sends one datagram; async-signal-safe, callable from any thread.
void Wake(Socket wake);
// Reads every datagram waiting.
void DrainWake(Socket wake);
// From now on SIGTERM and SIGINT (POSIX), or Ctrl+C, Ctrl+Break and the console closing (Windows), wake `wake`.
bool WakeOnStopRequest(Socket wake);

}  // namespace tarvo::scpi::net
