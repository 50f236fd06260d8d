// Report lengths of a HID report descriptor, computed as Windows' HidP_GetCaps gives them.
//
// Platforms that hand out the raw report descriptor instead of Windows' preparsed data (hidraw, IOKit) use this
// to fill HIDP_CAPS. Standard library only; safe on any input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvo {

struct ReportLengths {
    // Bytes of the longest report of each kind plus one for the report ID byte, which Windows counts even where
    // the device has no numbered reports; 0 where the descriptor declares no report of that kind. At most 65535.
    std::uint16_t input = 0;
    std::uint16_t output = 0;
    std::uint16_t feature = 0;
    // Usage page and usage of the first top-level collection; 0 where there is none.
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    // A Report ID item was met: every report starts with its ID byte on the wire.
    bool usesReportIds = false;
    // False when parsing stopped early at an item that cannot be read or applied: a truncated item, a Pop without
    // a Push, more than MAX_PUSH_DEPTH Pushes, or a Report ID outside 1 to 255. The lengths then describe only
    // the items before it.
    bool wellFormed = true;
};

inline constexpr std::size_t MAX_PUSH_DEPTH = 16;

// Reads the descriptor's items in order: the Input, Output and Feature main items add Report Size × Report
// Count bits to the report of the current Report ID; Push and Pop save and restore the global state; long items
// and reserved items are skipped. A report of zero bits counts as no report. Never reads outside
// data[0 .. size-1]; data may be null when size is 0.
ReportLengths ParseReportLengths(const std::uint8_t* data, std::size_t size);

}  // namespace tarvo
