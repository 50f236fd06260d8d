#include "Vxi11Service.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace tarvo::scpi {

using vxi11::Mapping;

namespace {

std::string NotRpc(const std::string& peer) {
    return "connection from " + peer + " closed: it sent bytes that are not ONC RPC; nothing of them ran";
}

}  // namespace

Vxi11Service::Vxi11Service(Instruments& instruments, InstrumentLock& lock,
                           std::function<void(const std::string&)> log, bool verbose)
    : registry_(instruments, lock), log_(std::move(log)), verbose_(verbose) {
    if (verbose_ && log_) registry_.log = [log = log_](const std::string& line) { log("vxi11: " + line); };
}

Vxi11Service::~Vxi11Service() {
    if (registeredPort_ != 0) vxi11_system::Unregister();
}

void Vxi11Service::Log(const std::string& line) const {
    if (log_) log_(line);
}

void Vxi11Service::CoreOpened(std::uint16_t port) {
    if (corePort_ != 0) return;  // the first core channel is the one the portmapper names
    corePort_ = port;
    registry_.abortPort = port;
    for (Mapping& m : mappings_) {
        if (m.program == vxi11::CORE_PROGRAM) m.port = port;
    }
}

Listener Vxi11Service::CoreListener(net::Socket socket) {
    HandlerFactory factory = [this](const ConnectionInfo& info) -> ConnectionHandler {
        const std::shared_ptr<ConnectionOutlet> outlet = info.outlet;
        vxi11::CoreChannel::Hooks hooks;
        hooks.send = [outlet](std::string bytes) { outlet->Send(std::move(bytes)); };
        hooks.close = [outlet] { outlet->Close(); };
        hooks.after = [outlet](std::chrono::milliseconds delay, std::function<void()> run) {
            return outlet->After(delay, std::move(run));
        };
        hooks.cancel = [outlet](std::uint64_t timer) { outlet->Cancel(timer); };
        auto channel = std::make_shared<vxi11::CoreChannel>(registry_, std::move(hooks));
        return [this, channel, peer = info.peer](std::string_view bytes) -> Reply {
            vxi11::CoreChannel::Result result = channel->Receive(bytes);
            if (result.close) Log(NotRpc(peer));
            return Reply(std::move(result.bytes), result.close);
        };
    };
    return Listener{socket, VXI11, std::move(factory), nullptr};
}

Listener Vxi11Service::PortmapperListener(net::Socket socket, bool datagram, net::Socket answerFrom) {
    if (datagram) {
        // A broadcast socket answers through the portmapper's own, so that the answer comes from the host's
        // address rather than the broadcast address; and it answers only what it can serve.
        const bool broadcast = answerFrom != net::NO_SOCKET;
        DatagramHandler handler = [this, broadcast, answerFrom](std::string_view datagram,
                                                                const net::Endpoint& from) -> std::string {
            std::optional<std::string> answer = vxi11::AnswerPortmapper(datagram, mappings_, broadcast);
            if (!answer || answer->empty()) return {};
            if (!broadcast) return std::move(*answer);
            net::SendDatagram(answerFrom, answer->data(), answer->size(), from);
            return {};
        };
        return Listener{socket, VXI11_PORTMAPPER, nullptr, std::move(handler)};
    }
    HandlerFactory factory = [this](const ConnectionInfo& info) -> ConnectionHandler {
        auto reader = std::make_shared<rpc::RecordReader>(vxi11::MAX_RECORD_BYTES);
        return [this, reader, peer = info.peer](std::string_view bytes) -> Reply {
            reader->Add(bytes);
            Reply reply;
            while (std::optional<std::string> record = reader->Next()) {
                std::optional<std::string> answer = vxi11::AnswerPortmapper(*record, mappings_, false);
                if (!answer) {
                    reply.close = true;
                    break;
                }
                reply.bytes += rpc::MarkRecord(*answer);
            }
            if (reader->Invalid()) reply.close = true;
            if (reply.close) Log(NotRpc(peer));
            return reply;
        };
    };
    return Listener{socket, VXI11_PORTMAPPER, std::move(factory), nullptr};
}

