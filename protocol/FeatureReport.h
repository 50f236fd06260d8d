// The feature report frame shared by every settings exchange with the pulse generator.
//
// A frame is exactly the device's feature report byte length long (the length counts byte 0): byte 0 is the
// report ID 0, byte 1 the command code, byte 2 stays 0, the little-endian payload starts at byte 3, and every
// other byte is 0. The status report comes back in the same frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {

inline constexpr std::uint8_t CMD_SET_FREQUENCY = 1;  // payload: int32 hertz at bytes 3 to 6
inline constexpr std::uint8_t CMD_SET_AMPLITUDE = 2;  // payload: int16 amplitude list index at bytes 3 to 4

inline constexpr std::int32_t FOUT_MIN_HZ = 25000;
inline constexpr std::int32_t FOUT_MAX_HZ = 350000000;
inline constexpr std::int32_t FOUT_DEFAULT_HZ = 10000000;
inline constexpr int VOUT_ENTRY_COUNT = 511;
inline constexpr int VOUT_DEFAULT_INDEX = 360;
inline constexpr int VOUT_FALLBACK_INDEX = 339;

// Bytes a frame must hold: a frequency command uses 0 to 6, an amplitude command 0 to 4, the status decode
// reads up to byte 8.
inline constexpr std::size_t FREQUENCY_FRAME_BYTES = 7;
inline constexpr std::size_t AMPLITUDE_FRAME_BYTES = 5;
inline constexpr std::size_t STATUS_FRAME_BYTES = 9;

// The frame of a frequency or amplitude command in a buffer of the given length. Empty when the length cannot
// hold the command: such a command is not sent.
std::vector<std::uint8_t> EncodeFrequencyCommand(std::int32_t hertz, std::size_t featureLength);
std::vector<std::uint8_t> EncodeAmplitudeCommand(std::int16_t index, std::size_t featureLength);

struct DeviceStatus {
    std::int32_t frequencyHz;   // already replaced by FOUT_DEFAULT_HZ when outside FOUT_MIN_HZ..FOUT_MAX_HZ
    int amplitudeIndex;         // already replaced by VOUT_FALLBACK_INDEX when above 510
    // The two values as the reply carried them, before any replacement.
    std::int32_t reportedFrequencyHz;
    int reportedAmplitudeIndex;

    bool FrequencyReplaced() const { return frequencyHz != reportedFrequencyHz; }
    bool AmplitudeReplaced() const { return amplitudeIndex != reportedAmplitudeIndex; }
};

// The bytes of a report in upper-case hex, separated by single spaces ("00 01 00 80"); empty for no bytes.
std::string HexBytes(const std::uint8_t* bytes, std::size_t size);
inline std::string HexBytes(const std::vector<std::uint8_t>& bytes) { return HexBytes(bytes.data(), bytes.size()); }

// Decodes a status reply. Nothing when the reply is too short to hold both fields (fewer than 9 bytes); the
// reply is never read past its end.
std::optional<DeviceStatus> DecodeStatus(const std::uint8_t* reply, std::size_t length);

}  // namespace tarvo
