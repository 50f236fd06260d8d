// HID strings into the caller's UTF-16LE buffer, for platforms whose string calls give wide (wchar_t) text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo {

// Fills buffer as Windows' HidD_Get*String calls do: the UTF-16LE code units of text in order, as many whole
// units as fit in bufferLength bytes, then a zero unit only where two more bytes fit. A character above U+FFFF
// becomes a surrogate pair, which the end of the buffer may cut like any other pair of units; a value that is
// not a Unicode scalar (a surrogate, or above U+10FFFF) becomes U+FFFD. Bytes past those written are left as
// they were. Returns the number of bytes written.
std::size_t WriteUtf16Buffer(std::u32string_view text, std::uint8_t* buffer, std::size_t bufferLength);

// The wide text up to its first NUL or maxChars characters as UTF-32: wchar_t is UTF-32 on Linux and macOS and
// UTF-16 on Windows, whose surrogate pairs are joined here (a lone surrogate becomes U+FFFD).
std::u32string WideToUtf32(const wchar_t* text, std::size_t maxChars);

}  // namespace tarvo
