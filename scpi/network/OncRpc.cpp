#include "OncRpc.h"

namespace tarvo::scpi::rpc {

namespace {

constexpr std::uint32_t CALL = 0;
constexpr std::uint32_t REPLY = 1;
constexpr std::uint32_t MSG_ACCEPTED = 0;
constexpr std::uint32_t MSG_DENIED = 1;
constexpr std::uint32_t RPC_MISMATCH = 0;
constexpr std::uint32_t AUTH_NONE = 0;
constexpr std::uint32_t LAST_FRAGMENT = 0x8000'0000u;

std::size_t Padded(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

void ReplyHeader(XdrWriter& out, std::uint32_t xid) {
    out.U32(xid);
    out.U32(REPLY);
    out.U32(MSG_ACCEPTED);
    out.U32(AUTH_NONE);  // the verifier: none, empty
    out.U32(0);
}

}  // namespace

std::uint32_t XdrReader::U32() {
    if (!ok_ || Remaining() < 4) {
        ok_ = false;
        return 0;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data() + position_);
    position_ += 4;
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::string_view XdrReader::Opaque(std::size_t max) {
    const std::uint32_t length = U32();
    if (!ok_ || length > max || Padded(length) > Remaining()) {
        ok_ = false;
        return {};
    }
    const std::string_view bytes = bytes_.substr(position_, length);
    position_ += Padded(length);
    return bytes;
}

void XdrWriter::U32(std::uint32_t value) {
    const char word[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                          static_cast<char>(value >> 8), static_cast<char>(value)};
    bytes_.append(word, 4);
}

void XdrWriter::Opaque(std::string_view bytes) {
    U32(static_cast<std::uint32_t>(bytes.size()));
    bytes_.append(bytes);
    bytes_.append(Padded(bytes.size()) - bytes.size(), '\0');
}

void RecordReader::Add(std::string_view bytes) {
    if (invalid_) return;
    if (consumed_ > 0) {
        input_.erase(0, consumed_);
        consumed_ = 0;
    }
    if (bytes.size() > maxHeld_ - Held()) {
        Invalidate();
        return;
    }
    input_.append(bytes);
}

void RecordReader::Invalidate() {
    invalid_ = true;
    std::string().swap(input_);
    std::string().swap(record_);
    consumed_ = 0;
}

std::optional<std::string> RecordReader::Next() {
    while (!invalid_ && Held() >= 4) {
        const auto* p = reinterpret_cast<const unsigned char*>(input_.data() + consumed_);
        const std::uint32_t header = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                                     std::uint32_t{p[2]} << 8 | p[3];
        const std::size_t length = header & ~LAST_FRAGMENT;
        // Checked before the fragment's bytes arrive: a header claiming more than a record may hold ends the
        // stream at once, whatever follows.
        if (length > maxRecord_ - record_.size() || fragments_ + 1 > maxFragments_) {
            Invalidate();
            return std::nullopt;
        }
        if (Held() - 4 < length) return std::nullopt;
        record_.append(input_, consumed_ + 4, length);
        consumed_ += 4 + length;
        ++fragments_;
        if (header & LAST_FRAGMENT) {
            fragments_ = 0;
            std::string record;
            record.swap(record_);
            return record;
        }
    }
    return std::nullopt;
}

std::string MarkRecord(std::string_view record) {
    XdrWriter out;
    out.U32(LAST_FRAGMENT | static_cast<std::uint32_t>(record.size()));
    out.Bytes().append(record);
    return std::move(out.Bytes());
}

CallParse ParseCall(std::string_view record, Call& call) {
    XdrReader in(record);
    call.xid = in.U32();
    const std::uint32_t type = in.U32();
    const std::uint32_t version = in.U32();
    if (!in.Ok() || type != CALL) return CallParse::NotACall;
    if (version != RPC_VERSION) return CallParse::WrongVersion;
    call.program = in.U32();
    call.version = in.U32();
    call.procedure = in.U32();
    for (int i = 0; i < 2; ++i) {  // the credentials, then the verifier
        in.U32();
        in.Opaque(MAX_AUTH_BYTES);
    }
    if (!in.Ok()) return CallParse::NotACall;
    call.arguments = in.Rest();
    return CallParse::Call;
}

std::string SuccessReply(std::uint32_t xid, std::string_view results) {
    XdrWriter out;
    ReplyHeader(out, xid);
    out.U32(static_cast<std::uint32_t>(AcceptStat::Success));
    out.Bytes().append(results);
    return std::move(out.Bytes());
}

std::string AcceptedErrorReply(std::uint32_t xid, AcceptStat status, std::uint32_t low, std::uint32_t high) {
    XdrWriter out;
    ReplyHeader(out, xid);
    out.U32(static_cast<std::uint32_t>(status));
    if (status == AcceptStat::ProgramMismatch) {
        out.U32(low);
        out.U32(high);
    }
    return std::move(out.Bytes());
}

std::string RpcMismatchReply(std::uint32_t xid) {
    XdrWriter out;
    out.U32(xid);
    out.U32(REPLY);
    out.U32(MSG_DENIED);
    out.U32(RPC_MISMATCH);
    out.U32(RPC_VERSION);
    out.U32(RPC_VERSION);
    return std::move(out.Bytes());
}

}  // namespace tarvo::scpi::rpc
