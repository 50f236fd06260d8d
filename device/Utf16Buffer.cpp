#include "Utf16Buffer.h"

namespace tarvo {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

bool PutUnit(char16_t unit, std::uint8_t* buffer, std::size_t bufferLength, std::size_t& at) {
    if (bufferLength - at < 2) return false;
    buffer[at++] = static_cast<std::uint8_t>(unit & 0xFF);
    buffer[at++] = static_cast<std::uint8_t>(unit >> 8);
    return true;
}

}  // namespace

std::size_t WriteUtf16Buffer(std::u32string_view text, std::uint8_t* buffer, std::size_t bufferLength) {
    if (buffer == nullptr) return 0;
    std::size_t at = 0;
    for (char32_t c : text) {
        if (IsSurrogate(c) || c > 0x10FFFF) c = REPLACEMENT;
        if (c <= 0xFFFF) {
            if (!PutUnit(static_cast<char16_t>(c), buffer, bufferLength, at)) return at;
            continue;
        }
        const char32_t v = c - 0x10000;
        if (!PutUnit(static_cast<char16_t>(0xD800 + (v >> 10)), buffer, bufferLength, at)) return at;
        if (!PutUnit(static_cast<char16_t>(0xDC00 + (v & 0x3FF)), buffer, bufferLength, at)) return at;
    }
    PutUnit(0, buffer, bufferLength, at);
    return at;
}

std::u32string WideToUtf32(const wchar_t* text, std::size_t maxChars) {
    std::u32string out;
    if (text == nullptr) return out;
    std::size_t length = 0;
    while (length < maxChars && text[length] != 0) ++length;
    if constexpr (sizeof(wchar_t) >= 4) {
        for (std::size_t i = 0; i < length; ++i) out.push_back(static_cast<char32_t>(text[i]));
    } else {
        for (std::size_t i = 0; i < length; ++i) {
            const auto unit = static_cast<char32_t>(static_cast<char16_t>(text[i]));
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
                const auto low = static_cast<char32_t>(static_cast<char16_t>(text[i + 1]));
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    out.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
            out.push_back(IsSurrogate(unit) ? REPLACEMENT : unit);
        }
    }
    return out;
}

}  // namespace tarvo
