// Status replies of any length.
#include "protocol/FeatureReport.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto reply = std::make_unique<std::uint8_t[]>(size);
    if (size) std::memcpy(reply.get(), data, size);
    const auto status = tarvo::DecodeStatus(reply.get(), size);
    if (size < tarvo::STATUS_FRAME_BYTES) {
        if (status) std::abort();
        return 0;
    }
    if (!status || status->frequencyHz < tarvo::FOUT_MIN_HZ || status->frequencyHz > tarvo::FOUT_MAX_HZ ||
        status->amplitudeIndex < 0 || status->amplitudeIndex >= tarvo::VOUT_ENTRY_COUNT)
        std::abort();
    return 0;
}
