#include "HidString.h"

#include "ApiDeclarations.h"

namespace tarvo {

std::string HidStringBytes(const std::uint8_t* buffer, std::size_t size) {
    std::string text;
    for (std::size_t pos = 0; pos < size && buffer[pos] != 0; pos += 2) text.push_back(static_cast<char>(buffer[pos]));
    return text;
}

std::string HidStringToText(const ApiDeclarations& api, const std::uint8_t* buffer, std::size_t size) {
    return api.AnsiToUtf8(HidStringBytes(buffer, size));
}

std::string Latin1ToUtf8(std::string_view latin1) {
    std::string utf8;
    utf8.reserve(latin1.size() * 2);
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            utf8.push_back(static_cast<char>(c));
        } else {
            utf8.push_back(static_cast<char>(0xC0 | (c >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return utf8;
}

std::string ApiDeclarations::AnsiToUtf8(std::string_view ansi) const { return Latin1ToUtf8(ansi); }

}  // namespace tarvo
