#include "GeneratorModel.h"

namespace tarvo::virt {

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
    return FirmwareStatusReport(settings_, FEATURE_FRAME_BYTES);
}

std::string GeneratorModel::ApplySetFeature(const std::uint8_t* frame, std::size_t size) {
    const FirmwareCommand command = ReadSetFeature(frame, size, FEATURE_FRAME_BYTES);
    ApplyCommand(command, settings_);
    return FirmwareActionText(command);
}

std::vector<std::uint8_t> GeneratorModel::NextInputReport() {
    std::vector<std::uint8_t> report(INPUT_REPORT_BYTES, 0);
    report[0] = INPUT_REPORT_MARK;
    report[1] = sequence_++;
    return report;
}

}  // namespace tarvo::virt