bool Vxi11Service::Open(const ListenAddress& address, std::vector<Listener>& listeners, std::string& error) {
    // The portmapper names one port for the core channel, so every address listens on the same one: the
    // first free one found when the port is left to the system.
    const std::vector<net::Endpoint> endpoints = net::ResolveForListening(address.host, address.port, error);
    if (endpoints.empty()) return false;
    std::vector<net::Socket> opened;
    for (net::Endpoint endpoint : endpoints) {
        if (endpoint.port == 0 && corePort_ != 0) endpoint.port = corePort_;
        const net::Socket socket = net::OpenListener(endpoint, error);
        const std::optional<net::Endpoint> local =
            socket == net::NO_SOCKET ? std::nullopt : net::LocalEndpoint(socket);
        if (!local) {
            if (socket != net::NO_SOCKET) net::CloseSocket(socket);
            for (const net::Socket s : opened) net::CloseSocket(s);
            error = "cannot listen on vxi11://" + net::EndpointText(endpoint) + ": " + error;
            return false;
        }
        CoreOpened(local->port);
        opened.push_back(socket);
    }
    for (const net::Socket socket : opened) listeners.push_back(CoreListener(socket));
    OfferPortmapper(address.host, listeners);
    const bool reachable = std::any_of(endpoints.begin(), endpoints.end(),
                                       [](const net::Endpoint& e) { return !IsLoopback(e); });
    if (reachable && !reachableTold_ && vxi11_system::ReachableNote()) Log(vxi11_system::ReachableNote());
    reachableTold_ = reachableTold_ || reachable;
    return true;
}

void Vxi11Service::OfferPortmapper(const std::string& host, std::vector<Listener>& listeners) {
    if (registeredPort_ != 0) return;
    // Asked only while the server has no portmapper of its own: its own is not answering yet, and would refuse.
    if (mappings_.empty() && vxi11_system::Register(corePort_)) {
        registeredPort_ = corePort_;
        Log("vxi11: registered with the portmapper that runs on this machine (port " + std::to_string(corePort_) +
            ")");
        return;
    }
    std::string error;
    const std::vector<net::Endpoint> endpoints = net::ResolveForListening(host, vxi11::PORTMAPPER_PORT, error);
    std::vector<Listener> opened;
    const auto give_up = [&](const std::string& why) {
        for (const Listener& l : opened) net::CloseSocket(l.socket);
        if (!portmapperTold_) {
            Log("vxi11: no portmapper on " + host + " port 111 (" + why + "); " + vxi11_system::PortmapperAdvice() +
                "; meanwhile clients that are given the core channel's port " + std::to_string(corePort_) +
                " still reach it");
        }
        portmapperTold_ = true;
    };
    if (endpoints.empty()) return give_up(error);
    for (const net::Endpoint& endpoint : endpoints) {
        const net::Socket tcp = net::OpenListener(endpoint, error);
        if (tcp == net::NO_SOCKET) return give_up(error);
        opened.push_back(PortmapperListener(tcp, false));
        const net::Socket udp = net::OpenDatagramSocket(endpoint, error);
        if (udp == net::NO_SOCKET) return give_up(error);
        opened.push_back(PortmapperListener(udp, true));
        if (const std::optional<net::Endpoint> broadcast = vxi11_system::SeparateBroadcastAddress(endpoint)) {
            const net::Socket heard = net::OpenDatagramSocket(*broadcast, error);
            if (heard == net::NO_SOCKET) {
                Log("vxi11: broadcasts to " + net::EndpointText(*broadcast) + " go unanswered: " + error);
            } else {
                opened.push_back(PortmapperListener(heard, true, udp));
            }
        }
    }
    for (Listener& l : opened) listeners.push_back(std::move(l));
    OwnMappings();
}

void Vxi11Service::OwnMappings() {
    if (!mappings_.empty()) return;
    // The portmapper maps itself too: rpcinfo asks that first.
    mappings_ = {{vxi11::PORTMAPPER_PROGRAM, vxi11::PORTMAPPER_VERSION, vxi11::PROTOCOL_TCP, vxi11::PORTMAPPER_PORT},
                 {vxi11::PORTMAPPER_PROGRAM, vxi11::PORTMAPPER_VERSION, vxi11::PROTOCOL_UDP, vxi11::PORTMAPPER_PORT},
                 {vxi11::CORE_PROGRAM, vxi11::CORE_VERSION, vxi11::PROTOCOL_TCP, corePort_}};
}

std::optional<Listener> Vxi11Service::ServeHandedOver(const std::string& name, net::Socket socket, bool datagram) {
    if (name == VXI11_PORTMAPPER) {
        OwnMappings();
        return PortmapperListener(socket, datagram);
    }
    if (name != VXI11 || datagram) return std::nullopt;
    const std::optional<net::Endpoint> local = net::LocalEndpoint(socket);
    if (!local) return std::nullopt;
    CoreOpened(local->port);
    // A host whose rpcbind holds port 111 gets a registration; portmapper sockets handed over answer as well.
    if (registeredPort_ == 0 && mappings_.empty() && vxi11_system::Register(corePort_)) registeredPort_ = corePort_;
    return CoreListener(socket);
}

}  // namespace tarvo::scpi
