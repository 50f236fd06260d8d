// The firmware version as the window shows it.
#pragma once

#include <cstdint>
#include <string>

namespace tarvo {

// The high byte in decimal, ".", the low byte as two upper-case hex digits: 0x010A gives "1.0A", 0x1234 "18.34".
std::string VersionText(std::uint16_t version);

}  // namespace tarvo
