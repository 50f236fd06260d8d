#include "GeneratorModel.h"

#include <cstdio>

namespace tarvo::virt {
namespace {

constexpr std::uint8_t CMD_SET_FREQUENCY = 1;
constexpr std::uint8_t CMD_SET_AMPLITUDE = 2;

std::uint32_t ReadLE(const std::uint8_t* bytes, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

}  // namespace

const std::vector<std::uint8_t> REPORT_DESCRIPTOR = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor-defined 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (data, variable, absolute)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x02,        //   Usage (2)
    0xB1, 0x02,        //   Feature (data, variable, absolute)
    0xC0,              // End Collection
};

std::vector<std::uint8_t> GeneratorModel::StatusFrame() const {
    std::vector<std::uint8_t> frame(FEATURE_FRAME_BYTES, 0);
    const auto f = static_cast<std::uint32_t>(frequency_);
    for (int i = 0; i < 4; ++i) frame[3 + i] = static_cast<std::uint8_t>(f >> (8 * i));
    frame[7] = static_cast<std::uint8_t>(amplitude_);
    frame[8] = static_cast<std::uint8_t>(amplitude_ >> 8);
    return frame;
}

std::string GeneratorModel::ApplySetFeature(const std::uint8_t* frame, std::size_t size) {
    if (size != FEATURE_FRAME_BYTES || frame[0] != 0) return "ignored (not a whole frame of report 0)";
    if (frame[1] == CMD_SET_FREQUENCY) {
        frequency_ = static_cast<std::int32_t>(ReadLE(frame + 3, 4));
        return "frequency " + std::to_string(frequency_);
    }
    if (frame[1] == CMD_SET_AMPLITUDE) {
        amplitude_ = static_cast<std::uint16_t>(ReadLE(frame + 3, 2));
        return "amplitude " + std::to_string(amplitude_);
    }
    return "ignored (unknown command " + std::to_string(frame[1]) + ")";
}

std::vector<std::uint8_t> GeneratorModel::NextInputReport() {
    std::vector<std::uint8_t> report(INPUT_REPORT_BYTES, 0);
    report[0] = INPUT_REPORT_MARK;
    report[1] = sequence_++;
    return report;
}

}  // namespace tarvo::virt
