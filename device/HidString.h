// Conversion of HID string buffers (UTF-16LE) to text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvo {

class ApiDeclarations;

// The single-byte (ANSI) text of a HID string buffer: the low byte of each UTF-16LE code unit from byte 0, up
// to the first code unit whose low byte is zero or the end of the buffer. High bytes are ignored, so U+0141
// gives 'A' and U+0100 ends the text.
std::string HidStringBytes(const std::uint8_t* buffer, std::size_t size);

// The same text converted to UTF-8 through the platform's single-byte code page.
std::string HidStringToText(const ApiDeclarations& api, const std::uint8_t* buffer, std::size_t size);

// ISO 8859-1 to UTF-8: each byte is the code point of the same value.
std::string Latin1ToUtf8(std::string_view latin1);

}  // namespace tarvo
