#include "Hislip.h"

#include "scpi/language/ScpiSession.h"

#include <algorithm>
#include <cctype>

namespace tarvo::scpi {

using namespace hislip;

namespace {

// The largest Data payload taken, as AsyncMaximumMessageSizeResponse tells the client: a whole SCPI message
// fits in one, header included whichever way the client counts it.
constexpr std::uint64_t MAX_DATA_PAYLOAD = MAX_MESSAGE_BYTES + HEADER_BYTES;
// A sub-address, a lock key or a message size: anything longer is not one.
constexpr std::uint64_t MAX_OTHER_PAYLOAD = 256;
// The server's vendor ID in AsyncInitializeResponse.
constexpr std::uint32_t VENDOR_ID = ('T' << 8) | 'P';
constexpr const char* SUB_ADDRESS = "hislip0";

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A peer's text in a log line: printable ASCII kept, the rest as \xNN, at most 64 characters.
std::string Shown(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text.substr(0, 64)) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

class OutletConnection final : public HislipConnection {
public:
    explicit OutletConnection(std::shared_ptr<ConnectionOutlet> outlet) : outlet_(std::move(outlet)) {}
    void Send(std::string bytes) override { outlet_->Send(std::move(bytes)); }
    void Close() override { outlet_->Close(); }
    std::uint64_t After(std::chrono::milliseconds delay, std::function<void()> run) override {
        return outlet_->After(delay, std::move(run));
    }
    void Cancel(std::uint64_t timer) override { outlet_->Cancel(timer); }

private:
    std::shared_ptr<ConnectionOutlet> outlet_;
};

}  // namespace

// One client session: its SCPI session and its two channels (nullptr until open, and again once closed).
struct HislipSession {
    std::uint16_t id = 0;
    std::unique_ptr<ScpiSession> scpi;  // reset when the session ends
    HislipChannel* sync = nullptr;
    HislipChannel* async = nullptr;
    std::uint64_t clientMaximum = UINT64_MAX;  // the largest Data payload the client takes
    std::string message;      // the message being received, up to a little over the longest one run
    bool refused = false;     // part of it was refused as too large: it is dropped at its end
    bool answerUnread = false;  // a response went out and the client has not said it read it (MAV)
    bool clearing = false;    // between AsyncDeviceClear and DeviceClearComplete: Data is dropped
    bool lockWaiting = false;
    std::uint64_t lockTimer = 0;
    std::string lockKey;
};

HislipChannel::HislipChannel(HislipService& service, std::shared_ptr<HislipConnection> connection, std::string peer)
    : service_(service),
      connection_(std::move(connection)),
      peer_(std::move(peer)),
      reader_(MAX_DATA_PAYLOAD, MAX_OTHER_PAYLOAD) {
    // Until the channel belongs to a session with both channels open; cancelled then, so an idle server sleeps.
    pairTimer_ = connection_->After(service_.limits_.pairTimeout, [this] {
        pairTimer_ = 0;
        if (closed_) {
            return;
        }
        connection_->Send(Fatal(FatalChannelsNotEstablished, "the session's two channels were not opened in time"));
        closed_ = true;
        connection_->Close();
    });
}

HislipChannel::~HislipChannel() {
    if (pairTimer_ != 0) {
        connection_->Cancel(pairTimer_);
    }
    if (!session_) {
        return;
    }
    HislipSession& session = *session_;
    if (session.sync == this) {
        session.sync = nullptr;
    }
    if (session.async == this) {
        session.async = nullptr;
        if (session.lockTimer != 0) {
            connection_->Cancel(session.lockTimer);
            session.lockTimer = 0;
        }
    }
    if (session.scpi) {
        Log("HiSLIP session " + std::to_string(session.id) + " closed");
        service_.lock_.StopWaiting(session.scpi->Id());
        session.lockWaiting = false;
        service_.sessions_.erase(session.id);
        // Its locks go with it; a session waiting for them may now be granted one.
        session.scpi.reset();
    }
    HislipChannel* other = session.sync != nullptr ? session.sync : session.async;
    if (other != nullptr && !other->closed_) {
        other->closed_ = true;
        other->connection_->Close();
    }
}

Reply HislipChannel::Receive(std::string_view bytes) {
    if (closed_) {
        return {};
    }
    std::vector<Message> messages;
    const bool stream = reader_.Read(bytes, messages);
    std::string out;
    for (const Message& message : messages) {
        if (!Handle(message, out)) {
            closed_ = true;
            return Reply(std::move(out), true);
        }
    }
    if (!stream) {
        Log("HiSLIP connection from " + peer_ + ": not a HiSLIP message; closed");
        out += Fatal(FatalBadHeader, "not a HiSLIP message: it does not start with HS");
        closed_ = true;
        return Reply(std::move(out), true);
    }
    return Reply(std::move(out));
}

std::string HislipChannel::Fatal(std::uint8_t code, const std::string& text) {
    return Encode(FatalError, code, 0, text);
}

void HislipChannel::Log(const std::string& line) const {
    if (service_.log) {
        service_.log(line);
    }
}

bool HislipChannel::Handle(const Message& message, std::string& out) {
    if (message.type == FatalError) {
        Log("HiSLIP connection from " + peer_ + ": the client reported a fatal error (" +
            std::to_string(message.control) + "); closed");
        return false;
    }
    if (message.type == Error) {
        Log("HiSLIP connection from " + peer_ + ": the client reported error " + std::to_string(message.control));
        return true;
    }
    switch (role_) {
    case Role::Unknown:
        return HandleFirst(message, out);
    case Role::Sync:
        return HandleSync(message, out);
    case Role::Async:
        return HandleAsync(message, out);
    }
    return false;
}

bool HislipChannel::HandleFirst(const Message& message, std::string& out) {
    if (message.type == Initialize) {
        if (message.tooLarge || !SameText(message.payload, SUB_ADDRESS)) {
            Log("HiSLIP connection from " + peer_ + ": unknown sub-address \"" + Shown(message.payload) +
                "\"; closed");
            out += Fatal(FatalBadInitialization,
                         "unknown sub-address \"" + Shown(message.payload) + "\": this instrument is " + SUB_ADDRESS);
            return false;
        }
        if (service_.sessions_.size() >= service_.limits_.maxSessions) {
            Log("HiSLIP connection from " + peer_ + ": too many sessions; refused");
            out += Fatal(FatalTooManyClients, "too many sessions open");
            return false;
        }
        // The next 16-bit session ID not in use; the table is far smaller than the ID space.
        std::uint16_t id = service_.lastId_;
        do {
            ++id;
        } while (id == 0 || service_.sessions_.count(id) != 0);
        service_.lastId_ = id;
        auto session = std::make_shared<HislipSession>();
        session->id = id;
        session->scpi = std::make_unique<ScpiSession>(service_.instruments_, service_.lock_);
        if (service_.verbose && service_.log) {
            session->scpi->log = [log = service_.log, id](const std::string& text) {
                log("[hislip " + std::to_string(id) + "] " + text);
            };
        }
        session->sync = this;
        service_.sessions_[id] = session;
        session_ = session;
        role_ = Role::Sync;
        const std::uint16_t clientVersion = static_cast<std::uint16_t>(message.parameter >> 16);
        const std::uint16_t version = std::min(clientVersion, PROTOCOL_VERSION);
        Log("HiSLIP session " + std::to_string(id) + " opened by " + peer_);
        // Control code 0: synchronized mode.
        out += Encode(InitializeResponse, 0, (static_cast<std::uint32_t>(version) << 16) | id);
        return true;
    }
    if (message.type == AsyncInitialize) {
        const auto id = static_cast<std::uint16_t>(message.parameter & 0xFFFF);
        auto found = service_.sessions_.find(id);
        if (found == service_.sessions_.end() || found->second->async != nullptr || found->second->sync == nullptr) {
            Log("HiSLIP connection from " + peer_ + ": no session " + std::to_string(id) + " to join; closed");
            out += Fatal(FatalBadInitialization, "no session " + std::to_string(id) + " waits for its second channel");
            return false;
        }
        session_ = found->second;
        session_->async = this;
        role_ = Role::Async;
        for (HislipChannel* channel : {session_->sync, session_->async}) {
            if (channel->pairTimer_ != 0) {
                channel->connection_->Cancel(channel->pairTimer_);
                channel->pairTimer_ = 0;
            }
        }
        out += Encode(AsyncInitializeResponse, 0, VENDOR_ID);
        return true;
    }
    Log("HiSLIP connection from " + peer_ + ": message " + std::to_string(message.type) + " before initialization; closed");
    out += Fatal(FatalBadInitialization, "the first message must be Initialize or AsyncInitialize");
    return false;
}

bool HislipChannel::HandleSync(const Message& message, std::string& out) {
    HislipSession& session = *session_;
    if (!session.scpi) {
        return false;
    }
    const bool paired = session.async != nullptr;
    switch (message.type) {
    case Data:
    case DataEnd:
    case Trigger:
    case DeviceClearComplete:
        if (!paired) {
            out += Fatal(FatalChannelsNotEstablished, "the asynchronous channel is not open yet");
            return false;
        }
        break;
    default:
        break;
    }
    switch (message.type) {
    case Data:
    case DataEnd: {
        if ((message.control & RMT_DELIVERED) != 0) {
            session.answerUnread = false;
        }
        if (session.clearing) {
            return true;  // dropped until the client says the clear is complete
        }
        if (message.tooLarge) {
            session.refused = true;
            session.message.clear();
            out += Encode(Error, ErrorMessageTooLarge, 0,
                          "a Data message may carry at most " + std::to_string(MAX_DATA_PAYLOAD) + " bytes");
        } else if (!session.refused) {
            // Kept up to two bytes past the longest message, so that a longer one is still too long for the
            // session (which queues -363) even when its last kept byte is a terminator.
            const std::size_t room = MAX_MESSAGE_BYTES + 2 - std::min(session.message.size(), MAX_MESSAGE_BYTES + 2);
            session.message.append(message.payload, 0, std::min(room, message.payload.size()));
        }
        if (message.type == Data) {
            return true;
        }
        std::string text = std::move(session.message);
        session.message.clear();
        if (session.refused) {
            session.refused = false;
            return true;
        }
        const std::string response = session.scpi->RunMessage(text);
        if (!response.empty()) {
            const std::uint64_t chunk =
                session.clientMaximum > HEADER_BYTES ? session.clientMaximum - HEADER_BYTES : 1;
            std::string_view rest = response;
            while (rest.size() > chunk) {
                out += Encode(hislip::Data, 0, message.parameter, rest.substr(0, static_cast<std::size_t>(chunk)));
                rest.remove_prefix(static_cast<std::size_t>(chunk));
            }
            out += Encode(hislip::DataEnd, 0, message.parameter, rest);
            session.answerUnread = true;
        }
        return true;
    }
    case Trigger:
        // The pulses run continuously: a trigger is what *TRG is, and queues the same error.
        if ((message.control & RMT_DELIVERED) != 0) {
            session.answerUnread = false;
        }
        if (!session.clearing) {
            session.scpi->RunMessage("*TRG");
        }
        return true;
    case DeviceClearComplete:
        session.clearing = false;
        session.message.clear();
        session.refused = false;
        // Control code 0: synchronized mode stays.
        out += Encode(DeviceClearAcknowledge, 0, 0);
        return true;
    default:
        out += Encode(Error, message.type >= 128 ? ErrorUnrecognizedVendorMessage : ErrorUnrecognizedType, 0,
                      "message type " + std::to_string(message.type) + " is not taken on the synchronous channel");
        return true;
    }
}

bool HislipChannel::HandleAsync(const Message& message, std::string& out) {
    HislipSession& session = *session_;
    if (!session.scpi) {
        return false;
    }
    switch (message.type) {
    case AsyncMaximumMessageSize: {
        if (message.tooLarge || message.payload.size() != 8) {
            out += Encode(Error, ErrorUnidentified, 0, "the maximum message size takes 8 bytes");
            return true;
        }
        std::uint64_t size = 0;
        for (char c : message.payload) {
            size = (size << 8) | static_cast<unsigned char>(c);
        }
        session.clientMaximum = size;
        std::string ours;
        for (int shift = 56; shift >= 0; shift -= 8) {
            ours.push_back(static_cast<char>((MAX_DATA_PAYLOAD >> shift) & 0xFF));
        }
        out += Encode(AsyncMaximumMessageSizeResponse, 0, 0, ours);
        return true;
    }
    case AsyncDeviceClear:
        session.scpi->DeviceClear();
        session.message.clear();
        session.refused = false;
        session.answerUnread = false;
        session.clearing = true;
        // Control code 0: synchronized mode preferred.
        out += Encode(AsyncDeviceClearAcknowledge, 0, 0);
        return true;
    case AsyncStatusQuery:
        if ((message.control & RMT_DELIVERED) != 0) {
            session.answerUnread = false;
        }
        out += Encode(AsyncStatusResponse, session.scpi->StatusByte(session.answerUnread), 0);
        return true;
    case AsyncLock:
        if (message.control == 1) {
            RequestLock(message, out);
        } else if (message.control == 0) {
            InstrumentLock& lock = service_.lock_;
            const SessionId me = session.scpi->Id();
            std::uint8_t result = LockError;
            if (lock.HoldsExclusive(me)) {
                lock.ReleaseExclusive(me);
                result = LockGranted;
            } else if (lock.HoldsShared(me)) {
                lock.ReleaseShared(me);
                result = LockSharedReleased;
            }
            out += Encode(AsyncLockResponse, result, 0);
        } else {
            out += Encode(Error, ErrorUnrecognizedControl, 0, "AsyncLock takes control code 0 or 1");
        }
        return true;
    case AsyncLockInfo: {
        const InstrumentLock& lock = service_.lock_;
        const auto holder = lock.ExclusiveHolder();
        std::uint32_t holders = static_cast<std::uint32_t>(lock.Sharers());
        if (holder && !lock.HoldsShared(*holder)) {
            ++holders;
        }
        out += Encode(AsyncLockInfoResponse, holder ? 1 : 0, holders);
        return true;
    }
    case AsyncRemoteLocalControl:
        // The generator has no front panel to lock out: every request is accepted and changes nothing.
        out += Encode(AsyncRemoteLocalResponse, 0, 0);
        return true;
    default:
        out += Encode(Error, message.type >= 128 ? ErrorUnrecognizedVendorMessage : ErrorUnrecognizedType, 0,
                      "message type " + std::to_string(message.type) + " is not taken on the asynchronous channel");
        return true;
    }
}

void HislipChannel::RequestLock(const Message& message, std::string& out) {
    HislipSession& session = *session_;
    if (session.lockWaiting || message.tooLarge) {
        out += Encode(AsyncLockResponse, LockError, 0);
        return;
    }
    InstrumentLock& lock = service_.lock_;
    const SessionId me = session.scpi->Id();
    session.lockKey = message.payload;
    const bool granted = session.lockKey.empty() ? lock.TryExclusive(me) : lock.TryShared(me, session.lockKey);
    if (granted || message.parameter == 0) {
        out += Encode(AsyncLockResponse, granted ? LockGranted : LockFailed, 0);
        return;
    }
    // Waits without stalling anyone: asked again after each release, failed when the timeout passes.
    session.lockWaiting = true;
    std::weak_ptr<HislipSession> weak = session_;
    // Each callback first checks that this channel is still the session's (it clears itself when it goes).
    lock.Wait(me, [this, weak] {
        // Retried from the loop, not from inside the release that called this.
        if (auto alive = weak.lock(); alive && alive->async == this && alive->lockWaiting) {
            connection_->After(std::chrono::milliseconds(0), [this, weak] {
                if (auto again = weak.lock(); again && again->async == this && again->lockWaiting) {
                    RetryLock();
                }
            });
        }
    });
    session.lockTimer = connection_->After(std::chrono::milliseconds(message.parameter), [this, weak] {
        if (auto alive = weak.lock(); alive && alive->async == this && alive->lockWaiting) {
            alive->lockTimer = 0;
            FinishLockWait(LockFailed);
        }
    });
}

void HislipChannel::RetryLock() {
    HislipSession& session = *session_;
    if (!session.scpi) {
        return;
    }
    InstrumentLock& lock = service_.lock_;
    const SessionId me = session.scpi->Id();
    const bool granted = session.lockKey.empty() ? lock.TryExclusive(me) : lock.TryShared(me, session.lockKey);
    if (granted) {
        FinishLockWait(LockGranted);
    }
}

void HislipChannel::FinishLockWait(std::uint8_t result) {
    HislipSession& session = *session_;
    session.lockWaiting = false;
    if (session.lockTimer != 0) {
        connection_->Cancel(session.lockTimer);
        session.lockTimer = 0;
    }
    if (session.scpi) {
        service_.lock_.StopWaiting(session.scpi->Id());
    }
    connection_->Send(Encode(AsyncLockResponse, result, 0));
}

HislipService::HislipService(Instruments& instruments, InstrumentLock& lock, HislipLimits limits)
    : instruments_(instruments), lock_(lock), limits_(limits) {}

HislipService::~HislipService() = default;

namespace {

// A connection's handler: its channel, and the service that the channel's session table is in, which must
// outlive it (the server may drop its listeners before its connections).
struct ChannelHandler {
    std::shared_ptr<HislipService> service;  // declared first, so destroyed after the channel
    std::shared_ptr<HislipChannel> channel;
    Reply operator()(std::string_view bytes) const { return channel->Receive(bytes); }
};

}  // namespace

HandlerFactory HislipConnections(Instruments& instruments, InstrumentLock& lock,
                                 std::function<void(const std::string&)> log, bool verbose) {
    auto service = std::make_shared<HislipService>(instruments, lock);
    service->log = std::move(log);
    service->verbose = verbose;
    return [service](const ConnectionInfo& info) -> ConnectionHandler {
        auto connection = std::make_shared<OutletConnection>(info.outlet);
        return ChannelHandler{service, std::make_shared<HislipChannel>(*service, connection, info.peer)};
    };
}

}  // namespace tarvo::scpi
