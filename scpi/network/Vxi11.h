// VXI-11 on ONC RPC: the portmapper's answers, the core channel's links (each a SCPI session of its own) and
// the abort channel's answers. Bytes in, bytes out: the server's handlers feed these and send what they return;
// a request that waits for the lock is answered later through the hooks.
#pragma once

#include "OncRpc.h"
#include "scpi/language/InstrumentLock.h"
#include "scpi/language/Instruments.h"
#include "scpi/language/ScpiSession.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::scpi::vxi11 {

inline constexpr std::uint32_t CORE_PROGRAM = 0x0607AF;
inline constexpr std::uint32_t ABORT_PROGRAM = 0x0607B0;
inline constexpr std::uint32_t CORE_VERSION = 1;
inline constexpr std::uint32_t PORTMAPPER_PROGRAM = 100000;
inline constexpr std::uint32_t PORTMAPPER_VERSION = 2;
inline constexpr std::uint16_t PORTMAPPER_PORT = 111;
inline constexpr std::uint32_t PROTOCOL_TCP = 6;
inline constexpr std::uint32_t PROTOCOL_UDP = 17;

// The core channel's procedures.
enum Procedure : std::uint32_t {
    NULL_PROCEDURE = 0,
    CREATE_LINK = 10,
    DEVICE_WRITE = 11,
    DEVICE_READ = 12,
    DEVICE_READSTB = 13,
    DEVICE_TRIGGER = 14,
    DEVICE_CLEAR = 15,
    DEVICE_REMOTE = 16,
    DEVICE_LOCAL = 17,
    DEVICE_LOCK = 18,
    DEVICE_UNLOCK = 19,
    DEVICE_ENABLE_SRQ = 20,
    DEVICE_DOCMD = 22,
    DESTROY_LINK = 23,
    CREATE_INTR_CHAN = 25,
    DESTROY_INTR_CHAN = 26,
};

// The errors a core or abort procedure answers.
enum Error : std::uint32_t {
    NO_ERROR = 0,
    SYNTAX_ERROR = 1,
    DEVICE_NOT_ACCESSIBLE = 3,
    INVALID_LINK = 4,
    PARAMETER_ERROR = 5,
    NOT_SUPPORTED = 8,
    OUT_OF_RESOURCES = 9,
    DEVICE_LOCKED = 11,
    NO_LOCK_HELD = 12,
    IO_TIMEOUT = 15,
    IO_ERROR = 17,
    ABORT = 23,
};

// Flags of device_write, device_read and device_lock.
inline constexpr std::uint32_t FLAG_WAITLOCK = 0x01;
inline constexpr std::uint32_t FLAG_END = 0x08;
inline constexpr std::uint32_t FLAG_TERMCHAR_SET = 0x80;
// Why a device_read ended.
inline constexpr std::uint32_t REASON_REQUEST_COUNT = 0x01;
inline constexpr std::uint32_t REASON_TERMCHAR = 0x02;
inline constexpr std::uint32_t REASON_END = 0x04;

// The largest device_write a link takes, as create_link tells the client; a record may hold that and the call
// around it, no more.
inline constexpr std::uint32_t MAX_RECEIVE_SIZE = 8192;
inline constexpr std::size_t MAX_RECORD_BYTES = MAX_RECEIVE_SIZE + 1024;
// Responses a link holds unread; a response that would go beyond is dropped.
inline constexpr std::size_t MAX_OUTPUT_BYTES = 64 * 1024;
inline constexpr std::size_t DEFAULT_MAX_LINKS = 128;

// One portmapper entry.
struct Mapping {
    std::uint32_t program = 0;
    std::uint32_t version = 0;
    std::uint32_t protocol = 0;  // PROTOCOL_TCP or PROTOCOL_UDP
    std::uint32_t port = 0;
};

// The answer to one portmapper call (a TCP record or a UDP datagram): NULL, GETPORT and DUMP from `mappings`;
// SET and UNSET refused (registrations come from this program only). Nothing when the bytes are not an RPC
// call. `broadcast`: a call sent to every host, which is left unanswered unless it succeeds, as portmappers do.
std::optional<std::string> AnswerPortmapper(std::string_view record, const std::vector<Mapping>& mappings,
                                            bool broadcast);

