#include "Vxi11.h"

#include <algorithm>
#include <cctype>

namespace tarvo::scpi::vxi11 {

namespace {

using rpc::AcceptStat;
using rpc::XdrReader;
using rpc::XdrWriter;

constexpr std::uint32_t PMAP_NULL = 0;
constexpr std::uint32_t PMAP_SET = 1;
constexpr std::uint32_t PMAP_UNSET = 2;
constexpr std::uint32_t PMAP_GETPORT = 3;
constexpr std::uint32_t PMAP_DUMP = 4;
constexpr std::uint32_t DEVICE_ABORT = 1;
constexpr std::size_t MAX_DEVICE_NAME = 256;
constexpr std::size_t MAX_SRQ_HANDLE = 40;

std::string Results(std::initializer_list<std::uint32_t> words) {
    XdrWriter out;
    for (const std::uint32_t word : words) out.U32(word);
    return std::move(out.Bytes());
}

bool SameText(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// The results of a core procedure that fails with `error`.
std::string ErrorResults(std::uint32_t procedure, std::uint32_t error) {
    switch (procedure) {
    case DEVICE_READ: return Results({error, 0, 0});  // no reason, no data
    case DEVICE_WRITE:
    case DEVICE_READSTB:
    case DEVICE_DOCMD: return Results({error, 0});
    default: return Results({error});
    }
}

// The lock_timeout of a call that may wait for the lock.
std::uint32_t LockTimeout(const rpc::Call& call) {
    XdrReader in(call.arguments);
    switch (call.procedure) {
    case CREATE_LINK: in.U32(); in.U32(); break;                   // client id, lockDevice
    case DEVICE_WRITE: in.U32(); in.U32(); break;                  // link, io_timeout
    case DEVICE_READ: in.U32(); in.U32(); in.U32(); break;         // link, request size, io_timeout
    default: in.U32(); in.U32(); break;                            // link, flags (lock, generic parameters)
    }
    return in.U32();
}

}  // namespace

std::optional<std::string> AnswerPortmapper(std::string_view record, const std::vector<Mapping>& mappings,
                                            bool broadcast) {
    rpc::Call call;
    switch (rpc::ParseCall(record, call)) {
    case rpc::CallParse::NotACall: return std::nullopt;
    case rpc::CallParse::WrongVersion: return broadcast ? std::string() : rpc::RpcMismatchReply(call.xid);
    case rpc::CallParse::Call: break;
    }
    std::string error;
    if (call.program != PORTMAPPER_PROGRAM) {
        error = rpc::AcceptedErrorReply(call.xid, AcceptStat::ProgramUnavailable);
    } else if (call.version != PORTMAPPER_VERSION) {
        error = rpc::AcceptedErrorReply(call.xid, AcceptStat::ProgramMismatch, PORTMAPPER_VERSION,
                                        PORTMAPPER_VERSION);
    }
    if (!error.empty()) return broadcast ? std::string() : error;

    XdrReader in(call.arguments);
    switch (call.procedure) {
    case PMAP_NULL: return rpc::SuccessReply(call.xid, {});
    case PMAP_SET:
    case PMAP_UNSET:
        for (int i = 0; i < 4; ++i) in.U32();
        if (!in.Ok()) break;
        return rpc::SuccessReply(call.xid, Results({0}));
    case PMAP_GETPORT: {
        const std::uint32_t program = in.U32();
        const std::uint32_t version = in.U32();
        const std::uint32_t protocol = in.U32();
        in.U32();  // the port: ignored
        if (!in.Ok()) break;
        std::uint32_t port = 0;
        for (const Mapping& m : mappings) {
            if (m.program == program && m.version == version && m.protocol == protocol) {
                port = m.port;
                break;
            }
        }
        if (broadcast && port == 0) return std::string();
        return rpc::SuccessReply(call.xid, Results({port}));
    }
    case PMAP_DUMP: {
        XdrWriter out;
        for (const Mapping& m : mappings) {
            out.U32(1);  // another entry follows
            out.U32(m.program);
            out.U32(m.version);
            out.U32(m.protocol);
            out.U32(m.port);
        }
        out.U32(0);
        return rpc::SuccessReply(call.xid, out.Bytes());
    }
    default:
        return broadcast ? std::string() : rpc::AcceptedErrorReply(call.xid, AcceptStat::ProcedureUnavailable);
    }
    return broadcast ? std::string() : rpc::AcceptedErrorReply(call.xid, AcceptStat::GarbageArguments);
}

std::string AnswerAbort(const rpc::Call& call, const LinkRegistry& registry) {
    if (call.version != CORE_VERSION) {
        return rpc::AcceptedErrorReply(call.xid, AcceptStat::ProgramMismatch, CORE_VERSION, CORE_VERSION);
    }
    if (call.procedure == NULL_PROCEDURE) return rpc::SuccessReply(call.xid, {});
    if (call.procedure != DEVICE_ABORT) return rpc::AcceptedErrorReply(call.xid, AcceptStat::ProcedureUnavailable);
    XdrReader in(call.arguments);
    const std::uint32_t link = in.U32();
    if (!in.Ok()) return rpc::AcceptedErrorReply(call.xid, AcceptStat::GarbageArguments);
    const auto found = registry.links.find(link);
    if (found == registry.links.end()) return rpc::SuccessReply(call.xid, Results({INVALID_LINK}));
    found->second->Abort(link);
    return rpc::SuccessReply(call.xid, Results({NO_ERROR}));
}

CoreChannel::CoreChannel(LinkRegistry& registry, Hooks hooks) : registry_(registry), hooks_(std::move(hooks)) {}

CoreChannel::~CoreChannel() {
    StopWaiting();
    while (!links_.empty()) DestroyLink(links_.begin()->first);
}

CoreChannel::Result CoreChannel::Receive(std::string_view bytes) {
    if (closed_) return {};
    reader_.Add(bytes);
    return Run();
}

CoreChannel::Result CoreChannel::Run() {
    Result result;
    while (!waiting_) {
        std::optional<std::string> record = reader_.Next();
        if (!record) break;
        rpc::Call call;
        const rpc::CallParse parsed = rpc::ParseCall(*record, call);
        if (parsed == rpc::CallParse::NotACall) {
            closed_ = true;
            break;
        }
        if (parsed == rpc::CallParse::WrongVersion) {
            result.bytes += rpc::MarkRecord(rpc::RpcMismatchReply(call.xid));
            continue;
        }
        SessionId waitFor = 0;
        std::optional<std::string> reply = Answer(call, false, waitFor);
        if (reply) {
            result.bytes += rpc::MarkRecord(*reply);
            continue;
        }
        // The call waits for the lock: until it is released (asked again then), or until its lock_timeout.
        // (`call` views the record: what it says is taken before the record moves.)
        const std::chrono::milliseconds timeout(LockTimeout(call));
        Waiting waiting;
        waiting.session = waitFor;
        waiting.link = call.procedure == CREATE_LINK ? registry_.lastLink : XdrReader(call.arguments).U32();
        waiting.record = std::move(*record);
        waiting_ = std::move(waiting);
        waiting_->timer = hooks_.after(timeout, [this] {
            waiting_->timer = 0;
            Retry(true);
        });
        registry_.lock.Wait(waitFor, [this] {
            // Asked again from the loop, not from inside the lock's release.
            if (retryTimer_ == 0 && waiting_) {
                retryTimer_ = hooks_.after(std::chrono::milliseconds(0), [this] {
                    retryTimer_ = 0;
                    Retry(false);
                });
            }
        });
    }
    if (reader_.Invalid()) closed_ = true;
    result.close = closed_;
    return result;
}

void CoreChannel::Retry(bool deadline) {
    if (!waiting_ || closed_) return;
    rpc::Call call;
    rpc::ParseCall(waiting_->record, call);
    SessionId waitFor = 0;
    std::optional<std::string> reply = Answer(call, deadline, waitFor);
    if (!reply) return;  // still not permitted: wait on
    Resume(*reply);
}

void CoreChannel::Abort(std::uint32_t link) {
    if (!waiting_ || waiting_->link != link || closed_) return;
    rpc::Call call;
    rpc::ParseCall(waiting_->record, call);
    if (call.procedure == CREATE_LINK) {
        DestroyLink(link);
        Resume(rpc::SuccessReply(call.xid, Results({ABORT, 0, registry_.abortPort, MAX_RECEIVE_SIZE})));
        return;
    }
    Resume(rpc::SuccessReply(call.xid, ErrorResults(call.procedure, ABORT)));
}

void CoreChannel::Resume(const std::string& reply) {
    StopWaiting();
    Result more = Run();
    hooks_.send(rpc::MarkRecord(reply) + more.bytes);
    if (more.close) hooks_.close();
}

void CoreChannel::StopWaiting() {
    if (!waiting_) return;
    registry_.lock.StopWaiting(waiting_->session);
    if (waiting_->timer != 0) hooks_.cancel(waiting_->timer);
    if (retryTimer_ != 0) hooks_.cancel(retryTimer_);
    retryTimer_ = 0;
    waiting_.reset();
}

std::optional<std::string> CoreChannel::Answer(const rpc::Call& call, bool deadline, SessionId& waitFor) {
    if (call.program == ABORT_PROGRAM) return AnswerAbort(call, registry_);
    if (call.program != CORE_PROGRAM) return rpc::AcceptedErrorReply(call.xid, AcceptStat::ProgramUnavailable);
    if (call.version != CORE_VERSION) {
        return rpc::AcceptedErrorReply(call.xid, AcceptStat::ProgramMismatch, CORE_VERSION, CORE_VERSION);
    }
    return AnswerCore(call, deadline, waitFor);
}

std::optional<std::string> CoreChannel::AnswerCore(const rpc::Call& call, bool deadline, SessionId& waitFor) {
    XdrReader in(call.arguments);
    const auto garbage = [&] { return rpc::AcceptedErrorReply(call.xid, AcceptStat::GarbageArguments); };
    const auto error = [&](std::uint32_t code) { return rpc::SuccessReply(call.xid, Results({code})); };

    switch (call.procedure) {
    case NULL_PROCEDURE: return rpc::SuccessReply(call.xid, {});
    case CREATE_LINK: {
        bool bad = false;
        std::string results = CreateLink(in, deadline, waitFor, bad);
        if (bad) return garbage();
        if (results.empty()) return std::nullopt;
        return rpc::SuccessReply(call.xid, results);
    }
    case DEVICE_ENABLE_SRQ:
        in.U32();
        in.U32();
        in.Opaque(MAX_SRQ_HANDLE);
        return in.Ok() ? error(NOT_SUPPORTED) : garbage();
    case CREATE_INTR_CHAN:
        for (int i = 0; i < 5; ++i) in.U32();
        return in.Ok() ? error(NOT_SUPPORTED) : garbage();
    case DESTROY_INTR_CHAN: return error(NOT_SUPPORTED);
    default: break;
    }

    // Every other procedure names a link first; the ones that reach the generator then pass the lock.
    const std::uint32_t id = in.U32();
    std::uint32_t flags = 0;
    std::uint32_t requestSize = 0;
    std::uint32_t termChar = 0;
    std::string_view data;
    bool lockChecked = true;
    switch (call.procedure) {
    case DEVICE_WRITE:
        in.U32();  // the I/O timeout: every write is taken at once
        in.U32();  // lock_timeout
        flags = in.U32();
        data = in.Opaque(MAX_RECORD_BYTES);
        break;
    case DEVICE_READ:
        requestSize = in.U32();
        in.U32();
        in.U32();
        flags = in.U32();
        termChar = in.U32() & 0xFF;
        break;
    case DEVICE_READSTB:
    case DEVICE_CLEAR:
    case DEVICE_REMOTE:
    case DEVICE_LOCAL:
    case DEVICE_TRIGGER:
        flags = in.U32();
        in.U32();
        in.U32();
        lockChecked = call.procedure != DEVICE_TRIGGER;
        break;
    case DEVICE_LOCK:
        flags = in.U32();
        in.U32();
        break;
    case DEVICE_DOCMD:
        flags = in.U32();
        in.U32();
        in.U32();
        in.U32();  // the command
        in.U32();  // network order
        in.U32();  // the data size
        in.Opaque(MAX_RECORD_BYTES);
        lockChecked = false;
        break;
    case DEVICE_UNLOCK:
    case DESTROY_LINK: lockChecked = false; break;
    default: return rpc::AcceptedErrorReply(call.xid, AcceptStat::ProcedureUnavailable);
    }
    if (!in.Ok()) return garbage();

    const auto found = links_.find(id);
    if (found == links_.end()) return rpc::SuccessReply(call.xid, ErrorResults(call.procedure, INVALID_LINK));
    Link& link = found->second;
    const SessionId session = link.session->Id();

    if (lockChecked) {
        const bool granted = call.procedure == DEVICE_LOCK ? registry_.lock.TryExclusive(session)
                                                           : registry_.lock.Permits(session);
        if (!granted) {
            if ((flags & FLAG_WAITLOCK) && !deadline) {
                waitFor = session;
                return std::nullopt;
            }
            return rpc::SuccessReply(call.xid, ErrorResults(call.procedure, DEVICE_LOCKED));
        }
    }

    switch (call.procedure) {
    case DEVICE_WRITE:
        Write(link, data, (flags & FLAG_END) != 0);
        return rpc::SuccessReply(call.xid, Results({NO_ERROR, static_cast<std::uint32_t>(data.size())}));
    case DEVICE_READ: {
        if (link.output.empty()) {
            // Nothing was asked: nothing will come, so the read ends at once instead of after its timeout.
            return rpc::SuccessReply(call.xid, Results({IO_TIMEOUT, 0, 0}));
        }
        const std::string& response = link.output.front();
        std::size_t size = std::min<std::size_t>(requestSize, response.size() - link.readOffset);
        std::uint32_t reason = 0;
        if (flags & FLAG_TERMCHAR_SET) {
            const std::size_t at = response.find(static_cast<char>(termChar), link.readOffset);
            if (at != std::string::npos && at < link.readOffset + size) {
                size = at + 1 - link.readOffset;
                reason |= REASON_TERMCHAR;
            }
        }
        XdrWriter out;
        out.U32(NO_ERROR);
        const std::string_view chunk = std::string_view(response).substr(link.readOffset, size);
        link.readOffset += size;
        if (link.readOffset == response.size()) {
            reason |= REASON_END;
            link.outputBytes -= response.size();
            link.readOffset = 0;
        } else if (reason == 0) {
            reason = REASON_REQUEST_COUNT;
        }
        out.U32(reason);
        out.Opaque(chunk);
        if (reason & REASON_END) link.output.pop_front();  // `chunk` is written already
        return rpc::SuccessReply(call.xid, out.Bytes());
    }
    case DEVICE_READSTB:
        return rpc::SuccessReply(call.xid, Results({NO_ERROR, link.session->StatusByte(!link.output.empty())}));
    case DEVICE_CLEAR:
        link.session->DeviceClear();
        link.input.clear();
        link.overrun = false;
        link.output.clear();
        link.outputBytes = 0;
        link.readOffset = 0;
        return error(NO_ERROR);
    case DEVICE_REMOTE:
    case DEVICE_LOCAL: return error(NO_ERROR);
    case DEVICE_TRIGGER: return error(NOT_SUPPORTED);
    case DEVICE_DOCMD: return rpc::SuccessReply(call.xid, ErrorResults(DEVICE_DOCMD, NOT_SUPPORTED));
    case DEVICE_LOCK: return error(NO_ERROR);
    case DEVICE_UNLOCK: return error(registry_.lock.ReleaseExclusive(session) ? NO_ERROR : NO_LOCK_HELD);
    case DESTROY_LINK: DestroyLink(id); return error(NO_ERROR);
    default: return rpc::AcceptedErrorReply(call.xid, AcceptStat::ProcedureUnavailable);
    }
}

std::string CoreChannel::CreateLink(XdrReader& in, bool deadline, SessionId& waitFor, bool& garbage) {
    in.I32();  // the client's id: for its own use
    const bool lockDevice = in.Bool();
    in.U32();  // lock_timeout: read again when the call waits
    const std::string_view device = in.Opaque(MAX_DEVICE_NAME);
    if (!in.Ok()) {
        garbage = true;
        return {};
    }
    const auto refuse = [&](std::uint32_t code) {
        return Results({code, 0, registry_.abortPort, MAX_RECEIVE_SIZE});
    };

    std::uint32_t id = waiting_ ? waiting_->link : 0;
    if (id == 0) {
        std::optional<std::string> serial;
        if (!SameText(device, "inst0")) {
            const std::vector<std::string> catalog = registry_.instruments.Catalog();
            if (std::find(catalog.begin(), catalog.end(), device) == catalog.end()) {
                return refuse(DEVICE_NOT_ACCESSIBLE);
            }
            serial = std::string(device);
        }
        if (registry_.links.size() >= registry_.maxLinks) return refuse(OUT_OF_RESOURCES);
        do {
            id = ++registry_.lastLink;
        } while (id == 0 || registry_.links.count(id) != 0);  // 0 never names a link; none is named twice
        Link link;
        link.session = std::make_unique<ScpiSession>(registry_.instruments, registry_.lock);
        if (registry_.log) link.session->log = registry_.log;
        if (serial) link.session->RunMessage("INST:SEL \"" + *serial + "\"\n");
        links_.emplace(id, std::move(link));
        registry_.links.emplace(id, this);
    }
    if (lockDevice) {
        const SessionId session = links_.at(id).session->Id();
        if (!registry_.lock.TryExclusive(session)) {
            if (!deadline) {
                waitFor = session;
                return {};
            }
            DestroyLink(id);
            return refuse(DEVICE_LOCKED);
        }
    }
    return Results({NO_ERROR, id, registry_.abortPort, MAX_RECEIVE_SIZE});
}

void CoreChannel::Write(Link& link, std::string_view data, bool end) {
    // A message ends at each LF, and at the END flag.
    while (!data.empty()) {
        const std::size_t lf = data.find('\n');
        const std::string_view piece = data.substr(0, lf == std::string_view::npos ? data.size() : lf + 1);
        data.remove_prefix(piece.size());
        if (!link.overrun) {
            // Kept up to one byte beyond the longest message, so that the session reports the overrun.
            const std::size_t room = MAX_MESSAGE_BYTES + 1 - std::min(link.input.size(), MAX_MESSAGE_BYTES + 1);
            link.input.append(piece.substr(0, room));
            if (piece.size() > room) link.overrun = true;
        }
        if (piece.back() == '\n') {
            std::string message;
            message.swap(link.input);
            // CR LF, as PyVISA ends its writes, ends a message as LF does.
            if (message.size() >= 2 && message[message.size() - 2] == '\r') message.erase(message.size() - 2, 1);
            link.overrun = false;
            RunLinkMessage(link, std::move(message));
        }
    }
    if (end && !link.input.empty()) {
        std::string message;
        message.swap(link.input);
        link.overrun = false;
        RunLinkMessage(link, std::move(message));
    }
}

void CoreChannel::RunLinkMessage(Link& link, std::string message) {
    std::string response = link.session->RunMessage(message);
    if (response.empty() || link.outputBytes + response.size() > MAX_OUTPUT_BYTES) return;
    link.outputBytes += response.size();
    link.output.push_back(std::move(response));
}

void CoreChannel::DestroyLink(std::uint32_t id) {
    if (links_.erase(id) != 0) registry_.links.erase(id);
}

}  // namespace tarvo::scpi::vxi11
