// The pulse generator's side of the feature reports: what its firmware does with a set-feature report and the
// status report it answers with. The simulated platform, the uhid virtual generator and the demo's log all use
// this one model.
//
// A set-feature report is taken only when it is exactly the generator's feature report length (report ID byte
// included), carries report ID 0 in byte 0, a known command in byte 1 and 0 in byte 2, and is long enough for
// that command's payload: the frame the window sends. The frequency (bytes 3 to 6) is taken as a signed 32-bit
// value, the amplitude (bytes 3 to 4) as an unsigned 16-bit index, both as they come: the firmware checks no
// range. Any other report is acknowledged and changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvo {

// What a generator holds: what its status report carries.
struct GeneratorSettings {
    std::int32_t frequencyHz = 0;
    std::uint16_t amplitudeIndex = 0;
};

enum class FirmwareAction {
    SetFrequency,
    SetAmplitude,
    IgnoredLength,    // not the feature report length
    IgnoredReportId,  // byte 0 is not 0
    IgnoredByteTwo,   // byte 2 is not 0
    IgnoredCommand,   // byte 1 is no known command
    IgnoredShort,     // the length cannot hold the command's payload
};

struct FirmwareCommand {
    FirmwareAction action = FirmwareAction::IgnoredLength;
    std::uint8_t code = 0;  // byte 1, when there is one
    GeneratorSettings value;  // the setting a SetFrequency or SetAmplitude carries (only its own field)
};

// What the firmware makes of a set-feature report of `size` bytes from byte 0, on a generator whose feature
// report is `featureLength` bytes long. Reads no byte at or past `size`.
FirmwareCommand ReadSetFeature(const std::uint8_t* report, std::size_t size, std::size_t featureLength);

// Takes the command's setting into `settings`; an ignored command changes nothing.
void ApplyCommand(const FirmwareCommand& command, GeneratorSettings& settings);

// What the firmware did, in a few words: "frequency 25000", "amplitude 360", "ignored (unknown command 7)".
std::string FirmwareActionText(const FirmwareCommand& command);

// The status report of `featureLength` bytes: report ID 0, the frequency in bytes 3 to 6 and the amplitude
// index in bytes 7 to 8, little-endian, every other byte 0. A field that does not fit is cut at the end.
std::vector<std::uint8_t> FirmwareStatusReport(const GeneratorSettings& settings, std::size_t featureLength);

}  // namespace tarvo
