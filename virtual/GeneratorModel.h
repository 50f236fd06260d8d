// The pulse generator as the virtual device plays it: its report descriptor, its settings, and its answers to
// the feature reports the host sends and asks for. No I/O here.
#pragma once

#include "protocol/GeneratorFirmware.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::virt {

// Vendor-defined page, one application collection, a 64-byte input report and an 8-byte feature report, both
// without report IDs: Windows gives it Input 65 and Feature 9.
extern const std::vector<std::uint8_t> REPORT_DESCRIPTOR;

inline constexpr std::size_t INPUT_REPORT_BYTES = 64;
inline constexpr std::uint8_t INPUT_REPORT_MARK = 0xA5;
// The feature frame as the host's buffer holds it: the report ID byte 0 and the device's 8 bytes.
inline constexpr std::size_t FEATURE_FRAME_BYTES = 9;

class GeneratorModel {
public:
    GeneratorModel(std::int32_t frequencyHz, std::uint16_t amplitudeIndex) : settings_{frequencyHz, amplitudeIndex} {}

    // The status frame (GeneratorFirmware.h): byte 0 the report ID 0, bytes 3 to 6 the frequency and 7 to 8 the
    // amplitude index, little-endian, all else 0.
    std::vector<std::uint8_t> StatusFrame() const;

    // Applies a set-feature frame as the kernel hands it over (report ID byte included), as the firmware does
    // (GeneratorFirmware.h). Returns what was done, for the log.
    std::string ApplySetFeature(const std::uint8_t* frame, std::size_t size);

    // The next streamed input report: INPUT_REPORT_MARK in byte 0, a running count in byte 1, zeros after.
    std::vector<std::uint8_t> NextInputReport();

    std::int32_t frequency() const { return settings_.frequencyHz; }
    std::uint16_t amplitude() const { return settings_.amplitudeIndex; }

private:
    GeneratorSettings settings_;
    std::uint8_t sequence_ = 0;
};

}  // namespace tarvo::virt
