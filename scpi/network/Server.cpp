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
    std::shared_ptr<ConnectionOutlet> outlet;
    ConnectionHandler handler;  // empty once nothing more is read (the peer ended its sending, or a close asked)
    std::string endWhy = "by the peer";  // how the connection ends once what is queued has gone out
    bool closeAsked = false;    // through the outlet, while a handler may be running
    std::string output;         // output[sent...] waits to be sent
    std::size_t sent = 0;
    bool closed = false;
    std::optional<Clock::time_point> stuckSince;  // since when answers wait and none moves

    std::size_t Unsent() const { return output.size() - sent; }
    bool Reading(std::size_t bound) const { return handler && !closeAsked && Unsent() <= bound; }
};

void ConnectionOutlet::Send(std::string bytes) {
    if (!server_) return;
    if (Server::Connection* connection = server_->Find(number_)) server_->Queue(*connection, std::move(bytes));
}

void ConnectionOutlet::Close() {
    if (!server_) return;
    if (Server::Connection* connection = server_->Find(number_)) connection->closeAsked = true;
}

ConnectionOutlet::TimerId ConnectionOutlet::After(std::chrono::milliseconds delay, std::function<void()> run) {
    if (!server_) return 0;
    const TimerId id = ++server_->lastTimer_;
    server_->timers_[id] = Server::Timer{Server::Clock::now() + delay, number_, std::move(run)};
    return id;
}

void ConnectionOutlet::Cancel(TimerId timer) {
    if (server_) server_->timers_.erase(timer);
}

Server::Server(std::vector<Listener> listeners, ServerLimits limits)
    : listeners_(std::move(listeners)), limits_(limits) {
    std::string error;
    wake_ = net::OpenWakeSocket(error);
    if (wake_ == net::NO_SOCKET) {
        for (const Listener& listener : listeners_) net::CloseSocket(listener.socket);
        throw std::runtime_error("cannot make the wake socket: " + error);
    }
}

Server::Server(std::vector<net::Socket> listeners, HandlerFactory factory, ServerLimits limits)
    : Server(
          [&] {
              std::vector<Listener> made;
              for (net::Socket socket : listeners) made.push_back(Listener{socket, "scpi-raw", factory, nullptr});
              return made;
          }(),
          limits) {}

Server::~Server() {
    for (auto& connection : connections_) {
        if (connection->outlet) connection->outlet->server_ = nullptr;
        net::CloseSocket(connection->socket);
    }
    for (const Listener& listener : listeners_) net::CloseSocket(listener.socket);
    net::CloseSocket(wake_);
}

void Server::Stop() { net::Wake(wake_); }

bool Server::StopOnRequest() { return net::WakeOnStopRequest(wake_); }

std::vector<net::Endpoint> Server::ListeningOn() const {
    std::vector<net::Endpoint> endpoints;
    for (const Listening& listening : ListeningSockets()) endpoints.push_back(listening.endpoint);
    return endpoints;
}

std::vector<Server::Listening> Server::ListeningSockets() const {
    std::vector<Listening> sockets;
    for (const Listener& listener : listeners_) {
        if (const auto endpoint = net::LocalEndpoint(listener.socket))
            sockets.push_back({listener.protocol, *endpoint, static_cast<bool>(listener.datagrams)});
    }
    return sockets;
}

Server::Connection* Server::Find(unsigned number) const {
    for (const auto& connection : connections_)
        if (connection->number == number && !connection->closed) return connection.get();
    return nullptr;
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
        for (const Listener& listener : listeners_) {
            // A paused TCP listener is polled for nothing, so that the entries keep the listeners' order.
            const bool polled = accepting || listener.datagrams;
            entries.push_back({listener.socket, static_cast<short>(polled ? net::POLL_IN : 0), 0});
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
        const std::size_t polledConnections = entries.size() - firstConnection;
        for (std::size_t i = 0; i < polledConnections && i < connections_.size(); ++i) {
            if (entries[firstConnection + i].revents != 0 && !connections_[i]->closed)
                Serve(*connections_[i], entries[firstConnection + i].revents, buffer.data(), buffer.size());
        }
        for (std::size_t i = 0; i < listeners_.size(); ++i) {
            if (entries[1 + i].revents == 0) continue;
            if (listeners_[i].datagrams)
                Answer(listeners_[i], buffer.data(), buffer.size());
            else
                Accept(listeners_[i], now);
        }
        RunDueTimers(now);
        CheckStuck(now);
        Sweep();
    }
    FinishAtStop();
    return true;
}

void Server::RunDueTimers(Clock::time_point now) {
    // Only those due when the round began: a timer a callback starts waits for the next round.
    std::vector<ConnectionOutlet::TimerId> due;
    for (const auto& [id, timer] : timers_)
        if (timer.due <= now) due.push_back(id);
    for (const ConnectionOutlet::TimerId id : due) {
        const auto found = timers_.find(id);
        if (found == timers_.end()) continue;  // cancelled by an earlier callback
        const std::function<void()> run = std::move(found->second.run);
        timers_.erase(found);
        try {
            run();
        } catch (const std::exception& e) {
            Log(std::string("a timer failed: ") + e.what());
        }
    }
}

