#include "HislipMessages.h"

#include <algorithm>

namespace tarvo::scpi::hislip {

namespace {

void PutBigEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

std::uint64_t GetBigEndian(std::string_view bytes) {
    std::uint64_t value = 0;
    for (char c : bytes) {
        value = (value << 8) | static_cast<unsigned char>(c);
    }
    return value;
}

bool IsData(std::uint8_t type) {
    return type == Data || type == DataEnd;
}

}  // namespace

std::string Encode(std::uint8_t type, std::uint8_t control, std::uint32_t parameter, std::string_view payload) {
    std::string out;
    out.reserve(HEADER_BYTES + payload.size());
    out += "HS";
    out.push_back(static_cast<char>(type));
    out.push_back(static_cast<char>(control));
    PutBigEndian(out, parameter, 4);
    PutBigEndian(out, payload.size(), 8);
    out += payload;
    return out;
}

Reader::Reader(std::uint64_t maxDataPayload, std::uint64_t maxOtherPayload)
    : maxDataPayload_(maxDataPayload), maxOtherPayload_(maxOtherPayload) {}

bool Reader::Read(std::string_view bytes, std::vector<Message>& out) {
    while (!broken_ && !bytes.empty()) {
        if (!inPayload_) {
            const std::size_t take = std::min(bytes.size(), HEADER_BYTES - header_.size());
            header_.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
            // The prologue is checked byte by byte, so that another protocol's first byte ends the stream.
            if (header_[0] != 'H' || (header_.size() > 1 && header_[1] != 'S')) {
                broken_ = true;
                break;
            }
            if (header_.size() < HEADER_BYTES) {
                continue;
            }
            const std::string_view h = header_;
            message_ = Message{};
            message_.type = static_cast<std::uint8_t>(h[2]);
            message_.control = static_cast<std::uint8_t>(h[3]);
            message_.parameter = static_cast<std::uint32_t>(GetBigEndian(h.substr(4, 4)));
            message_.length = GetBigEndian(h.substr(8, 8));
            header_.clear();
            const std::uint64_t keep = IsData(message_.type) ? maxDataPayload_ : maxOtherPayload_;
            remaining_ = message_.length;
            if (message_.length > keep) {
                message_.tooLarge = true;
                out.push_back(message_);
            } else if (remaining_ == 0) {
                out.push_back(std::move(message_));
                continue;
            } else {
                message_.payload.reserve(static_cast<std::size_t>(remaining_));
            }
            inPayload_ = remaining_ != 0;
            continue;
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), remaining_));
        if (!message_.tooLarge) {
            message_.payload.append(bytes.substr(0, take));
        }
        bytes.remove_prefix(take);
        remaining_ -= take;
        if (remaining_ == 0) {
            inPayload_ = false;
            if (!message_.tooLarge) {
                out.push_back(std::move(message_));
            }
            message_ = Message{};
        }
    }
    return !broken_;
}

}  // namespace tarvo::scpi::hislip
