#include "FeatureReport.h"

namespace tarvo {
namespace {

std::vector<std::uint8_t> Frame(std::uint8_t code, std::uint32_t payload, int payloadBytes, std::size_t length) {
    if (length < 3 + static_cast<std::size_t>(payloadBytes)) return {};
    std::vector<std::uint8_t> frame(length, 0);
    frame[0] = 0;  // report ID of a device without numbered reports
    frame[1] = code;
    for (int i = 0; i < payloadBytes; ++i) frame[3 + i] = static_cast<std::uint8_t>(payload >> (8 * i));
    return frame;
}

std::uint32_t ReadLE(const std::uint8_t* bytes, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

}  // namespace

std::vector<std::uint8_t> EncodeFrequencyCommand(std::int32_t hertz, std::size_t featureLength) {
    return Frame(CMD_SET_FREQUENCY, static_cast<std::uint32_t>(hertz), 4, featureLength);
}

std::vector<std::uint8_t> EncodeAmplitudeCommand(std::int16_t index, std::size_t featureLength) {
    return Frame(CMD_SET_AMPLITUDE, static_cast<std::uint16_t>(index), 2, featureLength);
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        if (i) text.push_back(' ');
        text.push_back(DIGITS[bytes[i] >> 4]);
        text.push_back(DIGITS[bytes[i] & 0xF]);
    }
    return text;
}

std::optional<DeviceStatus> DecodeStatus(const std::uint8_t* reply, std::size_t length) {
    if (reply == nullptr || length < STATUS_FRAME_BYTES) return std::nullopt;
    const auto frequency = static_cast<std::int32_t>(ReadLE(reply + 3, 4));
    const auto amplitude = static_cast<int>(ReadLE(reply + 7, 2));
    DeviceStatus status{frequency, amplitude, frequency, amplitude};
    if (frequency < FOUT_MIN_HZ || frequency > FOUT_MAX_HZ) status.frequencyHz = FOUT_DEFAULT_HZ;
    if (amplitude > VOUT_ENTRY_COUNT - 1) status.amplitudeIndex = VOUT_FALLBACK_INDEX;
    return status;
}

}  // namespace tarvo
