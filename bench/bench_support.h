// What the SCPI server's benchmarks share: their clock and statistics, the bare loopback echo that is their
// floor (a poll loop in a process of its own, as the server is), and starting and ending processes.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

[[noreturn]] inline void Die(const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, why.c_str());
    std::exit(1);
}

inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

inline double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

inline sockaddr_in Loopback(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline unsigned short ListeningPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// A blocking connection to 127.0.0.1:port with Nagle's delay off; the benchmark ends when it cannot be made.
inline int ConnectLoopback(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(port);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) Die("cannot connect");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One blocking client connection to 127.0.0.1:port, read into a buffer; the benchmark ends when a send fails
// or the peer closes.
class LoopbackConnection {
public:
    explicit LoopbackConnection(unsigned short port) : fd_(ConnectLoopback(port)) {}
    ~LoopbackConnection() { close(fd_); }
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;

    void Send(const std::string& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) Die("send failed");
            sent += static_cast<std::size_t>(n);
        }
    }
    // The next `size` bytes.
    std::string Take(std::size_t size) {
        while (buffer_.size() < size) ReceiveMore();
        std::string out = buffer_.substr(0, size);
        buffer_.erase(0, size);
        return out;
    }
    // The next line, without its LF.
    std::string TakeLine() {
        std::size_t end;
        while ((end = buffer_.find('\n')) == std::string::npos) ReceiveMore();
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
    }

private:
    void ReceiveMore() {
        char chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) Die("the connection closed");
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }

    int fd_;
    std::string buffer_;
};

// A port of 127.0.0.1 that nothing listens on right now.
inline unsigned short FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(0);
    bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    const unsigned short port = ListeningPort(fd);
    close(fd);
    return port;
}

// A bare echo: one process, one poll loop over its listening socket and connections, every byte sent back
// as it arrives. Ends with SIGTERM.
[[noreturn]] inline void Echo(int listener) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    char buffer[65536];
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) _exit(1);
        for (std::size_t i = fds.size(); i-- > 0;) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == listener) {
                const int c = accept(listener, nullptr, nullptr);
                int one = 1;
                if (c >= 0) {
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    fds.push_back({c, POLLIN, 0});
                }
                continue;
            }
            const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0 || send(fds[i].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
                close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

// A process started here, and the port it serves.
struct Child {
    pid_t pid = -1;
    unsigned short port = 0;
};

inline Child StartEcho() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(0);
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener, 128) != 0)
        Die("the echo cannot listen");
    Child echo{fork(), ListeningPort(listener)};
    if (echo.pid == 0) Echo(listener);
    close(listener);
    return echo;
}

// Starts a program with its output thrown away.
inline pid_t Spawn(const std::vector<std::string>& command) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Starts the server with `listen(port)`'s arguments on a free port of 127.0.0.1, and waits until it accepts
// connections there (a few tries, for a port another program takes meanwhile).
template <typename Arguments>
Child StartListening(Arguments listen) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const unsigned short port = FreePort();
        const pid_t pid = Spawn(listen(port));
        for (int i = 0; i < 200; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in a = Loopback(port);
            const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
            close(fd);
            if (up) return {pid, port};
            if (waitpid(pid, nullptr, WNOHANG) == pid) break;
            usleep(20000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    Die("the server does not start");
}

inline void Stop(const Child& child) {
    kill(child.pid, SIGTERM);
    waitpid(child.pid, nullptr, 0);
}

inline long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace bench
