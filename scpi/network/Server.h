// The server's network side: one thread, one poll over the listening sockets, the connections and a wake
// socket. It moves bytes and knows nothing of what they mean: each listener serves one protocol, each of its
// connections gets a handler of its own, which takes the bytes as they arrive and returns the bytes to send
// back; a UDP listener's handler answers each datagram.
//
// Per connection the answers wait in an output queue. Each handler result is sent at once with one send when
// nothing is queued before it; what the peer does not take waits for it to read. While more than
// `outputBound` bytes wait, the connection's input is not read, so a client that sends and never reads holds at
// most about that much; one that takes nothing for `stuckTimeout` is closed. When the peer ends its sending,
// what is queued is still sent, then the connection closes. With nothing stuck and no timer pending, the loop
// waits without a timeout.
#pragma once

#include "SocketShim.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::scpi {

// What a handler answers to the bytes it was given: bytes to send after what is queued, and whether the
// connection then closes (nothing more is read; what is queued still goes out first). A string converts.
struct Reply {
    Reply(std::string bytes = {}, bool close = false) : bytes(std::move(bytes)), close(close) {}
    std::string bytes;
    bool close = false;
};

// Bytes in, a reply out; any split and merge of what the peer sent. Destroyed when its connection closes; bytes
// of an unfinished message it holds then are dropped.
using ConnectionHandler = std::function<Reply(std::string_view)>;

class Server;

// A connection as its handler may use it beyond answering: send unprompted (HiSLIP's asynchronous channel,
// a web page's live updates), close, and wait. Every call is made on the server's thread; once the connection
// is closed, Send and Close do nothing and timers are not started. Handlers may keep it for as long as they
// like.
class ConnectionOutlet {
public:
    bool Open() const { return server_ != nullptr; }
    unsigned Number() const { return number_; }
    // Queued after what is queued already; sent at once when nothing is.
    void Send(std::string bytes);
    // Closes the connection once what is queued has gone out; nothing more is read.
    void Close();
    // Runs `run` once after `delay` on the server's thread, unless cancelled or the connection closed first.
    // A server with no timer pending waits without a timeout. Returns 0 when the connection is closed.
    using TimerId = std::uint64_t;
    TimerId After(std::chrono::milliseconds delay, std::function<void()> run);
    void Cancel(TimerId timer);

private:
    friend class Server;
    Server* server_ = nullptr;  // nullptr once closed
    unsigned number_ = 0;
};

struct ConnectionInfo {
    unsigned number = 0;  // 1, 2, ... in the order the connections were accepted, over every listener
    std::string peer;     // the client's address, "127.0.0.1:43512"
    std::string protocol;  // the listener's protocol ("scpi-raw", "vxi11", "hislip", "http")
    net::Endpoint local;   // the address the client connected to
    std::shared_ptr<ConnectionOutlet> outlet;
};
using HandlerFactory = std::function<ConnectionHandler(const ConnectionInfo&)>;

// A UDP socket's handler: one datagram in, the answer to send back to its sender (nothing when empty).
using DatagramHandler = std::function<std::string(std::string_view datagram, const net::Endpoint& from)>;

// A listening socket and the protocol it serves: a TCP socket with a handler factory (one handler per
// connection), or a UDP socket with a datagram handler.
struct Listener {
    net::Socket socket = net::NO_SOCKET;
    std::string protocol;
    HandlerFactory connections;  // TCP
    DatagramHandler datagrams;   // UDP
};

struct ServerLimits {
    std::size_t maxConnections = 256;           // further ones are accepted and closed at once
    std::size_t outputBound = 1024 * 1024;      // unsent bytes above which a connection's input is not read
    std::chrono::milliseconds stuckTimeout{60'000};  // a connection whose answers do not move for this long closes
    std::chrono::milliseconds stopFlush{1'500};      // at a stop, how long queued answers may take to go out
};

class Server {
public:
    // Takes the listening sockets (bound and listening, or handed over) and closes them when it goes. Throws
    // std::runtime_error when its wake socket cannot be made.
    Server(std::vector<Listener> listeners, ServerLimits limits = {});
    // Every socket a TCP listener of one protocol ("scpi-raw").
    Server(std::vector<net::Socket> listeners, HandlerFactory factory, ServerLimits limits = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves until Stop; then closes the listening sockets, reads no more, gives what is queued at most
    // `stopFlush` to go out, closes every connection and returns true. False when the wait itself failed.
    bool Run();
    // Makes Run return soon; from any thread.
    void Stop();
    // From now on SIGTERM and SIGINT (POSIX), or Ctrl+C, Ctrl+Break and closing the console (Windows), Stop.
    bool StopOnRequest();
    // The addresses of the listening sockets.
    std::vector<net::Endpoint> ListeningOn() const;
    struct Listening {
        std::string protocol;
        net::Endpoint endpoint;
        bool datagram = false;
    };
    std::vector<Listening> ListeningSockets() const;

    // One line for each connection opened, closed or refused; called on Run's thread.
    std::function<void(const std::string&)> log;

private:
    friend class ConnectionOutlet;
    struct Connection;
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Clock::time_point due;
        unsigned connection = 0;
        std::function<void()> run;
    };

    void Accept(const Listener& listener, Clock::time_point now);
    void Answer(const Listener& listener, char* buffer, std::size_t size);
    void Serve(Connection& connection, short events, char* buffer, std::size_t size);
    void Queue(Connection& connection, std::string bytes);
    // Sends what is queued until the system takes no more; false when the connection failed.
    bool Flush(Connection& connection);
    // The handler is kept until the loop has finished its round: it may be the one running.
    void Close(Connection& connection, const std::string& why);
    // Reads no more; closes once what is queued has gone out.
    void EndReading(Connection& connection, const std::string& why);
    Connection* Find(unsigned number) const;
    // Watches the connections whose answers do not move; closes those stuck too long.
    void CheckStuck(Clock::time_point now);
    void RunDueTimers(Clock::time_point now);
    // Closes what was asked to close; forgets closed connections and their handlers.
    void Sweep();
    int PollTimeout(Clock::time_point now) const;
    void FinishAtStop();
    void Log(const std::string& line);

    std::vector<Listener> listeners_;
    net::Socket wake_ = net::NO_SOCKET;
    ServerLimits limits_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<ConnectionHandler> finished_;  // handlers of closed connections, destroyed by Sweep
    std::map<ConnectionOutlet::TimerId, Timer> timers_;
    ConnectionOutlet::TimerId lastTimer_ = 0;
    unsigned accepted_ = 0;
    Clock::time_point acceptPausedUntil_{};  // after the system refused to accept (out of descriptors)
};

}  // namespace tarvo::scpi