class CoreChannel;

// What every core and abort connection of one server shares: the generators, the lock, the links open.
struct LinkRegistry {
    LinkRegistry(Instruments& instruments, InstrumentLock& lock, std::size_t maxLinks = DEFAULT_MAX_LINKS)
        : instruments(instruments), lock(lock), maxLinks(maxLinks) {}
    Instruments& instruments;
    InstrumentLock& lock;
    std::size_t maxLinks;
    std::uint16_t abortPort = 0;  // told to clients in create_link: the core channel's own
    std::map<std::uint32_t, CoreChannel*> links;  // open, over every connection: the connection that made each
    std::uint32_t lastLink = 0;
    std::function<void(const std::string&)> log;  // each session's -v lines
};

// The abort channel's answer to one call: device_abort succeeds for an open link, and ends the request of that
// link which waits for the lock, if any, with error 23. The abort channel shares the core channel's port (RPC
// tells the programs apart), so create_link names that port.
std::string AnswerAbort(const rpc::Call& call, const LinkRegistry& registry);

// One core channel connection: its links, and the call it has waiting for the lock, if any. It answers the
// abort channel's program too.
class CoreChannel {
public:
    // What the connection offers beyond answering: sending a reply later, closing, and one-shot timers.
    struct Hooks {
        std::function<void(std::string)> send;
        std::function<void()> close;
        std::function<std::uint64_t(std::chrono::milliseconds, std::function<void()>)> after;
        std::function<void(std::uint64_t)> cancel;
    };
    CoreChannel(LinkRegistry& registry, Hooks hooks);
    // Destroys its links, which gives up their locks, and stops waiting.
    ~CoreChannel();
    CoreChannel(const CoreChannel&) = delete;
    CoreChannel& operator=(const CoreChannel&) = delete;

    struct Result {
        std::string bytes;  // whole reply records
        bool close = false;  // the peer does not speak ONC RPC: end the connection
    };
    // Bytes as they arrive, any split. Calls are answered in order; while one waits for the lock, the ones
    // after it wait too.
    Result Receive(std::string_view bytes);

    std::size_t Links() const { return links_.size(); }
    // Ends `link`'s request that waits for the lock, if any, with error 23 (abort), and goes on with the calls
    // after it.
    void Abort(std::uint32_t link);

private:
    struct Link {
        std::unique_ptr<ScpiSession> session;
        std::string input;         // a message not yet ended
        bool overrun = false;      // the message went beyond the longest kept; the rest is dropped up to its end
        std::deque<std::string> output;  // responses not yet read, the first from `readOffset`
        std::size_t outputBytes = 0;
        std::size_t readOffset = 0;
    };
    struct Waiting {
        std::string record;  // the call, whole
        std::uint64_t timer = 0;
        SessionId session = 0;
        std::uint32_t link = 0;  // the link it is for (create_link's new one)
    };

    // Answers the records held until one waits; returns the reply records.
    Result Run();
    // The reply to one call; nothing when it waits for the lock (and may wait: `deadline` false).
    std::optional<std::string> Answer(const rpc::Call& call, bool deadline, SessionId& waitFor);
    std::optional<std::string> AnswerCore(const rpc::Call& call, bool deadline, SessionId& waitFor);
    void Retry(bool deadline);
    // Sends `reply` to the call that waited, then the replies of the calls held behind it.
    void Resume(const std::string& reply);
    void StopWaiting();

    std::string CreateLink(rpc::XdrReader& in, bool deadline, SessionId& waitFor, bool& garbage);
    void Write(Link& link, std::string_view data, bool end);
    void RunLinkMessage(Link& link, std::string message);
    void DestroyLink(std::uint32_t id);

    LinkRegistry& registry_;
    Hooks hooks_;
    rpc::RecordReader reader_{MAX_RECORD_BYTES};
    std::map<std::uint32_t, Link> links_;
    std::optional<Waiting> waiting_;
    std::uint64_t retryTimer_ = 0;  // a retry after the lock was released, due at once
    bool closed_ = false;
};

}  // namespace tarvo::scpi::vxi11
