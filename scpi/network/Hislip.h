// HiSLIP (TCPIP::host::hislip0::INSTR) in synchronized mode: each client session is two connections, the
// synchronous channel that carries messages and responses and the asynchronous one that carries device clear,
// the status byte, locks and remote/local control. Each session is one ScpiSession.
//
// HislipService is a listener's side: it holds the table of sessions, so that the second connection of a
// session finds the first by its session ID. Each connection is a HislipChannel, which takes the bytes that
// arrive and returns the bytes to answer; what it needs of its connection beyond that (send on the other
// channel, close, timers) goes through HislipConnection, which the server's outlet implements.
#pragma once

#include "HislipMessages.h"
#include "Server.h"
#include "scpi/language/InstrumentLock.h"
#include "scpi/language/Instruments.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace tarvo::scpi {

class HislipConnection {
public:
    virtual ~HislipConnection() = default;
    virtual void Send(std::string bytes) = 0;
    virtual void Close() = 0;
    virtual std::uint64_t After(std::chrono::milliseconds delay, std::function<void()> run) = 0;
    virtual void Cancel(std::uint64_t timer) = 0;
};

struct HislipLimits {
    // A connection that is not one of a session with both channels open by then gets a FatalError and closes.
    std::chrono::milliseconds pairTimeout{10'000};
    // Sessions open at once; one more gets FatalError "maximum number of clients exceeded".
    std::size_t maxSessions = 128;
};

class HislipService;
struct HislipSession;

class HislipChannel {
public:
    HislipChannel(HislipService& service, std::shared_ptr<HislipConnection> connection, std::string peer);
    // The connection closed: the session it belongs to ends, and its other channel closes.
    ~HislipChannel();
    HislipChannel(const HislipChannel&) = delete;
    HislipChannel& operator=(const HislipChannel&) = delete;

    // Bytes in, the reply (bytes to send back on this connection, and whether it then closes).
    Reply Receive(std::string_view bytes);

private:
    friend class HislipService;
    enum class Role { Unknown, Sync, Async };

    // Each handles one message and appends what answers it to `out`; false when the connection must close.
    bool Handle(const hislip::Message& message, std::string& out);
    bool HandleFirst(const hislip::Message& message, std::string& out);
    bool HandleSync(const hislip::Message& message, std::string& out);
    bool HandleAsync(const hislip::Message& message, std::string& out);
    void RequestLock(const hislip::Message& message, std::string& out);
    void RetryLock();
    void FinishLockWait(std::uint8_t result);
    std::string Fatal(std::uint8_t code, const std::string& text);
    void Log(const std::string& line) const;

    HislipService& service_;
    std::shared_ptr<HislipConnection> connection_;
    std::string peer_;
    hislip::Reader reader_;
    Role role_ = Role::Unknown;
    std::shared_ptr<HislipSession> session_;
    std::uint64_t pairTimer_ = 0;
    bool closed_ = false;
};

class HislipService {
public:
    HislipService(Instruments& instruments, InstrumentLock& lock, HislipLimits limits = {});
    ~HislipService();
    HislipService(const HislipService&) = delete;
    HislipService& operator=(const HislipService&) = delete;

    // With -v, each session's messages and errors too (HislipService::log has the sessions opened and closed).
    bool verbose = false;

    std::size_t Sessions() const { return sessions_.size(); }

    // With -v: one line for each session opened and closed, each refusal and each message run.
    std::function<void(const std::string&)> log;

private:
    friend class HislipChannel;

    Instruments& instruments_;
    InstrumentLock& lock_;
    HislipLimits limits_;
    std::map<std::uint16_t, std::shared_ptr<HislipSession>> sessions_;
    std::uint16_t lastId_ = 0;
};

// A hislip listener's handlers: one session table per listener (a client opens both channels at the same
// address), one lock for all. `log` tells of sessions opened and closed and of refusals.
HandlerFactory HislipConnections(Instruments& instruments, InstrumentLock& lock,
                                 std::function<void(const std::string&)> log, bool verbose);

}  // namespace tarvo::scpi
