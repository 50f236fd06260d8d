// The SCPI server's network loop with a toy line handler, over real sockets on 127.0.0.1 and ::1 (ephemeral
// ports): clients served side by side, messages split and merged by the stream, a client that never reads, a
// peer that goes right after sending, the connection cap, and the listening addresses; then what the protocols
// stand on: listeners of different protocols side by side, a handler that closes, sends unprompted to its own
// and to another connection, timers, and a UDP listener; and the web page's connection timers.
#include "scpi/network/DnsSdAnnounce.h"
#include "scpi/network/HttpConnection.h"
#include "scpi/network/Listeners.h"
#include "scpi/network/Server.h"

#include "scpi_fake_instruments.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace tarvo::scpi {
namespace {

using namespace std::chrono_literals;

constexpr auto PATIENCE = 20s;  // the most any wait here lasts

// What the toy handlers saw, shared with the test's thread.
struct Record {
    std::mutex mutex;
    std::vector<std::string> lines;     // complete lines, all connections
    std::vector<std::string> log;       // the server's log
    std::atomic<std::size_t> bytesIn{0};

    // Whether a log line holds both parts.
    bool Logged(const std::string& part, const std::string& other = "") {
        std::lock_guard lock(mutex);
        for (const auto& line : log)
            if (line.find(part) != std::string::npos && line.find(other) != std::string::npos) return true;
        return false;
    }
    bool Saw(const std::string& line) {
        std::lock_guard lock(mutex);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

// Answers each complete line in upper case; "BIG" with 64 KiB.
ConnectionHandler ToyHandler(std::shared_ptr<Record> record) {
    return [record, pending = std::string()](std::string_view bytes) mutable {
        record->bytesIn += bytes.size();
        pending += bytes;
        std::string answer;
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            std::string line = pending.substr(0, end);
            {
                std::lock_guard lock(record->mutex);
                record->lines.push_back(line);
            }
            if (line == "BIG") {
                answer += std::string(64 * 1024, 'x') + "\n";
                continue;
            }
            for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            answer += line + "\n";
        }
        return answer;
    };
}

// The server on its own thread, listening on 127.0.0.1 and (where the system has it) ::1.
class RunningServer {
public:
    explicit RunningServer(ServerLimits limits) : record(std::make_shared<Record>()) {
        std::vector<net::Socket> listeners;
        for (const char* host : {"127.0.0.1", "::1"}) {
            std::string error;
            for (net::Socket socket : OpenListeners({host, 0}, error)) listeners.push_back(socket);
        }
        server = std::make_unique<Server>(
            std::move(listeners), [r = record](const ConnectionInfo&) { return ToyHandler(r); }, limits);
        server->log = [r = record](const std::string& line) {
            std::lock_guard lock(r->mutex);
            r->log.push_back(line);
        };
        for (const net::Endpoint& endpoint : server->ListeningOn()) (endpoint.v6 ? v6Port : v4Port) = endpoint.port;
        thread = std::thread([this] { returned = server->Run(); });
    }
    ~RunningServer() {
        server->Stop();
        thread.join();
    }

