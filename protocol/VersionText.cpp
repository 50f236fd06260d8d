#include "VersionText.h"

namespace tarvo {

std::string VersionText(std::uint16_t version) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    const unsigned major = version / 256u;
    const unsigned minor = version - 256u * major;
    return std::to_string(major) + '.' + HEX[minor >> 4] + HEX[minor & 0xF];
}

}  // namespace tarvo
