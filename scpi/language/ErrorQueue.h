// A connection's SCPI error queue: first in, first out, bounded; on overflow its last entry becomes -350.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace tarvo::scpi {

// The standard numbers this server queues.
namespace error {
inline constexpr int COMMAND = -100;
inline constexpr int INVALID_CHARACTER = -101;
inline constexpr int SYNTAX = -102;
inline constexpr int DATA_TYPE = -104;
inline constexpr int PARAMETER_NOT_ALLOWED = -108;
inline constexpr int MISSING_PARAMETER = -109;
inline constexpr int HEADER_SEPARATOR = -111;
inline constexpr int MNEMONIC_TOO_LONG = -112;
inline constexpr int UNDEFINED_HEADER = -113;
inline constexpr int HEADER_SUFFIX_OUT_OF_RANGE = -114;
inline constexpr int NUMERIC_DATA = -120;
inline constexpr int INVALID_SUFFIX = -131;
inline constexpr int SUFFIX_NOT_ALLOWED = -138;
inline constexpr int INVALID_CHARACTER_DATA = -141;
inline constexpr int CHARACTER_DATA_TOO_LONG = -144;
inline constexpr int INVALID_STRING_DATA = -151;
inline constexpr int INVALID_BLOCK_DATA = -161;
inline constexpr int EXECUTION = -200;
inline constexpr int SETTINGS_CONFLICT = -221;
inline constexpr int DATA_OUT_OF_RANGE = -222;
inline constexpr int ILLEGAL_PARAMETER_VALUE = -224;
inline constexpr int HARDWARE = -240;
inline constexpr int HARDWARE_MISSING = -241;
inline constexpr int QUEUE_OVERFLOW = -350;
inline constexpr int INPUT_BUFFER_OVERRUN = -363;
}  // namespace error

// The standard text of an error number ("Undefined header"); "Error" for a number this server never queues.
const char* ErrorText(int code);

// The queue's entry for an error: `code,"text;detail"` (without ";detail" when the detail is empty). The
// string holds at most MAX_ERROR_STRING characters; the detail keeps printable ASCII only (any other byte is
// written \xNN) and a quote inside it is doubled.
std::string FormatError(int code, std::string_view detail);
inline constexpr std::size_t MAX_ERROR_STRING = 255;

// A byte as error strings and logs show it: printable ASCII as is, any other byte as \xNN.
std::string ShownByte(char c);
// Bytes as logs show them (see ShownByte), in at most `most` characters (at least 3): when they do not fit, as
// many as do and "...".
std::string ShownText(std::string_view bytes, std::size_t most);

// Whether an error is a command error (-100 to -199): the rest of its message is skipped.
inline bool IsCommandError(int code) { return code <= -100 && code > -200; }

class ErrorQueue {
public:
    static constexpr std::size_t CAPACITY = 20;  // the last slot is the one -350 takes

    // Adds an entry; when the queue is full its last entry becomes -350 "Queue overflow" instead.
    void Push(int code, std::string_view detail);
    // The oldest entry, removed; `0,"No error"` when the queue is empty.
    std::string Pop();
    std::size_t Count() const { return entries_.size(); }
    bool Empty() const { return entries_.empty(); }
    void Clear() { entries_.clear(); }

private:
    std::deque<std::string> entries_;
};

}  // namespace tarvo::scpi
