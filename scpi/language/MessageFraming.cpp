#include "MessageFraming.h"

namespace tarvo::scpi {

bool MessageFramer::Take(std::string_view bytes, const Ended& ended) {
    for (const char c : bytes) {
        if (state_ == State::BlockData) {
            Keep(c);
            if (--remaining_ == 0) state_ = State::Text;
            continue;
        }
        if (state_ == State::BlockLength) {
            if (c >= '0' && c <= '9') {
                Keep(c);
                remaining_ = remaining_ * 10 + static_cast<std::size_t>(c - '0');  // at most 9 digits
                if (--lengthDigits_ == 0) state_ = remaining_ == 0 ? State::Text : State::BlockData;
                continue;
            }
            state_ = State::Text;  // not block data after all: the parser says what is wrong
        }
        if (state_ == State::Hash) {
            if (c >= '1' && c <= '9') {
                Keep(c);
                lengthDigits_ = c - '0';
                remaining_ = 0;
                state_ = State::BlockLength;
                continue;
            }
            if (c == '0') {
                Keep(c);
                state_ = State::OpenBlock;
                continue;
            }
            state_ = State::Text;  // #H, #Q, #B or a mistake: the parser reads it
        }
        if (state_ == State::OpenBlock && c != '\n') {
            Keep(c);
            continue;
        }
        if (c == '\n' || c == '\r') {
            if (!End(ended)) return false;
            continue;
        }
        Keep(c);
        if (state_ == State::Quoted) {
            if (c == quote_) state_ = State::Text;  // a doubled quote leaves and enters again
        } else if (c == '"' || c == '\'') {
            state_ = State::Quoted;
            quote_ = c;
        } else if (c == '#') {
            state_ = State::Hash;
        }
    }
    return true;
}

bool MessageFramer::Finish(const Ended& ended) {
    if (message_.empty() && !overrun_) {
        state_ = State::Text;
        return true;
    }
    return End(ended);
}

void MessageFramer::Clear() {
    message_.clear();
    overrun_ = false;
    state_ = State::Text;
}

void MessageFramer::Keep(char c) {
    if (overrun_) return;
    if (message_.size() >= max_) {
        overrun_ = true;
        message_.clear();
        return;
    }
    message_.push_back(c);
}

bool MessageFramer::End(const Ended& ended) {
    const bool overrun = overrun_;
    std::string message = std::move(message_);
    Clear();
    return ended(overrun ? std::string_view() : std::string_view(message), overrun);
}

}  // namespace tarvo::scpi
