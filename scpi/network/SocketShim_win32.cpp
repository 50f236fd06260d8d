#include "SocketSystem.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace tarvo::scpi::net {
namespace {

Socket Ours(SOCKET socket) { return socket == INVALID_SOCKET ? NO_SOCKET : static_cast<Socket>(socket); }

bool WouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS; }

bool MakeNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

std::string SystemMessage(const char* what) {
    const int code = WSAGetLastError();
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return std::string(what) + ": " + (message.empty() ? "error " + std::to_string(code) : message);
}

SOCKET g_stopWake = INVALID_SOCKET;

// Runs on a thread of its own. For the console closing (and logoff or shutdown) Windows ends the process as soon
// as this returns, so it waits: the program's own exit ends it, and Windows' timeout bounds the wait.
BOOL WINAPI OnConsoleControl(DWORD type) {
    const char byte = 0;
    send(g_stopWake, &byte, 1, 0);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

bool StartSockets(std::string& error) {
    WSADATA data;
    const int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) error = "WSAStartup failed with error " + std::to_string(rc);
    return rc == 0;
}

namespace {

// A non-blocking socket of `type` bound to the endpoint, never shared with another program's, with broadcasts
// allowed when `broadcast`; an IPv6 one serves IPv6 only. INVALID_SOCKET with a message on failure.
SOCKET OpenBound(const Endpoint& endpoint, int type, int protocol, bool broadcast, std::string& error) {
    const SOCKET s = WSASocketW(endpoint.v6 ? AF_INET6 : AF_INET, type, protocol, nullptr, 0,
                                WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = SystemMessage("socket");
        return INVALID_SOCKET;
    }
    const BOOL on = TRUE;
    const char* option = reinterpret_cast<const char*>(&on);
    sockaddr_storage address;
    const int length = ToSockaddr(endpoint, address);
    const char* failed = nullptr;
    if (!MakeNonBlocking(s))
        failed = "ioctlsocket";
    else if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, option, sizeof on) != 0)
        failed = "SO_EXCLUSIVEADDRUSE";
    else if (broadcast && setsockopt(s, SOL_SOCKET, SO_BROADCAST, option, sizeof on) != 0)
        failed = "SO_BROADCAST";
    else if (endpoint.v6 && setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, option, sizeof on) != 0)
        failed = "IPV6_V6ONLY";
    else if (bind(s, reinterpret_cast<const sockaddr*>(&address), length) != 0)
        failed = "bind";
    if (failed) {
        error = SystemMessage(failed);
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace

Socket OpenListener(const Endpoint& endpoint, std::string& error) {
    const SOCKET s = OpenBound(endpoint, SOCK_STREAM, IPPROTO_TCP, false, error);
    if (s == INVALID_SOCKET) return NO_SOCKET;
    if (listen(s, SOMAXCONN) != 0) {
        error = SystemMessage("listen");
        closesocket(s);
        return NO_SOCKET;
    }
    return Ours(s);
}

Socket OpenDatagramSocket(const Endpoint& endpoint, std::string& error) {
    return Ours(OpenBound(endpoint, SOCK_DGRAM, IPPROTO_UDP, true, error));
}

// No service manager hands sockets over on Windows.
std::vector<HandedOver> HandedOverSockets(std::string&) { return {}; }

Accepted AcceptConnection(Socket listener) {
    sockaddr_storage address{};
    int length = sizeof address;
    const SOCKET s = accept(Native(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        const bool nothing = WouldBlock(error) || error == WSAECONNRESET;
        return {nothing ? IoStatus::WouldBlock : IoStatus::Failed, NO_SOCKET, {}};
    }
    const BOOL on = TRUE;
    if (!MakeNonBlocking(s) ||
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        closesocket(s);
        return {IoStatus::WouldBlock, NO_SOCKET, {}};
    }
    return {IoStatus::Done, Ours(s), FromSockaddr(reinterpret_cast<const sockaddr*>(&address)).value_or(Endpoint{})};
}

IoResult SendSome(Socket socket, const char* bytes, std::size_t size) {
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
    const int sent = send(Native(socket), bytes, chunk, 0);
    if (sent != SOCKET_ERROR) return {IoStatus::Done, static_cast<std::size_t>(sent)};
    return {WouldBlock(WSAGetLastError()) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

IoResult ReceiveSome(Socket socket, char* buffer, std::size_t size) {
    const int got = recv(Native(socket), buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
    if (got > 0) return {IoStatus::Done, static_cast<std::size_t>(got)};
    if (got == 0) return {IoStatus::Closed, 0};
    return {WouldBlock(WSAGetLastError()) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

IoResult ReceiveDatagram(Socket socket, char* buffer, std::size_t size, Endpoint& from) {
    sockaddr_storage address{};
    int length = sizeof address;
    const int got = recvfrom(Native(socket), buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0,
                             reinterpret_cast<sockaddr*>(&address), &length);
    // A datagram longer than the buffer arrives cut (WSAEMSGSIZE); a port unreachable from an earlier answer is
    // no fault of this socket (WSAECONNRESET).
    const int error = got == SOCKET_ERROR ? WSAGetLastError() : 0;
    if (got == SOCKET_ERROR && error != WSAEMSGSIZE)
        return {WouldBlock(error) || error == WSAECONNRESET ? IoStatus::WouldBlock : IoStatus::Failed, 0};
    const std::optional<Endpoint> sender = FromSockaddr(reinterpret_cast<const sockaddr*>(&address));
    if (!sender) return {IoStatus::WouldBlock, 0};
    from = *sender;
    return {IoStatus::Done, got == SOCKET_ERROR ? size : static_cast<std::size_t>(got)};
}

IoResult SendDatagram(Socket socket, const char* bytes, std::size_t size, const Endpoint& to) {
    sockaddr_storage address;
    const int length = ToSockaddr(to, address);
    const int sent = sendto(Native(socket), bytes, static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0,
                            reinterpret_cast<const sockaddr*>(&address), length);
    if (sent != SOCKET_ERROR) return {IoStatus::Done, static_cast<std::size_t>(sent)};
    return {WouldBlock(WSAGetLastError()) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

void CloseSocket(Socket socket) {
    if (socket != NO_SOCKET) closesocket(Native(socket));
}

bool PollSockets(std::vector<PollEntry>& entries, int timeoutMs) {
    std::vector<WSAPOLLFD> fds(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = Native(entries[i].socket);
        fds[i].events = static_cast<short>(((entries[i].events & POLL_IN) ? POLLRDNORM : 0) |
                                           ((entries[i].events & POLL_OUT) ? POLLWRNORM : 0));
    }
    const int rc = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const short r = rc > 0 ? fds[i].revents : 0;
        entries[i].revents = static_cast<short>(((r & POLLRDNORM) ? POLL_IN : 0) | ((r & POLLWRNORM) ? POLL_OUT : 0) |
                                                ((r & POLLHUP) ? POLL_HANGUP : 0) |
                                                ((r & (POLLERR | POLLNVAL)) ? POLL_ERROR : 0));
    }
    return rc != SOCKET_ERROR || WSAGetLastError() == WSAEINTR;
}

Socket OpenWakeSocket(std::string& error) {
    const SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = SystemMessage("socket");
        return NO_SOCKET;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    const char* failed = nullptr;
    if (!MakeNonBlocking(s))
        failed = "ioctlsocket";
    else if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        failed = "bind";
    else if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        failed = "getsockname";
    else if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        failed = "connect";
    if (failed) {
        error = SystemMessage(failed);
        closesocket(s);
        return NO_SOCKET;
    }
    return Ours(s);
}

void Wake(Socket wake) {
    const char byte = 0;
    send(Native(wake), &byte, 1, 0);
}

void DrainWake(Socket wake) {
    char buffer[64];
    for (int i = 0; i < 1024 && recv(Native(wake), buffer, sizeof buffer, 0) != SOCKET_ERROR; ++i) {
    }
}

bool WakeOnStopRequest(Socket wake) {
    g_stopWake = Native(wake);
    return SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

}  // namespace tarvo::scpi::net
