#include "HidReportDescriptor.h"

#include <algorithm>
#include <array>
#include <vector>

namespace tarvo {
namespace {

// Item types and tags of the HID short item prefix (tag in bits 7-4, type in bits 3-2, size code in bits 1-0).
constexpr unsigned TYPE_MAIN = 0;
constexpr unsigned TYPE_GLOBAL = 1;
constexpr unsigned TYPE_LOCAL = 2;

constexpr unsigned MAIN_INPUT = 0x8;
constexpr unsigned MAIN_OUTPUT = 0x9;
constexpr unsigned MAIN_COLLECTION = 0xA;
constexpr unsigned MAIN_FEATURE = 0xB;
constexpr unsigned MAIN_END_COLLECTION = 0xC;

constexpr unsigned GLOBAL_USAGE_PAGE = 0x0;
constexpr unsigned GLOBAL_REPORT_SIZE = 0x7;
constexpr unsigned GLOBAL_REPORT_ID = 0x8;
constexpr unsigned GLOBAL_REPORT_COUNT = 0x9;
constexpr unsigned GLOBAL_PUSH = 0xA;
constexpr unsigned GLOBAL_POP = 0xB;

constexpr unsigned LOCAL_USAGE = 0x0;

constexpr std::uint8_t LONG_ITEM_PREFIX = 0xFE;

// Data bits of the longest report whose length still fits in 16 bits with its report ID byte; sums are capped
// here so that no count in a descriptor can overflow them.
constexpr std::uint64_t MAX_REPORT_BITS = (0xFFFFull - 1) * 8;

struct GlobalState {
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

// Bits of each report of one kind, by report ID.
using ReportBits = std::array<std::uint64_t, 256>;

std::uint64_t ItemBits(const GlobalState& g) {
    if (g.reportSize == 0 || g.reportCount == 0) return 0;
    if (g.reportCount > MAX_REPORT_BITS / g.reportSize) return MAX_REPORT_BITS;
    return std::uint64_t{g.reportSize} * g.reportCount;
}

std::uint16_t LongestReportBytes(const ReportBits& bits) {
    const std::uint64_t most = *std::max_element(bits.begin(), bits.end());
    if (most == 0) return 0;
    return static_cast<std::uint16_t>((most + 7) / 8 + 1);
}

}  // namespace

ReportLengths ParseReportLengths(const std::uint8_t* data, std::size_t size) {
    ReportLengths result;
    if (data == nullptr) size = 0;
    GlobalState global;
    std::vector<GlobalState> stack;
    std::array<ReportBits, 3> bits{};  // input, output, feature
    // The first Usage item since the last main item, with the byte count it was given in.
    std::uint32_t firstUsage = 0;
    std::size_t firstUsageBytes = 0;
    int depth = 0;
    bool collectionSeen = false;

    auto fail = [&result] { result.wellFormed = false; };

    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t prefix = data[pos];
        if (prefix == LONG_ITEM_PREFIX) {
            // Long item: prefix, data size, tag, data. Nothing here uses one.
            if (size - pos < 3 || size - pos - 3 < data[pos + 1]) {
                fail();
                break;
            }
            pos += 3 + std::size_t{data[pos + 1]};
            continue;
        }
        const std::size_t dataBytes = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
        if (size - pos - 1 < dataBytes) {
            fail();
            break;
        }
        std::uint32_t value = 0;
        for (std::size_t i = dataBytes; i > 0; --i) value = value << 8 | data[pos + i];
        pos += 1 + dataBytes;

        const unsigned type = (prefix >> 2) & 0x3;
        const unsigned tag = prefix >> 4;
        if (type == TYPE_MAIN) {
            int kind = -1;
            if (tag == MAIN_INPUT) kind = 0;
            if (tag == MAIN_OUTPUT) kind = 1;
            if (tag == MAIN_FEATURE) kind = 2;
            if (kind >= 0) {
                std::uint64_t& report = bits[static_cast<std::size_t>(kind)][global.reportId];
                report = std::min(report + ItemBits(global), MAX_REPORT_BITS);
            } else if (tag == MAIN_COLLECTION) {
                if (depth == 0 && !collectionSeen) {
                    collectionSeen = true;
                    // A four-byte usage carries its own page in the high half.
                    result.usagePage = static_cast<std::uint16_t>(firstUsageBytes == 4 ? firstUsage >> 16 : global.usagePage);
                    result.usage = static_cast<std::uint16_t>(firstUsage);
                }
                ++depth;
            } else if (tag == MAIN_END_COLLECTION) {
                if (depth > 0) --depth;
            }
            firstUsage = 0;
            firstUsageBytes = 0;
        } else if (type == TYPE_GLOBAL) {
            if (tag == GLOBAL_USAGE_PAGE) global.usagePage = value;
            if (tag == GLOBAL_REPORT_SIZE) global.reportSize = value;
            if (tag == GLOBAL_REPORT_COUNT) global.reportCount = value;
            if (tag == GLOBAL_REPORT_ID) {
                if (value == 0 || value > 255) {
                    fail();
                    break;
                }
                global.reportId = value;
                result.usesReportIds = true;
            }
            if (tag == GLOBAL_PUSH) {
                if (stack.size() >= MAX_PUSH_DEPTH) {
                    fail();
                    break;
                }
                stack.push_back(global);
            }
            if (tag == GLOBAL_POP) {
                if (stack.empty()) {
                    fail();
                    break;
                }
                global = stack.back();
                stack.pop_back();
            }
        } else if (type == TYPE_LOCAL) {
            if (tag == LOCAL_USAGE && firstUsageBytes == 0 && dataBytes > 0) {
                firstUsage = value;
                firstUsageBytes = dataBytes;
            }
        }
    }

    result.input = LongestReportBytes(bits[0]);
    result.output = LongestReportBytes(bits[1]);
    result.feature = LongestReportBytes(bits[2]);
    return result;
}

}  // namespace tarvo