    std::shared_ptr<Record> record;
    std::unique_ptr<Server> server;
    std::uint16_t v4Port = 0, v6Port = 0;
    std::thread thread;
    std::atomic<bool> returned{false};
};

// A blocking client socket whose reads give up after PATIENCE.
class Client {
public:
    Client(bool v6, std::uint16_t port, int receiveBuffer = 0) {
        fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        timeval timeout{static_cast<time_t>(PATIENCE.count()), 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_storage address{};
        socklen_t length;
        if (v6) {
            auto& a = reinterpret_cast<sockaddr_in6&>(address);
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(port);
            a.sin6_addr = in6addr_loopback;
            length = sizeof a;
        } else {
            auto& a = reinterpret_cast<sockaddr_in&>(address);
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof a;
        }
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
    }
    ~Client() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void Send(std::string_view bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `size` bytes came, the peer closed, or PATIENCE passed.
    std::string Receive(std::size_t size) {
        std::string got;
        char buffer[4096];
        while (got.size() < size) {
            const ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, size - got.size()), 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    // The next bytes are these.
    void Expect(const std::string& expected) { EXPECT_EQ(Receive(expected.size()), expected); }
    // Everything up to the peer's end.
    std::string ReceiveAll() { return Receive(std::string::npos); }

private:
    int fd_ = -1;
    bool connected_ = false;
};

template <typename Condition>
bool WaitFor(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(ScpiNetwork, ServesSeveralClientsOnBothFamiliesWhateverTheSplitAndRefusesBeyondTheCap) {
    ServerLimits limits;
    limits.maxConnections = 4;
    RunningServer server(limits);
    ASSERT_NE(server.v4Port, 0);
    const bool haveV6 = server.v6Port != 0;
    auto port = [&](bool v6) { return v6 ? server.v6Port : server.v4Port; };

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i) {
        const bool v6 = haveV6 && i % 2 == 1;
        clients.push_back(std::make_unique<Client>(v6, port(v6)));
        ASSERT_TRUE(clients.back()->connected());
        clients.back()->Send("hello " + std::to_string(i) + "\n");
        clients.back()->Expect("HELLO " + std::to_string(i) + "\n");
    }
    // A fifth is accepted and closed at once; the four go on.
    Client fifth(false, server.v4Port);
    EXPECT_EQ(fifth.ReceiveAll(), "");
    EXPECT_TRUE(WaitFor([&] { return server.record->Logged("refused"); }));

    // One message across three writes, with the next one's start in the middle write.
    Client& split = *clients[1];
    split.Send("fi");
    split.Send("rst\nsec");
    split.Send("ond\n");
    split.Expect("FIRST\nSECOND\n");
    // Several messages in one write, answered in order, from each client its own.
    for (std::size_t i = 0; i < clients.size(); ++i) clients[i]->Send("a" + std::to_string(i) + "\nb\nc\n");
    for (std::size_t i = 0; i < clients.size(); ++i)
        clients[i]->Expect("A" + std::to_string(i) + "\nB\nC\n");

    // A closed one frees its place.
    clients[0].reset();
    ASSERT_TRUE(WaitFor([&] { return server.record->Logged("connection 1 from 127.0.0.1:", "closed by the peer"); }));
    Client again(false, server.v4Port);
    again.Send("again\n");
    again.Expect("AGAIN\n");
}

TEST(ScpiNetwork, ClientThatNeverReadsIsNoLongerReadThenClosedWhileOthersAreServed) {
    ServerLimits limits;
    limits.outputBound = 64 * 1024;
    limits.stuckTimeout = 1s;
    RunningServer server(limits);

    // Asks for 8 MiB of answers, more than the system buffers, and goes on sending without ever reading until
    // its sending blocks.
    Client stuck(false, server.v4Port, 4096);
    ASSERT_TRUE(stuck.connected());
    std::string big;
    for (int i = 0; i < 128; ++i) big += "BIG\n";
    stuck.Send(big);
    std::string requests;
    for (int i = 0; i < 16 * 1024; ++i) requests += "pad\n";
    Client other(server.v6Port != 0, server.v6Port != 0 ? server.v6Port : server.v4Port);
    bool otherServed = false;
    std::size_t sent = 0;
    int idlePolls = 0;
    // Until its sending blocks for a while, or the server closes it; never past 512 MiB.
    while (sent < 512u * 1024 * 1024 && idlePolls < 5) {
        const ssize_t n = send(stuck.fd(), requests.data(), requests.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            idlePolls = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        if (!otherServed) {
            // Meanwhile another client is served.
            other.Send("still here\n");
            other.Expect("STILL HERE\n");
            otherServed = true;
        }
        pollfd entry{stuck.fd(), POLLOUT, 0};
        if (poll(&entry, 1, 200) == 0) ++idlePolls;
    }
    EXPECT_TRUE(otherServed);
    EXPECT_LT(server.record->bytesIn.load(), sent) << "the server read everything";

    // The stuck one is closed after the (short) timeout; the other stays.
    EXPECT_TRUE(WaitFor([&] { return server.record->Logged("connection 1 from", "were not read for 1000 ms"); }));
    other.Send("and now\n");
    other.Expect("AND NOW\n");
}

TEST(ScpiNetwork, PeerEndingRightAfterSendingHasItsCompleteMessagesRunAndAnswered) {
    RunningServer server(ServerLimits{});
    // Ends its sending and reads: the answers come, then the end; the unfinished last line is dropped.
    Client halfClosed(false, server.v4Port);
    halfClosed.Send("one\ntwo\nthr");
    shutdown(halfClosed.fd(), SHUT_WR);
    EXPECT_EQ(halfClosed.ReceiveAll(), "ONE\nTWO\n");
    // Sends and closes at once, as lxi-tools does after a command.
    Client gone(false, server.v4Port);
    gone.Send("FREQ 10 MHZ\nVOLT 1\n");
    gone.Close();
    EXPECT_TRUE(WaitFor([&] { return server.record->Saw("VOLT 1"); }));
    EXPECT_TRUE(server.record->Saw("FREQ 10 MHZ"));
    EXPECT_FALSE(server.record->Saw("thr"));
}

// Toy protocol "relay": "close" answers "BYE" and closes; "tell N TEXT" sends TEXT to connection N unprompted;
// "later" sends "LATE" 50 ms afterwards from a timer; "end N" closes connection N through its outlet; any other
// line is answered "?".
struct Relay {
    std::mutex mutex;
    std::map<unsigned, std::shared_ptr<ConnectionOutlet>> outlets;  // used on the server's thread only
    std::vector<std::string> protocols;                              // what each connection was told it is
};

HandlerFactory RelayHandlers(std::shared_ptr<Relay> relay) {
    return [relay](const ConnectionInfo& info) -> ConnectionHandler {
        {
            std::lock_guard lock(relay->mutex);
            relay->protocols.push_back(info.protocol + " " + std::to_string(info.local.port));
        }
        relay->outlets[info.number] = info.outlet;
        return [relay, outlet = info.outlet, pending = std::string()](std::string_view bytes) mutable -> Reply {
            pending += bytes;
            Reply reply;
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                const std::string line = pending.substr(0, end);
                if (line == "close") return Reply("BYE\n", true);
                if (line == "later") outlet->After(50ms, [outlet] { outlet->Send("LATE\n"); });
                if (line != "later" && line.rfind("tell ", 0) != 0 && line.rfind("end ", 0) != 0) reply.bytes += "?\n";
                if (line.rfind("tell ", 0) == 0 || line.rfind("end ", 0) == 0) {
                    const bool tell = line[0] == 't';
                    const std::size_t space = line.find(' ', tell ? 5 : 4);
                    const auto found = relay->outlets.find(static_cast<unsigned>(std::stoul(line.substr(tell ? 5 : 4))));
                    if (found == relay->outlets.end()) continue;
                    if (tell)
                        found->second->Send(line.substr(space + 1) + "\n");
                    else
                        found->second->Close();
                }
            }
            return reply;
        };
    };
}

TEST(ScpiNetwork, ListenersOfTwoProtocolsHandlersThatCloseSendUnpromptedWaitAndAUdpListener) {
    std::string error;
    std::vector<net::Socket> upper = OpenListeners({"127.0.0.1", 0}, error);
    std::vector<net::Socket> relayed = OpenListeners({"127.0.0.1", 0}, error);
    ASSERT_EQ(upper.size(), 1u);
    ASSERT_EQ(relayed.size(), 1u);
    net::Endpoint udpAt;
    udpAt.address = {127, 0, 0, 1};
    const net::Socket udp = net::OpenDatagramSocket(udpAt, error);
    ASSERT_NE(udp, net::NO_SOCKET) << error;

    auto record = std::make_shared<Record>();
    auto relay = std::make_shared<Relay>();
    std::vector<Listener> listeners;
    listeners.push_back({upper[0], "upper", [record](const ConnectionInfo&) { return ToyHandler(record); }, nullptr});
    listeners.push_back({relayed[0], "relay", RelayHandlers(relay), nullptr});
    listeners.push_back({udp, "echo", nullptr, [](std::string_view datagram, const net::Endpoint&) {
                             return datagram == "quiet" ? std::string() : "ECHO " + std::string(datagram);
                         }});
    Server server(std::move(listeners));
    std::uint16_t upperPort = 0, relayPort = 0, udpPort = 0;
    for (const Server::Listening& l : server.ListeningSockets())
        (l.protocol == "upper" ? upperPort : l.protocol == "relay" ? relayPort : udpPort) = l.endpoint.port;
    EXPECT_EQ(server.ListeningSockets().at(2).datagram, true);
    std::thread thread([&] { server.Run(); });

    // Each listener's connections get its own handlers, and are told which listener they came through.
    Client plain(false, upperPort), first(false, relayPort), second(false, relayPort);
    plain.Send("shout\n");
    plain.Expect("SHOUT\n");
    first.Send("hi\n");
    first.Expect("?\n");
    second.Send("hi\n");
    second.Expect("?\n");
    first.Send("tell 3 hello from 2\n");  // connection numbers run over every listener
    second.Expect("hello from 2\n");
    {
        std::lock_guard lock(relay->mutex);
        EXPECT_EQ(relay->protocols, (std::vector<std::string>{"relay " + std::to_string(relayPort),
                                                              "relay " + std::to_string(relayPort)}));
    }
    // A timer sends later; a handler closes its own connection after its answer; another's outlet closes it.
    first.Send("later\n");
    first.Expect("LATE\n");
    second.Send("end 2\n");
    EXPECT_EQ(first.ReceiveAll(), "");
    second.Send("close\nnever read\n");
    EXPECT_EQ(second.ReceiveAll(), "BYE\n");
    plain.Send("still\n");
    plain.Expect("STILL\n");

    // UDP: each datagram answered to its sender; an empty answer sends nothing.
    const int client = socket(AF_INET, SOCK_DGRAM, 0);
    timeval timeout{5, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(udpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const char* datagram : {"quiet", "ping"})
        sendto(client, datagram, std::strlen(datagram), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    char answer[64] = {};
    EXPECT_EQ(recv(client, answer, sizeof answer, 0), 9);
    EXPECT_STREQ(answer, "ECHO ping");
    close(client);

    server.Stop();
    thread.join();
}

TEST(ScpiNetwork, ListenAddresses) {
    struct Case {
        const char* text;
        const char* host;  // nullptr: refused
        std::uint16_t port;
    };
    for (const Case& c : {Case{"127.0.0.1:5025", "127.0.0.1", 5025}, Case{"[::1]:5025", "::1", 5025},
                          Case{"0.0.0.0:5025", "0.0.0.0", 5025}, Case{"localhost:0", "localhost", 0},
                          Case{"[::]:65535", "::", 65535}, Case{"::1:5025", nullptr, 0},
                          Case{"localhost", nullptr, 0}, Case{"localhost:", nullptr, 0},
                          Case{":5025", nullptr, 0}, Case{"host:65536", nullptr, 0}, Case{"host:50x", nullptr, 0},
                          Case{"[::1:5025", nullptr, 0}, Case{"[]:5025", nullptr, 0},
                          Case{"hislip://[::1]:4880", "::1", 4880}, Case{"vxi11://0.0.0.0:0", "0.0.0.0", 0},
                          Case{"http://localhost:8080", "localhost", 8080}, Case{"scpi-raw://h:1", "h", 1},
                          Case{"ftp://h:1", nullptr, 0}, Case{"://h:1", nullptr, 0}}) {
        const auto parsed = ParseListenAddress(c.text);
        ASSERT_EQ(parsed.has_value(), c.host != nullptr) << c.text;
        if (!parsed) continue;
        EXPECT_EQ(parsed->host, c.host) << c.text;
        EXPECT_EQ(parsed->port, c.port) << c.text;
        const std::string_view text = c.text;
        const std::size_t scheme = text.find("://");
        EXPECT_EQ(parsed->protocol, scheme == std::string_view::npos ? "scpi-raw" : text.substr(0, scheme)) << c.text;
    }
    // "localhost" resolves to loopback addresses only; the wildcard address is reachable from the network.
    std::string error;
    for (const auto& endpoint : net::ResolveForListening("localhost", 1, error)) EXPECT_TRUE(IsLoopback(endpoint));
    for (const char* host : {"127.0.0.1", "127.8.9.10", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(IsLoopback(net::ResolveForListening(host, 1, error).at(0))) << host;
    for (const char* host : {"0.0.0.0", "::", "192.0.2.1", "::ffff:192.0.2.1", "fe80::1", "::2"})
        EXPECT_FALSE(IsLoopback(net::ResolveForListening(host, 1, error).at(0))) << host;
}

}  // namespace
}  // namespace tarvo::scpi

namespace tarvo::scpi {
namespace {

TEST(ScpiNetwork, DnsSdRecordsForTheListenersReachableFromTheNetwork) {
    const DnsSdIdentity identity{"Tarvo", "Pulse Generator", "TPG-000123", "1.00"};
    const std::vector<std::string> keys{"txtvers=1", "Manufacturer=Tarvo", "Model=Pulse Generator",
                                        "SerialNumber=TPG-000123", "FirmwareVersion=1.00"};
    // Each protocol once, at the first port it has; the web page as a web site and as an LXI instrument.
    EXPECT_EQ(DnsSdServices({{"scpi-raw", 5025}, {"scpi-raw", 5026}, {"http", 8080}, {"hislip", 4880}, {"vxi11", 1024}},
                            identity),
              (std::vector<DnsSdService>{{"_scpi-raw._tcp", 5025, keys},
                                         {"_http._tcp", 8080, {"txtvers=1", "path=/"}},
                                         {"_lxi._tcp", 8080, keys},
                                         {"_hislip._tcp", 4880, keys},
                                         {"_vxi-11._tcp", 1024, keys}}));
    // No generator when the server started: the version key alone.
    EXPECT_EQ(DnsSdServices({{"scpi-raw", 5025}}, std::nullopt),
              (std::vector<DnsSdService>{{"_scpi-raw._tcp", 5025, {"txtvers=1"}}}));
    EXPECT_EQ(DnsSdInstanceName({"TPG-1", "TPG-2"}), "Tarvo Pulse Generator TPG-1, TPG-2");
    EXPECT_EQ(DnsSdInstanceName({std::string(80, 'S')}).size(), 63u);
}

}  // namespace
}  // namespace tarvo::scpi

namespace tarvo::scpi {
namespace {

// An HTTP connection's one timer: an idle kept-alive connection closes with nothing sent; a request begun gets
// 408 at its limit however its bytes trickle in, since a clock restarted by every chunk would never run out.
TEST(ScpiNetwork, HttpIdleConnectionsCloseQuietlyAndUnfinishedRequestsGet408WhateverTrickles) {
    FakeInstruments instruments;
    InstrumentLock lock;
    WebSite site(instruments, lock, {"bench7", {}});
    std::string error;
    std::vector<net::Socket> sockets = OpenListeners({"127.0.0.1", 0}, error);
    ASSERT_EQ(sockets.size(), 1u) << error;
    std::vector<Listener> listeners{{sockets[0], "http", HttpHandlerFactory(site, {300ms, 300ms}, nullptr), nullptr}};
    Server server(std::move(listeners));
    const std::uint16_t port = server.ListeningOn().at(0).port;
    std::thread running([&] { server.Run(); });

    Client silent(false, port);
    ASSERT_TRUE(silent.connected());
    EXPECT_EQ(silent.ReceiveAll(), "");
    EXPECT_EQ(recv(silent.fd(), nullptr, 0, MSG_DONTWAIT), 0) << "closed, not timed out";

    Client kept(false, port);
    kept.Send("GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string answer = kept.ReceiveAll();
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(answer.find("Connection: close"), std::string::npos);  // closed for idleness, not by the answer

    Client trickle(false, port);
    trickle.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    bool answeredWhileTrickling = false;
    for (int i = 0; i < 400 && !answeredWhileTrickling && send(trickle.fd(), "a", 1, MSG_NOSIGNAL) == 1; ++i) {
        std::this_thread::sleep_for(50ms);
        pollfd entry{trickle.fd(), POLLIN, 0};
        answeredWhileTrickling = poll(&entry, 1, 0) == 1;
    }
    EXPECT_TRUE(answeredWhileTrickling);
    EXPECT_EQ(trickle.ReceiveAll().rfind("HTTP/1.1 408 ", 0), 0u);

    server.Stop();
    running.join();
}

}  // namespace
}  // namespace tarvo::scpi
