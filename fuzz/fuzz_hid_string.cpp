// HID string buffers of any length and content, as a device may return them.
#include "device/HidString.h"
#include "device/SimulatedPlatform.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tarvo::SimulatedPlatform api;
    // An exact-size copy, so any read past the end is caught.
    auto buffer = std::make_unique<std::uint8_t[]>(size);
    if (size) std::memcpy(buffer.get(), data, size);
    const std::string bytes = tarvo::HidStringBytes(buffer.get(), size);
    if (bytes.size() > (size + 1) / 2 || bytes.find('\0') != std::string::npos) std::abort();
    const std::string text = tarvo::HidStringToText(api, buffer.get(), size);
    if (text.size() < bytes.size() || text.size() > 2 * bytes.size()) std::abort();
    return 0;
}