void Server::Sweep() {
    for (const auto& connection : connections_) {
        if (connection->closeAsked && !connection->closed) {
            connection->closeAsked = false;
            EndReading(*connection, "by the server");
        }
    }
    std::erase_if(connections_, [](const auto& connection) { return connection->closed; });
    // A handler that goes may ask other connections to close: the next round does that without waiting.
    std::vector<ConnectionHandler> going;
    going.swap(finished_);
    going.clear();
}

void Server::Accept(const Listener& listener, Clock::time_point now) {
    for (int i = 0; i < ACCEPTS_PER_WAKE; ++i) {
        net::Accepted accepted = net::AcceptConnection(listener.socket);
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
        connection->outlet = std::make_shared<ConnectionOutlet>();
        connection->outlet->server_ = this;
        connection->outlet->number_ = connection->number;
        ConnectionInfo info{connection->number, peer, listener.protocol,
                            net::LocalEndpoint(accepted.socket).value_or(net::Endpoint{}), connection->outlet};
        const std::string named = "connection " + std::to_string(connection->number) + " from " + peer;
        // Listed before the factory runs, so that its handler may already send through the outlet.
        Connection& added = *connection;
        connections_.push_back(std::move(connection));
        try {
            added.handler = listener.connections(info);
        } catch (const std::exception& e) {
            Log(named + " refused: " + e.what());
            added.outlet->server_ = nullptr;
            std::erase_if(timers_, [&](const auto& entry) { return entry.second.connection == added.number; });
            net::CloseSocket(added.socket);
            added.closed = true;
            continue;
        }
        Log(named + " opened (" + listener.protocol + ")");
    }
}

void Server::Answer(const Listener& listener, char* buffer, std::size_t size) {
    for (int i = 0; i < ACCEPTS_PER_WAKE; ++i) {
        net::Endpoint from;
        const net::IoResult got = net::ReceiveDatagram(listener.socket, buffer, size, from);
        if (got.status != net::IoStatus::Done) return;
        std::string answer;
        try {
            answer = listener.datagrams(std::string_view(buffer, got.bytes), from);
        } catch (const std::exception& e) {
            Log("a datagram from " + net::EndpointText(from) + " (" + listener.protocol + ") failed: " + e.what());
            continue;
        }
        // A datagram the system cannot take now is lost, as UDP allows; the client asks again.
        if (!answer.empty()) (void)net::SendDatagram(listener.socket, answer.data(), answer.size(), from);
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
            Close(connection, connection.endWhy);
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
        EndReading(connection, "by the peer");
        return;
    case net::IoStatus::Done:
        break;
    }
    Reply reply;
    try {
        reply = connection.handler(std::string_view(buffer, got.bytes));
    } catch (const std::exception& e) {
        Close(connection, std::string("after an error: ") + e.what());
        return;
    }
    Queue(connection, std::move(reply.bytes));
    if (reply.close) EndReading(connection, "by the server");
}

void Server::EndReading(Connection& connection, const std::string& why) {
    if (connection.closed) return;
    if (connection.handler) {
        connection.endWhy = why;
        finished_.push_back(std::move(connection.handler));
        connection.handler = nullptr;
    }
    if (connection.Unsent() == 0) Close(connection, connection.endWhy);
}

void Server::Queue(Connection& connection, std::string bytes) {
    if (bytes.empty() || connection.closed) return;
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
    if (connection.handler) finished_.push_back(std::move(connection.handler));
    connection.handler = nullptr;
    connection.outlet->server_ = nullptr;
    std::erase_if(timers_, [&](const auto& entry) { return entry.second.connection == connection.number; });
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
    for (const auto& connection : connections_)
        if (connection->closeAsked && !connection->closed) return 0;
    std::optional<Clock::time_point> next;
    if (now < acceptPausedUntil_) next = acceptPausedUntil_;
    for (const auto& [id, timer] : timers_)
        if (!next || timer.due < *next) next = timer.due;
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
    for (const Listener& listener : listeners_) net::CloseSocket(listener.socket);
    listeners_.clear();
    timers_.clear();
    // Nothing more is read: unfinished messages go with their handlers.
    for (const auto& connection : connections_) EndReading(*connection, "at the server's stop");
    Sweep();
    const Clock::time_point deadline = Clock::now() + limits_.stopFlush;
    std::vector<net::PollEntry> entries;
    for (;;) {
        for (const auto& connection : connections_) {
            if (connection->Unsent() == 0) Close(*connection, "at the server's stop");
        }
        Sweep();
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
    Sweep();
    connections_.clear();
}

}  // namespace tarvo::scpi
