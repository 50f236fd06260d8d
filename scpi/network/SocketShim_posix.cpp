#include "SocketSystem.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace tarvo::scpi::net {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;  // a peer gone does not raise SIGPIPE
#else
constexpr int SEND_FLAGS = 0;             // SIGPIPE is ignored instead (WakeOnStopRequest)
#endif

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

bool MakeNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

std::string SystemMessage(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

volatile std::sig_atomic_t g_stopWake = -1;

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 0;
    (void)send(g_stopWake, &byte, 1, SEND_FLAGS);
    errno = saved;
}

}  // namespace

bool StartSockets(std::string&) { return true; }

namespace {

// A non-blocking socket of `type` bound to the endpoint, with the socket option `option` on (SO_REUSEADDR for a
// listener, SO_BROADCAST for UDP); an IPv6 one serves IPv6 only. -1 with a message on failure.
int OpenBound(const Endpoint& endpoint, int type, int option, const char* optionName, std::string& error) {
    const int fd = socket(endpoint.v6 ? AF_INET6 : AF_INET, type, 0);
    if (fd < 0) {
        error = SystemMessage("socket");
        return -1;
    }
    const int on = 1;
    sockaddr_storage address;
    const socklen_t length = ToSockaddr(endpoint, address);
    const char* failed = nullptr;
    if (!MakeNonBlocking(fd))
        failed = "fcntl";
    else if (setsockopt(fd, SOL_SOCKET, option, &on, sizeof on) != 0)
        failed = optionName;
    else if (endpoint.v6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0)
        failed = "IPV6_V6ONLY";
    else if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0)
        failed = "bind";
    if (failed) {
        error = SystemMessage(failed);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Socket OpenListener(const Endpoint& endpoint, std::string& error) {
    const int fd = OpenBound(endpoint, SOCK_STREAM, SO_REUSEADDR, "SO_REUSEADDR", error);
    if (fd < 0) return NO_SOCKET;
    if (listen(fd, SOMAXCONN) != 0) {
        error = SystemMessage("listen");
        close(fd);
        return NO_SOCKET;
    }
    return fd;
}

Socket OpenDatagramSocket(const Endpoint& endpoint, std::string& error) {
    const int fd = OpenBound(endpoint, SOCK_DGRAM, SO_BROADCAST, "SO_BROADCAST", error);
    return fd < 0 ? NO_SOCKET : fd;
}

std::vector<HandedOver> HandedOverSockets(std::string& error) {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (!pid || !fds) return {};
    // Meant for this process only: a child started later must not take them too.
    const char* names = std::getenv("LISTEN_FDNAMES");
    const std::string pidText = pid, fdsText = fds, namesText = names ? names : "";
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    char* end = nullptr;
    errno = 0;
    const long forPid = std::strtol(pidText.c_str(), &end, 10);
    if (errno != 0 || end == pidText.c_str() || *end != '\0' || forPid != static_cast<long>(getpid())) return {};
    errno = 0;
    const long count = std::strtol(fdsText.c_str(), &end, 10);
    constexpr int FIRST = 3;  // SD_LISTEN_FDS_START
    if (errno != 0 || end == fdsText.c_str() || *end != '\0' || count < 0 || count > 1024) {
        error = "LISTEN_FDS is not a number of sockets: \"" + fdsText + "\"";
        return {};
    }
    std::vector<HandedOver> sockets;
    std::size_t nameAt = 0;
    for (int fd = FIRST; fd < FIRST + count; ++fd) {
        HandedOver handed;
        handed.socket = fd;
        // LISTEN_FDNAMES: one name per socket, separated by ':'; systemd's "unknown" where it has none.
        const std::size_t colon = namesText.find(':', nameAt);
        handed.name = nameAt <= namesText.size() ? namesText.substr(nameAt, colon - nameAt) : "";
        nameAt = colon == std::string::npos ? namesText.size() + 1 : colon + 1;
        if (handed.name.empty()) handed.name = "unknown";
        int type = 0, listening = 0;
        socklen_t size = sizeof type;
        const bool known = getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0;
        size = sizeof listening;
        const bool accepts = getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening;
        handed.datagram = known && type == SOCK_DGRAM;
        const bool usable = known && ((type == SOCK_STREAM && accepts) || type == SOCK_DGRAM);
        if (!usable || !LocalEndpoint(fd)) {
            error = "fd " + std::to_string(fd) + " handed over is neither a listening TCP socket nor a UDP socket";
            return {};
        }
        if (!MakeNonBlocking(fd)) {
            error = SystemMessage("fcntl");
            return {};
        }
        sockets.push_back(std::move(handed));
    }
    return sockets;
}

Accepted AcceptConnection(Socket listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = accept(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (fd < 0) {
        // A connection reset before it was taken is simply gone.
        const bool nothing = WouldBlock(errno) || errno == ECONNABORTED || errno == EPROTO;
        return {nothing ? IoStatus::WouldBlock : IoStatus::Failed, NO_SOCKET, {}};
    }
    const int on = 1;
    if (!MakeNonBlocking(fd) || setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        close(fd);
        return {IoStatus::WouldBlock, NO_SOCKET, {}};
    }
    return {IoStatus::Done, fd, FromSockaddr(reinterpret_cast<const sockaddr*>(&address)).value_or(Endpoint{})};
}

IoResult SendSome(Socket socket, const char* bytes, std::size_t size) {
    const ssize_t sent = send(static_cast<int>(socket), bytes, size, SEND_FLAGS);
    if (sent >= 0) return {IoStatus::Done, static_cast<std::size_t>(sent)};
    return {WouldBlock(errno) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

IoResult ReceiveSome(Socket socket, char* buffer, std::size_t size) {
    const ssize_t got = recv(static_cast<int>(socket), buffer, size, 0);
    if (got > 0) return {IoStatus::Done, static_cast<std::size_t>(got)};
    if (got == 0) return {IoStatus::Closed, 0};
    return {WouldBlock(errno) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

IoResult ReceiveDatagram(Socket socket, char* buffer, std::size_t size, Endpoint& from) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const ssize_t got =
        recvfrom(static_cast<int>(socket), buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&address), &length);
    if (got < 0) return {WouldBlock(errno) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
    const std::optional<Endpoint> sender = FromSockaddr(reinterpret_cast<const sockaddr*>(&address));
    if (!sender) return {IoStatus::WouldBlock, 0};  // of no family we answer: dropped
    from = *sender;
    return {IoStatus::Done, std::min(static_cast<std::size_t>(got), size)};
}

IoResult SendDatagram(Socket socket, const char* bytes, std::size_t size, const Endpoint& to) {
    sockaddr_storage address;
    const socklen_t length = ToSockaddr(to, address);
    const ssize_t sent =
        sendto(static_cast<int>(socket), bytes, size, SEND_FLAGS, reinterpret_cast<const sockaddr*>(&address), length);
    if (sent >= 0) return {IoStatus::Done, static_cast<std::size_t>(sent)};
    return {WouldBlock(errno) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

void CloseSocket(Socket socket) {
    if (socket != NO_SOCKET) close(static_cast<int>(socket));
}

bool PollSockets(std::vector<PollEntry>& entries, int timeoutMs) {
    std::vector<pollfd> fds(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = static_cast<int>(entries[i].socket);
        fds[i].events = static_cast<short>(((entries[i].events & POLL_IN) ? POLLIN : 0) |
                                           ((entries[i].events & POLL_OUT) ? POLLOUT : 0));
    }
    const int rc = poll(fds.data(), static_cast<nfds_t>(fds.size()), timeoutMs);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const short r = rc > 0 ? fds[i].revents : 0;
        entries[i].revents = static_cast<short>(((r & POLLIN) ? POLL_IN : 0) | ((r & POLLOUT) ? POLL_OUT : 0) |
                                                ((r & POLLHUP) ? POLL_HANGUP : 0) |
                                                ((r & (POLLERR | POLLNVAL)) ? POLL_ERROR : 0));
    }
    return rc >= 0 || errno == EINTR;
}

Socket OpenWakeSocket(std::string& error) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        error = SystemMessage("socket");
        return NO_SOCKET;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const char* failed = nullptr;
    if (!MakeNonBlocking(fd))
        failed = "fcntl";
    else if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        failed = "bind";
    else if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        failed = "getsockname";
    else if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        failed = "connect";
    if (failed) {
        error = SystemMessage(failed);
        close(fd);
        return NO_SOCKET;
    }
    return fd;
}

void Wake(Socket wake) {
    const char byte = 0;
    (void)send(static_cast<int>(wake), &byte, 1, SEND_FLAGS);
}

void DrainWake(Socket wake) {
    char buffer[64];
    for (int i = 0; i < 1024 && recv(static_cast<int>(wake), buffer, sizeof buffer, 0) >= 0; ++i) {
    }
}

bool WakeOnStopRequest(Socket wake) {
    g_stopWake = static_cast<std::sig_atomic_t>(wake);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0 &&
           sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

}  // namespace tarvo::scpi::net
