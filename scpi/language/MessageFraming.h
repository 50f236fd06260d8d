// Bytes as they arrive on a stream, to whole program messages. A message ends at LF or CR (CR LF ends one and
// an empty one), except inside definite-length block data (#<n><length><bytes>), whose bytes are data whatever
// they are; indefinite block data (#0) runs to the next LF. A quoted string is followed only to know that a '#'
// inside it starts no block. A message longer than MAX_MESSAGE_BYTES is not kept: its end is still found,
// and it is reported as overrun.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tarvo::scpi {

class MessageFramer {
public:
    explicit MessageFramer(std::size_t maxMessage) : max_(maxMessage) {}

    // `message` (without its terminator; empty when `overrun`), in order for each message ended; returns false
    // to take no more bytes.
    using Ended = std::function<bool(std::string_view message, bool overrun)>;
    // Takes bytes, any split; calls `ended` for each message they end. Returns false when `ended` stopped it.
    bool Take(std::string_view bytes, const Ended& ended);
    // Ends the message in hand as an END flag would (nothing when there is none).
    bool Finish(const Ended& ended);
    // Drops the message in hand, as a device clear does.
    void Clear();

private:
    enum class State { Text, Quoted, Hash, BlockLength, BlockData, OpenBlock };

    void Keep(char c);
    bool End(const Ended& ended);

    std::size_t max_;
    std::string message_;
    bool overrun_ = false;
    State state_ = State::Text;
    char quote_ = 0;
    int lengthDigits_ = 0;     // BlockLength: digits still to read
    std::size_t remaining_ = 0;  // BlockLength: the length so far; BlockData: bytes still to come
};

}  // namespace tarvo::scpi
