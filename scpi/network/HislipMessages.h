// HiSLIP messages on the wire: the 16-byte header ("HS", type, control code, a 32-bit parameter, a 64-bit payload
// length, all big-endian), the message types, the error codes, and a reader that takes bytes as they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::scpi::hislip {

inline constexpr std::uint16_t DEFAULT_PORT = 4880;
inline constexpr std::size_t HEADER_BYTES = 16;
inline constexpr std::uint16_t PROTOCOL_VERSION = 0x0100;  // 1.0, the only one served
inline constexpr std::uint32_t RESPONSE_ID_UNKNOWN = 0xFFFFFFFF;

enum Type : std::uint8_t {
    Initialize = 0,
    InitializeResponse = 1,
    FatalError = 2,
    Error = 3,
    AsyncLock = 4,
    AsyncLockResponse = 5,
    Data = 6,
    DataEnd = 7,
    DeviceClearComplete = 8,
    DeviceClearAcknowledge = 9,
    AsyncRemoteLocalControl = 10,
    AsyncRemoteLocalResponse = 11,
    Trigger = 12,
    Interrupted = 13,
    AsyncInterrupted = 14,
    AsyncMaximumMessageSize = 15,
    AsyncMaximumMessageSizeResponse = 16,
    AsyncInitialize = 17,
    AsyncInitializeResponse = 18,
    AsyncDeviceClear = 19,
    AsyncServiceRequest = 20,
    AsyncStatusQuery = 21,
    AsyncStatusResponse = 22,
    AsyncDeviceClearAcknowledge = 23,
    AsyncLockInfo = 24,
    AsyncLockInfoResponse = 25,
};

// FatalError control codes; the connection closes after one.
enum FatalCode : std::uint8_t {
    FatalUnidentified = 0,
    FatalBadHeader = 1,
    FatalChannelsNotEstablished = 2,
    FatalBadInitialization = 3,
    FatalTooManyClients = 4,
};

// Error control codes; the connection goes on.
enum ErrorCode : std::uint8_t {
    ErrorUnidentified = 0,
    ErrorUnrecognizedType = 1,
    ErrorUnrecognizedControl = 2,
    ErrorUnrecognizedVendorMessage = 3,
    ErrorMessageTooLarge = 4,
};

// AsyncLockResponse control codes.
enum LockResult : std::uint8_t {
    LockFailed = 0,
    LockGranted = 1,  // a request granted; a release of an exclusive lock
    LockSharedReleased = 2,
    LockError = 3,
};

// Control code bit 0 of Data, DataEnd, Trigger and AsyncStatusQuery: the client has read the whole last response.
inline constexpr std::uint8_t RMT_DELIVERED = 0x01;

// One message: its header and as much of its payload as was kept. A payload longer than the reader keeps is
// not stored: `tooLarge` is set, `payload` is empty, and the bytes are dropped as they arrive.
struct Message {
    std::uint8_t type = 0;
    std::uint8_t control = 0;
    std::uint32_t parameter = 0;
    std::uint64_t length = 0;  // as the header declared it
    std::string payload;
    bool tooLarge = false;
};

std::string Encode(std::uint8_t type, std::uint8_t control, std::uint32_t parameter, std::string_view payload = {});

// Reads messages from a stream, any split and merge. A Data or DataEnd payload is kept up to `maxDataPayload`
// bytes, any other up to `maxOtherPayload`; a longer one is reported as soon as its header is complete (with
// `tooLarge`) and its payload is then skipped, however long it claims to be. Memory held: one header and at most
// one kept payload.
class Reader {
public:
    Reader(std::uint64_t maxDataPayload, std::uint64_t maxOtherPayload);

    // Appends each message completed by `bytes` to `out`. False once the stream stopped being HiSLIP (a header
    // that does not start with "HS"; known from its first byte that differs): the messages before it are in
    // `out`, and nothing more is read.
    bool Read(std::string_view bytes, std::vector<Message>& out);
    bool Broken() const { return broken_; }

private:
    std::uint64_t maxDataPayload_;
    std::uint64_t maxOtherPayload_;
    std::string header_;       // the header being read, up to HEADER_BYTES
    Message message_;          // the message whose payload is being read
    bool inPayload_ = false;
    std::uint64_t remaining_ = 0;  // payload bytes still to come for the current message
    bool broken_ = false;
};

}  // namespace tarvo::scpi::hislip
