#include "GeneratorFirmware.h"

#include "FeatureReport.h"

namespace tarvo {
namespace {

std::uint32_t ReadLE(const std::uint8_t* bytes, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

void PutLE(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value, std::size_t width) {
    for (std::size_t i = 0; i < width && at + i < bytes.size(); ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

FirmwareCommand ReadSetFeature(const std::uint8_t* report, std::size_t size, std::size_t featureLength) {
    FirmwareCommand command;
    if (report == nullptr || size == 0 || size != featureLength) return command;  // IgnoredLength
    if (report[0] != 0) {
        command.action = FirmwareAction::IgnoredReportId;
        return command;
    }
    if (size < 3) return command;  // no room for a command at all: IgnoredLength
    command.code = report[1];
    if (report[2] != 0) {
        command.action = FirmwareAction::IgnoredByteTwo;
    } else if (command.code == CMD_SET_FREQUENCY) {
        command.action = size < FREQUENCY_FRAME_BYTES ? FirmwareAction::IgnoredShort : FirmwareAction::SetFrequency;
        if (command.action == FirmwareAction::SetFrequency)
            command.value.frequencyHz = static_cast<std::int32_t>(ReadLE(report + 3, 4));
    } else if (command.code == CMD_SET_AMPLITUDE) {
        command.action = size < AMPLITUDE_FRAME_BYTES ? FirmwareAction::IgnoredShort : FirmwareAction::SetAmplitude;
        if (command.action == FirmwareAction::SetAmplitude)
            command.value.amplitudeIndex = static_cast<std::uint16_t>(ReadLE(report + 3, 2));
    } else {
        command.action = FirmwareAction::IgnoredCommand;
    }
    return command;
}

void ApplyCommand(const FirmwareCommand& command, GeneratorSettings& settings) {
    if (command.action == FirmwareAction::SetFrequency) settings.frequencyHz = command.value.frequencyHz;
    if (command.action == FirmwareAction::SetAmplitude) settings.amplitudeIndex = command.value.amplitudeIndex;
}

std::string FirmwareActionText(const FirmwareCommand& command) {
    switch (command.action) {
        case FirmwareAction::SetFrequency: return "frequency " + std::to_string(command.value.frequencyHz);
        case FirmwareAction::SetAmplitude: return "amplitude " + std::to_string(command.value.amplitudeIndex);
        case FirmwareAction::IgnoredLength:
        case FirmwareAction::IgnoredReportId: return "ignored (not a whole frame of report 0)";
        case FirmwareAction::IgnoredByteTwo: return "ignored (byte 2 is not 0)";
        case FirmwareAction::IgnoredCommand: return "ignored (unknown command " + std::to_string(command.code) + ")";
        case FirmwareAction::IgnoredShort:
            return "ignored (command " + std::to_string(command.code) + " does not fit the report)";
    }
    return "ignored";
}

std::vector<std::uint8_t> FirmwareStatusReport(const GeneratorSettings& settings, std::size_t featureLength) {
    std::vector<std::uint8_t> report(featureLength, 0);
    PutLE(report, 3, static_cast<std::uint32_t>(settings.frequencyHz), 4);
    PutLE(report, 7, settings.amplitudeIndex, 2);
    return report;
}

}  // namespace tarvo
