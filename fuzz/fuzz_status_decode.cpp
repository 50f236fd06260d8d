// Status replies of any length, and command frames for any feature report length: the decode never reads
// past the reply and gives values the window can show; every frame is exactly the report length, carries its
// code and payload where the protocol puts them, zeros elsewhere, and a frequency frame decodes to its value.
#include "protocol/FeatureReport.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace tarvo;

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

std::uint32_t LittleEndian(const std::uint8_t* bytes, int width) {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
    return value;
}

void CheckDecode(const std::uint8_t* reply, std::size_t length) {
    const auto status = DecodeStatus(reply, length);
    Require(status.has_value() == (length >= STATUS_FRAME_BYTES));
    if (!status) return;
    const auto hertz = static_cast<std::int32_t>(LittleEndian(reply + 3, 4));
    const auto index = static_cast<int>(LittleEndian(reply + 7, 2));
    Require(status->frequencyHz == (hertz >= FOUT_MIN_HZ && hertz <= FOUT_MAX_HZ ? hertz : FOUT_DEFAULT_HZ));
    Require(status->amplitudeIndex == (index < VOUT_ENTRY_COUNT ? index : VOUT_FALLBACK_INDEX));
}

void CheckFrame(const std::vector<std::uint8_t>& frame, std::size_t length, std::uint8_t code, std::uint32_t payload,
                int width) {
    if (length < 3 + static_cast<std::size_t>(width)) {
        Require(frame.empty());
        return;
    }
    Require(frame.size() == length);
    Require(frame[0] == 0 && frame[1] == code && frame[2] == 0);
    Require(LittleEndian(frame.data() + 3, width) == payload);
    for (std::size_t i = 3 + static_cast<std::size_t>(width); i < length; ++i) Require(frame[i] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The whole input as a reply, in a buffer of exactly its length.
    CheckDecode(data, size);

    FuzzedDataProvider in(data, size);
    const auto length = in.ConsumeIntegralInRange<std::size_t>(0, 80);
    const auto hertz = in.ConsumeIntegral<std::int32_t>();
    const auto index = in.ConsumeIntegral<std::int16_t>();
    const std::vector<std::uint8_t> frequency = EncodeFrequencyCommand(hertz, length);
    CheckFrame(frequency, length, CMD_SET_FREQUENCY, static_cast<std::uint32_t>(hertz), 4);
    CheckFrame(EncodeAmplitudeCommand(index, length), length, CMD_SET_AMPLITUDE, static_cast<std::uint16_t>(index), 2);
    if (!frequency.empty()) {
        // The frequency sits at the same bytes in a command and in the status report.
        CheckDecode(frequency.data(), frequency.size());
        if (frequency.size() >= STATUS_FRAME_BYTES && hertz >= FOUT_MIN_HZ && hertz <= FOUT_MAX_HZ)
            Require(DecodeStatus(frequency.data(), frequency.size())->frequencyHz == hertz);
    }
    return 0;
}
