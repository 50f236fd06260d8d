// HID string buffers of any length and content: the text never reads past the buffer, is made of the low
// bytes of the code units up to the first zero low byte, and its UTF-8 form is valid.
#include "device/HidString.h"
#include "device/SimulatedPlatform.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// Whether text is well-formed UTF-8 of code points below U+0100, each of one or two bytes.
bool Latin1Utf8(const std::string& text, std::size_t characters) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
        } else if (c == 0xC2 || c == 0xC3) {
            if (i + 1 >= text.size() || (static_cast<unsigned char>(text[i + 1]) & 0xC0) != 0x80) return false;
            i += 2;
        } else {
            return false;
        }
    }
    return count == characters;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = tarvo::HidStringBytes(data, size);
    Require(text.size() <= (size + 1) / 2);
    for (std::size_t i = 0; i < text.size(); ++i) Require(static_cast<std::uint8_t>(text[i]) == data[2 * i] && data[2 * i] != 0);
    // It ends at a zero low byte or at the end of the buffer.
    Require(2 * text.size() >= size || data[2 * text.size()] == 0);

    // The platforms without a code page of their own (the simulated one, hidapi) show the bytes as Latin-1.
    static tarvo::SimulatedPlatform api;
    const std::string utf8 = tarvo::HidStringToText(api, data, size);
    Require(Latin1Utf8(utf8, text.size()));
    Require(utf8 == tarvo::Latin1ToUtf8(text));
    return 0;
}
