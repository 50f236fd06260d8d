#include "Server.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace tarvo::scpi {
namespace {

constexpr std::size_t READ_SIZE = 16 * 1024;      // at most this much is read from one connection per wake
constexpr int ACCEPTS_PER_WAKE = 64;
constexpr std::chrono::seconds ACCEPT_PAUSE{1};   // after the system could not accept

}  // namespace

struct Server::Connection {
    net::Socket socket = net::NO_SOCKET;
    unsigned number = 0;
    std::string peer;
    ConnectionHandler handler;  // empty once the peer has ended its sending
    std::string output;         // output[sent...] waits to be sent
    std::size_t sent = 0;
    bool closed = false;
    std::optional<Clock::time_point> stuckSince;  // since when answers wait and none moves

    std::size_t Unsent() const { return output.size() - sent; }
    bool Reading(std::size_t bound) const { return handler && Unsent() <= bound; }
};

Server::Server(std::vector<net::Socket> listeners, HandlerFactory factory, ServerLimits limits)
    : listeners_(std::move(listeners)), factory_(std::move(factory)), limits_(limits) {
    std::string error;
    wake_ = net::OpenWakeSocket(error);
    if (wake_ == net::NO_SOCKET) {
        for (net::Socket listener : listeners_) net::CloseSocket(listener);
        throw std::runtime_error("cannot make the wake socket: " + error);
    }
}

Server::~Server() {
    for (auto& connection : connections_) net::CloseSocket(connection->socket);
    for (net::Socket listener : listeners_) net::CloseSocket(listener);
    net::CloseSocket(wake_);
}

void Server::Stop() { net::Wake(wake_); }

bool Server::StopOnRequest() { return net::WakeOnStopRequest(wake_); }

std::vector<net::Endpoint> Server::ListeningOn() const {
    std::vector<net::Endpoint> endpoints;
    for (net::Socket listener : listeners_) {
        if (const auto endpoint = net::LocalEndpoint(listener)) endpoints.push_back(*endpoint);
    }
    return endpoints;
}

void Server::Log(const std::string& line) {
    if (log) log(line);
}

bool Server::Run() {
    std::vector<char> buffer(READ_SIZE);
    std::vector<net::PollEntry> entries;
    for (;;) {
        Clock::time_point now = Clock::now();
        const bool accepting = now >= acceptPausedUntil_;
        entries.clear();
        entries.push_back({wake_, net::POLL_IN, 0});
        if (accepting) {
            for (net::Socket listener : listeners_) entries.push_back({listener, net::POLL_IN, 0});
        }
        const std::size_t firstConnection = entries.size();
        for (const auto& connection : connections_) {
            short events = 0;
            if (connection->Reading(limits_.outputBound)) events |= net::POLL_IN;
            if (connection->Unsent() > 0) events |= net::POLL_OUT;
            entries.push_back({connection->socket, events, 0});
        }
        if (!net::PollSockets(entries, PollTimeout(now))) {
            Log("waiting for the network failed");
            FinishAtStop();
            return false;
        }
        now = Clock::now();
        if (entries[0].revents != 0) {
            net::DrainWake(wake_);
            break;
        }
        // The connections polled first: those accepted below have no entry yet.
        for (std::size_t i = 0; i < connections_.size() && firstConnection + i < entries.size(); ++i) {
            if (entries[firstConnection + i].revents != 0)
                Serve(*connections_[i], entries[firstConnection + i].revents, buffer.data(), buffer.size());
        }
        for (std::size_t i = 1; i < firstConnection; ++i) {
            if (entries[i].revents != 0) Accept(entries[i].socket, now);
        }
        CheckStuck(now);
        std::erase_if(connections_, [](const auto& connection) { return connection->closed; });
    }
    FinishAtStop();
    return true;
}

