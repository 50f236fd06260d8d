// ONC RPC as VXI-11 and the portmapper use it: XDR's 4-byte big-endian items, record marking on TCP, calls
// taken apart and replies put together. Only AUTH_NONE and AUTH_SYS credentials arrive in practice; any flavour
// is accepted and ignored, within the 400 bytes the protocol allows. Standard library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::scpi::rpc {

// Reads XDR items from a byte string. A read past the end, or an opaque longer than allowed, fails the reader:
// every later read returns zero or empty and Ok() stays false.
class XdrReader {
public:
    explicit XdrReader(std::string_view bytes) : bytes_(bytes) {}
    std::uint32_t U32();
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    bool Bool() { return U32() != 0; }
    // Variable-length opaque or string: a length, the bytes, padding to 4. Fails when longer than `max`.
    std::string_view Opaque(std::size_t max);
    bool Ok() const { return ok_; }
    std::size_t Remaining() const { return bytes_.size() - position_; }
    std::string_view Rest() const { return bytes_.substr(position_); }

private:
    std::string_view bytes_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

class XdrWriter {
public:
    void U32(std::uint32_t value);
    void I32(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }
    void Opaque(std::string_view bytes);
    std::string& Bytes() { return bytes_; }

private:
    std::string bytes_;
};

// Record marking (TCP): each fragment is a 4-byte header (top bit: the record's last fragment; the rest: its
// length) and its bytes. Records are assembled here up to `maxRecord` bytes; a header that would take a record
// beyond that, or more than `maxFragments` fragments in one record, makes the stream invalid before anything
// is allocated for it. Bytes not yet taken as records are held up to `maxHeld` (a peer that sends calls ahead
// of the answers while one waits); beyond that the stream is invalid too.
class RecordReader {
public:
    explicit RecordReader(std::size_t maxRecord, std::size_t maxHeld = 256 * 1024, std::size_t maxFragments = 64)
        : maxRecord_(maxRecord), maxHeld_(maxHeld), maxFragments_(maxFragments) {}
    // Takes bytes as they arrive, any split. Once the stream is invalid, bytes are dropped.
    void Add(std::string_view bytes);
    // The next whole record, if one is complete. Call until nothing, after each Add.
    std::optional<std::string> Next();
    bool Invalid() const { return invalid_; }
    // Bytes held that are not yet a whole record.
    std::size_t Held() const { return input_.size() - consumed_; }

private:
    void Invalidate();

    std::size_t maxRecord_;
    std::size_t maxHeld_;
    std::size_t maxFragments_;
    std::string input_;        // bytes not yet taken into a record
    std::size_t consumed_ = 0;  // of input_
    std::string record_;       // the fragments of the record under way
    std::size_t fragments_ = 0;
    bool invalid_ = false;
};

// One record in one fragment, ready to send.
std::string MarkRecord(std::string_view record);

inline constexpr std::uint32_t RPC_VERSION = 2;
inline constexpr std::size_t MAX_AUTH_BYTES = 400;

enum class AcceptStat : std::uint32_t {
    Success = 0,
    ProgramUnavailable = 1,
    ProgramMismatch = 2,
    ProcedureUnavailable = 3,
    GarbageArguments = 4,
    SystemError = 5,
};

struct Call {
    std::uint32_t xid = 0;
    std::uint32_t program = 0;
    std::uint32_t version = 0;
    std::uint32_t procedure = 0;
    std::string_view arguments;  // into the record given to ParseCall
};

enum class CallParse {
    Call,          // `call` is filled in
    WrongVersion,  // an RPC call of another RPC version: answer RpcMismatchReply
    NotACall,      // not an RPC call at all (or a reply): the peer speaks something else
};
// Takes a call's header apart. `call.xid` is filled in whenever the record holds at least one word.
CallParse ParseCall(std::string_view record, Call& call);

// A reply accepted with SUCCESS: the header, then `results` (already XDR).
std::string SuccessReply(std::uint32_t xid, std::string_view results);
// A reply accepted with another status; ProgramMismatch carries the versions served.
std::string AcceptedErrorReply(std::uint32_t xid, AcceptStat status, std::uint32_t low = 0, std::uint32_t high = 0);
// The call was of an RPC version other than 2.
std::string RpcMismatchReply(std::uint32_t xid);

}  // namespace tarvo::scpi::rpc