void Server::Accept(net::Socket listener, Clock::time_point now) {
    for (int i = 0; i < ACCEPTS_PER_WAKE; ++i) {
        net::Accepted accepted = net::AcceptConnection(listener);
        if (accepted.status == net::IoStatus::WouldBlock) return;
        if (accepted.status != net::IoStatus::Done) {
            Log("cannot accept connections now; trying again in a second");
            acceptPausedUntil_ = now + ACCEPT_PAUSE;
            return;
        }
        const std::string peer = net::EndpointText(accepted.peer);
        if (connections_.size() >= limits_.maxConnections) {
            net::CloseSocket(accepted.socket);
            Log("connection from " + peer + " refused: " + std::to_string(limits_.maxConnections) +
                " connections are open");
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->socket = accepted.socket;
        connection->number = ++accepted_;
        connection->peer = peer;
        try {
            connection->handler = factory_(ConnectionInfo{connection->number, peer});
        } catch (const std::exception& e) {
            net::CloseSocket(accepted.socket);
            Log("connection " + std::to_string(connection->number) + " from " + peer + " refused: " + e.what());
            continue;
        }
        Log("connection " + std::to_string(connection->number) + " from " + peer + " opened");
        connections_.push_back(std::move(connection));
    }
}

void Server::Serve(Connection& connection, short events, char* buffer, std::size_t size) {
    if (events & net::POLL_ERROR) {
        Close(connection, "failed");
        return;
    }
    if (events & net::POLL_OUT) {
        if (!Flush(connection)) {
            Close(connection, "failed while sending");
            return;
        }
        if (!connection.handler && connection.Unsent() == 0) {
            Close(connection, "by the peer");
            return;
        }
    }
    if (!connection.Reading(limits_.outputBound)) {
        // The peer is gone while answers wait (Windows also says so for a peer that only ended its sending):
        // keep on only while they still move.
        if (events & net::POLL_HANGUP) {
            const std::size_t before = connection.Unsent();
            if (!Flush(connection) || (connection.Unsent() > 0 && connection.Unsent() == before))
                Close(connection, "by the peer with answers unsent");
        }
        return;
    }
    if (!(events & (net::POLL_IN | net::POLL_HANGUP))) return;
    const net::IoResult got = net::ReceiveSome(connection.socket, buffer, size);
    switch (got.status) {
    case net::IoStatus::WouldBlock:
        return;
    case net::IoStatus::Failed:
        Close(connection, "failed while receiving");
        return;
    case net::IoStatus::Closed:
        // An unfinished message goes with the handler; what is queued still goes out.
        connection.handler = nullptr;
        if (connection.Unsent() == 0) Close(connection, "by the peer");
        return;
    case net::IoStatus::Done:
        break;
    }
    std::string answer;
    try {
        answer = connection.handler(std::string_view(buffer, got.bytes));
    } catch (const std::exception& e) {
        Close(connection, std::string("after an error: ") + e.what());
        return;
    }
    Queue(connection, std::move(answer));
}

void Server::Queue(Connection& connection, std::string bytes) {
    if (bytes.empty()) return;
    if (connection.Unsent() == 0) {
        // Each answer in one send: some clients take only what arrives together as the answer.
        const net::IoResult result = net::SendSome(connection.socket, bytes.data(), bytes.size());
        if (result.status == net::IoStatus::Failed) {
            Close(connection, "failed while sending");
            return;
        }
        const std::size_t taken = result.status == net::IoStatus::Done ? result.bytes : 0;
        if (taken == bytes.size()) return;
        connection.output.assign(bytes, taken);
        connection.sent = 0;
        return;
    }
    connection.output += bytes;
}

bool Server::Flush(Connection& connection) {
    while (connection.Unsent() > 0) {
        const net::IoResult result =
            net::SendSome(connection.socket, connection.output.data() + connection.sent, connection.Unsent());
        if (result.status == net::IoStatus::Failed) return false;
        if (result.status != net::IoStatus::Done || result.bytes == 0) break;
        connection.sent += result.bytes;
        connection.stuckSince.reset();
    }
    if (connection.Unsent() == 0) {
        std::string().swap(connection.output);  // give the memory back
        connection.sent = 0;
    } else if (connection.sent >= READ_SIZE && connection.sent * 2 >= connection.output.size()) {
        connection.output.erase(0, connection.sent);
        connection.sent = 0;
    }
    return true;
}

void Server::Close(Connection& connection, const std::string& why) {
    if (connection.closed) return;
    connection.closed = true;
    connection.handler = nullptr;
    net::CloseSocket(connection.socket);
    connection.socket = net::NO_SOCKET;
    Log("connection " + std::to_string(connection.number) + " from " + connection.peer + " closed " + why);
}

void Server::CheckStuck(Clock::time_point now) {
    for (const auto& connection : connections_) {
        if (connection->closed) continue;
        const bool waiting = connection->Unsent() > limits_.outputBound ||
                             (!connection->handler && connection->Unsent() > 0);
        if (!waiting) {
            connection->stuckSince.reset();
        } else if (!connection->stuckSince) {
            connection->stuckSince = now;
        } else if (now - *connection->stuckSince >= limits_.stuckTimeout) {
            Close(*connection, "by the server: its answers were not read for " +
                                   std::to_string(limits_.stuckTimeout.count()) + " ms");
        }
    }
}

int Server::PollTimeout(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    if (now < acceptPausedUntil_) next = acceptPausedUntil_;
    for (const auto& connection : connections_) {
        if (!connection->stuckSince) continue;
        const Clock::time_point due = *connection->stuckSince + limits_.stuckTimeout;
        if (!next || due < *next) next = due;
    }
    if (!next) return -1;
    if (*next <= now) return 0;
    // Rounded up, so that the wait does not end just before the moment it waits for.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::min<long long>(wait, 24 * 3600 * 1000));
}

void Server::FinishAtStop() {
    for (net::Socket listener : listeners_) net::CloseSocket(listener);
    listeners_.clear();
    // Nothing more is read: unfinished messages go with their handlers.
    for (const auto& connection : connections_) connection->handler = nullptr;
    const Clock::time_point deadline = Clock::now() + limits_.stopFlush;
    std::vector<net::PollEntry> entries;
    for (;;) {
        for (const auto& connection : connections_) {
            if (connection->Unsent() == 0) Close(*connection, "at the server's stop");
        }
        std::erase_if(connections_, [](const auto& connection) { return connection->closed; });
        const Clock::time_point now = Clock::now();
        if (connections_.empty() || now >= deadline) break;
        entries.clear();
        for (const auto& connection : connections_) entries.push_back({connection->socket, net::POLL_OUT, 0});
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (!net::PollSockets(entries, static_cast<int>(wait))) break;
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            const short events = entries[i].revents;
            const bool failed = (events & (net::POLL_ERROR | net::POLL_HANGUP)) ||
                                ((events & net::POLL_OUT) && !Flush(*connections_[i]));
            if (failed) Close(*connections_[i], "at the server's stop, failed while sending");
        }
    }
    for (const auto& connection : connections_) Close(*connection, "at the server's stop with answers unsent");
    connections_.clear();
}

}  // namespace tarvo::scpi
